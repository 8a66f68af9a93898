// The sender's socket: connect, TLS handshake, sends and receives, each within its time limit.
#include "transfer/CQKSenderSocket.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/qk_log.h"
#include "transfer/CQKRateLimit.h"
#include "transfer/CQKSenderStop.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_socket.h"
#include "transfer/qk_tls.h"
#include "transfer/qk_wrong_port.h"

namespace {

// The longest a send call may block: a send that makes no progress is looked at again after
// it, against the stop and the time limit since the receiver last took a byte.
const Poco::Timespan kSendSlice(0, 200000);

}  // namespace

// The connect and the handshake do not block: their waits are the sender's own, which the
// stop ends and which say when they last long. Once connected no call blocks for more than a
// slice. An address that fails is said at INFO and the next one tried: a name may resolve to
// an IPv6 address the network does not route before an IPv4 one that it does.
void CQKSenderSocket::connect(const std::vector<Poco::Net::SocketAddress>& addresses,
                              const std::string& receiver, const Poco::Net::Context::Ptr& context,
                              const Poco::Timespan& timeout) {
    m_secure = !context.isNull();
    m_receiver = receiver;
    m_greeted = false;
    m_slow_said = false;
    for (std::size_t next = 1;; ++next) {
        const Poco::Net::SocketAddress& address = addresses.at(next - 1);
        try {
            connectTo(address, context, timeout);
            break;
        } catch (const Poco::Exception& e) {
            if (next == addresses.size() || qk_sender_stop().requested())
                throw;
            const QKLogTag tag = qk_make_tag((std::string(m_class_name) + "::connect()").c_str());
            log_message(LOG_LEVEL_INFO, &tag, "Connection to %s at %s failed: %s; trying %s",
                        receiver.c_str(), address.toString().c_str(), e.displayText().c_str(),
                        addresses[next].toString().c_str());
            discard();
        }
    }
    if (m_secure) {
        shakeHands(timeout);
        m_session = qk_tls_session_of(m_fd);
        qk_tls_gather_writes(m_session);
    }
    m_socket->setBlocking(true);
}

void CQKSenderSocket::connectTo(const Poco::Net::SocketAddress& address,
                                const Poco::Net::Context::Ptr& context,
                                const Poco::Timespan& timeout) {
    if (context.isNull()) {
        m_socket = std::make_unique<Poco::Net::StreamSocket>();
    } else {
        auto secure = std::make_unique<Poco::Net::SecureStreamSocket>(context);
        // Checked against the server's certificate at the end of the handshake.
        secure->setPeerHostName(QK_TLS_SERVER_NAME);
        m_socket = std::move(secure);
    }
    m_socket->connectNB(address);
    m_fd = m_socket->impl()->sockfd();
    qk_sender_stop().enlist(m_fd);
    m_socket->setNoDelay(true);
    m_socket->setSendTimeout(kSendSlice);
    m_socket->setReceiveTimeout(kSendSlice);
    awaitConnect(address, timeout);
}

void CQKSenderSocket::awaitConnect(const Poco::Net::SocketAddress& address,
                                   const Poco::Timespan& timeout) {
    SQKWait wait(timeout);
    if (!awaitReady(wait, Poco::Net::Socket::SELECT_WRITE))
        throw Poco::TimeoutException("connect timed out", address.toString());
    const int error = m_socket->impl()->socketError();
    if (error == ECONNREFUSED)
        throw Poco::Net::ConnectionRefusedException(address.toString());
    if (error != 0)
        throw Poco::Net::NetException(std::strerror(error), address.toString());
}

