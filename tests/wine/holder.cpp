// Holds what another program may hold while the launcher runs:
//   holder mutex NAME SECONDS  keeps a handle to the single-instance mutex NAME open without owning it
//   holder abandon NAME        takes the mutex and ends without releasing it, as a crashed launcher
//                              would: with the handle above still open, the mutex is abandoned
//   holder file PATH SECONDS   keeps PATH open without delete sharing, as a running game keeps its
//                              files: it cannot be moved or deleted meanwhile
//   holder scan DIR SECONDS    as a virus scanner: opens each file created below DIR, once it can,
//                              without sharing for 0.3 s; prints "scanned <name>" for each
// The holding modes print "holding" once they hold.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Opens each new file below `dir` without sharing for a moment, until `seconds` have passed.
static int scan(const char* dir, DWORD seconds) {
    constexpr DWORD hold_ms = 300;
    HANDLE watched = CreateFileA(dir, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (watched == INVALID_HANDLE_VALUE)
        return 1;
    printf("holding\n");
    fflush(stdout);
    std::wstring root(dir, dir + strlen(dir));
    alignas(DWORD) static char changes[1 << 16];
    for (DWORD end = GetTickCount() + seconds * 1000; GetTickCount() < end;) {
        DWORD got = 0;
        if (!ReadDirectoryChangesW(watched, changes, sizeof changes, TRUE, FILE_NOTIFY_CHANGE_FILE_NAME, &got, nullptr,
                                   nullptr))
            return 1;
        for (DWORD at = 0; got > 0;) {
            auto* change = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(changes + at);
            std::wstring name(change->FileName, change->FileNameLength / sizeof(wchar_t));
            // The stand-in game's record of its start is not the launcher's.
            bool added = (change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_RENAMED_NEW_NAME) &&
                         name.rfind(L"ran.txt", 0) != 0;
            // A file still being written cannot be opened without sharing: try until it is closed.
            for (int tries = 0; added && tries < 200; ++tries) {
                HANDLE file = CreateFileW((root + L"\\" + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    Sleep(hold_ms);
                    CloseHandle(file);
                    printf("scanned %ls\n", name.c_str());
                    fflush(stdout);
                    break;
                }
                if (GetLastError() != ERROR_SHARING_VIOLATION)
                    break;
                Sleep(10);
            }
            if (change->NextEntryOffset == 0)
                break;
            at += change->NextEntryOffset;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    HANDLE held = nullptr;
    if (argc == 3 && strcmp(argv[1], "abandon") == 0) {
        // An existing named mutex ignores the initial-owner flag: a thread takes it by waiting and
        // ends. Its end is seen before its handle is signalled; a process's end is not, under Wine.
        held = CreateMutexA(nullptr, FALSE, argv[2]);
        HANDLE taker = CreateThread(
            nullptr, 0, [](void* mutex) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(mutex), 0); },
            held, 0, nullptr);
        DWORD taken = 1;
        return held != nullptr && taker != nullptr && WaitForSingleObject(taker, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeThread(taker, &taken) && taken == WAIT_OBJECT_0
                   ? 0
                   : 1;
    }
    if (argc == 4 && strcmp(argv[1], "scan") == 0)
        return scan(argv[2], static_cast<DWORD>(atoi(argv[3])));
    if (argc == 4 && strcmp(argv[1], "mutex") == 0)
        held = CreateMutexA(nullptr, FALSE, argv[2]);
    else if (argc == 4 && strcmp(argv[1], "file") == 0)
        held = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    else
        return fprintf(stderr, "usage: holder mutex NAME SECONDS | abandon NAME | file PATH SECONDS | scan DIR SECONDS\n"), 2;
    if (held == nullptr || held == INVALID_HANDLE_VALUE)
        return 1;
    printf("holding\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(atoi(argv[argc - 1])) * 1000);
    return 0;
}
