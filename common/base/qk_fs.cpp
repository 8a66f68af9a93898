// File-system routines on UTF-8 paths, built on POSIX calls; every outcome is a qk_result.h code.
#include "base/qk_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* DEFAULT_PROGRAM_DATA_PATH = QK_IS_SYSTEM_LAYOUT ? "/etc/" : "/var/lib/";

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// A usable path argument: present and short enough to fit QK_MAX_PATH with its terminator.
bool path_fits(const char* path) {
    return path != nullptr && strnlen(path, QK_MAX_PATH) < QK_MAX_PATH;
}

qk_res_t copy_text(char* buffer, std::size_t size, const char* text) {
    if (buffer == nullptr || size == 0)
        return QK_RES_ERROR;
    const std::size_t length = std::strlen(text);
    if (length >= size) {
        buffer[0] = '\0';
        return QK_RES_ERROR;
    }
    std::memcpy(buffer, text, length + 1);
    return QK_RES_OK;
}

bool is_dot_entry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

qk_res_t clear_open_dir(int dir_fd, const char* pattern, bool recursive);

// Removes one entry of the directory behind parent_fd. Everything is resolved relative to that
// descriptor and without following links, so a symbolic link is removed itself and a directory
// swapped for a link during the walk makes the walk fail instead of clearing the link's target.
qk_res_t remove_entry(int parent_fd, const char* name, bool recursive) {
    struct stat info;
    if (fstatat(parent_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return QK_RES_ERROR;
    if (!S_ISDIR(info.st_mode))
        return unlinkat(parent_fd, name, 0) == 0 ? QK_RES_OK : QK_RES_ERROR;
    if (recursive) {
        const int child_fd =
            openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child_fd < 0 || clear_open_dir(child_fd, "*", true) != QK_RES_TRUE)
            return QK_RES_ERROR;
    }
    // Without recursion only an empty directory goes; a non-empty one fails the walk.
    return unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 ? QK_RES_OK : QK_RES_ERROR;
}

// Takes ownership of dir_fd. Entries are removed only after readdir has returned them, which
// leaves the rest of the listing intact.
qk_res_t clear_open_dir(int dir_fd, const char* pattern, bool recursive) {
    DIR* dir = fdopendir(dir_fd);
    if (dir == nullptr) {
        close(dir_fd);
        return QK_RES_ERROR;
    }
    qk_res_t result = QK_RES_TRUE;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!is_dot_entry(entry->d_name) && fnmatch(pattern, entry->d_name, 0) == 0 &&
            remove_entry(dirfd(dir), entry->d_name, recursive) != QK_RES_OK) {
            result = QK_RES_ERROR;
            break;
        }
        errno = 0;
    }
    if (errno != 0)  // readdir itself failed
        result = QK_RES_ERROR;
    closedir(dir);
    return result;
}

// True when path's directory entry lies in dir or below it. When either cannot be resolved the
// answer is true, so that the caller refuses rather than risks clearing path away.
bool entry_lies_within(const char* dir, const char* path) {
    char parent[QK_MAX_PATH];
    if (copy_text(parent, sizeof parent, path) != QK_RES_OK)
        return true;
    char real_dir[PATH_MAX];
    char real_parent[PATH_MAX];
    if (realpath(dir, real_dir) == nullptr || realpath(dirname(parent), real_parent) == nullptr)
        return true;
    const std::size_t length = std::strlen(real_dir);
    if (std::strncmp(real_parent, real_dir, length) != 0)
        return false;
    const char next = real_parent[length];
    return next == '\0' || next == '/' || length == 1;  // length 1: dir is "/"
}

// Clears and removes a directory standing at a move's target.
qk_res_t remove_target_dir(const char* from, const struct stat& from_info, const char* to,
                           const struct stat& to_info) {
    const bool same = from_info.st_dev == to_info.st_dev && from_info.st_ino == to_info.st_ino;
    if (same || entry_lies_within(to, from))
        return QK_RES_ERROR;  // clearing the target would delete what is being moved
    if (qk_clear_dir(to, "*", true) != QK_RES_TRUE)
        return QK_RES_ERROR;
    return rmdir(to) == 0 ? QK_RES_OK : QK_RES_ERROR;
}

struct OpenMode {
    int flags = 0;
    bool writes = false;
    bool truncate = false;
};

// Translates an fopen mode text into open(2) flags. Truncation is kept apart, to be done only
// once the lock is held: truncating first would destroy the file of the writer holding it.
bool parse_open_mode(const char* mode, OpenMode* out) {
    bool plus = false;
    bool exclusive = false;
    for (const char* c = mode + 1; *c != '\0' && *c != ','; ++c) {
        plus = plus || *c == '+';
        exclusive = exclusive || *c == 'x';
    }
    const int access = plus ? O_RDWR : O_WRONLY;
    switch (mode[0]) {
        case 'r':
            out->flags = plus ? O_RDWR : O_RDONLY;
            out->writes = plus;
            break;
        case 'w':
            out->flags = access | O_CREAT | (exclusive ? O_EXCL : 0);
            out->writes = true;
            out->truncate = true;
            break;
        case 'a':
            out->flags = access | O_CREAT | O_APPEND;
            out->writes = true;
            break;
        default:
            return false;
    }
    // Programs launch other processes; an inherited descriptor would keep the lock alive.
    out->flags |= O_CLOEXEC;
    return true;
}

}  // namespace

