// The receiving connection: the state machine of the conversation, from the greeting to the
// last status.
#include "transfer/CQKSrvConnection.h"

#include <Poco/Net/NetException.h>

#include <chrono>
#include <cstdio>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKFileListener.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/CQKWindowTerms.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr const char* kLogBanner = "=================================== >>";
constexpr const char* kLogBannerEnd = "=================================== <<";
constexpr const char* kConsoleBanner = "-------------------- >>";
constexpr const char* kConsoleBannerEnd = "-------------------- <<";

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

std::uint32_t current_thread_key() {
    return static_cast<std::uint32_t>(qk_get_thread_id());
}

}  // namespace

CQKSrvConnection::CQKSrvConnection(const Poco::Net::StreamSocket& socket, CQKFileListener& listener,
                                   bool is_secure)
    : Poco::Net::TCPServerConnection(socket),
      m_listener(listener),
      m_is_secure(is_secure),
      m_name(listener.connectionName(false)),
      m_reader(listener.finishedAllError()),
      m_channel(this->socket(), listener, m_name),
      m_policy(listener, m_name, is_secure),
      m_committer(m_policy, m_name),
      m_cur(m_committer.freshFile()) {
    const std::string self = m_name + "::" + m_name + "()";
    QKLogTag tag = qk_make_tag(self.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", self.c_str());
    m_listener.addConnection(current_thread_key(), this);
    this->socket().setNoDelay(true);
    // Bounds the TLS handshake and any blocking read or write the polls don't cover.
    this->socket().setReceiveTimeout(m_listener.timeout());
    this->socket().setSendTimeout(m_listener.timeout());
    log_message(LOG_LEVEL_DEBUG, &tag, "New connection is created: address = %s is_secure = %d",
                peer().c_str(), m_is_secure ? 1 : 0);
    // Last: the destructor, which counts the connection out, runs only once this is done.
    qk_receiver_metrics().connections_open.add(1);
}

CQKSrvConnection::~CQKSrvConnection() {
    const std::string self = m_name + "::~" + m_name + "()";
    QKLogTag tag = qk_make_tag(self.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", self.c_str());
    releaseFile();
    dropFinished();
    qk_receiver_metrics().connections_open.add(-1);
    // Last: once removed, the listener may be destroyed.
    m_listener.removeConnection(current_thread_key());
}

QKLogTag CQKSrvConnection::tagOf(const char* operation) const {
    return qk_make_tag((m_name + "::" + operation).c_str());
}

std::string CQKSrvConnection::peer() const {
    return m_channel.peer();
}

void CQKSrvConnection::run() {
    QKLogTag tag = tagOf("run()");
    const std::string address = peer();
    const int secure = m_is_secure ? 1 : 0;
    log_message(LOG_LEVEL_DEBUG, &tag, "Start run()...");
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection Thread Started: address = %s is_secure = %d",
                address.c_str(), secure);
    m_status = QK_SEND_FILE_FOK;
    m_end = false;
    m_idle_since = std::chrono::steady_clock::now();  // idle until its first frame
    try {
        if (m_is_secure)
            startSecure(tag);
        // The greeting first, then a status for every frame that is owed one.
        m_status_owed = !m_end;
        while (!m_end || m_status_owed) {
            if (m_status_owed) {
                log_message(LOG_LEVEL_TRACE, &tag, "sendStatus: ------- >>");
                m_status = QK_SEND_FILE_FOK;
                sendStatus();
                log_message(LOG_LEVEL_TRACE, &tag, "sendStatus: ------- <<");
            }
            m_status_owed = false;
            if (m_end || m_listener.isStopped())
                break;
            log_message(LOG_LEVEL_TRACE, &tag, "receiveData: ------- >>");
            receiveData();
            log_message(LOG_LEVEL_TRACE, &tag, "receiveData: ------- <<");
        }
    } catch (const Poco::Net::ConnectionResetException& e) {
        m_status = QK_SEND_FILE_FERROR;
        releaseFile();
        qk_report_exception(&tag, e);
    } catch (...) {
        // A refused file, a malformed frame, a time-out: the 0x7F falls to the file in
        // progress. A path another connection receives stays registered: it is not ours.
        refuseInProgress();
        sendErrorStatus();
        qk_run_reporting(&tag, [] { throw; });
    }
    // A stop in the middle of a file leaves nothing under the target name; files finished
    // but not answered are dropped too: their sender still has them.
    releaseFile();
    dropFinished();
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection Thread Finished: address = %s is_secure = %d",
                address.c_str(), secure);
    log_message(LOG_LEVEL_DEBUG, &tag, "End run()...");
}

