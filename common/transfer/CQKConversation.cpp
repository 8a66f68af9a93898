// What both conversations share, and the classic conversation.
#include "transfer/CQKConversation.h"

#include <cinttypes>

#include "base/CQKReadLease.h"
#include "transfer/CQKSenderFrames.h"

namespace {

// What a refusal at each step of a file means; the status byte carries no more than that.
constexpr const char* QK_REFUSED_HEADER =
    "the receiver refused its header (its name, a directory of that name, another sender "
    "sending it, or a directory or file the receiver cannot create)";
constexpr const char* QK_REFUSED_CONTENT =
    "the receiver refused its content (a checksum mismatch or a failed write)";

}  // namespace

// The content is read through the descriptor opened before the header, not from the path
// again: a producer may rename the file while it travels, and the receiver still gets the
// content of the file the header named.
void CQKConversation::beginTransfer(const QKLogTag& tag, const SQKSentFile& file) const {
    log_message(LOG_LEVEL_DEBUG, &tag, "%s file_path = %s sub_dir = %s file_size = %" PRIu64,
                tag.name, file.path.c_str(), file.sub_dir.c_str(), file.size);
    std::uint64_t opened_size = 0;
    if (!file.lease->currentSize(opened_size))
        throw Poco::OpenFileException("File: " + file.path + " can't be opened for reading...");
}

void CQKClassicConversation::send(const QKLogTag& tag, SQKSentFile file) {
    try {
        transferPlainly([&] {
            beginTransfer(tag, file);
            CQKSenderFrames& frames = m_parts.frames;
            frames.sendHeader(tag, file.path, file.sub_dir, file.size);
            awaitAcceptance(QK_REFUSED_HEADER);
            const std::uint32_t crc = frames.sendContent(tag, *file.lease, file.path, file.size);
            frames.sendFinished(tag, crc, file.size);
            awaitAcceptance(QK_REFUSED_CONTENT);
            log_message(LOG_LEVEL_DEBUG, &tag, "sendFile End...");
        });
    } catch (const FileRefusedException& e) {
        m_parts.owner.fileRefused(tag, file, e.message(), true);
        return;
    }
    m_parts.owner.fileAcknowledged(tag, file);
}

// The refusal of one step of a file names the step; its message is the reason a sender
// reports.
void CQKClassicConversation::awaitAcceptance(const char* refused_step) {
    try {
        m_parts.owner.recvStatus(QK_SEND_FILE_FOK);
    } catch (const FileRefusedException&) {
        throw FileRefusedException(refused_step);
    }
}

bool CQKClassicConversation::finish(const QKLogTag&) {
    m_parts.frames.sendFrame(QK_SEND_FILE_FFINISHED_ALL, nullptr, 0, true);
    m_parts.owner.recvStatus(QK_SEND_FILE_FOK);
    return true;
}
