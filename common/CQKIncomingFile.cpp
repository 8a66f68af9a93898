// Temporary-file writing with fsync and atomic rename for received files.
#include "CQKIncomingFile.h"

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

void sync_directory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw Poco::WriteFileException("Error of opening of directory: " + dir, errno_text());
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    if (rc != 0)
        throw Poco::WriteFileException("Error of syncing of directory: " + dir,
                                       std::strerror(saved));
}

}  // namespace

CQKIncomingFile::~CQKIncomingFile() {
    abandon();
}

void CQKIncomingFile::open(const std::string& dir, const std::string& target_path) {
    abandon();
    m_dir = dir.empty() ? "." : dir;
    m_target_path = target_path;
    m_temp_path = m_dir + "/" + temporary_name();
    m_fd = ::open(m_temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        const std::string reason = errno_text();
        m_temp_path.clear();
        throw Poco::CreateFileException("Error of creating of file: " + target_path, reason);
    }
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
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throw Poco::WriteFileException("Error of closing of file: " + m_target_path, errno_text());
    if (::rename(m_temp_path.c_str(), m_target_path.c_str()) != 0) {
        throw Poco::WriteFileException("Error of renaming of file: " + m_target_path, errno_text());
    }
    m_temp_path.clear();
    sync_directory(m_dir);
}

void CQKIncomingFile::abandon() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temp_path.empty()) {
        ::unlink(m_temp_path.c_str());
        m_temp_path.clear();
    }
}

long CQKIncomingFile::writeSome(int fd, const std::uint8_t* data, std::size_t len) {
    return static_cast<long>(::write(fd, data, len));
}

int CQKIncomingFile::syncFile(int fd) {
    return ::fdatasync(fd);
}
