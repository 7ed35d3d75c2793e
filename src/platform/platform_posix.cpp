// The POSIX side of the platform layer: the Linux stand-in for the Windows calls.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

// --- Where the launcher works ----------------------------------------------------------------

namespace {

constexpr const char* own_executable_link = "/proc/self/exe";
constexpr size_t first_path_size = 256;
constexpr size_t max_path_size = 1 << 16; // far past PATH_MAX: a longer answer is a fault

// The executable's absolute path (links resolved) as a malloc'd string; null with errno set.
char* executable_path() {
    // readlink cuts a long answer without saying so: grow the buffer until the answer fits.
    for (size_t size = first_path_size; size <= max_path_size; size *= 2) {
        char* path = static_cast<char*>(malloc(size));
        if (path == nullptr)
            return nullptr;
        ssize_t len = readlink(own_executable_link, path, size);
        if (len >= 0 && static_cast<size_t>(len) < size) {
            path[len] = '\0';
            return path;
        }
        int err = errno;
        free(path);
        if (len < 0) {
            errno = err;
            return nullptr;
        }
    }
    errno = ENAMETOOLONG;
    return nullptr;
}

} // namespace

bool platform_enter_executable_directory(char* reason, size_t reason_size) {
    char* path = executable_path();
    if (path == nullptr) {
        snprintf(reason, reason_size, "Cannot find the launcher's own folder (%s): %s",
                 own_executable_link, strerror(errno));
        return false;
    }
    // The path is absolute: its last '/' ends the directory, the root's included.
    char* last_slash = strrchr(path, '/');
    last_slash[last_slash == path ? 1 : 0] = '\0';
    bool entered = chdir(path) == 0;
    if (!entered)
        snprintf(reason, reason_size, "Cannot work in the launcher's folder %s: %s", path,
                 strerror(errno));
    free(path);
    return entered;
}

// --- Single instance -------------------------------------------------------------------------

namespace {

// The lock's descriptor, kept open until exit (or across an exec by platform_hand_over); the
// main thread writes it once, before any other thread starts.
int instance_fd = -1;
// Names the lock's descriptor for the launcher that platform_hand_over executes.
constexpr const char* handover_variable = "VELM_INSTANCE_FD";

// The lock's address: a socket in the abstract namespace, named `name` and the real user id, so
// each user has a lock of their own, as each login session has on Windows.
bool lock_address(const char* name, sockaddr_un* addr, socklen_t* addr_len) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    // sun_path[0] = '\0' selects the abstract namespace; the name is not NUL-terminated there.
    int written = snprintf(addr->sun_path + 1, sizeof addr->sun_path - 1, "%s.uid%u", name,
                           static_cast<unsigned>(getuid()));
    if (written < 0 || static_cast<size_t>(written) >= sizeof addr->sun_path - 1)
        return false;
    *addr_len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(written));
    return true;
}

// The lock a predecessor handed over: the descriptor that the handover variable names, when it is
// a socket bound to the lock's own address (no other process can hold that one).
bool take_handed_over_lock(const sockaddr_un& addr, socklen_t addr_len) {
    const char* named = getenv(handover_variable);
    if (named == nullptr)
        return false;
    char* end = nullptr;
    long fd = strtol(named, &end, 10);
    unsetenv(handover_variable); // the game started later must not see it
    sockaddr_un bound{};
    socklen_t bound_len = sizeof bound;
    if (end == named || *end != '\0' || fd < 0 || fd > INT_MAX ||
        getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0 ||
        bound_len != addr_len || memcmp(&bound, &addr, addr_len) != 0)
        return false;
    instance_fd = static_cast<int>(fd);
    fcntl(instance_fd, F_SETFD, FD_CLOEXEC);
    return true;
}

} // namespace

bool platform_acquire_single_instance(const char* name, bool* successor) {
    // A socket bound in the abstract namespace: the kernel frees the name when the process
    // dies, as Windows frees a named mutex.
    *successor = false;
    sockaddr_un addr;
    socklen_t addr_len = 0;
    if (!lock_address(name, &addr, &addr_len))
        return false;
    if (take_handed_over_lock(addr, addr_len)) {
        *successor = true;
        return true;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
        close(fd);
        return false;
    }
    instance_fd = fd;
    return true;
}

// --- The launcher's own executable -----------------------------------------------------------