// The TLS handshake, before the greeting: one that gives its thread up, or meets a stop,
// ends the connection quietly; a refused one throws.
void CQKSrvConnection::startSecure(const QKLogTag& tag) {
    const Wait wait = m_channel.handshake(m_idle_since, tag);
    if (wait == Wait::GiveUp)
        closeIdle(tag, true);
    else if (wait != Wait::Ready)
        m_end = true;
}

// A failure of the conversation in the middle of a file (a time-out, a malformed frame)
// refuses it, counted as "other"; or as a failed write when its content was being dropped
// since one. A file refused already is not counted again.
void CQKSrvConnection::refuseInProgress() noexcept {
    if (!m_is_receiving)
        return;
    m_writer.abandon();
    m_policy.refuse(*m_cur, m_dropping ? Refusal::Write : Refusal::Other,
                    CQKHeaderPolicy::Content::Keep);
}

// Windowed, the files finished before the failure are answered first, in their order: the
// 0x7F then falls to the file the failure interrupted, not to one that arrived whole.
void CQKSrvConnection::sendErrorStatus() noexcept {
    m_status = QK_SEND_FILE_FERROR;
    try {
        answerCommitted(CQKCommitter::Wait::All);
        sendStatus();
    } catch (const Poco::Exception& e) {
        // The peer is most likely gone; the original failure is what gets reported.
        QKLogTag tag = tagOf("run()");
        log_message(LOG_LEVEL_DEBUG, &tag, "Status 0x7F not sent: %s", e.displayText().c_str());
    } catch (...) {
    }
}

void CQKSrvConnection::sendStatus() {
    try {
        m_channel.sendStatus(m_status);
    } catch (...) {
        m_status = QK_SEND_FILE_FERROR;
        throw;
    }
}

// The wait for the next frame: a windowed connection also wakes when committed files wait for
// their statuses (Wait::Answers), and an idle connection may give its thread up
// (Wait::GiveUp); a kept one waits up to its keep time.
CQKSrvConnection::Wait CQKSrvConnection::waitForPeer() {
    const bool idle = isIdle();
    if (idle && m_keep_seconds > 0) {
        const auto deadline = m_idle_since + std::chrono::seconds(m_keep_seconds);
        return m_channel.waitReadable(m_committer.wakeFd(), &m_idle_since, &deadline);
    }
    return m_channel.waitReadable(m_committer.wakeFd(), idle ? &m_idle_since : nullptr);
}

