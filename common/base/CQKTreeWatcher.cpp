// Watching a tree with inotify: its watches, its events and the wait between scans.
#include "base/CQKTreeWatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// A burst ends after this much quiet, or after the limit in all.
constexpr std::chrono::milliseconds QK_BURST_QUIET{2};
constexpr std::chrono::milliseconds QK_BURST_LIMIT{20};

constexpr std::uint32_t QK_WATCH_MASK =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems where a change made by another machine or by a user-space server produces no
// event here: a watcher on them would wait for nothing.
const char* unnotified_file_system(const std::string& path) {
    struct statfs info {};
    if (statfs(path.c_str(), &info) != 0)
        return nullptr;
    switch (static_cast<std::uint32_t>(info.f_type)) {
        case 0x6969:
            return "NFS";
        case 0x517B:
        case 0xFF534D42:
        case 0xFE534D42:
            return "SMB/CIFS";
        case 0x65735546:
            return "FUSE";
        case 0x00C36400:
            return "CephFS";
        case 0x01021997:
            return "9P";
        case 0x5346414F:
            return "AFS";
        default:
            return nullptr;
    }
}

// A new entry that is a regular file with another link already: a producer linked a file it
// completed elsewhere into the tree, and no close or move will follow. An entry just made by
// open() has one link and is still being written; its close is the event.
bool is_linked_file(const std::string& path) {
    struct stat info {};
    return fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(info.st_mode) && info.st_nlink > 1;
}

bool is_real_directory(const std::string& path, unsigned char type) {
    if (type == DT_DIR)
        return true;
    if (type != DT_UNKNOWN)
        return false;
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

CQKTreeWatcher::CQKTreeWatcher() : m_wake_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CQKTreeWatcher::~CQKTreeWatcher() {
    stop();
    if (m_wake_fd >= 0)
        close(m_wake_fd);
}

bool CQKTreeWatcher::start(const std::string& root, bool recursive) {
    stop();
    m_root = root;
    m_recursive = recursive;
    m_failure.clear();
    if (const char* kind = unnotified_file_system(root))
        return fail(std::string("it is on a file system without change notifications (") + kind +
                    ")");
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return fail(std::string("inotify is not available: ") + std::strerror(errno));
    if (!watchTree(root))
        return false;
    if (m_dirs.empty())
        return fail("it does not exist");
    return true;
}

void CQKTreeWatcher::stop() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_dirs.clear();
}

bool CQKTreeWatcher::fail(const std::string& reason) {
    m_failure = reason;
    stop();
    return false;
}

bool CQKTreeWatcher::restart() {
    return start(m_root, m_recursive);
}

// A directory that vanishes during the walk is no failure: its parent's events cover it.
bool CQKTreeWatcher::watchTree(const std::string& dir) {
    if (!addWatch(dir))
        return false;
    if (!m_recursive)
        return true;
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return true;
    bool ok = true;
    while (const dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        if (is_real_directory(path, entry->d_type) && !watchTree(path)) {
            ok = false;
            break;
        }
    }
    closedir(stream);
    return ok;
}

// The root may be a link the operator named; below it links are not followed.
bool CQKTreeWatcher::addWatch(const std::string& dir) {
    if (m_limit != 0 && m_dirs.size() >= m_limit)
        return fail("more than " + std::to_string(m_limit) + " directories");
    const std::uint32_t mask = QK_WATCH_MASK | (dir == m_root ? 0 : IN_DONT_FOLLOW);
    const int wd = inotify_add_watch(m_fd, dir.c_str(), mask);
    if (wd >= 0) {
        m_dirs[wd] = dir;
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR)
        return true;
    if (errno == ENOSPC)
        return fail("the limit of inotify watches is reached (fs.inotify.max_user_watches)");
    return fail("a watch on " + dir + " failed: " + std::strerror(errno));
}

void CQKTreeWatcher::wake() {
    if (m_wake_fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wake_fd, &one, sizeof(one));
    }
}

// 1: events to read, 2: woken, 0: the time ran out or a signal came.
int CQKTreeWatcher::pollFor(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{m_wake_fd, POLLIN, 0}, {m_fd, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(std::max<long long>(0, timeout.count())));
    if (ready <= 0)
        return 0;
    if (fds[0].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(m_wake_fd, &count, sizeof(count));
        return 2;
    }
    return (fds[1].revents & POLLIN) ? 1 : 0;
}

CQKTreeWatcher::Wake CQKTreeWatcher::wait(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Wake::Timeout;
        const int ready = pollFor(left);
        if (ready == 2)
            return Wake::Woken;
        if (ready == 0 || !watching())
            continue;
        Read got = readEvents();
        if (got == Read::Nothing)
            continue;
        // Gather the rest of a burst into this wake-up.
        const Clock::time_point burst_end = Clock::now() + QK_BURST_LIMIT;
        while (got == Read::Changed && Clock::now() < burst_end) {
            const auto quiet = std::min(
                QK_BURST_QUIET,
                std::chrono::duration_cast<std::chrono::milliseconds>(burst_end - Clock::now()));
            const int next = pollFor(quiet);
            if (next == 2)
                wake();  // kept for the caller's next wait, which returns at once
            if (next != 1)
                break;
            const Read more = readEvents();
            if (more != Read::Nothing)
                got = more;
        }
        switch (got) {
            case Read::Overflow:
                return restart() ? Wake::Overflow : Wake::Lost;
            case Read::Lost:
                return Wake::Lost;
            default:
                return Wake::Changed;
        }
    }
}

// Reads every queued event. New directories are watched at once (the scan that follows
// finds what was written in them before that); a watched directory that moved away is
// dropped; the root itself gone means watching anew.
CQKTreeWatcher::Read CQKTreeWatcher::readEvents() {
    alignas(inotify_event) char buffer[16384];
    Read result = Read::Nothing;
    bool root_gone = false;
    for (;;) {
        const ssize_t length = read(m_fd, buffer, sizeof(buffer));
        if (length <= 0)
            break;
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW)
                return Read::Overflow;
            const auto dir = m_dirs.find(event->wd);
            if (dir == m_dirs.end())
                continue;
            if (event->mask & IN_IGNORED) {
                root_gone = root_gone || dir->second == m_root;
                m_dirs.erase(dir);
                continue;
            }
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                if (dir->second == m_root)
                    root_gone = true;
                else
                    inotify_rm_watch(m_fd, event->wd);
                continue;
            }
            const bool is_dir = (event->mask & IN_ISDIR) != 0;
            if (is_dir && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                if (m_recursive && event->len > 0 && !watchTree(dir->second + "/" + event->name))
                    return Read::Lost;
                result = Read::Changed;
            } else if (event->len == 0 || !m_ignored.excludes(event->name)) {
                if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) ||
                    ((event->mask & IN_CREATE) && event->len > 0 && result != Read::Changed &&
                     is_linked_file(dir->second + "/" + event->name)))
                    result = Read::Changed;
            }
        }
    }
    if (root_gone)
        return Read::Overflow;  // watched anew (or lost) by the caller, then scanned in full
    return result;
}
