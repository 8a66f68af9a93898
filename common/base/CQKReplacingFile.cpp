// Whole-or-nothing replacement of a file through a temporary beside it.
#include "base/CQKReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>

#include <cerrno>
#include <cstring>

CQKReplacingFile::CQKReplacingFile(const std::string& target) : m_target(target) {
    const std::size_t slash = target.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (base == target.size())
        throw Poco::InvalidArgumentException("Not a file path", target);
    m_dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    m_temp = target.substr(0, base) + "." + target.substr(base) + ".XXXXXX";
    m_fd = ::mkostemp(&m_temp[0], O_CLOEXEC);
    if (m_fd < 0)
        throw Poco::CreateFileException(target, std::strerror(errno));
}

CQKReplacingFile::~CQKReplacingFile() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_renamed)
        ::unlink(m_temp.c_str());
}

void CQKReplacingFile::write(const char* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(m_fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("Cannot write file ");
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

void CQKReplacingFile::commit(mode_t mode) {
    if (::fchmod(m_fd, mode) != 0)
        fail("Cannot set the mode of file ");
    if (::fsync(m_fd) != 0)
        fail("Cannot flush file ");
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        fail("Cannot close file ");
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0)
        fail("Cannot replace file ");
    m_renamed = true;
    syncDirectory();
}

void CQKReplacingFile::replace(const std::string& target, const std::string& content,
                               mode_t new_mode) {
    struct stat old {};
    const mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : new_mode;
    CQKReplacingFile file(target);
    file.write(content.data(), content.size());
    file.commit(mode);
}

void CQKReplacingFile::fail(const char* what) const {
    throw Poco::WriteFileException(what + m_target, std::strerror(errno));
}

void CQKReplacingFile::syncDirectory() const {
    const int fd = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail("Cannot open the directory of file ");
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (rc != 0)
        fail("Cannot flush the directory of file ");
}
