// The receiving connection: greeting, frames, file data, checksums and statuses.
#include "transfer/CQKSrvConnection.h"

#include <Poco/File.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketImpl.h>
#include <Poco/Path.h>
#include <Poco/Thread.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "base/qk_path.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKFileListener.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_socket.h"
#include "transfer/qk_tls.h"

namespace {

constexpr const char* kLogBanner = "=================================== >>";
constexpr const char* kLogBannerEnd = "=================================== <<";
constexpr const char* kConsoleBanner = "-------------------- >>";
constexpr const char* kConsoleBannerEnd = "-------------------- <<";

// Waits for readability in short slices so that a stop request is seen at once.
const Poco::Timespan kStopCheckSlice(0, 200000);

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

std::uint32_t current_thread_key() {
    return static_cast<std::uint32_t>(qk_get_thread_id());
}

// What the receiver uses name for in a directory, when it is a name of its own there: the
// lock file in the incoming root, and the shapes of its temporaries anywhere (which the
// clean-up of crash debris removes); null for any other name. at_top: name is an entry of
// the incoming root itself.
const char* own_use_of(const std::string& name, bool at_top) {
    if (at_top && name == CQKNameLock::kFileName)
        return "its name lock file";
    if (at_top && qk_is_crl_number_name(name))
        return "its record of revocation list numbers";
    if (at_top && name == CQKPartialStore::kDirName)
        return "the partial content of cut transfers";
    if (CQKIncomingFile::isTemporaryName(name))
        return "the temporaries of received files";
    if (qk_is_backup_temporary_name(name))
        return "the temporaries of backups";
    return nullptr;
}

}  // namespace

CQKSrvConnection::CQKSrvConnection(const Poco::Net::StreamSocket& socket, CQKFileListener& listener,
                                   bool is_secure)
    : Poco::Net::TCPServerConnection(socket),
      m_listener(listener),
      m_is_secure(is_secure),
      m_name(listener.connectionName(false)),
      m_reader(listener.finishedAllError()),
      m_cur(std::make_unique<SQKReceivedFile>()) {
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
    try {
        return const_cast<CQKSrvConnection*>(this)->socket().peerAddress().toString();
    } catch (const Poco::Exception&) {
        return "(unknown)";
    }
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
        if (!m_end)
            sendGreeting();
        while (!m_end && !m_listener.isStopped()) {
            log_message(LOG_LEVEL_TRACE, &tag, "receiveData: ------- >>");
            m_status_owed = false;
            receiveData();
            log_message(LOG_LEVEL_TRACE, &tag, "receiveData: ------- <<");
            if (m_status_owed) {
                log_message(LOG_LEVEL_TRACE, &tag, "sendStatus: ------- >>");
                m_status = QK_SEND_FILE_FOK;
                sendStatus();
                log_message(LOG_LEVEL_TRACE, &tag, "sendStatus: ------- <<");
            }
        }
    } catch (const Poco::Net::ConnectionResetException& e) {
        m_status = QK_SEND_FILE_FERROR;
        releaseFile();
        qk_report_exception(&tag, e);
    } catch (const FileIsReceivingAlready& e) {
        // The path stays registered: it belongs to the connection that receives it.
        countRefusal();
        sendErrorStatus();
        qk_report_exception(&tag, e);
    } catch (const Poco::Exception& e) {
        countRefusal();
        sendErrorStatus();
        releaseFile();
        qk_report_exception(&tag, e);
    } catch (const std::exception& e) {
        countRefusal();
        sendErrorStatus();
        releaseFile();
        qk_report_exception(&tag, e);
    } catch (...) {
        countRefusal();
        sendErrorStatus();
        releaseFile();
        qk_report_unknown_exception(&tag);
    }
    // A stop in the middle of a file leaves nothing under the target name; files finished
    // but not answered are dropped too: their sender still has them.
    releaseFile();
    dropFinished();
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection Thread Finished: address = %s is_secure = %d",
                address.c_str(), secure);
    log_message(LOG_LEVEL_DEBUG, &tag, "End run()...");
}

// The TLS handshake, before the greeting. One that fails (throws) or does not finish in time is
// a refused handshake; one that gives its thread up, or meets a stop, ends the connection
// quietly.
void CQKSrvConnection::startSecure(const QKLogTag& tag) {
    Wait wait = Wait::Ready;
    try {
        wait = handshake();
    } catch (...) {
        qk_receiver_metrics().tls_handshakes_refused.inc();
        throw;
    }
    if (wait == Wait::GiveUp) {
        closeIdle(tag, true);
    } else if (wait != Wait::Ready) {
        m_end = true;
    }
    if (wait == Wait::TimedOut) {
        log_message(LOG_LEVEL_ERROR, &tag,
                    "No TLS handshake from the client within %lld s: address = %s",
                    static_cast<long long>(QK_HANDSHAKE_LIMIT.count()), peer().c_str());
        qk_receiver_metrics().tls_handshakes_refused.inc();
    }
}

// A TLS client speaks first. The handshake runs on a non-blocking socket with no time-out of
// its own, so each step takes what has come and returns at once: between steps the wait is
// in stop-aware slices, the whole handshake keeps to QK_HANDSHAKE_LIMIT however the client
// paces its bytes, and a client that has not finished gives its thread up like any idle
// connection. The client's certificate is then checked against its expected name, as a
// blocking handshake would. Throws on a refused handshake.
CQKSrvConnection::Wait CQKSrvConnection::handshake() {
    Poco::Net::SecureStreamSocket secure(socket());
    const auto deadline = std::chrono::steady_clock::now() + QK_HANDSHAKE_LIMIT;
    socket().setBlocking(false);
    socket().setReceiveTimeout(Poco::Timespan(0));
    socket().setSendTimeout(Poco::Timespan(0));
    for (;;) {
        int step = Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ;
        try {
            step = secure.completeHandshake();
        } catch (const Poco::TimeoutException&) {
            // Nothing more to take yet.
        }
        if (step == 1)
            break;
        if (step != Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ &&
            step != Poco::Net::SecureStreamSocket::ERR_SSL_WANT_WRITE) {
            throw Poco::Net::SSLConnectionUnexpectedlyClosedException(
                "The client closed the connection during the TLS handshake");
        }
        const Wait wait = pollUntil(deadline, true, -1);
        if (wait != Wait::Ready)
            return wait;
    }
    socket().setBlocking(true);
    socket().setReceiveTimeout(m_listener.timeout());
    socket().setSendTimeout(m_listener.timeout());
    secure.verifyPeerCertificate();
    return Wait::Ready;
}

