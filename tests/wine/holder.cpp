// Holds what another program may hold while the launcher runs:
//   holder mutex SECONDS      keeps a handle to the single-instance mutex open without owning it
//   holder abandon            takes the mutex and ends without releasing it, as a crashed launcher
//                             would: with the handle above still open, the mutex is abandoned
//   holder file PATH SECONDS  keeps PATH open without delete sharing, as a running game keeps its
//                             files: it cannot be moved or deleted meanwhile
// The holding modes print "holding" once they hold.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    HANDLE held = nullptr;
    if (argc == 2 && strcmp(argv[1], "abandon") == 0) {
        // An existing named mutex ignores the initial-owner flag: take it by waiting.
        held = CreateMutexA(nullptr, FALSE, "VELM_LAUNCHER");
        return held != nullptr && WaitForSingleObject(held, 0) == WAIT_OBJECT_0 ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "mutex") == 0)
        held = CreateMutexA(nullptr, FALSE, "VELM_LAUNCHER");
    else if (argc == 4 && strcmp(argv[1], "file") == 0)
        held = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    else
        return fprintf(stderr, "usage: holder mutex SECONDS | abandon | file PATH SECONDS\n"), 2;
    if (held == nullptr || held == INVALID_HANDLE_VALUE)
        return 1;
    printf("holding\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(atoi(argv[argc - 1])) * 1000);
    return 0;
}
