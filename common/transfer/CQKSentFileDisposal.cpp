// The backup and removal of acknowledged files.
#include "transfer/CQKSentFileDisposal.h"

#include <unistd.h>

#include <cerrno>

#include "base/CQKReadLease.h"
#include "base/qk_console.h"
#include "base/qk_path.h"
#include "transfer/CQKRefusalMemory.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_sender_files.h"

// The lease is shared with the work: it vouches for the file until the removal is done.
void CQKSentFileDisposal::dispose(const QKLogTag& tag, const std::string& file_path,
                                  const std::string& sub_dir, const std::string& back_dir,
                                  std::shared_ptr<CQKReadLease> lease) {
    m_removals.add([this, tag, file_path, sub_dir, back_dir, lease] {
        backUpAndRemove(tag, *lease, file_path, sub_dir, back_dir);
    });
}

void CQKSentFileDisposal::finish() {
    try {
        m_removals.drain();
    } catch (...) {
        m_memory.keepUnremovable();
        throw;
    }
    m_memory.keepUnremovable();
}

void CQKSentFileDisposal::abandon() noexcept {
    m_removals.drainQuietly();
    m_memory.keepUnremovable();
}

// Runs only after the receiver has acknowledged the file, on the removal queue's thread.
void CQKSentFileDisposal::backUpAndRemove(const QKLogTag& tag, const CQKReadLease& lease,
                                          const std::string& file_path, const std::string& sub_dir,
                                          const std::string& back_dir) {
    // Looked at again after the backup, which may take a while for a large file.
    if (lease.unchanged()) {
        if (!back_dir.empty()) {
            log_message(
                LOG_LEVEL_DEBUG, &tag,
                "Backuping file: file_path_str = %s m_params.m_back_dir = %s rel_sub_dir = %s",
                file_path.c_str(), back_dir.c_str(), sub_dir.c_str());
            qk_backup_file(file_path, back_dir, sub_dir);
        }
        if (lease.unchanged()) {
            const int error = removeSentFile(tag, file_path);
            if (error != 0)
                reportUnremovable(tag, lease, file_path, error);
            return;
        }
    }
    qk_report_left_file(tag, "File: " + file_path +
                                 " has been opened for writing or changed while sending. Kept "
                                 "for a later run.");
}

// The delivered file cannot be removed as it is: sending it again would not remove it
// either, and would rotate its backups away at both sides. Its identity is taken while the
// lease still vouches for it; a writer after that changes it, and it is sent again.
void CQKSentFileDisposal::reportUnremovable(const QKLogTag& tag, const CQKReadLease& lease,
                                            const std::string& file_path, int error) {
    SQKFileIdentity identity;
    if (!qk_identity_of(file_path, identity) || !lease.unchanged()) {
        qk_report_left_file(tag, "File: " + file_path +
                                     " has been opened for writing or changed while sending. "
                                     "Kept for a later run.");
        return;
    }
    qk_sender_metrics().unremovable.inc();
    const std::string text = "File: " + file_path + " delivered but cannot be removed: " +
                             qk_removal_problem(file_path, error) +
                             ". It is not sent again while it is unchanged.";
    log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
    qk_print_error(text);
    m_memory.noteUnremovable(file_path, identity);
}

// Returns 0 once the file is gone (also when somebody else removed it), else the errno of
// the unlink.
int CQKSentFileDisposal::removeSentFile(const QKLogTag& tag, const std::string& file_path) {
    log_message(LOG_LEVEL_INFO, &tag, "File: %s has been sent. Removing.", file_path.c_str());
    qk_print_console("File: " + file_path + " has been sent. Removing.");
    const int error = ::unlink(file_path.c_str()) == 0 ? 0 : errno;
    if (error != 0 && error != ENOENT)
        return error;
    log_message(LOG_LEVEL_INFO, &tag, "File: %s has been removed.", file_path.c_str());
    return 0;
}