void CQKSrvConnection::sendGreeting() {
    QKLogTag tag = tagOf("run()");
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus: ------- >>");
    sendStatus();
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus: ------- <<");
}

// Counts the file the 0x7F about to be sent refuses: by the reason of the step that failed,
// or "other" for a failure in the middle of a file (a time-out, a malformed frame). A failure
// outside any file refuses no file.
void CQKSrvConnection::countRefusal() noexcept {
    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    switch (m_refusal) {
        case Refusal::Checksum:
            metrics.refused_checksum.inc();
            break;
        case Refusal::Name:
            metrics.refused_name.inc();
            break;
        case Refusal::Receiving:
            metrics.refused_receiving.inc();
            break;
        case Refusal::Write:
            metrics.refused_write.inc();
            break;
        case Refusal::None:
            if (m_is_receiving)
                metrics.refused_other.inc();
            break;
    }
    m_refusal = Refusal::None;
}

// Windowed, the files finished before the failure are answered first, in their order: the
// 0x7F then falls to the file the failure interrupted, not to one that arrived whole.
void CQKSrvConnection::sendErrorStatus() noexcept {
    m_status = QK_SEND_FILE_FERROR;
    try {
        if (m_window)
            answerCommitted(Answers::All);
        sendStatus();
    } catch (const Poco::Exception& e) {
        // The peer is most likely gone; the original failure is what gets reported.
        QKLogTag tag = tagOf("run()");
        log_message(LOG_LEVEL_DEBUG, &tag, "Status 0x7F not sent: %s", e.displayText().c_str());
    } catch (...) {
    }
}

void CQKSrvConnection::sendStatus() {
    QKLogTag tag = tagOf("sendStatus()");
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus Start... status = %02X", m_status);
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). start...");
    if (!qk_poll_socket(socket(), m_listener.timeout(), Poco::Net::Socket::SELECT_WRITE)) {
        m_status = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "Error receiving of the status...");
        throw SockWriteStatusException("Error receiving of the status...");
    }
    const int sent = socket().sendBytes(&m_status, 1);
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d length = %d", sent, 1);
    print_code(&m_status, 1, LOG_LEVEL_TRACE);
    if (sent != 1) {
        char text[128];
        std::snprintf(text, sizeof(text), "sendBytes Error... sent status =  0x%02X", m_status);
        m_status = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text);
        throw SendingDataException(text);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes Ok...");
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus End... status = %02X", m_status);
}

