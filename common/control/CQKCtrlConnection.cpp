// The exchange of a control connection: peer check, registry, greeting, request, statuses.
#include "control/CQKCtrlConnection.h"

#include <Poco/Crypto/CryptoException.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cstdio>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "control/CQKCtrlListener.h"
#include "protocol/qk_exceptions.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_socket.h"

namespace {

constexpr const char* kReceivingTimeout = "Error receiving of the status...";
constexpr const char* kRequestTimeout = "No request from the control program in time...";
constexpr const char* kStopping = "The control listener stops";
constexpr const char* kExchangeTimeout = "The control exchange took too long";
// How long a wait goes on before it looks at the listener's stopping flag again.
const Poco::Timespan kStopLook(0, 100000);

std::uint32_t current_thread_key() {
    return static_cast<std::uint32_t>(qk_get_thread_id());
}

// Keeps the connection in its listener's registry until leave() or the end of the scope,
// so that stop never waits for an exchange that has ended, however it ended.
class RegistryEntry {
public:
    RegistryEntry(CQKCtrlListener& listener, std::uint32_t thread_id, const QKLogTag& tag)
        : m_listener(listener), m_thread_id(thread_id), m_tag(tag) {}
    ~RegistryEntry() { leave(); }
    RegistryEntry(const RegistryEntry&) = delete;
    RegistryEntry& operator=(const RegistryEntry&) = delete;

    void leave() noexcept {
        if (m_left)
            return;
        m_left = true;
        try {
            m_listener.leaveConnection(m_thread_id);
        } catch (const Poco::Exception& e) {
            qk_report_exception(&m_tag, e);
        } catch (...) {
            qk_report_unknown_exception(&m_tag);
        }
    }

private:
    CQKCtrlListener& m_listener;
    const std::uint32_t m_thread_id;
    const QKLogTag& m_tag;
    bool m_left = false;
};

}  // namespace

CQKCtrlConnection::CQKCtrlConnection(const Poco::Net::StreamSocket& socket,
                                     CQKCtrlListener& listener, const char* name)
    : Poco::Net::TCPServerConnection(socket), m_listener(listener), m_name(name) {
    const std::string own = m_name + "::" + m_name + "()";
    QKLogTag log_tag = qk_make_tag(own.c_str());
    log_message(LOG_LEVEL_DEBUG, &log_tag, "%s", own.c_str());
}

CQKCtrlConnection::~CQKCtrlConnection() {
    // The listener may be gone by now: only the connection's own members are used.
    const std::string own = m_name + "::~" + m_name + "()";
    QKLogTag log_tag = qk_make_tag(own.c_str());
    log_message(LOG_LEVEL_DEBUG, &log_tag, "%s", own.c_str());
}

std::string CQKCtrlConnection::tag(const char* operation) const {
    return m_name + "::" + operation;
}

const Poco::Timespan& CQKCtrlConnection::stepTimeout() const {
    return m_listener.stepTimeout();
}

std::string CQKCtrlConnection::peer() const {
    try {
        return const_cast<CQKCtrlConnection*>(this)->socket().peerAddress().toString();
    } catch (const Poco::Exception&) {
        return "(unknown)";
    }
}

bool CQKCtrlConnection::isLocalPeer(const QKLogTag& log_tag) {
    static const Poco::Net::IPAddress kLoopback("127.0.0.1");
    std::string host = "(unknown)";
    try {
        const Poco::Net::SocketAddress address = socket().peerAddress();
        host = address.host().toString();
        if (address.family() == Poco::Net::SocketAddress::IPv4 && address.host() == kLoopback)
            return true;
    } catch (const Poco::Exception&) {
        // A peer that is already gone is refused like a foreign one.
    }
    log_message(LOG_LEVEL_ERROR, &log_tag,
                "Error. Wrong input host: %s. Connection will be closed.", host.c_str());
    qk_control_metrics().refused_peer.inc();
    return false;
}

