// The committer of a receiving connection: batches of finished files put under their names.
#include "transfer/CQKCommitter.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <zlib.h>

#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKHeaderPolicy.h"
#include "transfer/qk_relay_metrics.h"

CQKCommitter::CQKCommitter(CQKHeaderPolicy& policy, std::string log_name)
    : m_policy(policy), m_log_name(std::move(log_name)) {}

CQKCommitter::~CQKCommitter() {
    stop();
}

void CQKCommitter::commitBatch(QKReceivedFiles& batch, bool refuse_alone) {
    for (const auto& file : batch) {
        if (!file->refused && file->held > 0)
            checkResumed(*file);
    }
    for (const auto& file : batch) {
        if (!file->refused)
            file->content->startFlush();
    }
    for (const auto& file : batch) {
        if (file->refused)
            continue;
        try {
            placeFinished(*file);
        } catch (const Poco::Exception& e) {
            refuseFinished(*file, e, refuse_alone);
        }
    }
    syncDirectories(batch, refuse_alone);
    QKLogTag tag = qk_make_tag((m_log_name + "::receiveData()").c_str());
    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    for (const auto& file : batch) {
        if (file->refused)
            continue;
        if (file->replacing)
            log_message(LOG_LEVEL_INFO, &tag, "File: %s has been replaced.",
                        file->file_path.c_str());
        m_policy.releaseName(*file);
        metrics.files.inc();
        metrics.bytes.inc(file->file_size);
    }
}

// The file it replaces stays in place until then, so a reader never finds the name missing
// or partial, and is backed up only once the new content is on the disk.
void CQKCommitter::placeFinished(SQKReceivedFile& file) {
    file.replacing = !file.content->prepare() && CQKHeaderPolicy::targetExists(file.file_path);
    if (file.replacing)
        m_policy.backupReplaced(file);
    file.content->place();
}

// The sender deletes its copy on our 0x00: each name must be durable first. A directory is
// synced once for all the files placed in it.
void CQKCommitter::syncDirectories(QKReceivedFiles& batch, bool refuse_alone) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        SQKReceivedFile& file = *batch[i];
        if (file.refused)
            continue;
        bool synced = false;
        for (std::size_t j = 0; j < i && !synced; ++j)
            synced = !batch[j]->refused && batch[j]->content->sameDirectory(*file.content);
        try {
            file.content->makeDurable(!synced);
        } catch (const Poco::Exception& e) {
            refuseFinished(file, e, refuse_alone);
        }
    }
}

// Called from the handler of error. Classic, the failure ends the conversation with it, and
// its partial content stays; windowed, it is reported here and the file's content dropped.
void CQKCommitter::refuseFinished(SQKReceivedFile& file, const Poco::Exception& error,
                                  bool refuse_alone) {
    if (!refuse_alone) {
        m_policy.refuse(file, SQKReceivedFile::Refusal::Write, CQKHeaderPolicy::Content::Keep);
        throw;
    }
    QKLogTag tag = qk_make_tag((m_log_name + "::run()").c_str());
    qk_report_exception(&tag, error);
    m_policy.refuse(file, SQKReceivedFile::Refusal::Write, CQKHeaderPolicy::Content::Drop);
}

// The whole resumed file's CRC-32, from the bytes held and the new ones; a mismatch refuses
// the file and drops its partial content. A reading ended early (the connection or the
// listener ends) refuses the file and keeps its content.
void CQKCommitter::checkResumed(SQKReceivedFile& file) {
    QKLogTag tag = qk_make_tag((m_log_name + "::receiveData()").c_str());
    std::uint32_t held_crc = 0;
    try {
        if (!file.content->heldChecksum(held_crc)) {
            m_policy.refuse(file, SQKReceivedFile::Refusal::Ended, CQKHeaderPolicy::Content::Keep);
            return;
        }
    } catch (const Poco::Exception& e) {
        refuseFinished(file, e, true);
        return;
    }
    const std::uint32_t computed = static_cast<std::uint32_t>(
        ::crc32_combine(held_crc, file.new_crc, static_cast<z_off_t>(file.file_size - file.held)));
    log_message(LOG_LEVEL_INFO, &tag,
                "Receiving file: %s finished. Checksum: %08X. Received CheckSum: %08X",
                file.file_name.c_str(), computed, file.sent_crc);
    if (computed == file.sent_crc) {
        log_message(LOG_LEVEL_INFO, &tag, "Receiving file: %s. CheckSum == Received CheckSum.",
                    file.file_name.c_str());
        return;
    }
    log_message(LOG_LEVEL_ERROR, &tag, "Receiving file: %s. CheckSum != Received CheckSum.",
                file.file_name.c_str());
    m_policy.refuse(file, SQKReceivedFile::Refusal::Checksum, CQKHeaderPolicy::Content::Drop);
}