void CQKSrvConnection::receiveData() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "receiveData Start...");
    answerWhileFull();
    const bool idle = keptIdle();
    const Wait wait = waitForPeer();
    if (wait == Wait::Answers) {
        answerCommitted(CQKCommitter::Wait::None);
        return;
    }
    if (wait == Wait::Ready && idle && !m_channel.clientStillAccepted(m_is_secure)) {
        log_message(LOG_LEVEL_WARN, &tag,
                    "Kept connection closed: its client is no longer accepted: address = %s",
                    peer().c_str());
        m_end = true;
        return;
    }
    if (wait == Wait::GiveUp || (wait == Wait::TimedOut && keptIdle())) {
        closeIdle(tag, wait == Wait::GiveUp);
        return;
    }
    // An idle peer between files may stay while no other connection waits for its thread; one
    // that stalls inside a file may not.
    if (wait == Wait::TimedOut && m_is_receiving) {
        log_message(LOG_LEVEL_ERROR, &tag, "select Error...");
        throw Poco::TimeoutException("Time-out of receiving of file: " + m_cur->file_name);
    }
    if (wait == Wait::TimedOut) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Nothing from the client between files: address = %s",
                    peer().c_str());
    }
    if (wait == Wait::Ready) {
        log_message(LOG_LEVEL_TRACE, &tag, "recv ---------------------------- >>");
        const bool frame_due = m_reader.expectsFrame();
        // File content is received straight into a buffer of the writer, a whole piece at a
        // time, unless it is dropped.
        std::uint8_t* buffer = frame_due || m_dropping ? m_buffer.data() : writerBuffer();
        const std::size_t capacity =
            buffer == m_buffer.data() ? m_buffer.size() : CQKPieceWriter::kPieceSize;
        const std::size_t wait_bytes = m_reader.readSize(capacity);
        log_message(LOG_LEVEL_TRACE, &tag, "wait_bytes = %d", static_cast<int>(wait_bytes));
        const std::size_t n = frame_due
                                  ? m_channel.readFrame(buffer)
                                  : m_channel.readContent(buffer, wait_bytes, m_committer.wakeFd());
        log_message(LOG_LEVEL_TRACE, &tag, "receiveBytes: bytes received = %d",
                    static_cast<int>(n));
        if (n == 0) {
            log_message(LOG_LEVEL_TRACE, &tag, "recv Error...");
            handlePeerGone();
        } else {
            handleRead(buffer, n);
            log_message(LOG_LEVEL_TRACE, &tag, "recv Ok...");
        }
        log_message(LOG_LEVEL_TRACE, &tag, "recv ---------------------------- <<");
    }
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "receiveData Stop... m_recv_data = %02X", m_reader.state());
}

// A free buffer of the writer. Waiting for one reports a piece that could not be written:
// from then on the content goes into the connection's own buffer and is dropped.
std::uint8_t* CQKSrvConnection::writerBuffer() {
    try {
        return m_writer.freeBuffer();
    } catch (const Poco::Exception& e) {
        dropContent(e);
        return m_buffer.data();
    }
}

// A piece could not be written (a full disk or quota, a file too big, an I/O error): the file
// is refused, but at its end, so that the sender, busy sending its content, reads the 0x7F
// instead of a broken connection and goes on with its next files. The temporary goes at once,
// giving its space back; the name and the backups were never touched. The rest of the content
// the header announced is read and dropped a buffer at a time, under the usual time limits,
// and the finished frame gets the 0x7F (refuseDropped()).
void CQKSrvConnection::dropContent(const Poco::Exception& error) {
    m_writer.abandon();
    m_cur->content->discard();
    m_dropping = true;
    const std::string cause = error.message().empty() ? error.displayText() : error.message();
    const std::uint64_t due = m_cur->file_size - m_reader.receivedSize();
    const std::string rest =
        due == 0 ? "" : "; the " + std::to_string(due) + " bytes still due are read and dropped";
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_ERROR, &tag,
                "Receiving file: %s refused, its content could not be written: %s%s",
                m_cur->file_path.c_str(), cause.c_str(), rest.c_str());
    qk_print_console("Receiving file: " + m_cur->file_name +
                     " refused, its content could not be written: " + cause);
}

// The finished frame of a file whose content was dropped: refused like a checksum mismatch,
// with 0x7F, after which a classic connection ends as after any refused file. Said once, at
// ERROR, when the write failed.
void CQKSrvConnection::refuseDropped() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_INFO, &tag, "Receiving file: %s finished and refused: a write failed.",
                m_cur->file_name.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBannerEnd);
    qk_print_console("Receiving file: " + m_cur->file_name +
                     " finished and refused: a write failed.");
    qk_print_console(kConsoleBannerEnd);
    m_policy.refuse(*m_cur, Refusal::Write, CQKHeaderPolicy::Content::Drop);
    if (m_channel.windowed()) {
        finishFile();
        return;
    }
    sendErrorStatus();
    releaseFile();
    m_end = true;
}