void CQKCtrlConnection::run() {
    QKLogTag log_tag = qk_make_tag(tag("run()").c_str());
    log_message(LOG_LEVEL_DEBUG, &log_tag, "Start run()...");
    if (!isLocalPeer(log_tag))
        return;  // not one byte: the socket closes with the connection
    const std::string address = peer();
    const std::uint32_t thread_id = current_thread_key();
    try {
        m_listener.enterConnection(thread_id, this);
    } catch (const Poco::Exception& e) {
        qk_report_exception(&log_tag, e);
        throw;
    } catch (...) {
        qk_report_unknown_exception(&log_tag);
        throw;
    }
    RegistryEntry entry(m_listener, thread_id, log_tag);
    log_message(LOG_LEVEL_DEBUG, &log_tag, "Connection Thread Started: address = %s is_secure = %d",
                address.c_str(), 0);
    try {
        exchange(log_tag);
    } catch (const Poco::Crypto::CryptoException& e) {
        m_status = QK_SEND_FILE_FERROR;
        qk_control_metrics().refused_signature.inc();
        qk_report_exception(&log_tag, e);
        throw;
    } catch (const Poco::Net::ConnectionResetException& e) {
        m_status = QK_SEND_FILE_FERROR;
        qk_control_metrics().refused_error.inc();
        qk_report_exception(&log_tag, e);
        throw;
    } catch (...) {
        m_status = QK_SEND_FILE_FERROR;
        qk_control_metrics().refused_error.inc();
        qk_report_unknown_exception(&log_tag);
        // When this send fails too, its exception is the one that leaves run().
        framedSendStatus(log_tag);
        throw;
    }
    log_message(LOG_LEVEL_DEBUG, &log_tag,
                "Connection Thread Finished: address = %s is_secure = %d", address.c_str(), 0);
    entry.leave();
    log_message(LOG_LEVEL_DEBUG, &log_tag, "End run()...");
}

void CQKCtrlConnection::exchange(const QKLogTag& log_tag) {
    m_exchange_start.update();
    m_status = QK_SEND_FILE_FOK;
    framedSendStatus(log_tag);  // the service is ready
    m_code = 0;
    log_message(LOG_LEVEL_TRACE, &log_tag, "receiveCode: ------- >>");
    receiveCode();
    log_message(LOG_LEVEL_TRACE, &log_tag, "receiveCode: ------- <<");
    if (m_code == QK_FILE_SEND_READ_CONFIG) {
        sendConfig();
        // The control program's verdict on the record becomes the final status.
        log_message(LOG_LEVEL_TRACE, &log_tag, "receiveStatus: ------- >>");
        receiveStatus();
        log_message(LOG_LEVEL_TRACE, &log_tag, "receiveStatus: ------- <<");
    } else if (m_code == QK_FILE_SEND_APPLY_CONFIG) {
        framedSendStatus(log_tag);
        receiveConfig();
    }
    framedSendStatus(log_tag);
}

void CQKCtrlConnection::framedSendStatus(const QKLogTag& log_tag) {
    log_message(LOG_LEVEL_TRACE, &log_tag, "sendStatus: ------- >>");
    sendStatus();
    log_message(LOG_LEVEL_TRACE, &log_tag, "sendStatus: ------- <<");
}

void CQKCtrlConnection::sendStatus() {
    QKLogTag log_tag = qk_make_tag(tag("sendStatus()").c_str());
    if (sendWhole(log_tag, &m_status, 1, kReceivingTimeout) != 1)
        failShortTransfer(log_tag, "sendBytes Error... sent status =  0x%02X", m_status);
    print_code(&m_status, 1, LOG_LEVEL_TRACE);
}

