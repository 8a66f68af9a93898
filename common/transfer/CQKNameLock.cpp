// Per-name locks on a shared incoming tree: one byte each of a hidden lock file, by OFD lock.
#include "transfer/CQKNameLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/qk_path.h"

namespace {

struct flock byte_at(off_t offset, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    lock.l_pid = 0;  // required by OFD locks
    return lock;
}

}  // namespace

CQKNameLock::~CQKNameLock() {
    closeLockFile();
}

off_t CQKNameLock::offsetOf(const std::string& relative_path) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : relative_path) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    // 62 bits: the byte and the one after it stay within a signed 64-bit offset.
    return static_cast<off_t>(hash & ((std::uint64_t{1} << 62) - 1));
}

CQKNameLock::Result CQKNameLock::tryLock(const std::string& in_dir,
                                         const std::string& relative_path) {
    unlock();
    m_error.clear();
    if (!openLockFile(in_dir))
        return Result::Unavailable;
    const off_t offset = offsetOf(relative_path);
    struct flock lock = byte_at(offset, F_WRLCK);
    if (::fcntl(m_fd, F_OFD_SETLK, &lock) == 0) {
        m_held = true;
        m_offset = offset;
        return Result::Held;
    }
    const int error = errno;
    // Linux answers a conflict with EAGAIN; POSIX allows EACCES too, which some file systems
    // may also use for "no locks here": a look at the holder tells the two apart.
    if (error == EAGAIN || error == EWOULDBLOCK || (error == EACCES && lockedByOthers(offset)))
        return Result::Busy;
    m_error = "Cannot lock " + m_path + ": " + std::strerror(error);
    return Result::Unavailable;
}

void CQKNameLock::unlock() noexcept {
    if (!m_held)
        return;
    m_held = false;
    struct flock lock = byte_at(m_offset, F_UNLCK);
    if (::fcntl(m_fd, F_OFD_SETLK, &lock) != 0)
        closeLockFile();  // the last descriptor of the open file takes its locks along
}

bool CQKNameLock::lockedByOthers(off_t offset) const {
    struct flock lock = byte_at(offset, F_WRLCK);
    return ::fcntl(m_fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Opens the root's lock file, or keeps the one open when the path still names it: a lock on a
// file that the path no longer names would keep nobody out.
bool CQKNameLock::openLockFile(const std::string& in_dir) {
    const std::string path = qk_generate_path(in_dir, kFileName);
    struct stat info;
    if (m_fd >= 0 && path == m_path && ::stat(path.c_str(), &info) == 0 &&
        info.st_dev == m_device && info.st_ino == m_inode) {
        return true;
    }
    closeLockFile();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        m_error = "Cannot open " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    return true;
}

void CQKNameLock::closeLockFile() noexcept {
    m_held = false;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}