void CQKSrvConnection::handleRead(const std::uint8_t* data, std::size_t len) {
    switch (m_reader.consume(data, len)) {
        case CQKFrameReader::Event::Header:
            try {
                handleHeader();
            } catch (const Poco::Exception& e) {
                if (!m_channel.windowed())
                    throw;
                refuseInWindow(e);
            }
            break;
        case CQKFrameReader::Event::Window:
            handleWindow();
            break;
        case CQKFrameReader::Event::Data:
            handleData(len);
            break;
        case CQKFrameReader::Event::Finished:
            handleFinished();
            break;
        case CQKFrameReader::Event::FinishedAll:
            handleFinishedAll();
            break;
        case CQKFrameReader::Event::StrayData:
            break;
    }
}

// The peer closed the connection: the conversation is over. A file it was sending is
// dropped, and so are files finished but not answered; the sender still has them.
void CQKSrvConnection::handlePeerGone() {
    m_end = true;
    dropFinished();
    if (m_is_receiving) {
        QKLogTag tag = tagOf("receiveData()");
        log_message(LOG_LEVEL_ERROR, &tag,
                    "Connection closed by the client while receiving file: %s",
                    m_cur->file_path.c_str());
        releaseFile();
    }
}

// The header's checks and the claim on its name (CQKHeaderPolicy), then where its content
// goes; a resumable header is answered at once with the bytes held already.
void CQKSrvConnection::handleHeader() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_FILE_SEND_FHEADER");
    m_offset_due = m_reader.resumable();
    const SQKReceivingDirs dirs = m_listener.receivingDirs();
    m_policy.admit(*m_cur, m_reader.header(), dirs);
    m_policy.openContent(*m_cur, dirs, m_reader.resumable() ? m_reader.sourceTag() : nullptr,
                         [this](std::uint64_t held) {
                             if (m_offset_due)
                                 sendOffset(held);
                             m_reader.startContentAt(held);
                         });
    m_is_receiving = true;
    m_writer.begin(*m_cur->content, m_cur->file_size - m_cur->held);
    m_status_owed = !m_channel.windowed();
}

// The answer to a resumable header, ahead of any status still owed: the sender waits for it.
void CQKSrvConnection::sendOffset(std::uint64_t offset) {
    std::uint8_t frame[QK_RESUME_OFFSET_SIZE];
    qk_build_resume_offset(frame, offset);
    m_channel.sendBytesAll(frame, sizeof(frame));
    m_offset_due = false;
}

// Once the transfer goes on past its offset (its first content, or its finished frame when
// every byte was held): a header cut before its content costs no reading of the disk. The
// reading ends early at a stop of the listener, or when the file is dropped.
void CQKSrvConnection::startHeldRead() {
    if (m_cur->held > 0) {
        CQKFileListener& listener = m_listener;
        m_cur->content->startHeldRead([&listener] { return listener.isStopped(); });
    }
}

// True when the connection waits for the sender's next file (or its first, or its next run):
// no file in progress and none unanswered. Marks when that began.
bool CQKSrvConnection::isIdle() {
    const bool idle = !m_is_receiving && m_committer.unanswered() == 0;
    if (!idle)
        m_idle_since = std::chrono::steady_clock::time_point();
    else if (m_idle_since == std::chrono::steady_clock::time_point())
        m_idle_since = std::chrono::steady_clock::now();
    return idle;
}

// True when a kept connection waits between the sender's runs.
bool CQKSrvConnection::keptIdle() {
    return m_keep_seconds > 0 && isIdle();
}

