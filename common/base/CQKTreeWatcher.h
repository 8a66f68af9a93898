// Watches a directory tree, with inotify, for what a sender waits for: a file closed after
// writing, moved in or linked in (a new entry of a regular file that already has another
// link: a file completed elsewhere), and a new sub-directory (watched in turn, as are the
// directories a rename brings in); a file made by open() waits for its close. The client
// service waits on it between scans, so that a file leaves as soon as it is complete; its
// periodic scan stays as the safety net.
//
// Why inotify directly: the sender needs a whole tree watched, to learn that the kernel's
// event queue overflowed (events were lost, so it must scan everything), and to learn that
// a tree cannot be watched at all, so that it says so once and scans only. A watcher of one
// directory that falls back to polling by itself gives none of that.
//
// A tree cannot be watched when inotify is unavailable, when the watch limit is reached, or
// on a file system whose changes made elsewhere are never notified (network and FUSE
// mounts): start() then answers false with the reason.
//
// Threads: one thread starts, stops and waits; wake() may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "base/qk_name_filter.h"

class CQKTreeWatcher {
public:
    enum class Wake {
        Changed,   // a file was completed or a directory arrived
        Overflow,  // events were lost; the watches have been set again
        Timeout,   // nothing happened
        Woken,     // wake() was called
        Lost       // the tree can no longer be watched (see failure()); nothing is watched
    };

    CQKTreeWatcher();
    ~CQKTreeWatcher();
    CQKTreeWatcher(const CQKTreeWatcher&) = delete;
    CQKTreeWatcher& operator=(const CQKTreeWatcher&) = delete;

    // Watches root, and with recursive every real sub-directory below it (links are not
    // followed). False, with the reason in failure() and nothing watched, when it cannot.
    bool start(const std::string& root, bool recursive);
    void stop();
    bool watching() const { return m_fd >= 0; }
    const std::string& failure() const { return m_failure; }
    std::size_t watchedDirectories() const { return m_dirs.size(); }

    // Waits at most timeout. After the first event that calls for a scan it goes on reading
    // until the tree has been quiet for a few milliseconds (at most QK_BURST_LIMIT in all), so
    // that a burst of files makes one scan. Without watches it just sleeps (wake() ends that).
    Wake wait(std::chrono::milliseconds timeout);
    // Ends a wait at once, or the next one when none is running.
    void wake();

    // Files whose names filter excludes wake nothing: a producer's temporary, closed before
    // its rename, would otherwise start a scan that finds nothing to send.
    void ignoreFiles(const CQKNameFilter& filter) { m_ignored = filter; }

    // Most directories to watch; beyond it the tree counts as unwatchable, like at the
    // kernel's own limit (0: only the kernel's limit). For tests.
    void setWatchLimit(std::size_t limit) { m_limit = limit; }

private:
    enum class Read { Nothing, Changed, Overflow, Lost };
    bool watchTree(const std::string& dir);
    bool addWatch(const std::string& dir);
    Read readEvents();
    int pollFor(std::chrono::milliseconds timeout);
    bool restart();
    bool fail(const std::string& reason);

    int m_fd = -1;       // the inotify instance; -1 when nothing is watched
    int m_wake_fd = -1;  // an eventfd that ends a wait
    std::string m_root;
    bool m_recursive = false;
    std::size_t m_limit = 0;
    std::string m_failure;
    CQKNameFilter m_ignored;
    std::unordered_map<int, std::string> m_dirs;  // watch descriptor -> directory
};
