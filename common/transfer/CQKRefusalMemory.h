// What a sender remembers of the files it could not deliver, or not finish with: files the
// receiver refused (in this run, and at how many runs in a row), files and sub-directories its
// account cannot read, and delivered files or empty sub-directories it cannot remove. It
// decides from that memory what a run skips and in which order a run offers its files, and
// it says each such file once at its level (ERROR for what the operator must mend, INFO for a
// first refusal, DEBUG while nothing has changed).
//
// The memory holds only what still waits in the outgoing tree: an entry is dropped once its
// file is delivered, gone, or (unreadable, unremovable) no longer the file that was seen.
//
// Threads: one sender's thread uses the object, with one exception: noteUnremovable may be
// called from any thread (the removal queue's), under a mutex of its own; what it notes is
// taken into the memory by keepUnremovable, on the sender's thread.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/qk_log.h"
#include "transfer/qk_sender_files.h"

// Refusals with no delivery between them after which a run sends no further file.
constexpr unsigned QK_REFUSALS_IN_A_ROW = 8;
// Runs in a row that refused a file after which a run's summary is logged at ERROR.
constexpr unsigned QK_REFUSED_RUNS_REPORTED = 3;

class CQKRefusalMemory {
public:
    // How long a refused file waits before it is offered again (0: at the next run), and how
    // often the removal of a delivered file that could not be removed is tried again.
    void setPause(std::chrono::milliseconds pause) { m_pause = pause; }

    // A run begins: no file is refused in it yet.
    void beginRun();
    // A run ends: says how many files the receiver refused (at ERROR once one of them has
    // been refused at QK_REFUSED_RUNS_REPORTED runs in a row), then forgets what has gone.
    // True when refused or unreadable files stay: the run's result is a failure.
    bool endRun(const QKLogTag& tag);
    // True when the run must not send file_path: refused earlier in this run, delivered
    // earlier and not removable (see retryRemovalIfDelivered), or the receiver refused
    // QK_REFUSALS_IN_A_ROW files in a row.
    bool skipsInThisRun(const QKLogTag& tag, const std::string& file_path);
    // The receiver refused file_path for reason: counted, said (INFO the first time, later
    // DEBUG), and kept for the next run.
    void noteRefusal(const QKLogTag& tag, const std::string& file_path, const std::string& reason);
    // The receiver acknowledged file_path: forgotten, and the refusals in a row start anew.
    void noteDelivery(const std::string& file_path);

    // Orders a run's list so that files refused at earlier runs come last, those refused at
    // fewer runs first: the others are never held back, and when a run stops after
    // QK_REFUSALS_IN_A_ROW refusals, the next one tries different refused files.
    void putRefusedLast(std::vector<std::string>& paths) const;
    // Milliseconds until a refused file may be offered again; 0 when it may be now.
    long msUntilOfferedAgain(const std::string& path) const;
    // True when path is a file delivered at an earlier attempt or run that could not be
    // removed, and still the same file: it is not sent again. Its removal is tried once more
    // (under a read lease, at most once a pause), in case the permission has been granted
    // since; a file removed so is said at INFO.
    bool retryRemovalIfDelivered(const QKLogTag& tag, const std::string& path);
    // Asks whether the sub-directory dir may be listed; when not, it is reported as
    // noteUnreadable does and false is returned: what it holds stays.
    bool checkListable(const QKLogTag& tag, const std::string& dir);
    // A file that cannot be opened for reading (error: the errno), or a directory that
    // cannot be listed: ERROR once per identity, later at DEBUG; counted as left by this run.
    void noteUnreadable(const QKLogTag& tag, const std::string& path, int error, bool directory);
    // An empty sub-directory that rmdir refused with error: when the account lacks the
    // right (EACCES, EPERM) or the tree is read-only (EROFS), says so at ERROR once per
    // directory, later at DEBUG, and returns true: it stays, and fails nothing. False for
    // any other error, which the caller reports.
    bool noteUnremovableDir(const QKLogTag& tag, const std::string& dir, int error);
    // True when files or directories were noted unreadable since the last call; clears it.
    bool takeUnreadable();
    // Forgets what is remembered of files that have gone, or (unreadable, unremovable) are
    // no longer the same file.
    void forgetGone();

    // A delivered file that could not be removed, with its identity while the lease still
    // vouched for it. Any thread.
    void noteUnremovable(const std::string& path, const SQKFileIdentity& identity);
    // Takes what noteUnremovable noted into the memory: such files are not sent again while
    // they are unchanged.
    void keepUnremovable();

private:
    // Why a file (or directory) stayed at an earlier run: refused by the receiver (refused
    // runs in a row, the last refusal), unreadable for the account, or delivered but not
    // removable (with the identity seen then).
    struct SQKKept {
        enum class Why { Refused, Unreadable, Unremovable };
        Why why = Why::Refused;
        unsigned runs = 0;                           // refused: runs in a row that refused it
        std::chrono::steady_clock::time_point last;  // its last refusal, or removal tried
        SQKFileIdentity identity;                    // unreadable, unremovable
        bool directory = false;                      // unreadable: a directory
    };
    // Remembers path (a directory when directory) as kept for why, with its identity now;
    // true when it was remembered so already, as the same file or directory.
    bool keepAs(const std::string& path, SQKKept::Why why, bool directory);
    void reportRefusals(const QKLogTag& tag) const;

    std::map<std::string, SQKKept> m_kept;
    // Files refused in this run with the reason, and refusals since the last delivery.
    std::map<std::string, std::string> m_run_refusals;
    unsigned m_refusals_in_a_row = 0;
    bool m_unreadable_noted = false;  // since the last takeUnreadable
    std::chrono::milliseconds m_pause{0};
    std::mutex m_unremovable_mutex;
    std::vector<std::pair<std::string, SQKFileIdentity>> m_unremovable;
};
