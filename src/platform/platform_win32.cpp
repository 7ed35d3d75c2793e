// The Windows side of the platform layer.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <direct.h>

static_assert(platform_find_name_size == MAX_PATH);
static_assert(platform_attr_directory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(platform_attr_normal == FILE_ATTRIBUTE_NORMAL);
static_assert(platform_attr_reparse_point == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(platform_error_no_more_files == ERROR_NO_MORE_FILES);

// --- Where the launcher works ----------------------------------------------------------------

namespace {

constexpr DWORD first_path_chars = MAX_PATH;
constexpr DWORD max_path_chars = 32768; // the longest path Windows has

// The system's text for `error`, without its line end, in `out`.
void describe_system_error(DWORD error, char* out, size_t out_size) {
    // In the UTF-8 code page the manifest declares, the "A" call answers in UTF-8.
    DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               error, 0, out, static_cast<DWORD>(out_size), nullptr);
    while (len > 0 && (out[len - 1] == '\n' || out[len - 1] == '\r' || out[len - 1] == ' '))
        --len;
    if (len == 0)
        snprintf(out, out_size, "error %lu", static_cast<unsigned long>(error));
    else
        out[len] = '\0';
}

// `path` in UTF-8 in `out`, for a report; cut if it does not fit.
void utf8_path(const wchar_t* path, char* out, size_t out_size) {
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, out, static_cast<int>(out_size), nullptr,
                            nullptr) == 0)
        snprintf(out, out_size, "(a path that cannot be shown)");
}

// The executable's full path as a malloc'd wide string; null with the error in `error`.
wchar_t* executable_path(DWORD* error) {
    // GetModuleFileNameW cuts a long path and says so only through the length it answers:
    // grow the buffer until the path fits.
    for (DWORD chars = first_path_chars; chars <= max_path_chars; chars *= 2) {
        auto* path = static_cast<wchar_t*>(malloc(chars * sizeof(wchar_t)));
        if (path == nullptr) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        DWORD len = GetModuleFileNameW(nullptr, path, chars);
        if (len > 0 && len < chars)
            return path;
        *error = GetLastError();
        free(path);
        if (len == 0)
            return nullptr;
    }
    *error = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
}

} // namespace

bool platform_enter_executable_directory(char* reason, size_t reason_size) {
    char system_text[512];
    DWORD error = 0;
    wchar_t* path = executable_path(&error);
    if (path == nullptr) {
        describe_system_error(error, system_text, sizeof system_text);
        snprintf(reason, reason_size, "Cannot find the launcher's own folder: %s", system_text);
        return false;
    }
    // The wide calls: the folder's name may hold any character. The last separator ends the
    // directory; a drive's root keeps it, since "C:" alone names the drive's current directory.
    wchar_t* last = wcsrchr(path, L'\\');
    if (last != nullptr) {
        bool drive_root = last > path && last[-1] == L':';
        last[drive_root ? 1 : 0] = L'\0';
    }
    bool entered = last != nullptr && SetCurrentDirectoryW(path) != 0;
    if (!entered) {
        describe_system_error(last != nullptr ? GetLastError() : ERROR_BAD_PATHNAME, system_text,
                              sizeof system_text);
        char shown[1024];
        utf8_path(path, shown, sizeof shown);
        snprintf(reason, reason_size, "Cannot work in the launcher's folder %s: %s", shown,
                 system_text);
    }
    free(path);
    return entered;
}

// --- Single instance -------------------------------------------------------------------------

bool platform_acquire_single_instance(const char* name) {
    // The handle stays open: the system releases the mutex when the process ends.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr)
        return false;
    // WAIT_ABANDONED also hands the mutex to this thread: its previous owner ended without
    // releasing it, so no other instance runs.
    DWORD result = WaitForSingleObject(mutex, 0);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return false;
    }
    return true;
}

// --- Message boxes ---------------------------------------------------------------------------

void platform_message_box(platform_box_kind kind, const char* caption, const char* text) {
    UINT icon = kind == platform_box_error ? MB_ICONERROR : MB_ICONINFORMATION;
    MessageBoxA(nullptr, text, caption, icon);
}

