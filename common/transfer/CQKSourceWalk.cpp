// The walk of a sender's source tree.
#include "transfer/CQKSourceWalk.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/qk_fs.h"
#include "base/qk_name_filter.h"

CQKSourceWalk::CQKSourceWalk(const QKLogTag& tag, const CQKNameFilter& exclude, bool sub_dirs,
                             std::chrono::milliseconds grace)
    : m_tag(tag), m_exclude(exclude), m_sub_dirs(sub_dirs), m_grace(grace) {}

// Below the root only real directories are entered (checked before the recursion), so only
// the root may be a link here. A sub-directory's age is taken before its walk, whose own
// removals touch it.
std::uint32_t CQKSourceWalk::walk(const std::string& dir, const Steps& steps) const {
    if (steps.listing)
        steps.listing(dir);
    if (!isDirectory(Poco::File(dir)))
        throw Poco::IOException("Path:  " + dir + " isn't a directory. Error...");
    std::vector<Poco::File> entries;
    Poco::File(dir).list(entries);
    std::uint32_t count = 0;
    for (const Poco::File& entry : entries) {
        if (isLink(entry)) {
            log_message(LOG_LEVEL_WARN, &m_tag, "Link: %s is not followed. Skipping...",
                        entry.path().c_str());
            ++count;
        } else if (isRegularFile(entry)) {
            if (!isExcluded(m_tag, m_exclude, entry.path()))
                steps.take(entry);
            ++count;
        } else if (m_sub_dirs && isRealDirectory(entry)) {
            const bool settled = isSettled(entry, m_grace);
            if (!steps.mayEnter(entry)) {
                ++count;  // what it holds stays, and so does it
                continue;
            }
            count += steps.walked(entry, settled, walk(entry.path(), steps));
        }
    }
    return count;
}

bool CQKSourceWalk::isRegularFile(const Poco::File& file) {
    try {
        return file.exists() && file.isFile();
    } catch (const Poco::FileNotFoundException&) {
        return false;
    }
}

// Entries of a walk that are symbolic links are not followed: a link could lead out of the
// outgoing tree (to files that anyone able to write the tree could have sent, and whose
// directories would be emptied after sending) or back into it (an endless walk).
bool CQKSourceWalk::isLink(const Poco::File& file) {
    try {
        return file.isLink();
    } catch (const Poco::FileException&) {
        return false;
    }
}

bool CQKSourceWalk::isRealDirectory(const Poco::File& file) {
    try {
        return file.exists() && !file.isLink() && file.isDirectory();
    } catch (const Poco::FileNotFoundException&) {
        return false;
    }
}

// The root of a walk is what the operator named: it may be a link to a directory.
bool CQKSourceWalk::isDirectory(const Poco::File& file) {
    try {
        return file.exists() && file.isDirectory();
    } catch (const Poco::FileNotFoundException&) {
        return false;
    }
}

// DEBUG by default: an excluded file stays where it is, and a scan would log it each time.
bool CQKSourceWalk::isExcluded(const QKLogTag& tag, const CQKNameFilter& exclude,
                               const std::string& path, int level) {
    if (!exclude.excludes(path))
        return false;
    log_message(level, &tag, "File: %s matches an exclude pattern. Not sent.", path.c_str());
    return true;
}

bool CQKSourceWalk::isSettled(const Poco::File& dir, std::chrono::milliseconds grace) {
    if (grace.count() <= 0)
        return true;
    std::int64_t age_us = 0;
    return qk_res_is(qk_get_modified_age(dir.path().c_str(), &age_us), QK_RES_OK) &&
           age_us >= static_cast<std::int64_t>(grace.count()) * 1000;
}

int CQKSourceWalk::removeEmptyDir(const std::string& dir) {
    return ::rmdir(dir.c_str()) == 0 ? 0 : errno;
}
