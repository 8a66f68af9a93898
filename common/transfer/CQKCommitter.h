// Puts finished files under their names, durably, and keeps them until their statuses leave.
//
// commitBatch() places a batch of finished files together: their flushes are started one
// after another before the first is waited for, so the disk takes them as one batch, and each
// directory is synced once after all of them are placed. A resumed file's whole CRC-32 is
// checked first, with the bytes held before read back from the disk. Nothing is under a
// file's name before its content is whole, checked and flushed.
//
// The mode is the connection's, told by start(). Classic, finish() commits each finished file
// at once on the connection's thread, and a failure throws, the file refused. Windowed
// (started), the connection hands each finished (or refused) file over with finish() and goes
// on receiving: a worker of the committer takes all the files that came while it committed
// the last ones as one batch, a file that fails is refused alone and the others keep their
// place, and after each batch the wake-up descriptor (an eventfd) becomes readable, so that
// the connection's thread takes the statuses and sends them, in the files' order (a TLS
// session is not shared between threads).
//
// At stop (stop(), or the destructor): the batch under way is finished, the reading of held
// bytes of its files cut short (such a file is refused, its partial content kept); the files
// not yet taken and those not answered are dropped: nothing of them goes under a name, and
// their sender, not answered, still has them.
//
// Threads: the connection's thread calls every method; the worker runs the batches.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <Poco/Exception.h>

#include "base/CQKWorker.h"
#include "transfer/CQKReceivedFile.h"

class CQKHeaderPolicy;

// Files (and their bytes) a windowed connection holds between their finished frame and their
// status, at most: each holds its file, its directory and its name lock open until then.
constexpr std::size_t QK_COMMIT_FILES = 64;
constexpr std::uint64_t QK_COMMIT_BYTES = 256ull << 20;

class CQKCommitter {
public:
    enum class Wait { None, One, All };

    // log_name: the connection class, for the log tags.
    CQKCommitter(CQKHeaderPolicy& policy, std::string log_name);
    ~CQKCommitter();
    CQKCommitter(const CQKCommitter&) = delete;
    CQKCommitter& operator=(const CQKCommitter&) = delete;

    // Commits batch on the caller's thread. refuse_alone: a file that fails is refused and the
    // others go on; else the failure is thrown, the file refused.
    void commitBatch(QKReceivedFiles& batch, bool refuse_alone);

    // Windowed: creates the wake-up descriptor; the worker's thread starts with the first file.
    void start();
    // Readable once a batch is committed (-1 before start()).
    int wakeFd() const { return m_wake_fd; }
    // A finished file. Windowed (started): handed to the worker to commit, or, refused, to be
    // answered in its turn; false. Classic: committed now on the caller's thread, its status
    // owed at once: true; throws, the file refused, when it cannot be.
    bool finish(std::unique_ptr<SQKReceivedFile> file);
    // The statuses of the files committed so far, in their order; the files go back to the
    // spare ones. Waits first: with One for at least one, with All until every file handed
    // over has been committed.
    std::vector<std::uint8_t> takeStatuses(Wait wait);
    // True while too many files (QK_COMMIT_FILES) or bytes (QK_COMMIT_BYTES) wait for
    // their statuses: the connection stops reading until some are answered.
    bool full() const;
    std::size_t unanswered() const { return m_unanswered; }

    // A file for the next header: a spare one (which keeps its directory open) or a new one.
    std::unique_ptr<SQKReceivedFile> freshFile();
    // Files answered or dropped go back to the spare ones; nothing of those not committed goes
    // under a name.
    void recycle(QKReceivedFiles& files) noexcept;
    // Ends the worker; see the header comment. The committer may be started again.
    void stop() noexcept;

private:
    void handOver(std::unique_ptr<SQKReceivedFile> file);
    void commitWaiting();
    void checkResumed(SQKReceivedFile& file);
    void placeFinished(SQKReceivedFile& file);
    void syncDirectories(QKReceivedFiles& batch, bool refuse_alone);
    void refuseFinished(SQKReceivedFile& file, const Poco::Exception& error, bool refuse_alone);

    CQKHeaderPolicy& m_policy;
    const std::string m_log_name;
    int m_wake_fd = -1;
    std::size_t m_unanswered = 0;
    std::uint64_t m_unanswered_bytes = 0;
    std::vector<std::unique_ptr<SQKReceivedFile>> m_spare;
    // Shared with the worker, under m_mutex: files handed over, the batch under way, and the
    // files committed (or refused) waiting for their statuses.
    std::mutex m_mutex;
    std::condition_variable m_committed_changed;
    QKReceivedFiles m_to_commit;
    QKReceivedFiles m_batch;
    QKReceivedFiles m_committed;
    // Last: stopped first, while the files its batch uses are still there.
    CQKWorker m_worker{CQKWorker::AfterError::Continue, CQKWorker::AtStop::Drop};
};