namespace {

char** start_argv = nullptr; // as main received them; main thread, once
char* start_directory = nullptr;

// Grants the execute permission where reading is granted (a downloaded file has none).
void grant_execute(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return;
    mode_t exec_bits = (st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2;
    if ((st.st_mode & exec_bits) != exec_bits)
        chmod(path, st.st_mode | exec_bits);
}

} // namespace

void platform_remember_start(int, char** argv) {
    start_argv = argv;
    start_directory = getcwd(nullptr, 0);
}

char* platform_executable_name() {
    char* path = executable_path();
    if (path == nullptr)
        return nullptr;
    char* name = strdup(strrchr(path, '/') + 1);
    free(path);
    return name;
}

int platform_replace_executable(const char* from, const char* to) {
    return rename(from, to) == 0 ? 0 : errno;
}

bool platform_hand_over(const char* exe, const char*, char* reason, size_t reason_size) {
    grant_execute(exe);
    // The new executable's environment: this one's, and the lock's descriptor.
    std::vector<std::string> variables;
    std::string prefix = std::string(handover_variable) + "=";
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (strncmp(*variable, prefix.c_str(), prefix.size()) != 0)
            variables.emplace_back(*variable);
    variables.push_back(prefix + std::to_string(instance_fd));
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    // Nothing of this launcher's but the lock and the standard streams crosses the exec.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    fcntl(instance_fd, F_SETFD, 0);
    char* here = getcwd(nullptr, 0);
    int error = start_directory != nullptr && chdir(start_directory) != 0 ? errno : 0;
    fflush(stdout);
    fflush(stderr);
    if (error == 0) {
        execve(exe, start_argv, envp.data());
        error = errno;
    }
    // Not started: this launcher goes on where it was.
    fcntl(instance_fd, F_SETFD, FD_CLOEXEC);
    if (here != nullptr && chdir(here) != 0)
        error = errno;
    free(here);
    snprintf(reason, reason_size, "%s", strerror(error));
    return false;
}

// Message boxes are in platform_posix_box.cpp: only the launcher, which links SDL, shows them.

// --- Files and directories -------------------------------------------------------------------

bool platform_entry_exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

namespace {

// Fills `out` from one readdir entry; 0 or an errno value.
uint32_t describe_entry(DIR* dir, const dirent* entry, platform_find_data* out) {
    size_t name_len = strlen(entry->d_name);
    if (name_len >= sizeof out->name)
        return ENAMETOOLONG;
    memcpy(out->name, entry->d_name, name_len + 1);

    // Relative to the open directory: no path to build for each entry.
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return static_cast<uint32_t>(errno);

    if (S_ISLNK(st.st_mode))
        out->attributes = platform_attr_reparse_point;
    else if (S_ISDIR(st.st_mode))
        out->attributes = platform_attr_directory;
    else
        out->attributes = platform_attr_normal;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    out->size_high = static_cast<uint32_t>(size >> 32);
    out->size_low = static_cast<uint32_t>(size);
    return 0;
}

// Fills `out` from the next entry; 0, platform_error_no_more_files, or an errno value.
uint32_t read_entry(DIR* dir, platform_find_data* out) {
    for (;;) {
        errno = 0;
        dirent* entry = readdir(dir);
        if (entry == nullptr)
            return errno == 0 ? platform_error_no_more_files : static_cast<uint32_t>(errno);
        uint32_t err = describe_entry(dir, entry, out);
        // An entry deleted between readdir and fstatat is left out, as Windows would.
        if (err != ENOENT)
            return err;
    }
}

} // namespace

platform_find_handle platform_find_first(const char* pattern, platform_find_data* out) {
    // The pattern is the directory followed by "\*"; opendir wants the directory alone.
    size_t len = strlen(pattern);
    if (len < 2 || pattern[len - 2] != '\\' || pattern[len - 1] != '*') {
        errno = EINVAL;
        return platform_invalid_find_handle;
    }
    char* path = strndup(pattern, len - 2);
    DIR* dir = path != nullptr ? opendir(path) : nullptr;
    int open_error = errno;
    free(path);
    if (dir == nullptr) {
        errno = open_error;
        return platform_invalid_find_handle;
    }
    uint32_t err = read_entry(dir, out);
    if (err == 0)
        return reinterpret_cast<platform_find_handle>(dir);
    closedir(dir);
    // Every directory lists "." at least; an empty listing is a failure too.
    errno = err == platform_error_no_more_files ? ENOENT : static_cast<int>(err);
    return platform_invalid_find_handle;
}

uint32_t platform_find_next(platform_find_handle handle, platform_find_data* out) {
    return read_entry(reinterpret_cast<DIR*>(handle), out);
}

void platform_find_close(platform_find_handle handle) {
    closedir(reinterpret_cast<DIR*>(handle));
}

int platform_mkdir(const char* path) {
    return mkdir(path, 0755) == 0 ? 0 : errno;
}

const bool platform_names_ignore_case = false;

int platform_remove(const char* path) {
    return unlink(path) == 0 ? 0 : errno;
}

int platform_remove_directory(const char* path) {
    return rmdir(path) == 0 ? 0 : errno;
}

int platform_rename(const char* from, const char* to) {
    // rename() would replace an existing `to`; the callers never want that.
    struct stat st;
    if (lstat(to, &st) == 0)
        return EEXIST;
    return rename(from, to) == 0 ? 0 : errno;
}

int platform_replace(const char* from, const char* to) {
    return rename(from, to) == 0 ? 0 : errno;
}

int platform_open_file(const char* path, const char* mode, FILE** out) {
    *out = fopen(path, mode);
    return *out != nullptr ? 0 : errno;
}

int platform_seek(FILE* f, uint64_t offset) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : errno;
}

