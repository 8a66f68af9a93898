// A single-instance lock: at most one process per lock name and user holds it. A program
// takes one per program ("<program>") or one per thing two of its runs must not share
// (qk_lock_name: a tree or a port), so that runs on different things go side by side.
//
// It is an flock(2) on "<name>.lock" in a directory private to the user: the unit's
// runtime directory ($RUNTIME_DIRECTORY) for a system service, /run/qk_relay/ for root,
// ~/.cache/qk_relay/ of the user's passwd entry for everyone else, /tmp/qk_relay-<uid>/ when
// that home cannot be used. No other user can
// write into these directories, so nobody can hold another user's lock, and the files are
// never shared between users, so the sysctl fs.protected_regular does not apply. The kernel
// drops the lock when the process ends, however it ends; a lock file left behind is simply
// locked again by the next start. The holder writes its process id and what it guards into
// the file, so that a refused run can name both.
//
// Threads: an object is used by one thread at a time. Errors are Poco exceptions.
#pragma once

#include <sys/types.h>

#include <string>

class CQKInstanceLock {
public:
    // name: the lock file's name without ".lock"; what: what the lock guards, as a refusal
    // names it ("the outgoing tree /srv/out"), empty for the program itself.
    explicit CQKInstanceLock(std::string name, std::string what = "");
    ~CQKInstanceLock();
    CQKInstanceLock(const CQKInstanceLock&) = delete;
    CQKInstanceLock& operator=(const CQKInstanceLock&) = delete;

    // True when the lock is now held by this object; false when another process (or another
    // object) holds it. Throws Poco::FileException naming the path when no lock file can be
    // opened.
    bool tryLock();
    void unlock();

    // The lock file's path (the directory is created when missing).
    std::string path() const;
    // The process id the holder wrote into the lock file; 0 when there is none (a holder
    // that has not written it yet, or a file of an older version).
    long holderPid() const;

    // The lock name "<program>.<8 hex digits>" of a file system path: a hash of the canonical
    // path (the path made absolute when it does not exist), so that two spellings of one
    // tree meet on one lock.
    static std::string pathLockName(const std::string& program, const std::string& path);
    // The canonical path of path (made absolute when it does not exist).
    static std::string canonicalPath(const std::string& path);

    // The directory of the lock files of the user `uid`, created when missing.
    static std::string lockDirectory(uid_t uid);

private:
    void writeHolder() const;

    std::string m_name;
    std::string m_what;
    int m_fd = -1;
};
