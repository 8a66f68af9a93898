// Frames in, statuses out: the socket side of a receiving connection.
#include "transfer/CQKFrameChannel.h"

#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketImpl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKFileListener.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_socket.h"
#include "transfer/qk_tls.h"
#include "transfer/qk_wrong_port.h"

namespace {

// Waits for readability in short slices so that a stop request is seen at once.
const Poco::Timespan kStopCheckSlice(0, 200000);

}  // namespace

CQKFrameChannel::CQKFrameChannel(Poco::Net::StreamSocket& socket, CQKFileListener& listener,
                                 std::string log_name)
    : m_socket(socket), m_listener(listener), m_log_name(std::move(log_name)) {}

CQKFrameChannel::Wait CQKFrameChannel::waitReadable(int wake_fd,
                                                    const Clock::time_point* idle_since,
                                                    const Clock::time_point* deadline) {
    if (m_ahead_begin < m_ahead_end || qk_tls_holds_unread(m_session))
        return Wait::Ready;
    if (m_session == nullptr && m_secure && m_socket.available() > 0)
        return Wait::Ready;  // a session that does not read ahead: its record's rest
    const Clock::time_point limit =
        deadline != nullptr
            ? *deadline
            : Clock::now() + std::chrono::microseconds(m_listener.timeout().totalMicroseconds());
    return pollUntil(limit, idle_since, wake_fd);
}