// Non-blocking, each of its waits one of the sender's, all within the time limit; at its end
// the server's certificate name is checked as a blocking connect checks it.
void CQKSenderSocket::shakeHands(const Poco::Timespan& timeout) {
    auto& secure = static_cast<Poco::Net::SecureStreamSocket&>(*m_socket);
    SQKWait wait(timeout);
    for (;;) {
        int done = 0;
        try {
            done = secure.completeHandshake();
        } catch (const Poco::Net::SSLException& e) {
            if (qk_is_not_tls_failure(e.displayText()))
                throw WrongPortException("the TLS handshake found no TLS: " + e.message(), 1);
            throw;
        }
        if (done == 1)
            break;
        if (done == 0)
            throw Poco::Net::SSLConnectionUnexpectedlyClosedException();
        const int mode = done == Poco::Net::SecureStreamSocket::ERR_SSL_WANT_WRITE
                             ? Poco::Net::Socket::SELECT_WRITE
                             : Poco::Net::Socket::SELECT_READ;
        if (!awaitReady(wait, mode))
            throw Poco::TimeoutException("TLS handshake timed out");
    }
    secure.verifyPeerCertificate();
}

void CQKSenderSocket::close() noexcept {
    qk_sender_stop().delist(m_fd);
    try {
        m_socket->shutdown();
        qk_tls_flush(m_session);  // the closing alert
    } catch (const Poco::Exception&) {
        // A socket that never got connected, or a peer that is gone: nothing to shut down.
    }
    m_session = nullptr;
    try {
        m_socket->close();
    } catch (const Poco::Exception&) {
        // The descriptor is released with the object below either way.
    }
    m_socket.reset();
    m_fd = -1;
}

void CQKSenderSocket::discard() noexcept {
    if (m_fd >= 0)
        qk_sender_stop().delist(m_fd);
    m_fd = -1;
    m_session = nullptr;
    m_socket.reset();
}

// Sends until everything is out, or until the receiver has taken nothing for timeout,
// counted from the last bytes it took: no send call blocks for more than a slice, so a
// receiver that stops reading costs that time-out however the bytes were split. A stop ends
// it at once. Failures of the socket throw.
// Under a rate limit each piece is as large as the process's limit grants, after its wait;
// a piece the socket took only in part is finished before the next is granted.
std::size_t CQKSenderSocket::sendAll(const std::uint8_t* data, std::size_t length,
                                     const Poco::Timespan& timeout) {
    using Clock = std::chrono::steady_clock;
    CQKRateLimit& limit = qk_rate_limit();
    CQKSenderStop& stop = qk_sender_stop();
    const std::chrono::microseconds patience(timeout.totalMicroseconds());
    Clock::time_point stalled_until = Clock::now() + patience;
    std::size_t total = 0;
    std::size_t granted = 0;
    while (total < length) {
        if (granted == 0)
            granted = limit.isOn() ? limit.take(length - total) : length - total;
        stop.check();
        const std::size_t sent = sendSome(data + total, granted);
        if (sent > 0) {
            total += sent;
            granted -= sent;
            stalled_until = Clock::now() + patience;
        } else if (Clock::now() >= stalled_until) {
            break;
        }
    }
    if (total == length && !flushGathered(stalled_until))
        return 0;
    return total;
}

// What TLS gathered leaves before the send counts as done: the receiver answers only what
// it got. Waits in slices for the socket, until give_up_at or a stop.
bool CQKSenderSocket::flushGathered(std::chrono::steady_clock::time_point give_up_at) {
    while (!qk_tls_flush(m_session)) {
        qk_sender_stop().check();
        if (std::chrono::steady_clock::now() >= give_up_at)
            return false;
        qk_poll_socket(socket(), kSendSlice, Poco::Net::Socket::SELECT_WRITE);
    }
    return true;
}

// At most a slice's wait for room. TLS is offered the very same bytes again after a slice
// without progress, as it requires; a plain socket is written without blocking.
// MSG_NOSIGNAL: a peer that has gone must fail the send, not kill the process.
std::size_t CQKSenderSocket::sendSome(const std::uint8_t* data, std::size_t length) {
    if (!qk_poll_socket(socket(), kSendSlice, Poco::Net::Socket::SELECT_WRITE))
        return 0;
    if (m_secure) {
        if (!qk_tls_flush(m_session))
            return 0;  // the records gathered before go first
        int sent = 0;
        try {
            sent = socket().sendBytes(data, static_cast<int>(length));
        } catch (const Poco::TimeoutException&) {
            return 0;
        }
        if (sent == Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ)
            qk_poll_socket(socket(), kSendSlice, Poco::Net::Socket::SELECT_READ);
        if (sent > 0)
            qk_tls_flush(m_session);  // what stays goes at the next call, or at sendAll's end
        return sent > 0 ? static_cast<std::size_t>(sent) : 0;
    }
    const ssize_t sent = ::send(m_fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0)
        return static_cast<std::size_t>(sent);
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
        return 0;
    if (error == ECONNRESET)
        throw Poco::Net::ConnectionResetException();
    throw Poco::Net::NetException(std::strerror(error));
}

