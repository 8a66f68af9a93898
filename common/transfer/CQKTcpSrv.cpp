// The plain TCP file listener.
#include "transfer/CQKTcpSrv.h"

#include <Poco/Exception.h>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKSrvConnection.h"

namespace {

constexpr int kMaxQueued = 64;
constexpr int kMaxThreads = 10;
constexpr int kBacklog = 64;

const CQKTcpSrv::Texts kPlainTexts{
    "CQKTcpSrv::start()",
    "CQKTcpSrv::stop()",
    "Starting of launch of the TCPServer",
    "The TCPServer has been started",
    "TCP Server has been started. port: ",
    "Start of finishing of the TCP server",
    "TCP server has been stopped...",
    "TCP Server has been stopped.",
};

void print_banner(const QKLogTag& tag, const std::string& text) {
    log_message(LOG_LEVEL_INFO, &tag, "=================================== >>");
    log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "=================================== <<");
    qk_print_console("-------------------- >>");
    qk_print_console(text);
    qk_print_console("-------------------- <<");
}

}  // namespace

CQKTcpSrv::CQKTcpSrv()
    : m_tcp_params(new Poco::Net::TCPServerParams),
      m_receiving_files(std::make_shared<CQKReceivingRegistry>()),
      m_timeout(QK_READY_TIMEOUT) {
    QKLogTag tag = qk_make_tag("CQKTcpSrv::CQKTcpSrv()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSrv::CQKTcpSrv()");
    qk_ignore_sigpipe();
    m_tcp_params->setMaxQueued(kMaxQueued);
    m_tcp_params->setMaxThreads(kMaxThreads);
}

CQKTcpSrv::~CQKTcpSrv() {
    QKLogTag tag = qk_make_tag("CQKTcpSrv::~CQKTcpSrv()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSrv::~CQKTcpSrv()");
    if (m_server) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Start stopping of the TCP Server...");
        try {
            stopServer(kPlainTexts);
        } catch (...) {
            // A destructor must not throw; the connections have ended either way.
        }
        log_message(LOG_LEVEL_DEBUG, &tag, "The TCP Server has been stopped...");
    }
    m_tcp_params = nullptr;
    log_message(LOG_LEVEL_DEBUG, &tag, "The TCPServerParams has been releaed...");
}

void CQKTcpSrv::setParams(const SQKSrvParams& params) {
    m_params = params;
}

void CQKTcpSrv::shareReceivingFiles(const std::shared_ptr<CQKReceivingRegistry>& registry) {
    m_receiving_files = registry;
}

// SO_REUSEADDR lets a restarted listener bind while connections of its predecessor linger in
// TIME_WAIT; without SO_REUSEPORT a second listener on a port in use is still refused.
void CQKTcpSrv::bindAndListen(Poco::Net::ServerSocket& socket, int port) {
    socket.bind(Poco::Net::SocketAddress(Poco::Net::IPAddress(), static_cast<Poco::UInt16>(port)),
                true, false);
    socket.listen(kBacklog);
    socket.setNoDelay(true);
}

void CQKTcpSrv::start() {
    if (m_server_socket)
        throw Poco::Exception("Server Socket already has been created...");
    auto socket = std::make_unique<Poco::Net::ServerSocket>();
    bindAndListen(*socket, m_params.m_port);
    m_server_socket = std::move(socket);
    startServer(m_server_socket.get(), new CQKSrvConnectionFactory(*this), m_params.m_port,
                kPlainTexts);
}

void CQKTcpSrv::startServer(Poco::Net::ServerSocket* socket,
                            Poco::Net::TCPServerConnectionFactory::Ptr factory, int port,
                            const Texts& texts) {
    QKLogTag tag = qk_make_tag(texts.tag_start);
    if (m_server)
        throw Poco::Exception("TCP server already has been created...");
    m_server = std::make_unique<Poco::Net::TCPServer>(factory, *socket, m_tcp_params);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.launching);
    m_stopped.store(false);
    m_server->start();
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.launched);
    print_banner(tag, texts.started + std::to_string(port));
}

void CQKTcpSrv::stop() {
    stopServer(kPlainTexts);
}

void CQKTcpSrv::stopServer(const Texts& texts) {
    QKLogTag tag = qk_make_tag(texts.tag_stop);
    m_stopped.store(true);
    if (!m_server)
        throw Poco::Exception("TCP Server hasn't been created...");
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.finishing);
    m_server->stop();
    m_server.reset();
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.finished);

    log_message(LOG_LEVEL_DEBUG, &tag, "Start of closing of all TCP connections");
    {
        std::unique_lock<std::mutex> lock(m_connections_mutex);
        m_connections_empty.wait(lock, [this] { return m_connections.empty(); });
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "All TCP connections have been stopped...");

    if (!m_server_socket)
        throw Poco::Exception("Server Socket hasn't been created...");
    m_server_socket->close();
    m_server_socket.reset();
    print_banner(tag, texts.stopped);
}

void CQKTcpSrv::addConnection(std::uint32_t thread_id, CQKSrvConnection* connection) {
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    m_connections[thread_id] = connection;
}

void CQKTcpSrv::removeConnection(std::uint32_t thread_id) {
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    m_connections.erase(thread_id);
    if (m_connections.empty())
        m_connections_empty.notify_all();
}

std::size_t CQKTcpSrv::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    return m_connections.size();
}

std::uint16_t CQKTcpSrv::boundPort() const {
    return m_server_socket ? m_server_socket->address().port() : 0;
}
