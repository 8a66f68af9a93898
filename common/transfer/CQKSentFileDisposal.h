// What becomes of a file the receiver has acknowledged: its backup (with a backup directory)
// and its removal, on the removal queue's thread while the next files travel.
//
// A file is backed up and removed only when no process had it open for writing from its
// header to its removal (its read lease, or an unchanged identity, size and time): a file
// that a writer opened, or that changed, stays for a later run with an INFO line. A file that
// cannot be removed is said once at ERROR, counted, and noted in the sender's refusal memory,
// so that it is not sent again while it is unchanged; it fails nothing. A failed backup fails
// the attempt (finish throws it).
//
// Threads: one sender's thread calls every function; the work runs on the queue's thread and
// touches only the file, the log, the console, the metrics and the memory's noteUnremovable.
// The object must be destroyed before the memory it notes into: its destructor finishes what
// is queued.
#pragma once

#include <memory>
#include <string>

#include "base/qk_log.h"
#include "transfer/CQKRemovalQueue.h"

class CQKReadLease;
class CQKRefusalMemory;

class CQKSentFileDisposal {
public:
    explicit CQKSentFileDisposal(CQKRefusalMemory& memory) : m_memory(memory) {}

    // Queues the backup (into back_dir under sub_dir; none when back_dir is empty) and the
    // removal of file_path, acknowledged under lease. Throws the error of earlier work.
    void dispose(const QKLogTag& tag, const std::string& file_path, const std::string& sub_dir,
                 const std::string& back_dir, std::shared_ptr<CQKReadLease> lease);
    // Waits until every queued file is dealt with, notes the unremovable ones in the memory;
    // throws the first error of that (a failed backup).
    void finish();
    // finish() for an attempt that fails already: the error is dropped.
    void abandon() noexcept;

private:
    void backUpAndRemove(const QKLogTag& tag, const CQKReadLease& lease,
                         const std::string& file_path, const std::string& sub_dir,
                         const std::string& back_dir);
    static int removeSentFile(const QKLogTag& tag, const std::string& file_path);
    void reportUnremovable(const QKLogTag& tag, const CQKReadLease& lease,
                           const std::string& file_path, int error);

    CQKRefusalMemory& m_memory;
    CQKRemovalQueue m_removals;
};
