// The lock that keeps receivers on different machines, writing into one shared incoming tree
// (NFSv4, CephFS, GlusterFS), from writing or backing up one file name at once.
//
// Each incoming root has one hidden lock file, "<in_dir>/.qk_relay.lock", created empty
// (mode 0644) on first use and never removed: removing it could let a receiver that opened
// the old file and one that creates a new one both believe they hold a name. A name is
// locked by a write lock on one byte of that file, at an offset that is a 62-bit FNV-1a hash
// of the name's path relative to the incoming root, so receivers whose roots are mounted at
// different places agree; two names whose hashes collide merely wait for each other. The
// file's name and the hash are thus shared by every receiver of a tree and must not change.
//
// The locks are open-file-description locks (F_OFD_SETLK), taken without waiting: they belong
// to the open file, not to the process, so two connections of one receiver (each with its own
// object, and so its own open file) exclude each other as two receivers do, and closing one
// descriptor never drops a lock that another connection holds, as it would with classic
// process-owned fcntl locks. Linux's NFSv4 client, CephFS and GlusterFS's FUSE client pass
// fcntl byte-range locks to the server, so they hold across machines; flock, which NFS and
// some FUSE file systems keep local, would not. The kernel drops the locks of a receiver that
// dies with its descriptors.
//
// An object belongs to one received file: it holds at most one name at a time (that file's,
// from its header to its status), and keeps the lock file of the last root open between the
// files that reuse it. A connection therefore holds one name per file it has not answered: up
// to QK_COMMIT_FILES finished files and the one in progress. Not thread-safe: used by the
// thread that owns its file at the time (the connection's, or its committer's).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class CQKNameLock {
public:
    enum class Result {
        Held,        // this object holds the name now
        Busy,        // another receiver (or another connection) holds the name
        Unavailable  // the store gives no lock (see error()): nobody can be kept out
    };

    static constexpr const char* kFileName = ".qk_relay.lock";

    CQKNameLock() = default;
    ~CQKNameLock();
    CQKNameLock(const CQKNameLock&) = delete;
    CQKNameLock& operator=(const CQKNameLock&) = delete;

    // Locks relative_path ("/"-separated, below in_dir) without waiting, after giving up the
    // name held before.
    Result tryLock(const std::string& in_dir, const std::string& relative_path);
    // Gives up the name held, if any.
    void unlock() noexcept;
    bool isHeld() const { return m_held; }
    // Why the last tryLock answered Unavailable.
    const std::string& error() const { return m_error; }

    // The byte of the lock file that stands for relative_path.
    static off_t offsetOf(const std::string& relative_path);

private:
    bool openLockFile(const std::string& in_dir);
    bool lockedByOthers(off_t offset) const;
    void closeLockFile() noexcept;

    int m_fd = -1;
    std::string m_path;  // of the open lock file
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_held = false;
    off_t m_offset = 0;  // of the name held
    std::string m_error;
};
