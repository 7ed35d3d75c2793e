// The Windows side of the platform layer.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h> // before the other Windows headers, which need its types

#include <fcntl.h>
#include <io.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/proxy_settings.h"

// Every path goes to the wide-character calls as an absolute "\\?\" path, which Windows takes
// up to its 32767 characters whether or not long paths are enabled on the machine; names cross
// this boundary in UTF-8.
static_assert(platform_find_name_size == MAX_PATH * 3);
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

// UTF-8 `text` in UTF-16 (bytes that are not UTF-8 become U+FFFD, which names no file).
std::wstring widen(const char* text) {
    int chars = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(chars > 0 ? static_cast<size_t>(chars) : 1, L'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), chars);
    out.resize(out.size() - 1);
    return out;
}

std::string narrow(const wchar_t* text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// UTF-8 `path` in UTF-16, with Windows' separator '\' for '/'.
std::wstring windows_path(const char* path) {
    std::wstring wide = widen(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

// The working directory; "" when it cannot be had.
std::wstring current_directory() {
    // Asked with no buffer, GetCurrentDirectoryW answers the size it needs, NUL included.
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring dir(needed, L'\0');
    DWORD got = needed > 0 ? GetCurrentDirectoryW(needed, dir.data()) : 0;
    dir.resize(got < needed ? got : 0);
    return dir;
}

// `path` as an absolute "\\?\" path: relative to the working directory unless it starts with a
// drive or "\\server"; '/' and '\' both separate levels. The prefix turns off Windows' own
// reading of the path, so the launcher's names (already checked) are taken as they stand.
std::wstring long_path(const char* path) {
    std::wstring wide = windows_path(path);
    if (wide.starts_with(L"\\\\?\\"))
        return wide;
    if (wide.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + wide.substr(2);
    if (wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\')
        return L"\\\\?\\" + wide;
    std::wstring base = current_directory();
    if (!base.empty() && base.back() != L'\\')
        base += L'\\';
    if (base.starts_with(L"\\\\?\\"))
        return base + wide;
    return (base.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + base.substr(2) : L"\\\\?\\" + base) +
           wide;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Windows refuses to delete a running program's executable (or a library it loaded) with
// "access denied", the answer it also gives a file this account may not change. The former is a
// file in use: one that exists, is not read-only, and that this account may open for deletion.
DWORD in_use_if_denied(DWORD error, const std::wstring& path) {
    if (error != ERROR_ACCESS_DENIED)
        return error;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return error;
    HANDLE probe = CreateFileW(path.c_str(), DELETE, share_all, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return error;
    CloseHandle(probe);
    return ERROR_SHARING_VIOLATION;
}

// Whether another program holds the file open against writing while letting it be read.
bool held_by_running_program(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION)
        return false;
    // Not even readable: a holder that shares nothing (a scanner, for a moment), not a program
    // that runs from the file.
    file = CreateFileW(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
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

namespace {

// The handover of the lock (platform_hand_over): a launcher starts its successor with this
// variable set and keeps an event named "<lock>.handover" open until it ends. The successor
// signals the event, then waits for the mutex, which it gets as its predecessor ends (abandoned),
// and only then closes the event. Any other launcher that gets the mutex meanwhile finds the
// event and gives way: at every moment the mutex is held or the event names a successor.
constexpr const wchar_t* handover_variable = L"VELM_HANDOVER";
constexpr DWORD handover_wait_ms = 60000;

std::wstring handover_name(const char* name) {
    return widen(name) + L".handover";
}

// Whether the mutex, held now, becomes this process's: false when a successor is taking over.
bool no_successor_pending(const char* name) {
    HANDLE pending = OpenEventW(SYNCHRONIZE, FALSE, handover_name(name).c_str());
    if (pending == nullptr)
        return true;
    CloseHandle(pending);
    return false;
}

} // namespace

bool platform_acquire_single_instance(const char* name, bool* successor) {
    *successor = false;
    // The handle stays open: the system releases the mutex when the process ends.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, widen(name).c_str());
    if (mutex == nullptr)
        return false;
    wchar_t flag[8];
    if (GetEnvironmentVariableW(handover_variable, flag, 8) > 0) {
        SetEnvironmentVariableW(handover_variable,
                                nullptr); // the game started later must not see it
        HANDLE handover =
            OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, handover_name(name).c_str());
        if (handover != nullptr) {
            SetEvent(handover); // the predecessor may end now
            DWORD result = WaitForSingleObject(mutex, handover_wait_ms);
            CloseHandle(handover);
            *successor = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
            if (!*successor)
                CloseHandle(mutex);
            return *successor;
        }
    }
    // WAIT_ABANDONED also hands the mutex to this thread: its previous owner ended without
    // releasing it, so no other instance runs, unless a successor is taking over from it.
    DWORD result = WaitForSingleObject(mutex, 0);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return false;
    }
    if (!no_successor_pending(name)) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return false;
    }
    return true;
}

// --- The launcher's own executable -----------------------------------------------------------

namespace {

std::wstring& start_directory = *new std::wstring; // main thread, once

} // namespace

void platform_remember_start(int, char**) {
    start_directory = current_directory();
}

char* platform_executable_name() {
    DWORD error = 0;
    wchar_t* path = executable_path(&error);
    if (path == nullptr)
        return nullptr;
    const wchar_t* last = wcsrchr(path, L'\\');
    char* name = strdup(narrow(last != nullptr ? last + 1 : path).c_str());
    free(path);
    return name;
}

int platform_replace_executable(const char* from, const char* to) {
    std::wstring wide_to = long_path(to);
    if (MoveFileExW(long_path(from).c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    // The executable it replaces may still be mapped for a moment as its process ends, or held
    // by a scanner: Windows answers "access denied" for either, which is worth waiting for.
    DWORD error = GetLastError();
    return static_cast<int>(error == ERROR_ACCESS_DENIED ? ERROR_SHARING_VIOLATION : error);
}

bool platform_hand_over(const char* exe, const char* name, char* reason, size_t reason_size) {
    HANDLE handover = CreateEventW(nullptr, TRUE, FALSE, handover_name(name).c_str());
    if (handover == nullptr) {
        describe_system_error(GetLastError(), reason, reason_size);
        return false;
    }
    // This launcher's environment, and the variable that makes the successor take the lock over.
    std::wstring environment;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* variable = block; variable != nullptr && *variable != L'\0';
         variable += wcslen(variable) + 1)
        if (wcsncmp(variable, handover_variable, wcslen(handover_variable)) != 0)
            environment.append(variable).push_back(L'\0');
    FreeEnvironmentStringsW(block);
    environment.append(handover_variable).append(L"=1").push_back(L'\0');
    environment.push_back(L'\0');
    std::wstring command = GetCommandLineW();
    std::wstring wide_exe = windows_path(exe);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    bool started = CreateProcessW(wide_exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                                  CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                  start_directory.empty() ? nullptr : start_directory.c_str(),
                                  &startup, &process);
    if (!started) {
        describe_system_error(GetLastError(), reason, reason_size);
        CloseHandle(handover);
        return false;
    }
    HANDLE waits[] = {handover, process.hProcess};
    bool taken = WaitForMultipleObjects(2, waits, FALSE, handover_wait_ms) == WAIT_OBJECT_0;
    if (!taken) {
        snprintf(reason, reason_size, "the new launcher did not take over");
        TerminateProcess(process.hProcess, 1);
        CloseHandle(handover);
    }
    // When taken, the event stays open until this process ends.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return taken;
}

// --- Message boxes ---------------------------------------------------------------------------

void platform_message_box(platform_box_kind kind, const char* caption, const char* text) {
    UINT icon = kind == platform_box_error ? MB_ICONERROR : MB_ICONINFORMATION;
    MessageBoxW(nullptr, widen(text).c_str(), widen(caption).c_str(), icon);
}

// --- Files and directories -------------------------------------------------------------------

bool platform_entry_exists(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(long_path(path).c_str(), GetFileExInfoStandard, &data) != 0;
}

static void copy_find_data(const WIN32_FIND_DATAW& data, platform_find_data* out) {
    out->attributes = data.dwFileAttributes;
    out->size_high = data.nFileSizeHigh;
    out->size_low = data.nFileSizeLow;
    // Always fits: at most 259 UTF-16 units of 3 bytes each.
    if (WideCharToMultiByte(CP_UTF8, 0, data.cFileName, -1, out->name, sizeof out->name, nullptr,
                            nullptr) == 0)
        out->name[0] = '\0';
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
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

platform_find_handle platform_find_first(const char* pattern, platform_find_data* out) {
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(long_path(pattern).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for_listing_error(GetLastError());
        return platform_invalid_find_handle;
    }
    copy_find_data(data, out);
    return reinterpret_cast<platform_find_handle>(handle);
}

uint32_t platform_find_next(platform_find_handle handle, platform_find_data* out) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(reinterpret_cast<HANDLE>(handle), &data)) {
        DWORD err = GetLastError();
        return err == ERROR_SUCCESS ? platform_error_no_more_files : err;
    }
    copy_find_data(data, out);
    return 0;
}

void platform_find_close(platform_find_handle handle) {
    FindClose(reinterpret_cast<HANDLE>(handle));
}

int platform_mkdir(const char* path) {
    return CreateDirectoryW(long_path(path).c_str(), nullptr)
               ? 0
               : errno_for_listing_error(GetLastError());
}

const bool platform_names_ignore_case = true;

// Deletes the entry itself: a file, a file link, or a directory link (symbolic link or
// junction), which goes as a directory entry; a link's target stays untouched.
static bool remove_entry(const std::wstring& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return RemoveDirectoryW(path.c_str()) != 0;
    return DeleteFileW(path.c_str()) != 0;
}

// After `remove` failed with `error`. Windows refuses to delete a read-only entry, where POSIX
// needs only a writable directory. Left in place, an unlisted read-only file would stay for good,
// and a read-only copy set aside as ".upd_old" would block the next update of its file: clear the
// flag and retry, and put it back when the entry stays.
// A file that is not read-only but still refused is in use (in_use_if_denied).
template <typename Remove>
static int retry_without_read_only(const std::wstring& path, DWORD error, Remove remove) {
    if (error != ERROR_ACCESS_DENIED)
        return static_cast<int>(error);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return static_cast<int>(in_use_if_denied(error, path));
    DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!SetFileAttributesW(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL))
        return static_cast<int>(GetLastError());
    if (remove())
        return 0;
    error = GetLastError();
    SetFileAttributesW(path.c_str(), attributes); // as it was: the entry stays
    return static_cast<int>(error);
}

int platform_remove(const char* path) {
    // GetFileAttributesW describes a link, not its target.
    std::wstring wide = long_path(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return static_cast<int>(GetLastError());
    auto remove = [&] { return remove_entry(wide, attributes); };
    return remove() ? 0 : retry_without_read_only(wide, GetLastError(), remove);
}

int platform_remove_directory(const char* path) {
    std::wstring wide = long_path(path);
    auto remove = [&] { return RemoveDirectoryW(wide.c_str()) != 0; };
    return remove() ? 0 : retry_without_read_only(wide, GetLastError(), remove);
}

// A running program's files can be renamed on Windows, and would then be replaced under it: they
// count as in use, as every other file that another program holds open, whether they are moved
// or replaced.
static int move(const char* from, const char* to, DWORD flags) {
    std::wstring wide_from = long_path(from);
    std::wstring wide_to = long_path(to);
    bool replacing = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    if (held_by_running_program(wide_from) || (replacing && held_by_running_program(wide_to)))
        return ERROR_SHARING_VIOLATION;
    if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), flags))
        return 0;
    // A refused replacement is the existing file's doing (read-only, which the caller clears, or
    // in use); else the moved file's.
    bool replaces = replacing && GetFileAttributesW(wide_to.c_str()) != INVALID_FILE_ATTRIBUTES;
    return static_cast<int>(in_use_if_denied(GetLastError(), replaces ? wide_to : wide_from));
}

// Without MOVEFILE_REPLACE_EXISTING an existing `to` makes it fail, as the callers want.
int platform_rename(const char* from, const char* to) {
    return move(from, to, 0);
}

int platform_replace(const char* from, const char* to) {
    return move(from, to, MOVEFILE_REPLACE_EXISTING);
}

int platform_open_file(const char* path, const char* mode, FILE** out) {
    *out = nullptr;
    bool reading = mode[0] == 'r';
    bool appending = mode[0] == 'a';
    std::wstring wide = long_path(path);
    HANDLE file = CreateFileW(wide.c_str(), reading ? GENERIC_READ : GENERIC_WRITE,
                              reading ? share_all : FILE_SHARE_READ, nullptr,
                              reading     ? OPEN_EXISTING
                              : appending ? OPEN_ALWAYS
                                          : CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(in_use_if_denied(GetLastError(), wide));
    int flags = _O_BINARY | (reading ? _O_RDONLY : _O_WRONLY) | (appending ? _O_APPEND : 0);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (fd == -1) {
        CloseHandle(file);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    *out = _fdopen(fd, mode);
    if (*out == nullptr) {
        _close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

int platform_seek(FILE* f, uint64_t offset) {
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0 ? 0 : errno;
}

bool platform_held_by_running_program(const char* path) {
    return held_by_running_program(long_path(path));
}

FILE* platform_create_new_file(const char* path) {
    // CREATE_NEW fails on any entry at the name; FILE_FLAG_OPEN_REPARSE_POINT keeps a link at
    // it from being followed to create its target.
    HANDLE file = CreateFileW(long_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                    ? EEXIST
                    : errno_for_listing_error(error);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (f == nullptr)
        _close(fd);
    return f;
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

// --- Network settings ------------------------------------------------------------------------

namespace {

// The proxy list and bypass list that the current user's settings give for `url`: an automatic
// configuration (a script's address, or discovery) decides first; when it finds nothing, the
// fixed proxy holds, as in Windows' own programs.
void system_proxy_lists(const std::wstring& url, std::string* proxies, std::string* bypass) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings))
        return;
    bool decided = false;
    if (settings.fAutoDetect || settings.lpszAutoConfigUrl != nullptr) {
        HINTERNET session = WinHttpOpen(L"VELM", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = settings.lpszAutoConfigUrl != nullptr ? WINHTTP_AUTOPROXY_CONFIG_URL
                                                                : WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO found{};
        if (session != nullptr && WinHttpGetProxyForUrl(session, url.c_str(), &options, &found)) {
            decided = true;
            if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
                found.lpszProxy != nullptr) {
                *proxies = narrow(found.lpszProxy);
                *bypass = found.lpszProxyBypass != nullptr ? narrow(found.lpszProxyBypass) : "";
            }
            GlobalFree(found.lpszProxy);
            GlobalFree(found.lpszProxyBypass);
        }
        if (session != nullptr)
            WinHttpCloseHandle(session);
    }
    if (!decided && settings.lpszProxy != nullptr) {
        *proxies = narrow(settings.lpszProxy);
        *bypass = settings.lpszProxyBypass != nullptr ? narrow(settings.lpszProxyBypass) : "";
    }
    GlobalFree(settings.lpszAutoConfigUrl);
    GlobalFree(settings.lpszProxy);
    GlobalFree(settings.lpszProxyBypass);
}

} // namespace

std::string platform_system_proxy(const char* url) {
    std::string proxies;
    std::string bypass;
    system_proxy_lists(widen(url), &proxies, &bypass);
    return proxy_for_url(url, proxies, bypass);
}

std::string platform_system_root_certificates() {
    std::string pem;
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr)
        return pem;
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert != nullptr;
         cert = CertEnumCertificatesInStore(store, cert)) {
        DWORD chars = 0;
        if (!CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded,
                                  CRYPT_STRING_BASE64HEADER, nullptr, &chars))
            continue;
        std::string text(chars, '\0');
        if (CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded,
                                 CRYPT_STRING_BASE64HEADER, text.data(), &chars))
            pem.append(text.c_str());
    }
    CertCloseStore(store, 0);
    return pem;
}

int platform_free_space(const char* path, uint64_t* bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW((long_path(path) + L'\\').c_str(), &available, nullptr, nullptr))
        return static_cast<int>(GetLastError());
    *bytes = available.QuadPart;
    return 0;
}

int platform_stamp(const char* path, platform_file_stamp* out) {
    // Opened for its attributes only, sharing everything, the link itself rather than its target.
    HANDLE file = CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
    constexpr DWORD not_regular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    out->regular = (info.dwFileAttributes & not_regular) == 0;
    out->directory =
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
        FILE_ATTRIBUTE_DIRECTORY;
    return 0;
}

static int map_view(HANDLE file, uint64_t size, bool writable, platform_mapping* out) {
    HANDLE view =
        CreateFileMappingA(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                           static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    void* data = view != nullptr
                     ? MapViewOfFile(view, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0)
                     : nullptr;
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
    std::wstring wide = long_path(path);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        int error = static_cast<int>(in_use_if_denied(GetLastError(), wide));
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
    HANDLE file = CreateFileW(long_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

void platform_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

// The Microsoft runtime has no line buffering (_IOLBF means full buffering there).
void platform_unbuffer_stdout() {
    setvbuf(stdout, nullptr, _IONBF, 0);
}

char* platform_current_directory() {
    std::wstring dir = current_directory();
    return dir.empty() ? nullptr : strdup(narrow(dir.c_str()).c_str());
}

bool platform_start_process(const char* exe, const char* work_dir, unsigned long* error) {
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    static_assert(sizeof(STARTUPINFOW) == 104);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    // A game's own folder is its working directory, which Windows holds to 260 characters: plain
    // paths, not the long form.
    std::wstring wide_exe = windows_path(exe);
    std::wstring wide_dir = windows_path(work_dir);
    if (!CreateProcessW(wide_exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                        wide_dir.c_str(), &startup, &process)) {
        *error = GetLastError();
        return false;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
