// Files in flight: the windowed conversation of a sender.
#include "transfer/CQKWindowedConversation.h"

#include <algorithm>
#include <cinttypes>

#include "base/CQKReadLease.h"
#include "base/qk_console.h"
#include "transfer/CQKSenderFrames.h"
#include "transfer/CQKSenderSocket.h"
#include "transfer/CQKStatusReader.h"

namespace {

// A windowed status tells only that the file was refused, not at which step.
constexpr const char* QK_REFUSED_IN_WINDOW =
    "the receiver refused it (its name, a directory of that name, another sender sending it, "
    "a directory or file the receiver cannot create, a checksum mismatch or a failed write)";

}  // namespace

// The offer costs no wait: the first files follow it at once, and the answer is read with
// their statuses.
void CQKWindowedConversation::offer(const QKLogTag& tag) {
    QKWindowFrame offer;
    offer.files = QK_SENDER_WINDOW_FILES;
    offer.bytes = QK_SENDER_WINDOW_BYTES;
    offer.features |= QK_WINDOW_FEATURE_RESUME;
    if (m_parts.keep.count() > 0) {
        offer.features |= QK_WINDOW_FEATURE_KEEP;
        offer.keep = static_cast<std::uint16_t>(std::min<long long>(m_parts.keep.count(), 65535));
    }
    m_parts.frames.sendWindowOffer(offer);
    m_in_flight.offered();
    log_message(LOG_LEVEL_DEBUG, &tag, "Files in flight offered to the receiver");
}

void CQKWindowedConversation::send(const QKLogTag& tag, SQKSentFile file) {
    makeRoom(tag, file.size);
    transferPlainly([&] { transfer(tag, file); });
    m_in_flight.add(std::move(file));
    takeAnswers(tag, false);
}

// A file refused at its header (the offset frame says so) sends no content, and its status
// says 0x7F.
void CQKWindowedConversation::transfer(const QKLogTag& tag, SQKSentFile& file) {
    beginTransfer(tag, file);
    CQKSenderFrames& frames = m_parts.frames;
    std::uint64_t offset = 0;
    if (isResumable(tag, file.size)) {
        frames.sendResumableHeader(tag, *file.lease, file.path, file.sub_dir, file.size);
        offset = awaitResumeOffset(tag, file.size);
        file.held = offset == QK_RESUME_SKIP ? 0 : offset;
        if (file.held > 0)
            qk_print_console("Resuming " + file.path + ": " + std::to_string(file.held) + " of " +
                             std::to_string(file.size) + " bytes are at the receiver already");
    } else {
        frames.sendHeader(tag, file.path, file.sub_dir, file.size);
    }
    const std::uint32_t crc =
        offset == QK_RESUME_SKIP
            ? 0
            : frames.sendContent(tag, *file.lease, file.path, file.size, offset);
    frames.sendFinished(tag, crc, file.size);
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFile End...");
}

void CQKWindowedConversation::drain(const QKLogTag& tag) {
    while (!m_in_flight.empty())
        takeAnswers(tag, true);
}

// Whether the receiver keeps the connection is in its window answer, which may still be on
// its way with the statuses: both come before the choice. Otherwise: the statuses of the
// files still in flight, then the one of the finished-all frame (after the window answer,
// when no file was sent at all).
bool CQKWindowedConversation::finish(const QKLogTag& tag) {
    if (m_parts.keep.count() > 0) {
        drain(tag);
        awaitAnswer(tag);
        if (keptFor().count() > 0)
            return false;
    }
    m_parts.frames.sendFrame(QK_SEND_FILE_FFINISHED_ALL, nullptr, 0, true);
    drain(tag);
    awaitAnswer(tag);
    std::uint8_t status = 0;
    nextByte(status, true);
    if (status != QK_SEND_FILE_FOK) {
        const std::string text = qk_status_text(status, QK_SEND_FILE_FOK);
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
        throw ReceivingStatusException(text);
    }
    return true;
}

