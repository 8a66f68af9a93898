// The single-instance lock: flock on a file in a directory that only its user may write.
#include "base/CQKInstanceLock.h"

#include "base/qk_path.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Path.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// A directory of ours: created with `mode` when missing, then accepted only when it is a
// real directory (not a link) owned by uid that no one else may write.
bool private_directory(const std::string& path, uid_t uid, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return st.st_uid == uid && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string home_of(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || found->pw_dir[0] != '/')
        return "";
    return found->pw_dir;
}

}  // namespace

CQKInstanceLock::CQKInstanceLock(std::string name, std::string what)
    : m_name(std::move(name)), m_what(std::move(what)) {}

std::string CQKInstanceLock::pathLockName(const std::string& program, const std::string& path) {
    return program + "." + qk_stable_digest(canonicalPath(path), 8);
}

std::string CQKInstanceLock::canonicalPath(const std::string& path) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        std::string canonical(resolved);
        std::free(resolved);
        return canonical;
    }
    return Poco::Path(path).makeAbsolute().toString();
}

std::string CQKInstanceLock::path() const {
    return lockDirectory(::geteuid()) + m_name + ".lock";
}

CQKInstanceLock::~CQKInstanceLock() {
    unlock();
}

std::string CQKInstanceLock::lockDirectory(uid_t uid) {
    // A unit with RuntimeDirectory= names its private directory (the first of a list): a
    // service under an account of its own has no home to keep its lock in.
    if (const char* runtime = std::getenv("RUNTIME_DIRECTORY")) {
        const std::string first = std::string(runtime).substr(0, std::strcspn(runtime, ":"));
        if (!first.empty() && first[0] == '/' && private_directory(first, uid, 0755))
            return first + "/";
    }
    if (uid == 0) {
        if (private_directory("/run/qk_relay", 0, 0755))
            return "/run/qk_relay/";
    } else {
        const std::string home = home_of(uid);
        if (!home.empty() && private_directory(home + "/.cache", uid, 0700) &&
            private_directory(home + "/.cache/qk_relay", uid, 0700))
            return home + "/.cache/qk_relay/";
    }
    const std::string fallback = "/tmp/qk_relay-" + std::to_string(uid);
    if (private_directory(fallback, uid, 0700))
        return fallback + "/";
    throw Poco::FileException("No private directory for the single-instance lock", fallback);
}

bool CQKInstanceLock::tryLock() {
    if (m_fd >= 0)
        return true;
    const std::string path = this->path();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw Poco::FileException("Cannot open the single-instance lock " + path,
                                  std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return false;
        throw Poco::FileException("Cannot lock " + path, std::strerror(error));
    }
    m_fd = fd;
    writeHolder();
    return true;
}

void CQKInstanceLock::writeHolder() const {
    // Best effort: the lock holds without the note, a refusal then names no process.
    const std::string note = std::to_string(::getpid()) + "\n" + m_what + "\n";
    if (::ftruncate(m_fd, 0) != 0 ||
        ::pwrite(m_fd, note.data(), note.size(), 0) != static_cast<ssize_t>(note.size()))
        return;
}

long CQKInstanceLock::holderPid() const {
    long pid = 0;
    std::ifstream file(path());
    if (!(file >> pid) || pid <= 0)
        return 0;
    return pid;
}

void CQKInstanceLock::unlock() {
    if (m_fd < 0)
        return;
    ::close(m_fd);  // closing the only descriptor releases the flock
    m_fd = -1;
}
