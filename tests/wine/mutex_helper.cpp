// Test helper for the launcher's single-instance lock, the named mutex "VELM_LAUNCHER":
//   mutex_helper hold SECONDS   keeps a handle to the mutex open without owning it, so that the
//                               mutex outlives an owner; prints "holding" once it has the handle
//   mutex_helper abandon        takes the mutex and ends without releasing it, as a crashed
//                               launcher would: the mutex is then abandoned
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* instance_name = "VELM_LAUNCHER";
constexpr DWORD ms_per_second = 1000;

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "hold") == 0) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, instance_name);
        if (mutex == nullptr)
            return 1;
        printf("holding\n");
        fflush(stdout);
        Sleep(static_cast<DWORD>(atoi(argv[2])) * ms_per_second);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "abandon") == 0) {
        // An existing named mutex ignores the initial-owner flag: take it by waiting.
        HANDLE mutex = CreateMutexA(nullptr, FALSE, instance_name);
        if (mutex == nullptr || WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0)
            return 1;
        return 0;
    }
    fprintf(stderr, "usage: mutex_helper hold SECONDS | abandon\n");
    return 2;
}