// Windowed answers: the window frame and runs of statuses, each in one send when the socket
// takes it.
void CQKSrvConnection::sendBytesAll(const std::uint8_t* data, std::size_t length) {
    QKLogTag tag = tagOf("sendStatus()");
    std::size_t sent = 0;
    while (sent < length) {
        if (!qk_poll_socket(socket(), m_listener.timeout(), Poco::Net::Socket::SELECT_WRITE)) {
            log_message(LOG_LEVEL_ERROR, &tag, "Error receiving of the status...");
            throw SockWriteStatusException("Error receiving of the status...");
        }
        const int n = socket().sendBytes(data + sent, static_cast<int>(length - sent));
        if (n <= 0) {
            throw SendingDataException("sendBytes Error... sent " + std::to_string(sent) + " of " +
                                       std::to_string(length) + " bytes");
        }
        sent += static_cast<std::size_t>(n);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d", static_cast<int>(length));
}

// With answers (the wait for the next frame), a windowed connection also wakes when committed
// files wait for their statuses (Wait::Answers), and an idle connection may give its thread up
// (Wait::GiveUp); a kept one waits up to its keep time.
CQKSrvConnection::Wait CQKSrvConnection::waitReadable(bool answers) {
    if (m_ahead_begin < m_ahead_end)
        return Wait::Ready;
    try {
        if (socket().available() > 0)
            return Wait::Ready;  // bytes a TLS record already holds
    } catch (const Poco::Exception&) {
        // No TLS session yet: fall through to the socket itself.
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::microseconds(m_listener.timeout().totalMicroseconds());
    const bool idle = answers && isIdle();
    if (idle && m_keep_seconds > 0)
        deadline = m_idle_since + std::chrono::seconds(m_keep_seconds);
    return pollUntil(deadline, idle, answers ? m_wake_fd : -1);
}

// Waits for the socket to be readable (and for wake_fd, when one is given) in short slices, so
// that a stop is seen at once, until deadline. An idle connection gives its thread up once it
// has been idle for the grace while accepted connections wait for a thread.
CQKSrvConnection::Wait CQKSrvConnection::pollUntil(std::chrono::steady_clock::time_point deadline,
                                                   bool idle, int wake_fd) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        const Poco::Timespan slice(std::max<long long>(
            0, std::min<long long>(left.count(), kStopCheckSlice.totalMicroseconds())));
        pollfd entries[2] = {{socket().impl()->sockfd(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = ::poll(entries, wake_fd >= 0 ? 2 : 1,
                                 static_cast<int>((slice.totalMicroseconds() + 999) / 1000));
        if (ready > 0 && entries[0].revents != 0)
            return Wait::Ready;
        if (ready > 0 && entries[1].revents != 0)
            return Wait::Answers;
        if (ready < 0 && errno != EINTR)
            return Wait::Ready;  // the read reports the error
        if (m_listener.isStopped())
            return Wait::Stopped;
        const auto now = std::chrono::steady_clock::now();
        if (idle && now - m_idle_since >= QK_IDLE_GRACE && m_listener.hasWaitingConnections())
            return Wait::GiveUp;
        if (now >= deadline)
            return Wait::TimedOut;
    }
}

std::size_t CQKSrvConnection::readSome(std::uint8_t* buffer, std::size_t size) {
    std::size_t taken = 0;
    if (readAhead(buffer, size, taken))
        return taken;
    const int n = socket().receiveBytes(buffer, static_cast<int>(size));
    if (n < 0)
        throw Poco::TimeoutException("Time-out of receiving from the client");
    return static_cast<std::size_t>(n);
}

// A windowed sender's frames follow one another without a pause, so a read may take in the
// start of the next frame or file: what it took beyond what was asked waits in m_ahead for
// the next reads. False when the caller is to read from the socket itself: nothing waits, and
// the connection is classic (whose sender waits for each status, so a read never runs past
// its frame) or the caller asks for a large piece of content, which never runs past its file.
bool CQKSrvConnection::readAhead(std::uint8_t* buffer, std::size_t size, std::size_t& n) {
    if (m_ahead_begin == m_ahead_end) {
        if (!m_exact_frames || size >= QK_BUFFER_SIZE / 2)
            return false;
        const int got = socket().receiveBytes(m_ahead.data(), static_cast<int>(m_ahead.size()));
        if (got < 0)
            throw Poco::TimeoutException("Time-out of receiving from the client");
        m_ahead_begin = 0;
        m_ahead_end = static_cast<std::size_t>(got);
    }
    n = std::min(size, m_ahead_end - m_ahead_begin);
    std::memcpy(buffer, m_ahead.data() + m_ahead_begin, n);
    m_ahead_begin += n;
    return true;
}

// The opening frame settles how frames are read: a classic sender's frame is what one read
// brings (gathered to its length), as it always was; from a sender that opens with a window
// frame, each frame is read to its exact length.
std::size_t CQKSrvConnection::frameNeed(const std::uint8_t* data, std::size_t len) const {
    const std::size_t need = CQKFrameReader::frameLength(
        data, len,
        m_exact_frames ? CQKFrameReader::Framing::Exact : CQKFrameReader::Framing::Gathered);
    return std::min(need, QK_BUFFER_SIZE);
}

// Reads one frame, gathering the rest of a frame that the network split, within the time
// limit. A frame still incomplete after it is malformed.
std::size_t CQKSrvConnection::readFrame(std::uint8_t* buffer) {
    if (m_first_frame) {
        m_first_frame = false;
        m_ahead.resize(QK_BUFFER_SIZE);
        const int got = socket().receiveBytes(m_ahead.data(), static_cast<int>(m_ahead.size()));
        if (got < 0)
            throw Poco::TimeoutException("Time-out of receiving from the client");
        m_ahead_end = static_cast<std::size_t>(got);
        m_exact_frames = got > 0 && m_ahead[0] == QK_FILE_SEND_FWINDOW;
    }
    std::size_t n = readSome(buffer, m_exact_frames ? 1 : QK_BUFFER_SIZE);
    if (n == 0)
        return 0;
    std::size_t need = frameNeed(buffer, n);
    while (n < need && waitReadable() == Wait::Ready) {
        const std::size_t more = readSome(buffer + n, need - n);
        if (more == 0)
            break;
        n += more;
        need = frameNeed(buffer, n);
    }
    if (n < need)
        throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
    return n;
}

void CQKSrvConnection::receiveData() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "receiveData Start...");
    if (m_window)
        answerWhileFull();
    const bool idle = keptIdle();
    const Wait wait = waitReadable(true);
    if (wait == Wait::Answers) {
        answerCommitted(Answers::None);
        return;
    }
    if (wait == Wait::Ready && idle && !clientStillAccepted()) {
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
        const std::size_t wait_bytes = m_reader.readSize();
        log_message(LOG_LEVEL_TRACE, &tag, "wait_bytes = %d", static_cast<int>(wait_bytes));
        // File content is received straight into a buffer of the writer, unless it is dropped.
        std::uint8_t* buffer = frame_due || m_dropping ? m_buffer.data() : writerBuffer();
        const std::size_t n = frame_due ? readFrame(buffer) : readSome(buffer, wait_bytes);
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
    m_refusal = Refusal::Write;
    try {
        std::uint8_t* buffer = m_writer.freeBuffer();
        m_refusal = Refusal::None;
        return buffer;
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
    m_cur->content.discard();
    m_dropping = true;
    m_refusal = Refusal::Write;  // also for a time-out or a bad frame before the file's end
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
// with 0x7F, after which the connection ends as after any refused file. Said once, at ERROR,
// when the write failed.
void CQKSrvConnection::refuseDropped() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_INFO, &tag, "Receiving file: %s finished and refused: a write failed.",
                m_cur->file_name.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBannerEnd);
    qk_print_console("Receiving file: " + m_cur->file_name +
                     " finished and refused: a write failed.");
    qk_print_console(kConsoleBannerEnd);
    m_refusal = Refusal::Write;
    countRefusal();
    if (m_window) {
        finishFile(true);
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
                if (!m_window)
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

void CQKSrvConnection::handleHeader() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_FILE_SEND_FHEADER");
    const QKRelayHeader& header = m_reader.header();
    m_offset_due = m_reader.resumable();
    m_cur->file_name = header.file_name;
    m_cur->file_size = header.file_size;
    const bool safe_sub_dir = qk_normalise_sub_dir(header.sub_dir, m_cur->sub_dir);
    const SQKReceivingDirs dirs = m_listener.receivingDirs();
    m_cur->in_dir = qk_generate_path(dirs.in_dir, m_cur->sub_dir);
    m_cur->back_dir = dirs.back_dir;
    log_message(LOG_LEVEL_TRACE, &tag, "m_cur->file_name = %s", m_cur->file_name.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_cur->sub_dir = %s m_cur->in_dir = %s",
                m_cur->sub_dir.c_str(), m_cur->in_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_cur->file_size = %llu",
                static_cast<unsigned long long>(m_cur->file_size));
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_size = %d", 0);
    m_refusal = Refusal::Name;
    if (m_cur->file_name.empty()) {
        throw Poco::Exception("QK_FILE_SEND_FHEADER: m_cur->file_name = " + m_cur->file_name +
                              " length == 0");
    }
    if (!safe_sub_dir || !qk_is_safe_file_name(m_cur->file_name)) {
        log_message(LOG_LEVEL_ERROR, &tag, "Refused path: file_name = %s sub_dir = %s",
                    header.file_name.c_str(), header.sub_dir.c_str());
        throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
    }
    refuseOwnNames();
    m_refusal = Refusal::Write;
    createTargetDirectory();
    announceFile();

    const std::string file_path = qk_generate_path(m_cur->in_dir, m_cur->file_name);
    log_message(LOG_LEVEL_TRACE, &tag, "file_path = %s", file_path.c_str());
    const std::string normalised = Poco::Path(file_path).toString();
    if (!m_listener.receivingFiles().tryInsert(normalised)) {
        m_refusal = Refusal::Receiving;
        throw FileIsReceivingAlready("QK_FILE_SEND_FHEADER: File = " + file_path +
                                     " is receiving already");
    }
    m_cur->file_path = normalised;
    m_refusal = Refusal::Receiving;  // also when another receiver holds the name
    lockName(dirs.in_dir);
    m_refusal = Refusal::Name;
    targetExists(
        m_cur->file_path);  // refuses a directory under the name before any content arrives
    m_refusal = Refusal::Write;
    const std::uint64_t held = openContent(dirs);
    m_is_receiving = true;
    m_writer.begin(m_cur->content, m_cur->file_size - held);
    m_refusal = Refusal::None;
    m_status_owed = !m_window;
}

// Opens where the content goes and returns the bytes of it held already. A resumable file
// that the terms in force now grant resume to goes into the partial-content store, where it
// resumes what a cut transfer of the same source left; the sender learns at once from which
// byte to send (0 for a file received without resume).
std::uint64_t CQKSrvConnection::openContent(const SQKReceivingDirs& dirs) {
    std::uint64_t held = 0;
    if (!m_reader.resumable() || !resumeGranted(dirs) || !openPartial(dirs, held)) {
        try {
            m_cur->content.open(m_cur->in_dir, m_cur->file_path);
        } catch (const Poco::Exception& e) {
            QKLogTag tag = tagOf("receiveData()");
            log_message(LOG_LEVEL_ERROR, &tag, "%s", e.displayText().c_str());
            throw Poco::Exception(
                "QK_FILE_SEND_FHEADER: Error of opening (std::ios::out | std::ios::trunc) file: "
                "file_path = " +
                m_cur->file_path);
        }
    }
    m_cur->held = held;
    if (m_offset_due)
        sendOffset(held);
    m_reader.startContentAt(held);
    return held;
}

// Asked at each header, so that a kept connection follows the terms in force at each run of
// its sender, not those of its start. The plain port grants resume only where the operator
// says so: its peers prove nothing of who leaves partial content behind.
bool CQKSrvConnection::resumeGranted(const SQKReceivingDirs& dirs) const {
    return dirs.resume_min_size != 0 && m_cur->file_size >= dirs.resume_min_size &&
           (m_is_secure || dirs.resume_plain);
}

// False when the file is received without resume: no store, no room in its cap, or its
// content busy elsewhere. Throws when it cannot fit in the free space beyond the reserve:
// refused before any byte of it is sent.
bool CQKSrvConnection::openPartial(const SQKReceivingDirs& dirs, std::uint64_t& held) {
    CQKPartialStore store(dirs.in_dir);
    const std::string dir = store.ensureDir();
    if (dir.empty())
        return false;
    const std::string relative =
        m_cur->sub_dir.empty() ? m_cur->file_name : m_cur->sub_dir + "/" + m_cur->file_name;
    const std::string name =
        CQKPartialStore::nameOf(relative, m_reader.sourceTag(), QK_SOURCE_TAG_SIZE);
    QKLogTag tag = tagOf("receiveData()");
    switch (store.admit(name, m_cur->file_size, dirs.partial_max)) {
        case CQKPartialStore::Admission::NoRoom:
            throw Poco::WriteFileException(
                "QK_FILE_SEND_FHEADER: File = " + m_cur->file_path + " of " +
                std::to_string(m_cur->file_size) +
                " bytes does not fit in the free space of the incoming directory beyond its "
                "reserve");
        case CQKPartialStore::Admission::NotKept:
            log_message(LOG_LEVEL_INFO, &tag,
                        "Receiving file: %s without resume: its partial content would not fit "
                        "in partial_max",
                        m_cur->file_path.c_str());
            return false;
        case CQKPartialStore::Admission::Kept:
            break;
    }
    m_cur->partial_root = dirs.in_dir;
    m_cur->partial_name = name;
    bool opened = false;
    try {
        opened = m_cur->content.openPartial(m_cur->in_dir, m_cur->file_path, dir, name,
                                            m_cur->file_size, held);
    } catch (...) {
        notePartialStore(*m_cur);
        throw;
    }
    if (!opened) {
        notePartialStore(*m_cur);
        return false;
    }
    if (held > 0) {
        log_message(LOG_LEVEL_INFO, &tag, "Resuming file: %s from byte %llu of %llu",
                    m_cur->file_path.c_str(), static_cast<unsigned long long>(held),
                    static_cast<unsigned long long>(m_cur->file_size));
        qk_receiver_metrics().resumed_files.inc();
        qk_receiver_metrics().resumed_bytes.inc(held);
    }
    return true;
}

// The answer to a resumable header, ahead of any status still owed: the sender waits for it.
void CQKSrvConnection::sendOffset(std::uint64_t offset) {
    std::uint8_t frame[QK_RESUME_OFFSET_SIZE];
    qk_build_resume_offset(frame, offset);
    sendBytesAll(frame, sizeof(frame));
    m_offset_due = false;
}

// Once the transfer goes on past its offset (its first content, or its finished frame when
// every byte was held): a header cut before its content costs no reading of the disk.
void CQKSrvConnection::startHeldRead() {
    if (m_cur->held > 0) {
        m_cur->content.startHeldRead(
            [this] { return m_held_reads_ended.load() || m_listener.isStopped(); });
    }
}

// The file's partial content is no longer used by it (kept, placed or removed): the store's
// index and metrics take what the disk holds now.
void CQKSrvConnection::notePartialStore(SQKReceivedFile& file) noexcept {
    if (file.partial_root.empty())
        return;
    try {
        CQKPartialStore(file.partial_root).release(file.partial_name);
    } catch (...) {
    }
    file.partial_root.clear();
    file.partial_name.clear();
}

// True when the connection waits for the sender's next file (or its first, or its next run):
// no file in progress and none unanswered. Marks when that began.
bool CQKSrvConnection::isIdle() {
    const bool idle = !m_is_receiving && m_unanswered == 0;
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

// A kept connection verified its client at its handshake, maybe long ago: before the client
// sends more on it, the revocation list in force now is asked again, so that a revoked
// client is shut out at its next run and not only at its next connection.
bool CQKSrvConnection::clientStillAccepted() {
    if (!m_is_secure)
        return true;
    try {
        Poco::Net::SecureStreamSocket secure(socket());
        const Poco::Net::X509Certificate client = secure.peerCertificate();
        return qk_client_still_accepted(*secure.context(), client.certificate());
    } catch (const Poco::Exception&) {
        return false;
    }
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
    QKWindowFrame answer;
    const SQKReceivingDirs dirs = m_listener.receivingDirs();
    answer.features = offer.features &
                      (QK_WINDOW_FEATURE_FILES | QK_WINDOW_FEATURE_KEEP | QK_WINDOW_FEATURE_RESUME);
    if (dirs.resume_min_size == 0 || (!m_is_secure && !dirs.resume_plain))
        answer.features &= static_cast<std::uint16_t>(~QK_WINDOW_FEATURE_RESUME);
    if ((answer.features & QK_WINDOW_FEATURE_KEEP) != 0 && offer.keep > 0) {
        m_keep_seconds = std::min(offer.keep, QK_KEEP_SECONDS);
        answer.keep = m_keep_seconds;
    } else {
        answer.features &= static_cast<std::uint16_t>(~QK_WINDOW_FEATURE_KEEP);
    }
    answer.files = QK_WINDOW_FILES;
    answer.bytes = QK_WINDOW_BYTES;
    // The resume terms follow the window frame, in the same send.
    std::uint8_t frames[QK_WINDOW_FRAME_SIZE + QK_RESUME_TERMS_SIZE];
    qk_build_window(frames, answer);
    std::size_t length = QK_WINDOW_FRAME_SIZE;
    if ((answer.features & QK_WINDOW_FEATURE_RESUME) != 0) {
        qk_build_resume_terms(frames + length, dirs.resume_min_size);
        length += QK_RESUME_TERMS_SIZE;
        m_reader.allowResumableHeaders();
        CQKPartialStore(dirs.in_dir).sweep(std::chrono::hours(dirs.partial_hours));
    }
    sendBytesAll(frames, length);
    m_window = true;
    startCommitter();
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Files in flight: the sender offers %u, this receiver takes %u files and %llu "
                "bytes: address = %s",
                offer.files, answer.files, static_cast<unsigned long long>(answer.bytes),
                peer().c_str());
}

// A windowed file refused at its header: said as a classic refusal is, then its content is
// read and dropped, and its finished frame takes its place among the statuses.
void CQKSrvConnection::refuseInWindow(const Poco::Exception& error) {
    QKLogTag tag = tagOf("run()");
    qk_report_exception(&tag, error);
    countRefusal();
    releaseFile();
    if (m_offset_due) {
        // A resumable file refused at its header costs the link nothing: no content comes.
        sendOffset(QK_RESUME_SKIP);
        m_reader.startContentAt(m_reader.header().file_size);
    }
    m_cur->refused = true;
    m_is_receiving = true;
    m_dropping = true;
}

// Refuses a header whose file name, or a sub-directory of it, is a name the receiver keeps
// for itself in that directory: nothing of the receiver's is replaced, and nothing sent can
// later be taken for the receiver's debris and removed.
void CQKSrvConnection::refuseOwnNames() const {
    std::string component;
    const char* use = nullptr;
    std::size_t start = 0;
    while (use == nullptr && start < m_cur->sub_dir.size()) {
        const std::size_t end = std::min(m_cur->sub_dir.find('/', start), m_cur->sub_dir.size());
        component = m_cur->sub_dir.substr(start, end - start);
        use = own_use_of(component, start == 0);
        start = end + 1;
    }
    if (use == nullptr) {
        component = m_cur->file_name;
        use = own_use_of(component, m_cur->sub_dir.empty());
    }
    if (use == nullptr)
        return;
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_ERROR, &tag,
                "Refused path: file_name = %s sub_dir = %s: %s is a name the receiver keeps for "
                "itself (%s)",
                m_cur->file_name.c_str(), m_cur->sub_dir.c_str(), component.c_str(), use);
    throw ReceivingStatusException("QK_FILE_SEND_FHEADER: " + component +
                                   " is a name the receiver keeps for itself");
}

void CQKSrvConnection::createTargetDirectory() {
    const std::string error = "QK_FILE_SEND_FHEADER: m_cur->sub_dir = " + m_cur->sub_dir +
                              " m_cur->in_dir = " + m_cur->in_dir + " doesn't exists...";
    try {
        qk_create_private_dirs(m_cur->in_dir);
        if (qk_is_directory(m_cur->in_dir))
            return;
    } catch (const Poco::Exception&) {
        // A file in the way, or no permission: reported below.
    }
    throw Poco::Exception(error);
}

void CQKSrvConnection::announceFile() {
    QKLogTag tag = tagOf("receiveData()");
    const unsigned long long size = m_cur->file_size;
    log_message(LOG_LEVEL_INFO, &tag, "%s", kLogBanner);
    log_message(LOG_LEVEL_INFO, &tag, "Start Receiving file: %s to sub directory: %s size: %llu",
                m_cur->file_name.c_str(), m_cur->sub_dir.c_str(), size);
    qk_print_console(kConsoleBanner);
    qk_print_console("Start Receiving file: " + m_cur->file_name +
                     " to sub directory: " + m_cur->sub_dir + " size: " + std::to_string(size));
}

// Keeps receivers of other machines that share the incoming tree away from the name until
// the file is under it or dropped: nothing touches the file there or its backups before.
// Another receiver's file is refused like one this receiver is receiving already. A store
// without locks is said once per listener start and not relied on: refusing every file would
// stop the relay, and this receiver's own files are still kept apart by the registry.
void CQKSrvConnection::lockName(const std::string& in_dir) {
    const std::string relative =
        m_cur->sub_dir.empty() ? m_cur->file_name : m_cur->sub_dir + "/" + m_cur->file_name;
    switch (m_cur->name_lock.tryLock(in_dir, relative)) {
        case CQKNameLock::Result::Held:
            return;
        case CQKNameLock::Result::Busy: {
            const std::string file_path = m_cur->file_path;
            releaseFile();
            throw FileIsReceivingAlready("QK_FILE_SEND_FHEADER: File = " + file_path +
                                         " is receiving already by another receiver");
        }
        case CQKNameLock::Result::Unavailable: {
            QKLogTag tag = tagOf("receiveData()");
            const int level = m_listener.firstNameLockFailure() ? LOG_LEVEL_ERROR : LOG_LEVEL_DEBUG;
            log_message(level, &tag,
                        "No lock on the shared incoming directory, files are kept apart only "
                        "within this receiver: %s",
                        m_cur->name_lock.error().c_str());
            return;
        }
    }
}

// True when a file stands under the target name, which the new one will replace. A
// directory there can never be replaced by a file: the file is refused.
bool CQKSrvConnection::targetExists(const std::string& file_path) {
    Poco::File target(file_path);
    if (!target.exists())
        return false;
    if (target.isDirectory()) {
        throw Poco::Exception("Error of replacing file: file_path = " + file_path +
                              " is a directory");
    }
    return true;
}

// Puts the finished files under their names, durably, together: their flushes are started
// one after another before the first is waited for, so the disk takes them as one batch, and
// each directory is synced once after all of them are placed. Classic, a failure refuses the
// file (its only one) by the exception; windowed, a failed file is refused alone and the
// others keep their place.
void CQKSrvConnection::commitBatch(FileQueue& batch) {
    for (const auto& file : batch) {
        if (!file->refused && file->held > 0)
            checkResumed(*file);
    }
    for (const auto& file : batch) {
        if (!file->refused)
            file->content.startFlush();
    }
    for (const auto& file : batch) {
        if (file->refused)
            continue;
        try {
            placeFinished(*file);
        } catch (const Poco::Exception& e) {
            if (!m_window)
                throw;
            refuseFinished(*file, e);
        }
    }
    syncDirectories(batch);
    QKLogTag tag = tagOf("receiveData()");
    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    for (const auto& file : batch) {
        if (file->refused)
            continue;
        if (file->replacing)
            log_message(LOG_LEVEL_INFO, &tag, "File: %s has been replaced.",
                        file->file_path.c_str());
        releaseName(*file);
        metrics.files.inc();
        metrics.bytes.inc(file->file_size);
    }
}

// Windowed: the connection hands each finished file (or refused one, which keeps its place in
// the line) to the committer and goes on receiving; the committer takes all that have come
// while it made the last ones durable, as one batch. The statuses leave from the connection's
// own thread (a TLS session is not shared between threads), woken through m_wake_fd.
void CQKSrvConnection::startCommitter() {
    m_wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake_fd < 0)
        throw Poco::SystemException("eventfd failed", std::strerror(errno));
    m_committer = std::thread([this] { committerLoop(); });
}

void CQKSrvConnection::committerLoop() {
    std::unique_lock<std::mutex> lock(m_commit_mutex);
    for (;;) {
        m_commit_changed.wait(lock, [this] { return m_commit_stop || !m_to_commit.empty(); });
        if (m_commit_stop)
            return;
        FileQueue batch;
        batch.swap(m_to_commit);
        m_committing = true;
        lock.unlock();
        try {
            commitBatch(batch);
        } catch (...) {
            // Not expected (each file's failure refuses that file alone); whatever was not
            // answered is sent again by the sender, and nothing is lost.
            for (const auto& file : batch)
                file->refused = true;
        }
        lock.lock();
        for (auto& file : batch)
            m_committed.push_back(std::move(file));
        m_committing = false;
        m_commit_changed.notify_all();
        const std::uint64_t one = 1;
        (void)!::write(m_wake_fd, &one, sizeof(one));
    }
}

// Stops the committer after the batch it is committing; what it had not taken is dropped
// with the rest of the files not answered.
void CQKSrvConnection::stopCommitter() noexcept {
    m_held_reads_ended.store(true);  // the batch under way is not waited for
    if (m_committer.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_commit_mutex);
            m_commit_stop = true;
        }
        m_commit_changed.notify_all();
        m_committer.join();
    }
    if (m_wake_fd >= 0) {
        ::close(m_wake_fd);
        m_wake_fd = -1;
    }
    recycle(m_to_commit);
    recycle(m_committed);
    m_unanswered = 0;
    m_unanswered_bytes = 0;
}

