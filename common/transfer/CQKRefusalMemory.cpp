// The memory of files a sender could not deliver or finish with, and what it makes a run do.
#include "transfer/CQKRefusalMemory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/CQKReadLease.h"
#include "base/qk_console.h"
#include "transfer/qk_relay_metrics.h"

namespace {

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

void CQKRefusalMemory::beginRun() {
    m_run_refusals.clear();
    m_refusals_in_a_row = 0;
}

// Refused files, and files the account could not read, make the run's result a failure:
// they stay in the outgoing tree.
bool CQKRefusalMemory::endRun(const QKLogTag& tag) {
    bool failed = false;
    if (!m_run_refusals.empty()) {
        failed = true;
        reportRefusals(tag);
    }
    if (takeUnreadable())
        failed = true;
    forgetGone();
    return failed;
}

void CQKRefusalMemory::forgetGone() {
    for (auto it = m_kept.begin(); it != m_kept.end();) {
        const SQKKept& kept = it->second;
        SQKFileIdentity now;
        const bool stays =
            kept.why == SQKKept::Why::Refused
                ? is_regular_file(it->first)
                : qk_identity_of(it->first, now, kept.directory) && now == kept.identity;
        it = stays ? std::next(it) : m_kept.erase(it);
    }
}

bool CQKRefusalMemory::takeUnreadable() {
    const bool noted = m_unreadable_noted;
    m_unreadable_noted = false;
    return noted;
}

// One line a run: at ERROR once a file has been refused at QK_REFUSED_RUNS_REPORTED runs in
// a row, naming the first such file and its reason; else at INFO.
void CQKRefusalMemory::reportRefusals(const QKLogTag& tag) const {
    std::size_t lasting = 0;
    std::string first;
    for (const auto& [path, reason] : m_run_refusals) {
        const auto refused = m_kept.find(path);
        if (refused == m_kept.end() || refused->second.runs < QK_REFUSED_RUNS_REPORTED)
            continue;
        if (lasting++ == 0)
            first = path + " (" + std::to_string(refused->second.runs) + " runs): " + reason;
    }
    std::string text = std::to_string(m_run_refusals.size()) +
                       " file(s) refused by the receiver stay in the outgoing directory for the "
                       "next run.";
    if (lasting > 0) {
        text += " " + std::to_string(lasting) + " of them refused at " +
                std::to_string(QK_REFUSED_RUNS_REPORTED) + " or more runs in a row, first " + first;
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
    } else {
        log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
    }
    qk_print_error(text);
}

void CQKRefusalMemory::putRefusedLast(std::vector<std::string>& paths) const {
    if (m_kept.empty())
        return;
    const auto runs_of = [this](const std::string& path) {
        const auto found = m_kept.find(path);
        return found == m_kept.end() || found->second.why != SQKKept::Why::Refused
                   ? 0u
                   : found->second.runs;
    };
    std::stable_sort(paths.begin(), paths.end(), [&](const std::string& a, const std::string& b) {
        return runs_of(a) < runs_of(b);
    });
}

long CQKRefusalMemory::msUntilOfferedAgain(const std::string& path) const {
    const auto found = m_kept.find(path);
    if (found == m_kept.end() || found->second.why != SQKKept::Why::Refused || m_pause.count() <= 0)
        return 0;
    const auto left = found->second.last + m_pause - std::chrono::steady_clock::now();
    return std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

// A file refused earlier in this run waits for the next run; after too many refusals in a
// row, so does every file left. A file delivered but not removable is not sent again.
bool CQKRefusalMemory::skipsInThisRun(const QKLogTag& tag, const std::string& file_path) {
    if (m_run_refusals.count(file_path) != 0 || retryRemovalIfDelivered(tag, file_path))
        return true;
    if (m_refusals_in_a_row < QK_REFUSALS_IN_A_ROW)
        return false;
    log_message(LOG_LEVEL_DEBUG, &tag,
                "File: %s waits for the next run: the receiver refused %u files in a row.",
                file_path.c_str(), m_refusals_in_a_row);
    return true;
}

void CQKRefusalMemory::noteRefusal(const QKLogTag& tag, const std::string& file_path,
                                   const std::string& reason) {
    m_run_refusals[file_path] = reason;
    ++m_refusals_in_a_row;
    qk_sender_metrics().refused.inc();
    SQKKept& refused = m_kept[file_path];
    if (refused.why != SQKKept::Why::Refused)
        refused = SQKKept{};
    refused.last = std::chrono::steady_clock::now();
    const unsigned runs = ++refused.runs;
    // Said at INFO the first time; a file refused again at every scan would fill the log.
    const std::string text = "File: " + file_path + " has been refused: " + reason +
                             ". It stays in the outgoing directory for the next run.";
    log_message(runs == 1 ? LOG_LEVEL_INFO : LOG_LEVEL_DEBUG, &tag, "%s", text.c_str());
    qk_print_error(text);
}

void CQKRefusalMemory::noteDelivery(const std::string& file_path) {
    m_kept.erase(file_path);
    m_refusals_in_a_row = 0;
}

bool CQKRefusalMemory::keepAs(const std::string& path, SQKKept::Why why, bool directory) {
    SQKFileIdentity now;
    qk_identity_of(path, now, directory);
    const auto found = m_kept.find(path);
    const bool known =
        found != m_kept.end() && found->second.why == why && found->second.identity == now;
    SQKKept& kept = m_kept[path];
    kept = SQKKept{};
    kept.why = why;
    kept.identity = now;
    kept.directory = directory;
    return known;
}

// The account lacks a right the producer has to grant: said once at ERROR per file (or
// directory) as it is, at DEBUG while it stays so, and again once it has changed.
void CQKRefusalMemory::noteUnreadable(const QKLogTag& tag, const std::string& path, int error,
                                      bool directory) {
    m_unreadable_noted = true;
    const bool known = keepAs(path, SQKKept::Why::Unreadable, directory);
    const std::string text =
        directory ? "Directory: " + path + " cannot be listed: " + qk_read_problem(error, true) +
                        ". What it holds stays in the outgoing directory."
                  : "File: " + path + " cannot be read: " + qk_read_problem(error, false) +
                        ". It stays in the outgoing directory.";
    log_message(known ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
    if (!known)
        qk_print_error(text);
}

bool CQKRefusalMemory::noteUnremovableDir(const QKLogTag& tag, const std::string& dir, int error) {
    if (!qk_is_permission(error) && error != EROFS)
        return false;
    const bool known = keepAs(dir, SQKKept::Why::Unremovable, true);
    const std::string text = "Directory: " + dir +
                             " is empty but cannot be removed: " + qk_removal_problem(dir, error) +
                             ". It stays.";
    log_message(known ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
    if (!known)
        qk_print_error(text);
    return true;
}

// Asked with the process's effective ids, as opening it is: the service's own account.
bool CQKRefusalMemory::checkListable(const QKLogTag& tag, const std::string& dir) {
    const int error = ::faccessat(AT_FDCWD, dir.c_str(), R_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
    if (qk_is_permission(error)) {
        noteUnreadable(tag, dir, error, true);
        return false;
    }
    const auto found = m_kept.find(dir);
    if (found != m_kept.end() && found->second.why == SQKKept::Why::Unreadable)
        m_kept.erase(found);  // listed again: a later refusal is news
    return true;
}

bool CQKRefusalMemory::retryRemovalIfDelivered(const QKLogTag& tag, const std::string& path) {
    const auto found = m_kept.find(path);
    if (found == m_kept.end() || found->second.why != SQKKept::Why::Unremovable)
        return false;
    SQKFileIdentity now;
    if (!qk_identity_of(path, now) || now != found->second.identity) {
        m_kept.erase(found);  // gone or changed: sent as any other file
        return false;
    }
    // Tried again at most once a pause (the service's scan period): the scans that landing
    // files start do not each open every such file.
    const auto now_time = std::chrono::steady_clock::now();
    if (now_time - found->second.last < m_pause) {
        log_message(LOG_LEVEL_DEBUG, &tag, "File: %s was delivered earlier and is not sent again.",
                    path.c_str());
        return true;
    }
    found->second.last = now_time;
    // Removed only as a delivered file is: under a lease, unchanged since it was delivered.
    const CQKReadLease lease(path);
    const bool readable = lease.state() == CQKReadLease::State::Held ||
                          lease.state() == CQKReadLease::State::Fallback;
    if (readable && lease.unchanged()) {
        const int error = ::unlink(path.c_str()) == 0 ? 0 : errno;
        if (error == 0 || error == ENOENT) {
            m_kept.erase(found);
            qk_report_left_file(tag, "File: " + path + ", delivered earlier, has been removed.");
            return true;
        }
        log_message(LOG_LEVEL_DEBUG, &tag, "File: %s delivered earlier still cannot be removed: %s",
                    path.c_str(), std::strerror(error));
        return true;
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "File: %s was delivered earlier and is not sent again.",
                path.c_str());
    return true;
}

void CQKRefusalMemory::noteUnremovable(const std::string& path, const SQKFileIdentity& identity) {
    std::lock_guard<std::mutex> lock(m_unremovable_mutex);
    m_unremovable.emplace_back(path, identity);
}

void CQKRefusalMemory::keepUnremovable() {
    std::vector<std::pair<std::string, SQKFileIdentity>> found;
    {
        std::lock_guard<std::mutex> lock(m_unremovable_mutex);
        found.swap(m_unremovable);
    }
    for (const auto& [path, identity] : found) {
        SQKKept& kept = m_kept[path];
        kept = SQKKept{};
        kept.why = SQKKept::Why::Unremovable;
        kept.identity = identity;
        kept.last = std::chrono::steady_clock::now();
    }
}