// A running program's files can be replaced here: the system keeps the old content for it.
bool platform_held_by_running_program(const char*) {
    return false;
}

FILE* platform_create_new_file(const char* path) {
    constexpr mode_t mode = 0644;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return f;
}

bool platform_error_is_in_use(int error) {
    return error == EBUSY || error == ETXTBSY;
}

bool platform_error_is_missing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

bool platform_error_is_denied(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

bool platform_error_is_disk_full(int error) {
    return error == ENOSPC || error == EDQUOT;
}

void platform_error_text(int error, char* text, size_t size) {
    snprintf(text, size, "%s", strerror(error));
}

// libcurl reads the proxy from the environment (https_proxy, no_proxy) by itself.
std::string platform_system_proxy(const char*) {
    return "";
}

std::string platform_system_root_certificates() {
    return "";
}

int platform_free_space(const char* path, uint64_t* bytes) {
    struct statvfs st;
    if (statvfs(path, &st) != 0)
        return errno;
    *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return 0;
}

int platform_stamp(const char* path, platform_file_stamp* out) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno;
    constexpr uint64_t ns = 1000000000;
    out->size = static_cast<uint64_t>(st.st_size);
    out->write_time =
        static_cast<uint64_t>(st.st_mtim.tv_sec) * ns + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    out->change_time =
        static_cast<uint64_t>(st.st_ctim.tv_sec) * ns + static_cast<uint64_t>(st.st_ctim.tv_nsec);
    out->volume = static_cast<uint64_t>(st.st_dev);
    out->index = static_cast<uint64_t>(st.st_ino);
    out->regular = S_ISREG(st.st_mode);
    out->directory = S_ISDIR(st.st_mode);
    return 0;
}

int platform_map_file(const char* path, platform_mapping* out) {
    *out = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        return error;
    }
    out->size = static_cast<uint64_t>(st.st_size);
    if (out->size > 0) {
        void* data = mmap(nullptr, out->size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (data == MAP_FAILED) {
            int error = errno;
            close(fd);
            return error;
        }
        out->data = data;
    }
    out->file = fd;
    return 0;
}

int platform_map_new_file(const char* path, uint64_t size, platform_mapping* out) {
    *out = {nullptr, size, -1, 1}; // `view` 1: mapped for writing
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    // The space is taken now: a full disk is an error here rather than a crash when the mapped
    // pages are written.
    int error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    void* data =
        error == 0 ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (data == MAP_FAILED) {
        if (error == 0)
            error = errno;
        close(fd);
        return error;
    }
    out->data = data;
    out->file = fd;
    return 0;
}

FILE* platform_memory_stream(const void* data, size_t size) {
    if (size == 0) { // fmemopen refuses an empty buffer
        errno = EINVAL;
        return nullptr;
    }
    return fmemopen(const_cast<void*>(data), size, "rb");
}

int platform_unmap(platform_mapping* mapping, uint64_t keep) {
    int error = 0;
    if (mapping->data != nullptr && munmap(mapping->data, mapping->size) != 0)
        error = errno;
    bool writable = mapping->view == 1;
    if (writable && error == 0 && keep < mapping->size &&
        ftruncate(static_cast<int>(mapping->file), static_cast<off_t>(keep)) != 0)
        error = errno;
    if (mapping->file >= 0 && close(static_cast<int>(mapping->file)) != 0 && error == 0)
        error = errno;
    *mapping = {};
    return error;
}

// --- Processes -------------------------------------------------------------------------------

void platform_exit_now(int status) {
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

void platform_sleep_ms(uint32_t ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

void platform_unbuffer_stdout() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

char* platform_current_directory() {
    // getcwd with a null buffer allocates one as long as the path needs.
    return getcwd(nullptr, 0);
}

bool platform_start_process(const char* exe, const char* work_dir, unsigned long* error) {
    // A downloaded file has no execute bit: grant it where reading is granted.
    struct stat st;
    if (stat(exe, &st) != 0) {
        *error = static_cast<unsigned long>(errno);
        return false;
    }
    grant_execute(exe);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The game starts in its own directory; run it from there by its absolute path.
    int rc = posix_spawn_file_actions_addchdir_np(&actions, work_dir);
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(exe), nullptr};
    if (rc == 0)
        rc = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = static_cast<unsigned long>(rc);
        return false;
    }
    return true;
}