// Ends an idle connection: a kept one that stayed idle for its keep time, or any whose thread
// another connection waits for (for_waiting). Its sender finds the connection closed between
// files, keeps every file not answered, and connects again. Said at DEBUG: a crowd of idle
// peers makes no flood of errors.
void CQKSrvConnection::closeIdle(const QKLogTag& tag, bool for_waiting) {
    if (for_waiting) {
        qk_receiver_metrics().idle_closed.inc();
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "Idle connection closed: another connection waits for its thread: address = %s",
                    peer().c_str());
    } else {
        log_message(LOG_LEVEL_DEBUG, &tag, "Kept connection closed while idle: address = %s",
                    peer().c_str());
    }
    m_end = true;
}

// The sender offers files in flight: the answer gives the receiver's bounds, and from now
// on each file gets one status, in order.
void CQKSrvConnection::handleWindow() {
    const QKWindowFrame& offer = m_reader.window();
    const SQKReceivingDirs dirs = m_listener.receivingDirs();
    const CQKWindowTerms terms(offer, dirs, m_is_secure);
    m_keep_seconds = terms.keepSeconds();
    if (terms.resume()) {
        m_reader.allowResumableHeaders();
        CQKPartialStore(dirs.in_dir).sweep(std::chrono::hours(dirs.partial_hours));
    }
    m_channel.sendBytesAll(terms.frames(), terms.framesSize());
    m_committer.start();
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Files in flight: the sender offers %u, this receiver takes %u files and %llu "
                "bytes: address = %s",
                offer.files, terms.answer().files,
                static_cast<unsigned long long>(terms.answer().bytes), peer().c_str());
}

// A windowed file refused at its header: said as a classic refusal is, then its content is
// read and dropped, and its finished frame takes its place among the statuses.
void CQKSrvConnection::refuseInWindow(const Poco::Exception& error) {
    QKLogTag tag = tagOf("run()");
    qk_report_exception(&tag, error);
    releaseFile();
    if (m_offset_due) {
        // A resumable file refused at its header costs the link nothing: no content comes.
        sendOffset(QK_RESUME_SKIP);
        m_reader.startContentAt(m_reader.header().file_size);
    }
    m_policy.refuse(*m_cur, Refusal::Other, CQKHeaderPolicy::Content::Keep);
    m_is_receiving = true;
    m_dropping = true;
}

// Sends the statuses of the files committed so far, in their order (see
// CQKCommitter::takeStatuses for the waits).
void CQKSrvConnection::answerCommitted(CQKCommitter::Wait wait) {
    const std::vector<std::uint8_t> statuses = m_committer.takeStatuses(wait);
    if (!statuses.empty())
        m_channel.sendBytesAll(statuses.data(), statuses.size());
}

// Holds the reading while too many files wait for their statuses: memory and open files
// stay bounded whatever the peer sends.
void CQKSrvConnection::answerWhileFull() {
    answerCommitted(CQKCommitter::Wait::None);
    while (m_committer.full())
        answerCommitted(CQKCommitter::Wait::One);
}

// Files finished but not answered are dropped; the sender still has them.
void CQKSrvConnection::dropFinished() noexcept {
    m_committer.stop();
}

// The received file is complete (or refused): a fresh one takes its place for the next header,
// and it goes to the committer, which commits it at once (classic: true, its status is owed
// now) or in its turn (windowed).
bool CQKSrvConnection::finishFile() {
    std::unique_ptr<SQKReceivedFile> file = std::move(m_cur);
    m_cur = m_committer.freshFile();
    m_is_receiving = false;
    m_dropping = false;
    return m_committer.finish(std::move(file));
}

// The piece was received into the writer's buffer; the writer checksums and writes it.
void CQKSrvConnection::handleData(std::size_t len) {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FDATA");
    if (m_dropping)
        return;
    startHeldRead();
    try {
        m_writer.queue(len);
    } catch (const Poco::Exception& e) {
        dropContent(e);
        return;
    }
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_size = %llu",
                static_cast<unsigned long long>(m_reader.receivedSize()));
}