// Without waiting: what has arrived is read, and every status in it settles its file (an
// acknowledged one is backed up and removed as usual). A connection that has ended, or bytes
// that are no status, end it quietly: the attempt has failed already.
void CQKWindowedConversation::abandon(const QKLogTag& tag) noexcept {
    try {
        std::uint8_t status = 0;
        while (m_answered && m_parts.socket.isOpen() && !m_in_flight.empty() &&
               m_parts.reader.nextArrived(status))
            settleOldest(tag, status);
    } catch (...) {
        // What has no status stays in the outgoing tree.
    }
    m_in_flight.forget();
    m_keep_granted = std::chrono::seconds(0);
}

// Whether the receiver of a failed attempt refused the offer the way older versions do: its
// first byte after the greeting is 0x7F, read already or arrived by now. Such a receiver
// closes the connection right after that byte, often while the sender is still sending the
// files behind the offer, and the kernel keeps the byte readable after the reset. Nothing
// else marks a receiver classic: a close or a cut without that byte, another byte, silence
// or a stop may come from a current receiver that was stopped or cut off.
bool CQKWindowedConversation::readRefusalOfOffer() noexcept {
    if (m_heard)
        return m_refused;
    std::uint8_t first = 0;
    return m_parts.reader.peekArrived(first) && first == QK_SEND_FILE_FERROR;
}

std::chrono::seconds CQKWindowedConversation::keptFor() const {
    return m_keep_granted;
}

// Room for one more file of size bytes: waits for statuses while the receiver's bounds are
// reached. One file is always let through, however big.
void CQKWindowedConversation::makeRoom(const QKLogTag& tag, std::uint64_t size) {
    takeAnswers(tag, false);
    while (!m_in_flight.hasRoomFor(size))
        takeAnswers(tag, true);
}

// Takes the answers that have come (with wait, waits up to the time limit for at least one
// status) and settles the files they answer. True when a file was settled.
bool CQKWindowedConversation::takeAnswers(const QKLogTag& tag, bool wait) {
    bool settled = false;
    std::uint8_t byte = 0;
    while (!m_in_flight.empty() && nextByte(byte, wait && !settled)) {
        if (!m_answered) {
            readAnswer(tag, byte);
            continue;
        }
        settleOldest(tag, byte);
        settled = true;
    }
    m_parts.socket.noteRoundTrip();
    return settled;
}

// The next byte the receiver sent; false when none has come and wait is false. A closed
// connection or a time-out fails as a missing status does.
bool CQKWindowedConversation::nextByte(std::uint8_t& byte, bool wait) {
    if (!wait)
        return m_parts.reader.nextArrived(byte);
    byte = m_parts.reader.next(answerTimeout());
    return true;
}

// A resumed file's status comes only after the receiver has read the bytes it held back from
// its disk, which may take longer than the usual limit when few bytes followed many: its
// wait grows with them, at a pessimistic 16 MiB/s.
Poco::Timespan CQKWindowedConversation::answerTimeout() const {
    constexpr std::uint64_t kHeldReadRate = 16u << 20;
    const std::uint64_t held = m_in_flight.oldestHeld();
    if (held == 0)
        return m_parts.timeout;
    return m_parts.timeout + Poco::Timespan(static_cast<long>(held / kHeldReadRate), 0);
}