void CQKSrvConnection::handOver(std::unique_ptr<SQKReceivedFile> file) {
    ++m_unanswered;
    m_unanswered_bytes += file->file_size;
    {
        std::lock_guard<std::mutex> lock(m_commit_mutex);
        m_to_commit.push_back(std::move(file));
    }
    m_commit_changed.notify_all();
}

// Sends the statuses of the files committed so far, in their order. Waits first: with
// Wait::One for at least one (too many files are unanswered), with Wait::All until every file
// handed over has been committed (the end of the conversation, or a failure of it).
void CQKSrvConnection::answerCommitted(Answers wait) {
    // Taken before the files: a batch committed after the swap below wakes the next wait.
    std::uint64_t count = 0;
    (void)!::read(m_wake_fd, &count, sizeof(count));
    FileQueue ready;
    {
        std::unique_lock<std::mutex> lock(m_commit_mutex);
        if (wait == Answers::All) {
            m_commit_changed.wait(lock, [this] { return m_to_commit.empty() && !m_committing; });
        } else if (wait == Answers::One) {
            m_commit_changed.wait(lock, [this] { return !m_committed.empty(); });
        }
        ready.swap(m_committed);
    }
    if (ready.empty())
        return;
    std::vector<std::uint8_t> statuses;
    statuses.reserve(ready.size());
    for (const auto& file : ready) {
        statuses.push_back(file->refused ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK);
        m_unanswered_bytes -= file->file_size;
    }
    m_unanswered -= ready.size();
    recycle(ready);
    sendBytesAll(statuses.data(), statuses.size());
}

