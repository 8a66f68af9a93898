// Identities of sent files and the words for what keeps a sender from reading or removing them.
#include "transfer/qk_sender_files.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/qk_console.h"

namespace {

// The directory part of a path as the sender builds them ("dir/name").
std::string parent_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// True when path (not followed when it is a link) carries the immutable or append-only flag,
// which keeps it, or what a directory holds, from being removed by any account. False also
// when the flags cannot be asked.
bool is_immutable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    int flags = 0;
    const bool asked = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    return asked && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

}  // namespace

bool qk_identity_of(const std::string& path, SQKFileIdentity& identity, bool directory) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return false;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.inode = static_cast<std::uint64_t>(info.st_ino);
    // A directory's size and time change with every entry made or removed in it.
    identity.size = directory ? 0 : static_cast<std::int64_t>(info.st_size);
    identity.mtime_ns = directory ? 0
                                  : static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                                        info.st_mtim.tv_nsec;
    return true;
}

bool qk_is_permission(int error) {
    return error == EACCES || error == EPERM;
}

std::string qk_read_problem(int error, bool directory) {
    const std::string text = std::strerror(error);
    if (!qk_is_permission(error))
        return text;
    return text + (directory ? " (the account needs read and search permission on it)"
                             : " (the account needs read permission on it)");
}

// A removal needs write and search permission on the directory; an immutable or append-only
// file or directory, or a sticky directory (another account's file), refuses it whatever the
// modes say.
std::string qk_removal_problem(const std::string& path, int error) {
    const std::string text = std::strerror(error);
    const std::string dir = parent_of(path);
    if (qk_is_permission(error)) {
        if (is_immutable(path) || is_immutable(dir))
            return text + " (the file or its directory is immutable or append-only)";
        struct stat dir_info {};
        struct stat file_info {};
        const uid_t account = ::geteuid();
        if (error == EPERM && ::stat(dir.c_str(), &dir_info) == 0 &&
            (dir_info.st_mode & S_ISVTX) != 0 && ::lstat(path.c_str(), &file_info) == 0 &&
            file_info.st_uid != account && dir_info.st_uid != account)
            return text + " (" + dir + " is sticky: only the file's owner may remove it)";
        return text + " (the account needs write and search permission on " + dir + ")";
    }
    if (error == EROFS)
        return text +
               " (the tree is mounted read-only, at least for this process: a service unit "
               "writes only to its ReadWritePaths)";
    return text;
}

void qk_report_left_file(const QKLogTag& tag, const std::string& text) {
    log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
    qk_print_console(text);
}
