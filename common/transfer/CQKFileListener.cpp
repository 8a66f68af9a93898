// The machinery every file listener shares.
#include "transfer/CQKFileListener.h"

#include <Poco/Exception.h>
#include <Poco/Util/OptionException.h>
#include <sys/resource.h>

#include <algorithm>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "base/qk_network_list.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/qk_socket.h"

namespace {

constexpr int kMaxQueued = 64;
constexpr int kMaxThreads = 10;

}  // namespace

CQKFileListener::CQKFileListener(const ConnectionNames& names)
    : m_names(names),
      m_receiving_files(std::make_shared<CQKReceivingRegistry>()),
      m_timeout(QK_READY_TIMEOUT) {
    qk_ignore_sigpipe();
}

CQKFileListener::~CQKFileListener() = default;

void CQKFileListener::shareReceivingFiles(const std::shared_ptr<CQKReceivingRegistry>& registry) {
    m_receiving_files = registry;
}

CQKFileListener::Texts CQKFileListener::plainTexts(const char* tag_start, const char* tag_stop) {
    return {tag_start,
            tag_stop,
            "Starting of launch of the TCPServer",
            "The TCPServer has been started",
            "TCP Server has been started. port: ",
            "Start of finishing of the TCP server",
            "TCP server has been stopped...",
            "TCP Server has been stopped.",
            "plain"};
}

CQKFileListener::Texts CQKFileListener::sslTexts(const char* tag_start, const char* tag_stop) {
    return {tag_start,
            tag_stop,
            "Starting of launch of the TCP Server (SSL)",
            "The TCPServer (SSL) has been started",
            "TCP (SSL) Server has been started. port: ",
            "Start of finishing of the TCP server (SSL)",
            "TCP server (SSL) has been stopped...",
            "TCP (SSL) Server has been stopped.",
            "TLS"};
}

namespace {

// A windowed connection holds up to QK_COMMIT_FILES finished files open (the file, its
// directory and the name lock's file each), and a listener serves kMaxThreads connections:
// more than the soft limit of 1024 descriptors that services start with. The hard limit
// (systemd's default is far above) is what the kernel guards; the soft one is raised to it,
// up to what the connections can use.
void raise_descriptor_limit() {
    constexpr rlim_t kWanted = 65536;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWanted : std::min(limit.rlim_max, kWanted);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

// Asked by connection threads while the listener may be stopping: m_server changes hands
// only under m_server_mutex.
bool CQKFileListener::hasWaitingConnections() const {
    std::lock_guard<std::mutex> lock(m_server_mutex);
    return m_server && m_server->queuedConnections() > 0;
}

void CQKFileListener::startServer(std::unique_ptr<Poco::Net::ServerSocket> socket,
                                  Poco::Net::TCPServerConnectionFactory::Ptr factory, int port,
                                  const Texts& texts, SQKSourceRules rules) {
    QKLogTag tag = qk_make_tag(texts.tag_start);
    if (m_server)
        throw Poco::Exception("TCP server already has been created...");
    Poco::Net::TCPServerParams::Ptr params = new Poco::Net::TCPServerParams;
    params->setMaxQueued(kMaxQueued);
    params->setMaxThreads(kMaxThreads);
    raise_descriptor_limit();
    // Partial content past its time is removed now, not only when the next big file comes.
    const SQKReceivingDirs dirs = receivingDirs();
    CQKPartialStore(dirs.in_dir).sweep(std::chrono::hours(dirs.partial_hours), true);
    // The temporaries of a receiver killed in mid-file (this one's predecessor, or another on
    // a shared tree) are removed now, not only when a file next arrives in their directory.
    CQKIncomingFile::removeStaleTemporariesBelow(dirs.in_dir);
    m_server_socket = std::move(socket);
    std::lock_guard<std::mutex> lock(m_server_mutex);
    // The gate asks the server under m_server_mutex, which a stop does not hold while it
    // waits for the acceptor thread.
    m_gate = new CQKSourceGate(std::move(rules), texts.kind, [this] {
        std::lock_guard<std::mutex> lock(m_server_mutex);
        // No server: a stop is under way, which drops the queue and the gate with it.
        return !m_server || m_server->queuedConnections() < kMaxQueued;
    });
    m_server = std::make_unique<Poco::Net::TCPServer>(CQKSourceGate::guard(m_gate, factory),
                                                      *m_server_socket, params);
    m_server->setConnectionFilter(m_gate);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.launching);
    m_stopped.store(false);
    m_name_lock_failure_told.store(false);
    m_server->start();
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.launched);
    log_banner(&tag, texts.started + std::to_string(port));
}