// Holds the reading while too many files wait for their statuses: memory and open files
// stay bounded whatever the peer sends.
void CQKSrvConnection::answerWhileFull() {
    answerCommitted(Answers::None);
    while (m_unanswered >= QK_COMMIT_FILES || m_unanswered_bytes >= QK_COMMIT_BYTES)
        answerCommitted(Answers::One);
}

// The file it replaces stays in place until then, so a reader never finds the name missing
// or partial, and is backed up only once the new content is on the disk: a sender retrying a
// file that fails (disk full, no permission, a bad checksum) rotates nothing out of the
// backups, and each replaced version is backed up once.
void CQKSrvConnection::placeFinished(SQKReceivedFile& file) {
    file.replacing = !file.content.prepare() && targetExists(file.file_path);
    if (file.replacing)
        backupReplaced(file);
    file.content.place();
}

// The sender deletes its copy on our 0x00: each name must be durable first. A directory is
// synced once for all the files placed in it.
void CQKSrvConnection::syncDirectories(FileQueue& batch) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        SQKReceivedFile& file = *batch[i];
        if (file.refused)
            continue;
        bool synced = false;
        for (std::size_t j = 0; j < i && !synced; ++j)
            synced = !batch[j]->refused && batch[j]->content.sameDirectory(file.content);
        try {
            file.content.makeDurable(!synced);
        } catch (const Poco::Exception& e) {
            if (!m_window)
                throw;
            refuseFinished(file, e);
        }
    }
}