// --- Files and directories -------------------------------------------------------------------

bool platform_entry_exists(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &data) != 0;
}

static void copy_find_data(const WIN32_FIND_DATAA& data, platform_find_data* out) {
    out->attributes = data.dwFileAttributes;
    out->size_high = data.nFileSizeHigh;
    out->size_low = data.nFileSizeLow;
    memcpy(out->name, data.cFileName, sizeof out->name);
}

// The errno value closest to a failed listing's system error, for the caller's report.
static int errno_for_listing_error(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

platform_find_handle platform_find_first(const char* pattern, platform_find_data* out) {
    WIN32_FIND_DATAA data;
    HANDLE handle = FindFirstFileA(pattern, &data);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for_listing_error(GetLastError());
        return platform_invalid_find_handle;
    }
    copy_find_data(data, out);
    return reinterpret_cast<platform_find_handle>(handle);
}

uint32_t platform_find_next(platform_find_handle handle, platform_find_data* out) {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(reinterpret_cast<HANDLE>(handle), &data)) {
        DWORD err = GetLastError();
        return err == ERROR_SUCCESS ? platform_error_no_more_files : err;
    }
    copy_find_data(data, out);
    return 0;
}

void platform_find_close(platform_find_handle handle) { FindClose(reinterpret_cast<HANDLE>(handle)); }

int platform_mkdir(const char* path) { return _mkdir(path) == 0 ? 0 : errno; }

const bool platform_names_ignore_case = true;

// Deletes the entry itself: a file, a file link, or a directory link (symbolic link or
// junction), which goes as a directory entry; a link's target stays untouched.
static bool remove_entry(const char* path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return RemoveDirectoryA(path) != 0;
    return DeleteFileA(path) != 0;
}

// After `remove` failed with `error`. Windows refuses to delete a read-only entry, where POSIX
// needs only a writable directory. Left in place, an unlisted read-only file would stay for good,
// and a read-only copy set aside as ".upd_old" would block the next update of its file: clear the
// flag and retry, and put it back when the entry stays.
template <typename Remove> static int retry_without_read_only(const char* path, DWORD error, Remove remove) {
    if (error != ERROR_ACCESS_DENIED)
        return static_cast<int>(error);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return static_cast<int>(error);
    DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!SetFileAttributesA(path, writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL))
        return static_cast<int>(GetLastError());
    if (remove())
        return 0;
    error = GetLastError();
    SetFileAttributesA(path, attributes); // as it was: the entry stays
    return static_cast<int>(error);
}

int platform_remove(const char* path) {
    // GetFileAttributesA describes a link, not its target.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return static_cast<int>(GetLastError());
    auto remove = [&] { return remove_entry(path, attributes); };
    return remove() ? 0 : retry_without_read_only(path, GetLastError(), remove);
}

int platform_remove_directory(const char* path) {
    auto remove = [&] { return RemoveDirectoryA(path) != 0; };
    return remove() ? 0 : retry_without_read_only(path, GetLastError(), remove);
}

int platform_rename(const char* from, const char* to) {
    // Without MOVEFILE_REPLACE_EXISTING an existing `to` makes it fail, as the callers want.
    return MoveFileExA(from, to, 0) ? 0 : static_cast<int>(GetLastError());
}

int platform_replace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : static_cast<int>(GetLastError());
}