void CQKCtrlConnection::receiveStatus() {
    QKLogTag log_tag = qk_make_tag(tag("receiveStatus()").c_str());
    qk_code_t received = QK_SEND_FILE_FOK;
    if (receiveWhole(log_tag, &received, 1, kReceivingTimeout) != 1)
        failShortTransfer(log_tag, "receiveBytes Error... recv status =  0x%02X", received);
    m_status = received;
    print_code(&m_status, 1, LOG_LEVEL_TRACE);
}

void CQKCtrlConnection::receiveCode() {
    QKLogTag log_tag = qk_make_tag(tag("receiveCode()").c_str());
    qk_code_t received = QK_SEND_FILE_FOK;
    if (receiveWhole(log_tag, &received, 1, kRequestTimeout, m_listener.requestTimeout()) != 1)
        failShortTransfer(log_tag, "receiveBytes Error... sent status =  0x%02X", received);
    m_code = received;
    print_code(&m_code, 1, LOG_LEVEL_TRACE);
}

// In slices, so that a stop never waits for a silent peer. A socket that is ready is used
// even while the listener stops or once the exchange's time is over: the status that ends a
// failed exchange still goes out.
void CQKCtrlConnection::waitFor(const QKLogTag& log_tag, int mode, const Poco::Timespan& timeout,
                                const char* timeout_text) {
    const Poco::Timestamp begin;
    Poco::Timespan limit = timeout;
    const char* failure = timeout_text;
    const Poco::Timespan exchange_left =
        m_listener.exchangeTimeout() - Poco::Timespan(m_exchange_start.elapsed());
    if (exchange_left < limit) {
        limit = exchange_left;
        failure = kExchangeTimeout;
    }
    for (Poco::Timespan left = limit;; left = limit - begin.elapsed()) {
        if (qk_poll_socket(socket(), std::clamp(left, Poco::Timespan(0), kStopLook), mode))
            return;
        if (m_listener.isStopping()) {
            failure = kStopping;
            break;
        }
        if (left <= 0)
            break;
    }
    m_status = QK_SEND_FILE_FERROR;
    log_message(LOG_LEVEL_ERROR, &log_tag, "%s", failure);
    throw SockWriteStatusException(failure);
}

std::size_t CQKCtrlConnection::sendWhole(const QKLogTag& log_tag, const void* data,
                                         std::size_t size, const char* timeout_text) {
    const Poco::Timestamp begin;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < size) {
        waitFor(log_tag, Poco::Net::Socket::SELECT_WRITE, stepTimeout() - begin.elapsed(),
                timeout_text);
        const int piece = socket().sendBytes(bytes + sent, static_cast<int>(size - sent));
        if (piece <= 0)
            break;
        sent += static_cast<std::size_t>(piece);
    }
    return sent;
}

std::size_t CQKCtrlConnection::receiveWhole(const QKLogTag& log_tag, void* data, std::size_t size,
                                            const char* timeout_text) {
    return receiveWhole(log_tag, data, size, timeout_text, stepTimeout());
}

// TCP may deliver a record in several segments: one receive would take only the first.
std::size_t CQKCtrlConnection::receiveWhole(const QKLogTag& log_tag, void* data, std::size_t size,
                                            const char* timeout_text, const Poco::Timespan& limit) {
    const Poco::Timestamp begin;
    auto* bytes = static_cast<char*>(data);
    std::size_t received = 0;
    while (received < size) {
        waitFor(log_tag, Poco::Net::Socket::SELECT_READ, limit - begin.elapsed(), timeout_text);
        const int piece =
            socket().receiveBytes(bytes + received, static_cast<int>(size - received));
        if (piece <= 0)
            break;  // the peer closed
        received += static_cast<std::size_t>(piece);
    }
    return received;
}

void CQKCtrlConnection::failShortTransfer(const QKLogTag& log_tag, const char* format,
                                          unsigned value) {
    char text[128];
    std::snprintf(text, sizeof(text), format, value);
    m_status = QK_SEND_FILE_FERROR;
    log_message(LOG_LEVEL_ERROR, &log_tag, "%s", text);
    throw SendingDataException(text);
}