void CQKSrvConnection::refuseFinished(SQKReceivedFile& file, const Poco::Exception& error) {
    QKLogTag tag = tagOf("run()");
    qk_report_exception(&tag, error);
    qk_receiver_metrics().refused_write.inc();
    file.refused = true;
    file.content.discard();
    releaseName(file);
}

void CQKSrvConnection::releaseName(SQKReceivedFile& file) noexcept {
    file.name_lock.unlock();
    if (file.file_path.empty())
        return;
    try {
        m_listener.receivingFiles().erase(file.file_path);
    } catch (...) {
    }
    file.file_path.clear();
}

// Files answered go back to the spare ones, which keep their directory open for the next.
// Those not committed are dropped: nothing of them goes under a name.
void CQKSrvConnection::recycle(FileQueue& files) noexcept {
    for (auto& file : files) {
        file->content.abandon();
        notePartialStore(*file);
        releaseName(*file);
        file->refused = false;
        file->replacing = false;
        file->held = 0;
        m_spare.push_back(std::move(file));
    }
    files.clear();
}

// Files finished but not answered are dropped; the sender still has them.
void CQKSrvConnection::dropFinished() noexcept {
    stopCommitter();
    recycle(m_finished);
}

// The received file is complete (or refused): it waits for its status, committed at once
// (classic) or by the committer (windowed), and a fresh one takes its place for the next
// header.
void CQKSrvConnection::finishFile(bool refused) {
    m_cur->refused = refused;
    if (refused) {
        m_writer.abandon();
        m_cur->content.discard();  // partial content included: it did not add up
        releaseName(*m_cur);
    }
    if (m_window)
        handOver(std::move(m_cur));
    else
        m_finished.push_back(std::move(m_cur));
    if (m_spare.empty()) {
        m_cur = std::make_unique<SQKReceivedFile>();
    } else {
        m_cur = std::move(m_spare.back());
        m_spare.pop_back();
    }
    m_is_receiving = false;
    m_dropping = false;
}

