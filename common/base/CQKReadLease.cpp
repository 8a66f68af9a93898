// Read leases with a fallback to comparing the file's identity, size and modification time.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // F_SETLEASE, F_SETSIG, F_SETOWN_EX
#endif
#include "base/CQKReadLease.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Bytes read between two drops of a file read once (readSequentially).
constexpr std::uint64_t kDropStep = 8u << 20;

// The lease-break signal: a real-time one, so it is queued with the descriptor it concerns.
int lease_signal() {
    return SIGRTMIN + 4;
}

// Gives the broken lease up at once, so the writer's open does not wait for the kernel's
// lease-break time. Only descriptors that asked for this signal raise it; giving up a lease
// can only make a sender keep a file it might have removed. fcntl is async-signal-safe.
void on_lease_break(int, siginfo_t* info, void*) {
    const int saved_errno = errno;
    if (info != nullptr)
        ::fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
    errno = saved_errno;
}

// SA_RESTART: a system call that the signal interrupts on the receiving thread goes on.
bool install_lease_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_lease_break;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return ::sigaction(lease_signal(), &action, nullptr) == 0;
}

bool lease_handler_installed() {
    static const bool installed = install_lease_handler();
    return installed;
}

// Break notices go to the thread that holds the lease (F_SETLEASE made the process the
// owner): its waits on sockets go on after an interruption.
void direct_notices_to_this_thread(int fd) {
    f_owner_ex owner{};
    owner.type = F_OWNER_TID;
    owner.pid = static_cast<pid_t>(::syscall(SYS_gettid));
    ::fcntl(fd, F_SETOWN_EX, &owner);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

CQKReadLease::CQKReadLease(const std::string& path) : m_path(path) {
    // O_NONBLOCK: a file under another holder's write lease fails the open instead of
    // waiting; it is being written.
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) {
        m_error = errno;
        m_state = (m_error == ENOENT || m_error == ENOTDIR) ? State::Missing
                  : m_error == EWOULDBLOCK                  ? State::Writing
                                                            : State::Failed;
        return;
    }
    if (lease_handler_installed() && ::fcntl(m_fd, F_SETSIG, lease_signal()) == 0 &&
        ::fcntl(m_fd, F_SETLEASE, F_RDLCK) == 0) {
        m_state = State::Held;
        direct_notices_to_this_thread(m_fd);
    } else {
        m_error = errno;
        // EAGAIN: open for writing somewhere. Anything else (EACCES or EPERM: neither the
        // owner nor CAP_LEASE; EINVAL: leases off or not supported here) leaves the comparison.
        m_state = m_error == EAGAIN ? State::Writing : State::Fallback;
    }
    // Taken once the lease is held: a writer that finished before sees its work counted.
    if (m_state != State::Writing && ::fstat(m_fd, &m_opened) != 0) {
        m_error = errno;
        m_state = State::Failed;
    }
}

CQKReadLease::~CQKReadLease() {
    if (m_fd < 0)
        return;
    if (m_state == State::Held)
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    ::close(m_fd);
}

bool CQKReadLease::unchanged() const {
    if (m_state != State::Held && m_state != State::Fallback)
        return false;
    if (m_state == State::Held && ::fcntl(m_fd, F_GETLEASE) != F_RDLCK)
        return false;
    struct stat now {};
    return ::stat(m_path.c_str(), &now) == 0 && same_file(now, m_opened);
}

long CQKReadLease::readAt(void* data, std::size_t length, std::uint64_t offset) const {
    if (m_fd < 0)
        return -1;
    ssize_t got = 0;
    do {
        got = ::pread(m_fd, data, length, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);  // a lease-break signal may interrupt the read
    const std::uint64_t end = offset + static_cast<std::uint64_t>(got > 0 ? got : 0);
    if (m_drop_behind && end >= m_dropped_to + kDropStep) {
        ::posix_fadvise(m_fd, static_cast<off_t>(m_dropped_to),
                        static_cast<off_t>(end - m_dropped_to), POSIX_FADV_DONTNEED);
        m_dropped_to = end;
    }
    return static_cast<long>(got);
}

void CQKReadLease::readSequentially(bool drop_behind) {
    if (m_fd < 0 || size() < kDropStep)
        return;  // a small file is read in a few calls: advice would only cost a call
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_drop_behind = drop_behind;
    m_dropped_to = 0;
}

bool CQKReadLease::currentSize(std::uint64_t& size) const {
    struct stat now {};
    if (m_fd < 0 || ::fstat(m_fd, &now) != 0)
        return false;
    size = static_cast<std::uint64_t>(now.st_size);
    return true;
}
