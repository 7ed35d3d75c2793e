// The stand-in game for the Windows end-to-end tests, published as VELM.exe. It records in ran.txt
// in its working directory that it ran, as the Linux stand-in does: "cwd=<working directory>",
// "argc=<arguments, the program's name not counted>", one "arg=<argument>" each. The record is
// written aside and renamed, so that a reader never sees half of it.
#include <windows.h>

#include <cstdio>

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
    return ok && MoveFileExA("ran.txt.part", "ran.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