void CQKSrvConnection::backupReplaced(const SQKReceivedFile& file) {
    if (file.back_dir.empty())
        return;
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Backuping file: m_file_path = %s m_in_dir = %s m_sub_dir = %s",
                file.file_path.c_str(), file.back_dir.c_str(), file.sub_dir.c_str());
    try {
        qk_backup_file(file.file_path, file.back_dir, file.sub_dir);
    } catch (const Poco::Exception& e) {
        // Reported once, by the refusal's ERROR, which names the file and the backup tree.
        throw Poco::WriteFileException("Backup of " + file.file_path + " into " + file.back_dir +
                                       " failed, the file is refused: " + e.displayText());
    }
    log_message(LOG_LEVEL_INFO, &tag, "File: %s has been backuped.", file.file_path.c_str());
}

// The piece was received into the writer's buffer; the writer checksums and writes it.
void CQKSrvConnection::handleData(std::size_t len) {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FDATA");
    if (m_dropping)
        return;
    startHeldRead();
    m_refusal = Refusal::Write;
    try {
        m_writer.queue(len);
    } catch (const Poco::Exception& e) {
        dropContent(e);
        return;
    }
    m_refusal = Refusal::None;
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_size = %llu",
                static_cast<unsigned long long>(m_reader.receivedSize()));
}

