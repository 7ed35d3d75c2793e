// Test helper that holds what another program may hold while the launcher runs:
//   holder mutex SECONDS      keeps a handle to the single-instance mutex "VELM_LAUNCHER" open
//                             without owning it, so that the mutex outlives an owner
//   holder abandon            takes the mutex and ends without releasing it, as a crashed
//                             launcher would: the mutex is then abandoned
//   holder file PATH SECONDS  keeps PATH open without delete sharing, as a running game keeps
//                             its files: it cannot be moved or deleted meanwhile
// Each holding mode prints "holding" once it holds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* instance_name = "VELM_LAUNCHER";
constexpr DWORD ms_per_second = 1000;

int hold_for(const char* seconds) {
    printf("holding\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(atoi(seconds)) * ms_per_second);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "mutex") == 0) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, instance_name);
        return mutex == nullptr ? 1 : hold_for(argv[2]);
    }
    if (argc == 2 && strcmp(argv[1], "abandon") == 0) {
        // An existing named mutex ignores the initial-owner flag: take it by waiting.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, instance_name);
        if (mutex == nullptr || WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0)
            return 1;
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "file") == 0) {
        HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        return file == INVALID_HANDLE_VALUE ? 1 : hold_for(argv[3]);
    }
    fprintf(stderr, "usage: holder mutex SECONDS | abandon | file PATH SECONDS\n");
    return 2;
}