// Waits for the socket to be readable (and for wake_fd, when one is given) in short slices, so
// that a stop is seen at once, until deadline. An idle connection gives its thread up once it
// has been idle for the grace while accepted connections wait for a thread.
CQKFrameChannel::Wait CQKFrameChannel::pollUntil(Clock::time_point deadline,
                                                 const Clock::time_point* idle_since, int wake_fd) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        const Poco::Timespan slice(std::max<long long>(
            0, std::min<long long>(left.count(), kStopCheckSlice.totalMicroseconds())));
        pollfd entries[2] = {{m_socket.impl()->sockfd(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
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
        const auto now = Clock::now();
        if (idle_since != nullptr && now - *idle_since >= QK_IDLE_GRACE &&
            m_listener.hasWaitingConnections())
            return Wait::GiveUp;
        if (now >= deadline)
            return Wait::TimedOut;
    }
}

// The first read of the conversation, into the read-ahead buffer: its first byte chooses
// the mode. False when it began a TLS handshake: the peer has been answered, and nothing it
// sent is a frame.
bool CQKFrameChannel::readOpening() {
    m_opened = true;
    m_ahead.resize(QK_BUFFER_SIZE);
    const int got = m_socket.receiveBytes(m_ahead.data(), static_cast<int>(m_ahead.size()));
    if (got < 0)
        throw Poco::TimeoutException("Time-out of receiving from the client");
    if (qk_begins_tls_handshake(m_ahead.data(), static_cast<std::size_t>(got))) {
        answerWrongPort(false);
        return false;
    }
    m_ahead_end = static_cast<std::size_t>(got);
    if (got > 0 && m_ahead[0] == QK_FILE_SEND_FWINDOW)
        m_mode = QKConversationMode::Windowed;
    return true;
}

// One WARN line and the count, then the alert record on the raw descriptor (on the TLS port
// no session exists to write through). What the peer sent so far is read first: a close
// with unread bytes would reset the connection, and the peer might lose the answer.
void CQKFrameChannel::answerWrongPort(bool secure) {
    const QKLogTag tag = qk_make_tag((m_log_name + "::run()").c_str());
    int port = 0;
    try {
        port = m_socket.address().port();
    } catch (const Poco::Exception&) {
    }
    const std::string line = qk_wrong_port_line(peer(), secure, port, m_listener.otherPort());
    log_message(LOG_LEVEL_WARN, &tag, "%s", line.c_str());
    qk_source_gate_metrics().refused_wrong_port.inc();
    sendRawAnswer();
}

void CQKFrameChannel::sendRawAnswer() noexcept {
    const int fd = m_socket.impl()->sockfd();
    std::uint8_t sink[4096];
    for (int reads = 0; reads < 16 && ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0; ++reads) {
    }
    ::send(fd, QK_TLS_ALERT_RECORD, sizeof(QK_TLS_ALERT_RECORD), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
}

std::size_t CQKFrameChannel::readSome(std::uint8_t* buffer, std::size_t size) {
    std::size_t taken = 0;
    if (readAhead(buffer, size, taken))
        return taken;
    const int n = m_socket.receiveBytes(buffer, static_cast<int>(size));
    if (n < 0)
        throw Poco::TimeoutException("Time-out of receiving from the client");
    return static_cast<std::size_t>(n);
}

std::size_t CQKFrameChannel::readContent(std::uint8_t* buffer, std::size_t size, int wake_fd) {
    std::size_t n = readSome(buffer, size);
    while (n > 0 && n < size && waitReadable(wake_fd) == Wait::Ready) {
        const std::size_t more = readSome(buffer + n, size - n);
        if (more == 0)
            break;
        n += more;
    }
    return n;
}

// False when the caller is to read from the socket itself: nothing waits, and the connection
// is classic (whose sender waits for each status, so a read never runs past its frame) or
// the caller asks for a large piece of content, which never runs past its file.
bool CQKFrameChannel::readAhead(std::uint8_t* buffer, std::size_t size, std::size_t& n) {
    if (m_ahead_begin == m_ahead_end) {
        if (!windowed() || size >= QK_BUFFER_SIZE / 2)
            return false;
        const int got = m_socket.receiveBytes(m_ahead.data(), static_cast<int>(m_ahead.size()));
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

std::size_t CQKFrameChannel::frameNeed(const std::uint8_t* data, std::size_t len) const {
    const std::size_t need = CQKFrameReader::frameLength(
        data, len, windowed() ? CQKFrameReader::Framing::Exact : CQKFrameReader::Framing::Gathered);
    return std::min(need, QK_BUFFER_SIZE);
}

std::size_t CQKFrameChannel::readFrame(std::uint8_t* buffer) {
    if (!m_opened && !readOpening())
        return 0;
    std::size_t n = readSome(buffer, windowed() ? 1 : QK_BUFFER_SIZE);
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

void CQKFrameChannel::sendStatus(std::uint8_t status) {
    QKLogTag tag = qk_make_tag((m_log_name + "::sendStatus()").c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus Start... status = %02X", status);
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). start...");
    if (!qk_poll_socket(m_socket, m_listener.timeout(), Poco::Net::Socket::SELECT_WRITE)) {
        log_message(LOG_LEVEL_ERROR, &tag, "Error receiving of the status...");
        throw SockWriteStatusException("Error receiving of the status...");
    }
    const int sent = m_socket.sendBytes(&status, 1);
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d length = %d", sent, 1);
    print_code(&status, 1, LOG_LEVEL_TRACE);
    if (sent != 1) {
        char text[128];
        std::snprintf(text, sizeof(text), "sendBytes Error... sent status =  0x%02X", status);
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text);
        throw SendingDataException(text);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes Ok...");
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus End... status = %02X", status);
}

void CQKFrameChannel::sendBytesAll(const std::uint8_t* data, std::size_t length) {
    QKLogTag tag = qk_make_tag((m_log_name + "::sendStatus()").c_str());
    std::size_t sent = 0;
    while (sent < length) {
        if (!qk_poll_socket(m_socket, m_listener.timeout(), Poco::Net::Socket::SELECT_WRITE)) {
            log_message(LOG_LEVEL_ERROR, &tag, "Error receiving of the status...");
            throw SockWriteStatusException("Error receiving of the status...");
        }
        const int n = m_socket.sendBytes(data + sent, static_cast<int>(length - sent));
        if (n <= 0) {
            throw SendingDataException("sendBytes Error... sent " + std::to_string(sent) + " of " +
                                       std::to_string(length) + " bytes");
        }
        sent += static_cast<std::size_t>(n);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d", static_cast<int>(length));
}

// The handshake runs on a non-blocking socket with no time-out of its own, so each step takes
// what has come and returns at once: between steps the wait is in stop-aware slices, the whole
// handshake keeps to QK_HANDSHAKE_LIMIT however the client paces its bytes, and a client that
// has not finished gives its thread up like any idle connection. The client's certificate is
// then checked against its expected name, as a blocking handshake would. One that fails or
// does not finish in time counts as refused.
CQKFrameChannel::Wait CQKFrameChannel::handshake(const Clock::time_point& idle_since,
                                                 const QKLogTag& tag) {
    const auto deadline = Clock::now() + QK_HANDSHAKE_LIMIT;
    Wait wait = pollUntil(deadline, &idle_since, -1);
    const bool silent = wait == Wait::TimedOut;
    if (wait == Wait::Ready && !firstByteIsHandshake()) {
        qk_receiver_metrics().tls_handshakes_refused.inc();  // it never came
        answerWrongPort(true);
        return Wait::WrongPort;
    }
    try {
        if (wait == Wait::Ready)
            wait = completeHandshake(idle_since, deadline);
    } catch (...) {
        qk_receiver_metrics().tls_handshakes_refused.inc();
        throw;
    }
    if (wait == Wait::TimedOut) {
        log_message(LOG_LEVEL_ERROR, &tag,
                    "No TLS handshake from the client within %lld s: address = %s",
                    static_cast<long long>(QK_HANDSHAKE_LIMIT.count()), peer().c_str());
        qk_receiver_metrics().tls_handshakes_refused.inc();
        if (silent)
            sendRawAnswer();
    }
    return wait;
}

// Peeked, not read: the TLS session reads the record itself. An end of stream or an error
// is left to the handshake, which reports it.
bool CQKFrameChannel::firstByteIsHandshake() {
    std::uint8_t first = 0;
    const ssize_t got = ::recv(m_socket.impl()->sockfd(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    return got != 1 || qk_begins_tls_handshake(&first, 1);
}

CQKFrameChannel::Wait CQKFrameChannel::completeHandshake(const Clock::time_point& idle_since,
                                                         Clock::time_point deadline) {
    Poco::Net::SecureStreamSocket secure(m_socket);
    m_socket.setBlocking(false);
    m_socket.setReceiveTimeout(Poco::Timespan(0));
    m_socket.setSendTimeout(Poco::Timespan(0));
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
        const Wait wait = pollUntil(deadline, &idle_since, -1);
        if (wait != Wait::Ready)
            return wait;
    }
    m_socket.setBlocking(true);
    m_socket.setReceiveTimeout(m_listener.timeout());
    m_socket.setSendTimeout(m_listener.timeout());
    secure.verifyPeerCertificate();
    m_secure = true;
    m_session = qk_tls_session_of(m_socket.impl()->sockfd());
    return Wait::Ready;
}

// A kept connection verified its client at its handshake, maybe long ago: before the client
// sends more on it, the revocation list in force now is asked again, so that a revoked
// client is shut out at its next run and not only at its next connection.
std::string CQKFrameChannel::peer() const {
    try {
        return m_socket.peerAddress().toString();
    } catch (const Poco::Exception&) {
        return "(unknown)";
    }
}

bool CQKFrameChannel::clientStillAccepted(bool secure) {
    if (!secure)
        return true;
    try {
        Poco::Net::SecureStreamSocket socket(m_socket);
        const Poco::Net::X509Certificate client = socket.peerCertificate();
        return qk_client_still_accepted(*socket.context(), client.certificate());
    } catch (const Poco::Exception&) {
        return false;
    }
}