void CQKSrvConnection::handleFinished() {
    QKLogTag tag = tagOf("receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FFINISHED");
    if (m_cur->refused) {
        finishFile(true);  // refused at its header, and said so there
        return;
    }
    const std::uint32_t received = m_reader.checkSum();
    // A piece that could not be written refuses the file, never confirmed.
    m_refusal = Refusal::Write;
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
        m_refusal = Refusal::Checksum;
        if (m_window) {
            countRefusal();
            finishFile(true);
            return;
        }
        throw Poco::Exception(
            "m_recv_data = QK_SEND_FILE_FFINISHED: CheckSum != Received CheckSum");
    }
    const std::string file_name = m_cur->file_name;
    m_refusal = Refusal::Write;
    finishFile(false);
    if (!m_window) {
        commitBatch(m_finished);
        recycle(m_finished);
        m_status_owed = true;
    }
    m_refusal = Refusal::None;
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
    finishFile(false);
    m_refusal = Refusal::None;
}

// On the committer's thread: the whole resumed file's CRC-32, from the bytes held and the
// new ones; a mismatch refuses the file and drops its partial content. A reading ended early
// (the connection or the listener ends) refuses the file and keeps its content.
void CQKSrvConnection::checkResumed(SQKReceivedFile& file) {
    QKLogTag tag = tagOf("receiveData()");
    std::uint32_t held_crc = 0;
    try {
        if (!file.content.heldChecksum(held_crc)) {
            file.refused = true;
            file.content.abandon();
            releaseName(file);
            return;
        }
    } catch (const Poco::Exception& e) {
        refuseFinished(file, e);
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
    qk_receiver_metrics().refused_checksum.inc();
    file.refused = true;
    file.content.discard();
    releaseName(file);
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
    if (m_window)
        answerCommitted(Answers::All);
    m_status_owed = true;
    m_end = true;
}

void CQKSrvConnection::releaseFile() noexcept {
    m_writer.abandon();
    m_cur->content.abandon();  // a resumable file's partial content stays for the next attempt
    notePartialStore(*m_cur);
    m_is_receiving = false;
    m_dropping = false;
    m_cur->name_lock.unlock();
    if (m_cur->file_path.empty())
        return;
    try {
        m_listener.receivingFiles().erase(m_cur->file_path);
    } catch (...) {
    }
    m_cur->file_path.clear();
}

CQKSrvSSslConnection::CQKSrvSSslConnection(const Poco::Net::StreamSocket& socket,
                                           CQKFileListener& listener)
    : CQKSrvConnection(socket, listener, true), m_name_secure(listener.connectionName(true)) {
    const std::string self = m_name_secure + "::" + m_name_secure + "()";
    QKLogTag tag = qk_make_tag(self.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", self.c_str());
    // The handshake runs at the first write; it checks the client's certificate against
    // this name, so it must be set before any byte moves.
    Poco::Net::SecureStreamSocket secure(this->socket());
    secure.setPeerHostName(QK_TLS_CLIENT_NAME);
    this->socket().setNoDelay(true);
    log_message(LOG_LEVEL_DEBUG, &tag, "New connection is created: address = %s is_secure = %d",
                peer().c_str(), 1);
}

CQKSrvSSslConnection::~CQKSrvSSslConnection() {
    const std::string self = m_name_secure + "::~" + m_name_secure + "()";
    QKLogTag tag = qk_make_tag(self.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", self.c_str());
}

namespace {

enum class FactoryStep { Created, Destroyed, Connection };

// The factories' lines: tag "<connection>::<operation>", text "<connection>Factory::<operation>".
// A factory outlives its listener (the TCPServer's dispatcher releases it last), so it logs
// with a copy of the name.
void log_factory(const std::string& name, FactoryStep step) {
    const std::string factory = name + "Factory";
    const std::string operation = step == FactoryStep::Created     ? factory + "()"
                                  : step == FactoryStep::Destroyed ? "~" + factory + "()"
                                                                   : "createConnection()";
    QKLogTag tag = qk_make_tag((name + "::" + operation).c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", (factory + "::" + operation).c_str());
}

}  // namespace

CQKSrvConnectionFactory::CQKSrvConnectionFactory(CQKFileListener& listener)
    : m_listener(listener), m_name(listener.connectionName(false)) {
    log_factory(m_name, FactoryStep::Created);
}

CQKSrvConnectionFactory::~CQKSrvConnectionFactory() {
    log_factory(m_name, FactoryStep::Destroyed);
}

Poco::Net::TCPServerConnection* CQKSrvConnectionFactory::createConnection(
    const Poco::Net::StreamSocket& socket) {
    log_factory(m_name, FactoryStep::Connection);
    return new CQKSrvConnection(socket, m_listener);
}

CQKSrvSSslConnectionFactory::CQKSrvSSslConnectionFactory(CQKFileListener& listener)
    : m_listener(listener), m_name(listener.connectionName(true)) {
    log_factory(m_name, FactoryStep::Created);
}

CQKSrvSSslConnectionFactory::~CQKSrvSSslConnectionFactory() {
    log_factory(m_name, FactoryStep::Destroyed);
}

Poco::Net::TCPServerConnection* CQKSrvSSslConnectionFactory::createConnection(
    const Poco::Net::StreamSocket& socket) {
    log_factory(m_name, FactoryStep::Connection);
    return new CQKSrvSSslConnection(socket, m_listener);
}