// The receiver's window frame, whose first byte is first. Anything else where it is due is
// a receiver that refused the offer.
void CQKWindowedConversation::readAnswer(const QKLogTag& tag, std::uint8_t first) {
    m_heard = true;
    if (first != QK_FILE_SEND_FWINDOW) {
        m_refused = first == QK_SEND_FILE_FERROR;
        throw ReceivingStatusException(qk_status_text(first, QK_FILE_SEND_FWINDOW));
    }
    std::uint8_t frame[QK_WINDOW_FRAME_SIZE] = {first};
    for (std::size_t i = 1; i < sizeof(frame); ++i)
        nextByte(frame[i], true);
    QKWindowFrame answer;
    if (!qk_read_window(frame, sizeof(frame), answer))
        throw ReceivingStatusException("The receiver's answer to files in flight is malformed");
    m_answered = true;
    if ((answer.features & QK_WINDOW_FEATURE_RESUME) != 0)
        readResumeTerms();
    if ((answer.features & QK_WINDOW_FEATURE_KEEP) != 0 && answer.keep > 0)
        m_keep_granted = std::min(m_parts.keep, std::chrono::seconds(answer.keep));
    m_in_flight.answered(answer.files, answer.bytes);
    log_message(LOG_LEVEL_DEBUG, &tag, "The receiver takes %u files and %llu bytes in flight",
                static_cast<unsigned>(m_in_flight.files()),
                static_cast<unsigned long long>(m_in_flight.bytes()));
}

// The receiver's resume terms, right after its window frame.
void CQKWindowedConversation::readResumeTerms() {
    std::uint8_t frame[QK_RESUME_TERMS_SIZE];
    for (std::uint8_t& byte : frame)
        nextByte(byte, true);
    if (!qk_read_resume_terms(frame, sizeof(frame), m_resume_min_size))
        throw ReceivingStatusException("The receiver's resume terms are malformed");
}

void CQKWindowedConversation::awaitAnswer(const QKLogTag& tag) {
    if (m_answered)
        return;
    std::uint8_t first = 0;
    nextByte(first, true);
    readAnswer(tag, first);
}

// One status settles the oldest file in flight, as a status settles a file classically.
void CQKWindowedConversation::settleOldest(const QKLogTag& tag, std::uint8_t status) {
    const SQKSentFile file = m_in_flight.takeOldest();
    print_code(&status, 1, LOG_LEVEL_TRACE);
    if (status == QK_SEND_FILE_FOK) {
        m_parts.owner.fileAcknowledged(tag, file);
        return;
    }
    const std::string text = qk_status_text(status, QK_SEND_FILE_FOK);
    if (status != QK_SEND_FILE_FERROR) {
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
        throw ReceivingStatusException(text);
    }
    log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
    m_parts.owner.fileRefused(tag, file, QK_REFUSED_IN_WINDOW, false);
}

// A file of at least the size the receiver named in its resume terms goes with a resumable
// header. Before the receiver's answer to the offer has come, a file that might qualify
// waits for it.
bool CQKWindowedConversation::isResumable(const QKLogTag& tag, std::uint64_t file_size) {
    if (file_size < QK_RESUME_SIZE_FLOOR)
        return false;
    awaitAnswer(tag);
    return m_resume_min_size > 0 && file_size >= m_resume_min_size;
}

// The receiver's offset frame comes ahead of the statuses it still owes; those that come
// before it settle their files as usual.
std::uint64_t CQKWindowedConversation::awaitResumeOffset(const QKLogTag& tag,
                                                         std::uint64_t file_size) {
    std::uint8_t byte = 0;
    for (;;) {
        nextByte(byte, true);
        if (byte == QK_FILE_SEND_FRHEADER)
            break;
        if (m_in_flight.empty())
            throw ReceivingStatusException(qk_status_text(byte, QK_FILE_SEND_FRHEADER));
        settleOldest(tag, byte);
    }
    std::uint8_t frame[QK_RESUME_OFFSET_SIZE] = {byte};
    for (std::size_t i = 1; i < sizeof(frame); ++i)
        nextByte(frame[i], true);
    const std::uint64_t offset = qk_read_resume_offset(frame);
    if (offset != QK_RESUME_SKIP && offset > file_size)
        throw ReceivingStatusException("The receiver's resume offset is beyond the file");
    if (offset != QK_RESUME_SKIP && offset > 0) {
        log_message(LOG_LEVEL_INFO, &tag,
                    "The receiver holds %" PRIu64 " of its %" PRIu64 " bytes: sending the rest",
                    offset, file_size);
    }
    return offset;
}
