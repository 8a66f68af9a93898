// The server, registry and stop wait of the control listeners.
#include "control/CQKCtrlListener.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <string>
#include <utility>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "protocol/qk_protocol.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_socket.h"

namespace {

constexpr int kMaxThreads = 4;
constexpr int kMaxQueued = 4;
const Poco::Timespan kRequestTimeout(2, 0);
const Poco::Timespan kExchangeTimeout(5, 0);
// How often stop looks at the registry while connections end.
constexpr long kStopLookMs = 50;
// At most one line a second about refused connections, whatever a flood of them.
constexpr Poco::Timestamp::TimeDiff kRefusalLineInterval = 1000000;  // microseconds

// Refuses a connection that comes while every thread runs an exchange and the queue is full,
// as the server itself would, but says so: a control program that finds the port busy should not be
// met by silence in the log. Runs on the server's accepting thread only.
class RefusalLog : public Poco::Net::TCPServerConnectionFilter {
public:
    explicit RefusalLog(std::string tag_name) : m_tag_name(std::move(tag_name)), m_last_line(0) {}
    // Set before the server starts; the server outlives its accepting thread.
    void setServer(const Poco::Net::TCPServer* server) { m_server = server; }

    bool accept(const Poco::Net::StreamSocket& socket) override {
        if (m_server == nullptr || m_server->queuedConnections() < kMaxQueued)
            return true;
        qk_control_metrics().refused_busy.inc();
        ++m_refused;
        if (m_last_line.isElapsed(kRefusalLineInterval))
            logRefusals(socket);
        return false;
    }

private:
    void logRefusals(const Poco::Net::StreamSocket& socket) {
        std::string address = "(unknown)";
        try {
            address = socket.peerAddress().toString();
        } catch (const Poco::Exception&) {
            // Gone already: the count still says it came.
        }
        QKLogTag log_tag = qk_make_tag(m_tag_name.c_str());
        log_message(LOG_LEVEL_WARN, &log_tag,
                    "Connection refused: every exchange place is taken. Refused since the last "
                    "line: %u, the last from %s",
                    m_refused, address.c_str());
        m_refused = 0;
        m_last_line.update();
    }

    const std::string m_tag_name;
    const Poco::Net::TCPServer* m_server = nullptr;
    Poco::Timestamp m_last_line;
    unsigned m_refused = 0;
};

}  // namespace

CQKCtrlListener::CQKCtrlListener(const char* name)
    : m_name(name),
      m_pool(kMaxThreads, kMaxThreads),
      m_step_timeout(QK_READY_TIMEOUT),
      m_request_timeout(kRequestTimeout),
      m_exchange_timeout(kExchangeTimeout) {
    qk_ignore_sigpipe();
}

CQKCtrlListener::~CQKCtrlListener() {
    // The owner stops a running listener first; this only keeps a forgotten one from
    // serving on.
    if (m_server)
        stopServer();
}

std::string CQKCtrlListener::tag(const char* operation) const {
    return m_name + "::" + operation;
}

std::uint16_t CQKCtrlListener::listeningPort() const {
    return m_server ? m_server->port() : 0;
}

void CQKCtrlListener::startServer(int port, Poco::Net::TCPServerConnectionFactory::Ptr factory) {
    QKLogTag log_tag = qk_make_tag(tag("start()").c_str());
    if (m_server)
        throw Poco::Exception("TCP server already has been created...");
    if (port < 0 || port > 65535)
        throw Poco::InvalidArgumentException("Wrong value of control port number:" +
                                             std::to_string(port));
    Poco::Net::ServerSocket socket;
    qk_bind_listener(socket, port);
    m_stopping.store(false);

    Poco::Net::TCPServerParams::Ptr params(new Poco::Net::TCPServerParams);
    params->setMaxThreads(kMaxThreads);
    params->setMaxQueued(kMaxQueued);
    auto server = std::make_unique<Poco::Net::TCPServer>(factory, m_pool, socket, params);
    Poco::AutoPtr<RefusalLog> refusals(new RefusalLog(tag("accept()")));
    refusals->setServer(server.get());
    server->setConnectionFilter(refusals);
    log_message(LOG_LEVEL_DEBUG, &log_tag, "Starting of launch of the TCPServer");
    server->start();
    m_server = std::move(server);
    log_message(LOG_LEVEL_DEBUG, &log_tag, "The TCPServer has been started");
    m_started.store(true);
    log_banner(&log_tag, "TCP Control Server has been started. port: " + std::to_string(port));
}

void CQKCtrlListener::stopServer() noexcept {
    QKLogTag log_tag = qk_make_tag(tag("stop()").c_str());
    m_stopping.store(true);
    if (m_server) {
        log_message(LOG_LEVEL_DEBUG, &log_tag, "Start of finishing of the TCP server");
        try {
            m_server->stop();
        } catch (...) {
            // Stopping only closes the socket and wakes the threads; the wait below holds.
        }
        m_server.reset();
        m_started.store(false);
        log_message(LOG_LEVEL_DEBUG, &log_tag, "TCP server has been stopped...");
        log_banner(&log_tag, "TCP Control Server has been stopped.");
    }
    log_message(LOG_LEVEL_DEBUG, &log_tag, "Start of closing of all TCP connections");
    waitForConnections();
    m_stopping.store(false);
    log_message(LOG_LEVEL_DEBUG, &log_tag, "All TCP connections have been stopped...");
}

// A connection waiting in one of its steps sees the stopping flag within a tenth of a second
// and leaves the registry. Afterwards the pool's thread is joined, so that no connection
// code runs on once stop has returned (the owner may destroy the listener then).
void CQKCtrlListener::waitForConnections() noexcept {
    while (connectionCount() > 0)
        Poco::Thread::sleep(kStopLookMs);
    try {
        m_pool.joinAll();
    } catch (...) {
        // Nothing runs on a pool whose threads could not be joined.
    }
}

void CQKCtrlListener::enterConnection(std::uint32_t thread_id, CQKCtrlConnection* connection) {
    Poco::Mutex::ScopedLock lock(m_connections_mutex);
    m_connections[thread_id] = connection;
}

void CQKCtrlListener::leaveConnection(std::uint32_t thread_id) {
    Poco::Mutex::ScopedLock lock(m_connections_mutex);
    m_connections.erase(thread_id);
}

std::size_t CQKCtrlListener::connectionCount() const {
    Poco::Mutex::ScopedLock lock(m_connections_mutex);
    return m_connections.size();
}
