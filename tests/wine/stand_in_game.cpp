// The stand-in game for the Windows end-to-end tests, published as VELM.exe. It records in ran.txt
// in its working directory that it ran, as the Linux stand-in does: "cwd=<working directory>",
// "argc=<arguments, the program's name not counted>", one "arg=<argument>" each. The record is
// written aside and renamed, so that a reader never sees half of it. With the arguments
// "stay SECONDS" it runs that long afterwards.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    char cwd[MAX_PATH * 4];
    DWORD length = GetCurrentDirectoryA(sizeof cwd, cwd);
    FILE* f = fopen("ran.txt.part", "wb");
    if (length == 0 || length >= sizeof cwd || f == nullptr)
        return 1;
    bool ok = fprintf(f, "cwd=%s\nargc=%d\n", cwd, argc - 1) > 0;
    for (int i = 1; i < argc; ++i)
        ok = ok && fprintf(f, "arg=%s\n", argv[i]) > 0;
    ok = fclose(f) == 0 && ok;
    ok = ok && MoveFileExA("ran.txt.part", "ran.txt", MOVEFILE_REPLACE_EXISTING);
    if (argc == 3 && strcmp(argv[1], "stay") == 0) // a game that runs: the tests start it so
        Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
    return ok ? 0 : 1;
}
