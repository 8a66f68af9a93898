// Unnamed or hidden temporary files, fsync and atomic placement for received files.
#include "transfer/CQKIncomingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string errno_text() {
    return std::strerror(errno);
}

// Hidden, and unique within the host: the process id and a process-wide counter.
std::string temporary_name() {
    static std::atomic<unsigned long> counter{0};
    return ".qk_relay." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".part";
}

// The errors by which a file system says it has no unnamed files.
bool unnamed_files_unsupported(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

CQKIncomingFile::~CQKIncomingFile() {
    abandon();
    closeDirectory();
}

void CQKIncomingFile::open(const std::string& dir, const std::string& target_path) {
    abandon();
    openDirectory(dir.empty() ? "." : dir);
    m_target_path = target_path;
    m_target_name = target_path.substr(target_path.rfind('/') + 1);
    if (!openUnnamed())
        openNamed();
}

void CQKIncomingFile::openDirectory(const std::string& dir) {
    if (m_dir_fd >= 0 && dir == m_dir && pathNamesOpenDirectory())
        return;  // consecutive files of one directory
    closeDirectory();
    m_dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (m_dir_fd < 0 || ::fstat(m_dir_fd, &info) != 0) {
        const std::string error = errno_text();
        closeDirectory();
        throw Poco::OpenFileException("Error of opening of directory: " + dir, error);
    }
    m_dir = dir;
    m_dir_device = info.st_dev;
    m_dir_inode = info.st_ino;
}

// False when the directory was renamed or removed, and the path now names another one or none.
bool CQKIncomingFile::pathNamesOpenDirectory() const {
    struct stat info;
    return ::stat(m_dir.c_str(), &info) == 0 && info.st_dev == m_dir_device &&
           info.st_ino == m_dir_inode;
}

bool CQKIncomingFile::openUnnamed() {
    m_fd = ::openat(m_dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (m_fd >= 0)
        return true;
    if (unnamed_files_unsupported(errno))
        return false;
    throw Poco::CreateFileException("Error of creating of file: " + m_target_path, errno_text());
}

void CQKIncomingFile::openNamed() {
    const std::string name = temporary_name();
    m_fd = ::openat(m_dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_fd < 0)
        throw Poco::CreateFileException("Error of creating of file: " + m_target_path,
                                        errno_text());
    m_temp_name = name;
}

void CQKIncomingFile::write(const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        long n = writeSome(m_fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Poco::WriteFileException("Error of writing of file: " + m_target_path,
                                           errno_text());
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void CQKIncomingFile::commit() {
    if (syncFile(m_fd) != 0)
        throw Poco::WriteFileException("Error of syncing of file: " + m_target_path, errno_text());
    const bool placed = m_temp_name.empty() && linkUnderTarget();
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throw Poco::WriteFileException("Error of closing of file: " + m_target_path, errno_text());
    // Names are given relative to the open directory: the one that is synced below.
    if (!placed &&
        ::renameat(m_dir_fd, m_temp_name.c_str(), m_dir_fd, m_target_name.c_str()) != 0) {
        throw Poco::WriteFileException("Error of renaming of file: " + m_target_path, errno_text());
    }
    m_temp_name.clear();
    if (syncDirectory(m_dir_fd) != 0) {
        throw Poco::WriteFileException("Error of syncing of directory: " + m_dir, errno_text());
    }
    // Replaced while the file was written: the synced name is not under the path.
    if (!pathNamesOpenDirectory()) {
        throw Poco::WriteFileException("Error of syncing of directory: " + m_dir,
                                       "the path names another directory now");
    }
}

// Links the unnamed file under the target name: one directory operation for a new name.
// When the name is taken (a file being replaced), it gets a hidden name instead, so that the
// rename that follows replaces the old file in one step. True when the file is in place.
bool CQKIncomingFile::linkUnderTarget() {
    const std::string proc_path = "/proc/self/fd/" + std::to_string(m_fd);
    if (::linkat(AT_FDCWD, proc_path.c_str(), m_dir_fd, m_target_name.c_str(), AT_SYMLINK_FOLLOW) ==
        0) {
        return true;
    }
    if (errno != EEXIST)
        throw Poco::WriteFileException("Error of linking of file: " + m_target_path, errno_text());
    const std::string name = temporary_name();
    if (::linkat(AT_FDCWD, proc_path.c_str(), m_dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        throw Poco::WriteFileException("Error of linking of file: " + m_target_path, errno_text());
    }
    m_temp_name = name;
    return false;
}

void CQKIncomingFile::abandon() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);  // an unnamed file vanishes with its last descriptor
        m_fd = -1;
    }
    if (!m_temp_name.empty()) {
        ::unlinkat(m_dir_fd, m_temp_name.c_str(), 0);
        m_temp_name.clear();
    }
}

void CQKIncomingFile::closeDirectory() noexcept {
    if (m_dir_fd >= 0)
        ::close(m_dir_fd);
    m_dir_fd = -1;
    m_dir.clear();
}

long CQKIncomingFile::writeSome(int fd, const std::uint8_t* data, std::size_t len) {
    return static_cast<long>(::write(fd, data, len));
}

int CQKIncomingFile::syncFile(int fd) {
    return ::fdatasync(fd);
}

int CQKIncomingFile::syncDirectory(int dir_fd) {
    return ::fsync(dir_fd);
}