void CQKCommitter::start() {
    m_wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake_fd < 0)
        throw Poco::SystemException("eventfd failed", std::strerror(errno));
}

bool CQKCommitter::finish(std::unique_ptr<SQKReceivedFile> file) {
    if (m_wake_fd >= 0) {
        handOver(std::move(file));
        return false;
    }
    QKReceivedFiles one;
    one.push_back(std::move(file));
    try {
        commitBatch(one, false);
    } catch (...) {
        recycle(one);
        throw;
    }
    recycle(one);
    return true;
}

// Each file posts a task; the first to run takes every file handed over by then as one
// batch, and those after it find nothing left.
void CQKCommitter::handOver(std::unique_ptr<SQKReceivedFile> file) {
    ++m_unanswered;
    m_unanswered_bytes += file->file_size;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_to_commit.push_back(std::move(file));
    }
    m_worker.post([this] { commitWaiting(); });
}

void CQKCommitter::commitWaiting() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_to_commit.empty())
            return;
        m_batch.swap(m_to_commit);
    }
    try {
        commitBatch(m_batch, true);
    } catch (...) {
        // Not expected (each file's failure refuses that file alone); whatever was not
        // answered is sent again by the sender, and nothing is lost.
        for (const auto& file : m_batch)
            file->refused = true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& file : m_batch)
        m_committed.push_back(std::move(file));
    m_batch.clear();
    m_committed_changed.notify_all();
    const std::uint64_t one = 1;
    (void)!::write(m_wake_fd, &one, sizeof(one));
}

std::vector<std::uint8_t> CQKCommitter::takeStatuses(Wait wait) {
    // Taken before the files: a batch committed after the swap below wakes the next wait.
    std::uint64_t count = 0;
    if (m_wake_fd >= 0)
        (void)!::read(m_wake_fd, &count, sizeof(count));
    if (wait == Wait::All)
        m_worker.wait();
    QKReceivedFiles ready;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (wait == Wait::One)
            m_committed_changed.wait(lock, [this] { return !m_committed.empty(); });
        ready.swap(m_committed);
    }
    std::vector<std::uint8_t> statuses;
    statuses.reserve(ready.size());
    for (const auto& file : ready) {
        statuses.push_back(file->refused ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK);
        m_unanswered_bytes -= file->file_size;
    }
    m_unanswered -= ready.size();
    recycle(ready);
    return statuses;
}

bool CQKCommitter::full() const {
    return m_unanswered >= QK_COMMIT_FILES || m_unanswered_bytes >= QK_COMMIT_BYTES;
}

std::unique_ptr<SQKReceivedFile> CQKCommitter::freshFile() {
    if (m_spare.empty())
        return std::make_unique<SQKReceivedFile>();
    std::unique_ptr<SQKReceivedFile> file = std::move(m_spare.back());
    m_spare.pop_back();
    return file;
}

void CQKCommitter::recycle(QKReceivedFiles& files) noexcept {
    for (auto& file : files) {
        file->content->abandon();
        CQKHeaderPolicy::notePartialStore(*file);
        m_policy.releaseName(*file);
        file->refused = false;
        file->replacing = false;
        file->held = 0;
        m_spare.push_back(std::move(file));
    }
    files.clear();
}

void CQKCommitter::stop() noexcept {
    {
        // The batch under way is not waited for longer than its placing takes.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& file : m_batch)
            file->content->cancelHeldRead();
        for (const auto& file : m_to_commit)
            file->content->cancelHeldRead();
    }
    m_worker.stop();
    if (m_wake_fd >= 0) {
        ::close(m_wake_fd);
        m_wake_fd = -1;
    }
    recycle(m_to_commit);
    recycle(m_committed);
    m_unanswered = 0;
    m_unanswered_bytes = 0;
}
