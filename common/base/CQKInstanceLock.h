// The single-instance lock of a program: at most one process per program and user holds it.
//
// It is an flock(2) on "<program>.lock" in a directory private to the user: the unit's
// runtime directory ($RUNTIME_DIRECTORY) for a system service, /run/qk_relay/ for root,
// ~/.cache/qk_relay/ of the user's passwd entry for everyone else, /tmp/qk_relay-<uid>/ when
// that home cannot be used. No other user can
// write into these directories, so nobody can hold another user's lock, and the files are
// never shared between users, so the sysctl fs.protected_regular does not apply. The kernel
// drops the lock when the process ends, however it ends; a lock file left behind is simply
// locked again by the next start.
//
// Threads: an object is used by one thread at a time. Errors are Poco exceptions.
#pragma once

#include <sys/types.h>

#include <string>

class CQKInstanceLock {
public:
    explicit CQKInstanceLock(std::string program);
    ~CQKInstanceLock();
    CQKInstanceLock(const CQKInstanceLock&) = delete;
    CQKInstanceLock& operator=(const CQKInstanceLock&) = delete;

    // True when the lock is now held by this object; false when another process (or another
    // object) holds it. Throws Poco::FileException naming the path when no lock file can be
    // opened.
    bool tryLock();
    void unlock();

    // The directory of the lock files of the user `uid`, created when missing.
    static std::string lockDirectory(uid_t uid);

private:
    std::string m_program;
    int m_fd = -1;
};
