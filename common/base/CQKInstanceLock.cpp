// The single-instance lock: flock on a file in a directory that only its user may write.
#include "base/CQKInstanceLock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

CQKInstanceLock::CQKInstanceLock(std::string program) : m_program(std::move(program)) {}

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
    const std::string path = lockDirectory(::geteuid()) + m_program + ".lock";
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
    return true;
}

void CQKInstanceLock::unlock() {
    if (m_fd < 0)
        return;
    ::close(m_fd);  // closing the only descriptor releases the flock
    m_fd = -1;
}
