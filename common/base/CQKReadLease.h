// A read lease on a file: proof that no process has it open for writing while it is held.
//
// The kernel grants a read lease only while nobody has the file open for writing, and breaks
// it when somebody opens it for writing (or truncates it) later. A sender holds one from the
// header of a file to its removal, so that it never removes a file that a writer is still
// filling: whatever is appended meanwhile would be lost with it.
//
// A lease break is signalled to the holder with a real-time signal whose handler (installed
// once per process) gives the lease up at once, so the writer's open goes on without waiting
// for the kernel's lease-break time; the holder sees the lease gone at its next look. The
// signal never ends the program.
//
// A lease needs the file's owner or CAP_LEASE, and a file system that supports leases. Where
// the kernel refuses it for one of those reasons, the object falls back to comparing the
// file's identity, size and modification time with what they were when it was opened.
//
// Nothing here throws. Threads: an object is used by one thread at a time.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

class CQKReadLease {
public:
    enum class State {
        Held,      // the lease is held
        Fallback,  // refused for lack of rights or support: compared by identity, size, time
        Writing,   // somebody has the file open for writing
        Missing,   // the path names no file
        Failed     // the file could not be opened for reading
    };

    // Opens path for reading and asks for the lease.
    explicit CQKReadLease(const std::string& path);
    // Gives the lease up and closes the file.
    ~CQKReadLease();
    CQKReadLease(const CQKReadLease&) = delete;
    CQKReadLease& operator=(const CQKReadLease&) = delete;

    State state() const { return m_state; }
    // The errno of the refusal or failure; 0 when the lease is held.
    int error() const { return m_error; }
    // The file's size when it was opened.
    std::uint64_t size() const { return static_cast<std::uint64_t>(m_opened.st_size); }
    // The opened file's status as it was at the opening (its identity, size and times).
    const struct stat& opened() const { return m_opened; }
    // True while the path still names the file opened, of the same size and modification
    // time, and (when held) the lease is unbroken: no writer has opened it since. Always false
    // in the states Writing, Missing and Failed.
    bool unchanged() const;
    // Reads up to length bytes at offset through the descriptor that was checked, so that
    // the content sent is that of the file the lease covers even when its path has been
    // renamed meanwhile. Returns the bytes read (0 at the end of the file), -1 on failure
    // or without an open descriptor.
    long readAt(void* data, std::size_t length, std::uint64_t offset) const;
    // Advice for a file read once from start to end: a longer read-ahead and, with
    // drop_behind, what was read leaves the page cache every few MiB (the sender removes the
    // file once delivered, and nothing reads it again unless a backup is made of it).
    void readSequentially(bool drop_behind);
    // The size of the opened file now (it may have grown or shrunk since it was opened);
    // false without an open descriptor or when it cannot be asked.
    bool currentSize(std::uint64_t& size) const;

private:
    std::string m_path;
    int m_fd = -1;
    State m_state = State::Failed;
    int m_error = 0;
    struct stat m_opened {};
    bool m_drop_behind = false;
    mutable std::uint64_t m_dropped_to = 0;  // the start of the range read but not dropped
};
