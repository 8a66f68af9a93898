// The walk of a sender's source tree, and the file-system questions it asks.
//
// A walk lists a directory and looks at each entry once. A symbolic link is not followed
// (said at WARN) and keeps its directory. A regular file whose name an exclude pattern
// matches is neither sent nor removed and keeps its directory; any other regular file goes
// to the caller's take step. With sub-directories on, a real sub-directory (not a link to
// one) is entered when the caller's may-enter step lets it, and its walk is handed to the
// caller's walked step with whether it had settled before its walk began. What is done with
// a file, and whether an emptied sub-directory goes at once or once every file has its
// status, are the caller's policies: the walk only finds and counts.
//
// Threads: an object is used by one thread at a time; the steps are called on it. Nothing
// is shared.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "base/qk_log.h"

namespace Poco {
class File;
}
class CQKNameFilter;

class CQKSourceWalk {
public:
    // What the caller does at the entries of a walk.
    struct Steps {
        // Before the entries of a directory are listed: the root and every sub-directory
        // entered. Optional.
        std::function<void(const std::string& dir)> listing;
        // A regular file whose name no exclude pattern matches.
        std::function<void(const Poco::File& file)> take;
        // A sub-directory about to be entered; false leaves it unwalked with what it holds.
        std::function<bool(const Poco::File& dir)> mayEnter;
        // A sub-directory walked. settled: unmodified for the grace before its walk began;
        // found: what its walk counted. Returns what it counts for its parent.
        std::function<std::uint32_t(const Poco::File& dir, bool settled, std::uint32_t found)>
            walked;
    };

    // tag: under which the walk logs; exclude: names never sent (kept by reference: it must
    // outlive the walk); sub_dirs: whether sub-directories are entered; grace: how long a
    // sub-directory must have stayed unmodified to count as settled.
    CQKSourceWalk(const QKLogTag& tag, const CQKNameFilter& exclude, bool sub_dirs,
                  std::chrono::milliseconds grace);

    // Walks dir (which may be a link to a directory) and returns what keeps it: one for each
    // link, regular file (an excluded one too) and sub-directory not entered, and what the
    // walked step returned for each one entered. Throws Poco::IOException "Path:  <dir> isn't
    // a directory. Error..." when dir is not a directory, Poco's file exceptions when it
    // cannot be listed, and whatever a step throws.
    std::uint32_t walk(const std::string& dir, const Steps& steps) const;

    // The file-system questions of a walk; none throws, a vanished entry answers false.
    static bool isRegularFile(const Poco::File& file);
    static bool isLink(const Poco::File& file);
    static bool isRealDirectory(const Poco::File& file);  // a directory, not a link to one
    static bool isDirectory(const Poco::File& file);      // a directory or a link to one
    // True when dir was last modified at least grace ago (always with no grace). One that
    // vanished, or dated in the future (its age is unknown), is not settled.
    static bool isSettled(const Poco::File& dir, std::chrono::milliseconds grace);
    // True, with a line at level, when the name of the file at path matches one of the
    // exclude patterns: such a file is neither sent nor removed, and keeps its directory.
    static bool isExcluded(const QKLogTag& tag, const CQKNameFilter& exclude,
                           const std::string& path, int level = LOG_LEVEL_DEBUG);
    // Removes the directory dir when it is empty, never its content: a file that arrives
    // meanwhile makes the removal fail instead of being deleted. Returns 0, or the errno of
    // the failure.
    static int removeEmptyDir(const std::string& dir);

private:
    QKLogTag m_tag;
    const CQKNameFilter& m_exclude;
    bool m_sub_dirs;
    std::chrono::milliseconds m_grace;
};
