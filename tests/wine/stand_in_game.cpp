// The stand-in game for the Windows end-to-end tests, published as VELM.exe. It records that it
// ran, its working directory and its arguments in ran.txt in its working directory, in the
// record format of the Linux stand-in:
//   cwd=<working directory>
//   argc=<number of arguments, the program name not counted>
//   arg=<argument>            one line each
// The record is written aside and then renamed, so that a reader never sees half of it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* record_name = "ran.txt";
constexpr const char* partial_name = "ran.txt.part";

bool write_record(int argc, char** argv) {
    DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0)
        return false;
    char* cwd = static_cast<char*>(malloc(needed));
    if (cwd == nullptr || GetCurrentDirectoryA(needed, cwd) >= needed)
        return false;
    FILE* f = fopen(partial_name, "wb");
    if (f == nullptr)
        return false;
    bool ok = fprintf(f, "cwd=%s\nargc=%d\n", cwd, argc - 1) > 0;
    for (int i = 1; i < argc; ++i)
        ok = ok && fprintf(f, "arg=%s\n", argv[i]) > 0;
    ok = fclose(f) == 0 && ok;
    free(cwd);
    return ok && MoveFileExA(partial_name, record_name, MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace

int main(int argc, char** argv) { return write_record(argc, argv) ? 0 : 1; }