void CQKSrvConnection::handleFinished() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FFINISHED");
    if (m_cur->refused) {
        finishFile();  // refused at its header, and said so there
        return;
    }
    const std::uint32_t received = m_reader.checkSum();
    // A piece that could not be written refuses the file, never confirmed.
    std::uint32_t computed = 0;
    if (!m_dropping) {
        try {
            computed = m_writer.finish();
        } catch (const Poco::Exception& e) {
            dropContent(e);
        }
    }
    if (m_dropping) {
        refuseDropped();
        return;
    }
    if (m_cur->held > 0) {
        startHeldRead();
        handOverResumed(received, computed);
        return;
    }
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FFINISHED: m_check_sum: %08X", received);
    log_message(LOG_LEVEL_TRACE, &tag, "Received CheckSum = %08X", received);
    log_message(LOG_LEVEL_TRACE, &tag, "Solved CheckSum = %08X", computed);
    log_message(LOG_LEVEL_INFO, &tag,
                "Receiving file: %s finished. Checksum: %08X. Received CheckSum: %08X",
                m_cur->file_name.c_str(), computed, received);
    qk_print_console("Receiving file: " + m_cur->file_name + " finished." +
                     " Checksum: " + hex32(computed) + ". Recieved checksum: " + hex32(received));
    if (computed != received) {
        log_message(LOG_LEVEL_ERROR, &tag, "CheckSum != Received CheckSum");
        log_message(LOG_LEVEL_INFO, &tag, "Receiving file: %s. CheckSum != Received CheckSum.",
                    m_cur->file_name.c_str());
        qk_print_console("Receiving file: " + m_cur->file_name + ". CheckSum != Received CheckSum");
        m_policy.refuse(*m_cur, Refusal::Checksum, CQKHeaderPolicy::Content::Drop);
        if (m_channel.windowed()) {
            finishFile();
            return;
        }
        throw Poco::Exception(
            "m_recv_data = QK_SEND_FILE_FFINISHED: CheckSum != Received CheckSum");
    }
    const std::string file_name = m_cur->file_name;
    m_status_owed = finishFile();
    log_message(LOG_LEVEL_TRACE, &tag, "CheckSum == Received CheckSum");
    log_message(LOG_LEVEL_INFO, &tag, "Receiving file: %s. CheckSum == Received CheckSum.",
                file_name.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBannerEnd);
    qk_print_console("Receiving file: " + file_name + ". CheckSum == Received CheckSum");
    qk_print_console(kConsoleBannerEnd);
}

// A resumed file's checksum also needs the CRC-32 of the bytes held before, read back from
// the disk on the side: the committer compares it, and this thread goes on with the next
// files meanwhile.
void CQKSrvConnection::handOverResumed(std::uint32_t received, std::uint32_t computed) {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_INFO, &tag,
                "Receiving file: %s finished; its checksum is compared with the %llu bytes held "
                "before once they are read back.",
                m_cur->file_name.c_str(), static_cast<unsigned long long>(m_cur->held));
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBannerEnd);
    m_cur->sent_crc = received;
    m_cur->new_crc = computed;
    finishFile();
}

void CQKSrvConnection::handleFinishedAll() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FFINISHED_ALL");
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBanner);
    log_message(LOG_LEVEL_INFO, &tag, "Finish receiving all files");
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBannerEnd);
    qk_print_console(kConsoleBanner);
    qk_print_console("Finish receiving all files");
    qk_print_console(kConsoleBannerEnd);
    answerCommitted(CQKCommitter::Wait::All);
    m_status_owed = true;
    m_end = true;
}

void CQKSrvConnection::releaseFile() noexcept {
    m_writer.abandon();
    m_cur->content->abandon();  // a resumable file's partial content stays for the next attempt
    CQKHeaderPolicy::notePartialStore(*m_cur);
    m_is_receiving = false;
    m_dropping = false;
    m_policy.releaseName(*m_cur);
}