bool platform_error_is_in_use(int error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool platform_error_is_missing(int error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool platform_error_is_denied(int error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

bool platform_error_is_disk_full(int error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

FILE* platform_memory_stream(const void* data, size_t size) {
    // No memory stream in the C runtime: a temporary file in the user's temporary folder,
    // removed when the stream closes ("D"), kept in memory where the system can ("T").
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"vlm", 0, path) == 0) {
        errno = EACCES;
        return nullptr;
    }
    FILE* f = _wfopen(path, L"w+bTD");
    if (f == nullptr)
        return nullptr;
    if (fwrite(data, 1, size, f) != size || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        errno = EIO;
        return nullptr;
    }
    return f;
}

void platform_error_text(int error, char* text, size_t size) {
    describe_system_error(static_cast<DWORD>(error), text, size);
}

int platform_free_space(const char* path, uint64_t* bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(path, &available, nullptr, nullptr))
        return static_cast<int>(GetLastError());
    *bytes = available.QuadPart;
    return 0;
}

int platform_stamp(const char* path, platform_file_stamp* out) {
    // Opened for its attributes only, sharing everything, the link itself rather than its target.
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    bool ok = GetFileInformationByHandle(file, &info) &&
              GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok)
        return static_cast<int>(error);
    out->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out->write_time = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
    out->change_time = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
    out->volume = info.dwVolumeSerialNumber;
    out->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    constexpr DWORD not_regular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    out->regular = (info.dwFileAttributes & not_regular) == 0;
    out->directory = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                     FILE_ATTRIBUTE_DIRECTORY;
    return 0;
}

static int map_view(HANDLE file, uint64_t size, bool writable, platform_mapping* out) {
    HANDLE view = CreateFileMappingA(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                     static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    void* data = view != nullptr ? MapViewOfFile(view, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (data == nullptr) {
        int error = static_cast<int>(GetLastError());
        if (view != nullptr)
            CloseHandle(view);
        CloseHandle(file);
        return error;
    }
    *out = {data, size, reinterpret_cast<intptr_t>(file), reinterpret_cast<intptr_t>(view)};
    return 0;
}

int platform_map_file(const char* path, platform_mapping* out) {
    *out = {};
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        int error = static_cast<int>(GetLastError());
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return error;
    }
    if (size.QuadPart == 0) { // an empty file cannot be mapped
        *out = {nullptr, 0, reinterpret_cast<intptr_t>(file), -1};
        return 0;
    }
    return map_view(file, static_cast<uint64_t>(size.QuadPart), false, out);
}

int platform_map_new_file(const char* path, uint64_t size, platform_mapping* out) {
    *out = {};
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    // Setting the end allocates the space: a full disk fails here.
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        int error = static_cast<int>(GetLastError());
        CloseHandle(file);
        return error;
    }
    return map_view(file, size, true, out);
}

int platform_unmap(platform_mapping* mapping, uint64_t keep) {
    int error = 0;
    if (mapping->data != nullptr && !UnmapViewOfFile(mapping->data))
        error = static_cast<int>(GetLastError());
    if (mapping->view != -1)
        CloseHandle(reinterpret_cast<HANDLE>(mapping->view));
    HANDLE file = reinterpret_cast<HANDLE>(mapping->file);
    bool has_file = mapping->file != -1;
    if (has_file && keep < mapping->size && error == 0) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(keep);
        if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
            error = static_cast<int>(GetLastError());
    }
    if (has_file && !CloseHandle(file) && error == 0)
        error = static_cast<int>(GetLastError());
    *mapping = {};
    return error;
}

// --- Processes -------------------------------------------------------------------------------

void platform_exit_now(int status) {
    fflush(stdout);
    fflush(stderr);
    // No DLL detach notifications and no runtime teardown while other threads still run.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status)); // not reached
}

void platform_sleep_ms(uint32_t ms) { Sleep(ms); }

// The Microsoft runtime has no line buffering (_IOLBF means full buffering there).
void platform_unbuffer_stdout() { setvbuf(stdout, nullptr, _IONBF, 0); }

char* platform_current_directory() {
    // Asked with no buffer, GetCurrentDirectoryA answers the size it needs, NUL included.
    DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0)
        return nullptr;
    char* dir = static_cast<char*>(malloc(needed));
    if (dir == nullptr)
        return nullptr;
    DWORD got = GetCurrentDirectoryA(needed, dir);
    if (got == 0 || got >= needed) {
        free(dir);
        return nullptr;
    }
    return dir;
}

bool platform_start_process(const char* exe, const char* work_dir, unsigned long* error) {
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    static_assert(sizeof(STARTUPINFOA) == 104);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(exe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, work_dir, &startup,
                        &process)) {
        *error = GetLastError();
        return false;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