qk_res_t qk_base_module_path(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0)
        return QK_RES_ERROR;
    const ssize_t length = readlink("/proc/self/exe", buffer, size);
    // A result that fills the whole buffer may have been cut short, and leaves no terminator.
    if (length <= 0 || static_cast<std::size_t>(length) >= size) {
        buffer[0] = '\0';
        return QK_RES_ERROR;
    }
    buffer[length] = '\0';
    return QK_RES_OK;
}

qk_res_t qk_get_program_data_path(char* buffer, std::size_t size) {
    const char* root = std::getenv(QK_PROGRAM_DATA_ENV);
    if (root == nullptr || root[0] == '\0')
        root = DEFAULT_PROGRAM_DATA_PATH;
    if (copy_text(buffer, size, root) != QK_RES_OK)
        return QK_RES_ERROR;
    return qk_add_path_separator(buffer, size);
}

qk_res_t qk_is_file(const char* path) {
    struct stat info;
    if (!path_fits(path) || stat(path, &info) != 0)
        return QK_RES_ERROR;
    return S_ISDIR(info.st_mode) ? QK_RES_FALSE : QK_RES_TRUE;
}

qk_res_t qk_delete_file(const char* path) {
    const qk_res_t kind = qk_is_file(path);
    if (kind != QK_RES_TRUE)
        return kind;
    return unlink(path) == 0 ? QK_RES_OK : QK_RES_ERROR;
}

qk_res_t qk_remove_dir(const char* path) {
    const qk_res_t kind = qk_is_file(path);
    if (kind != QK_RES_FALSE)
        return kind;
    return rmdir(path) == 0 ? QK_RES_OK : QK_RES_ERROR;
}

qk_res_t qk_add_path_separator(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0)
        return QK_RES_ERROR;
    std::size_t length = strnlen(buffer, size);
    if (length == size)
        return QK_RES_ERROR;  // unterminated
    if (length == 0) {
        if (size < 3)
            return QK_RES_ERROR;
        buffer[length++] = '.';
    } else if (is_separator(buffer[length - 1])) {
        return QK_RES_OK;
    } else if (length + 1 >= size) {
        return QK_RES_ERROR;
    }
    buffer[length++] = '/';
    buffer[length] = '\0';
    return QK_RES_OK;
}

qk_res_t qk_clear_dir(const char* dir, const char* pattern, bool recursive) {
    // An empty dir is refused rather than taken as the working directory: a missing setting
    // must not wipe wherever the program happens to run.
    if (!path_fits(dir) || dir[0] == '\0' || !path_fits(pattern))
        return QK_RES_ERROR;
    const int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return QK_RES_ERROR;
    return clear_open_dir(dir_fd, pattern, recursive);
}

qk_res_t qk_move_file(const char* from, const char* to) {
    struct stat from_info;
    if (!path_fits(from) || !path_fits(to) || lstat(from, &from_info) != 0)
        return QK_RES_ERROR;
    struct stat to_info;
    if (lstat(to, &to_info) == 0 && S_ISDIR(to_info.st_mode)) {
        const qk_res_t removed = remove_target_dir(from, from_info, to, to_info);
        if (removed != QK_RES_OK)
            return removed;
    }
    // rename replaces a file at the target in one step, so the target never goes missing.
    return rename(from, to) == 0 ? QK_RES_OK : QK_RES_ERROR;
}

qk_res_t qk_get_file_size(const char* path, std::uint64_t* size) {
    if (size == nullptr)
        return QK_RES_ERROR;
    *size = 0;
    struct stat info;
    if (!path_fits(path) || stat(path, &info) != 0)
        return QK_RES_ERROR;
    if (!S_ISDIR(info.st_mode))
        *size = static_cast<std::uint64_t>(info.st_size);
    return QK_RES_OK;
}

qk_res_t qk_get_modified_age(const char* path, std::int64_t* age_us) {
    struct stat info;
    struct timespec now;
    if (age_us == nullptr || !path_fits(path) || stat(path, &info) != 0 ||
        clock_gettime(CLOCK_REALTIME, &now) != 0)
        return QK_RES_ERROR;
    *age_us = (static_cast<std::int64_t>(now.tv_sec) - info.st_mtim.tv_sec) * 1000000 +
              (static_cast<std::int64_t>(now.tv_nsec) - info.st_mtim.tv_nsec) / 1000;
    return QK_RES_OK;
}

qk_res_t qk_open_shared_file(std::FILE** file, const char* path, const char* mode) {
    if (file == nullptr)
        return QK_RES_ERROR;
    *file = nullptr;
    OpenMode open_mode;
    if (!path_fits(path) || mode == nullptr || !parse_open_mode(mode, &open_mode))
        return QK_RES_ERROR;
    const int fd = open(path, open_mode.flags, 0666);
    if (fd < 0)
        return QK_RES_ERROR;
    const int lock = (open_mode.writes ? LOCK_EX : LOCK_SH) | LOCK_NB;
    std::FILE* stream = nullptr;
    if (flock(fd, lock) != 0 || (open_mode.truncate && ftruncate(fd, 0) != 0) ||
        (stream = fdopen(fd, mode)) == nullptr) {
        close(fd);
        return QK_RES_ERROR;
    }
    *file = stream;
    return QK_RES_OK;
}