bool CQKSenderSocket::awaitWritable(const Poco::Timespan& timeout) {
    return qk_poll_socket(socket(), timeout, Poco::Net::Socket::SELECT_WRITE);
}

// A TLS read may find only part of a record, or none of the application's: -1 then, as for
// a read that the slice's time limit ended.
int CQKSenderSocket::receiveSome(std::uint8_t* buffer, int size) {
    try {
        const int received = socket().receiveBytes(buffer, size);
        return received < 0 ? -1 : received;
    } catch (const Poco::TimeoutException&) {
        return -1;
    }
}

int CQKSenderSocket::receive(std::uint8_t* buffer, int size, const Poco::Timespan& timeout) {
    SQKWait wait(timeout);
    for (;;) {
        // A TLS layer may already hold bytes that the socket no longer shows as readable.
        if (socket().available() <= 0 && !awaitReady(wait, Poco::Net::Socket::SELECT_READ))
            return -1;
        const int received = receiveSome(buffer, size);
        if (received >= 0)
            return received;
    }
}

int CQKSenderSocket::receiveArrived(std::uint8_t* buffer, int size) {
    return hasArrived() ? receiveSome(buffer, size) : -1;
}

bool CQKSenderSocket::hasArrived() {
    return socket().available() > 0 ||
           qk_poll_socket(socket(), Poco::Timespan(0), Poco::Net::Socket::SELECT_READ);
}

CQKSenderSocket::SQKWait::SQKWait(const Poco::Timespan& timeout)
    : start(std::chrono::steady_clock::now()),
      deadline(start + std::chrono::microseconds(timeout.totalMicroseconds())) {}

// The stop shuts the socket down, which ends the poll at once. A wait that lasts
// QK_SLOW_ANSWER is said once at INFO.
bool CQKSenderSocket::awaitReady(SQKWait& wait, int mode) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point slow_at = wait.start + QK_SLOW_ANSWER;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= wait.deadline)
            return false;
        const bool note = !wait.said && slow_at < wait.deadline;
        const Clock::time_point until = note ? std::max(now, slow_at) : wait.deadline;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
        if (qk_poll_socket(socket(), Poco::Timespan(left.count()), mode))
            return true;
        if (note && Clock::now() >= slow_at) {
            wait.said = true;
            noteSlowAnswer(wait);
        }
    }
}

// Once per wait for a status; once per connection for what leads to the greeting (the
// connect, the TLS handshake and the greeting itself).
void CQKSenderSocket::noteSlowAnswer(const SQKWait& wait) {
    if (!m_greeted && m_slow_said)
        return;
    m_slow_said = m_slow_said || !m_greeted;
    const QKLogTag tag = qk_make_tag((std::string(m_class_name) + "::recvStatus()").c_str());
    const auto limit =
        std::chrono::duration_cast<std::chrono::seconds>(wait.deadline - wait.start).count();
    log_message(LOG_LEVEL_INFO, &tag, "Still waiting for %s %s after %lld s (the limit is %lld s)",
                m_greeted ? "a status from the receiver" : "the greeting of the receiver",
                m_receiver.c_str(), static_cast<long long>(QK_SLOW_ANSWER.count()),
                static_cast<long long>(limit));
}

void CQKSenderSocket::noteRoundTrip() const {
    if (!m_socket)
        return;
    struct tcp_info info {};
    socklen_t length = sizeof(info);
    if (::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_rtt > 0)
        qk_sender_metrics().round_trip.set(static_cast<double>(info.tcpi_rtt) / 1e6);
}

Poco::Net::StreamSocket& CQKSenderSocket::socket() {
    if (!m_socket)
        throw Poco::Exception("Stream Socket isn't created yet...");
    return *m_socket;
}