void CQKFileListener::stopAccepting(const Texts& texts) {
    QKLogTag tag = qk_make_tag(texts.tag_stop);
    m_stopped.store(true);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.finishing);
    std::unique_ptr<Poco::Net::TCPServer> server;
    {
        std::lock_guard<std::mutex> lock(m_server_mutex);
        server = std::move(m_server);
        m_gate.reset();  // its connections keep it while they run
    }
    server->stop();
    server.reset();
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", texts.finished);
}

void CQKFileListener::waitForConnections(const Texts& texts) {
    QKLogTag tag = qk_make_tag(texts.tag_stop);
    log_message(LOG_LEVEL_DEBUG, &tag, "Start of closing of all TCP connections");
    {
        std::unique_lock<std::mutex> lock(m_connections_mutex);
        m_connections_empty.wait(lock, [this] { return m_connections.empty(); });
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "All TCP connections have been stopped...");
}

void CQKFileListener::closeSocket(const Texts& texts) {
    QKLogTag tag = qk_make_tag(texts.tag_stop);
    if (m_server_socket) {
        m_server_socket->close();
        m_server_socket.reset();
    }
    log_banner(&tag, texts.stopped);
}

void CQKFileListener::addConnection(std::uint32_t thread_id, CQKSrvConnection* connection) {
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    m_connections[thread_id] = connection;
}

void CQKFileListener::removeConnection(std::uint32_t thread_id) {
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    m_connections.erase(thread_id);
    if (m_connections.empty())
        m_connections_empty.notify_all();
}

std::size_t CQKFileListener::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    return m_connections.size();
}

std::uint16_t CQKFileListener::boundPort() const {
    return m_server_socket ? m_server_socket->address().port() : 0;
}

std::size_t CQKFileListener::heldBy(const Poco::Net::IPAddress& source) const {
    std::lock_guard<std::mutex> lock(m_server_mutex);
    return m_gate ? m_gate->held(source) : 0;
}

SQKSourceRules CQKFileListener::sourceRules(const std::string& networks, int per_source) {
    SQKSourceRules rules;
    const std::string refusal = rules.networks.assign(networks);
    if (!refusal.empty())
        throw Poco::Util::OptionException("Wrong value of allowed networks: " + refusal + ".");
    rules.per_source = static_cast<std::size_t>(std::max(per_source, 1));
    return rules;
}

void CQKFileListener::warnIfReachable(const Texts& texts, const std::string& address, int port,
                                      const SQKSourceRules& rules) {
    Poco::Net::IPAddress parsed;
    if (qk_parse_ip_literal(address, parsed, true) && parsed.isLoopback())
        return;
    QKLogTag tag = qk_make_tag(texts.tag_start);
    const std::string whom = rules.networks.empty()
                                 ? std::string("anyone who reaches it")
                                 : "anyone in the allowed networks (" + rules.networks.text() + ")";
    log_message(LOG_LEVEL_WARN, &tag,
                "The plain listener on %s accepts files from %s: it asks no certificate. "
                "Bind it to 127.0.0.1 (address), allow only the senders' networks "
                "(allowed_networks), or switch it off (address off) and send over TLS.",
                qk_endpoint_text(address, port).c_str(), whom.c_str());
}
