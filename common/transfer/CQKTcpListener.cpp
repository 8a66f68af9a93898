// A file listener, plain or TLS, behind a source of parameters.
#include "transfer/CQKTcpListener.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SecureServerSocket.h>

#include <memory>

#include "base/qk_log.h"
#include "config/qk_service_params.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_socket.h"
#include "transfer/qk_tls.h"

CQKTcpListener::CQKTcpListener(const CQKListenerSource& source, bool secure,
                               const ConnectionNames& names, const char* class_name)
    : CQKFileListener(names),
      m_source(source),
      m_secure(secure),
      m_class_name(class_name),
      m_tag_start(m_class_name + "::start()"),
      m_tag_stop(m_class_name + "::stop()"),
      m_texts(secure ? sslTexts(m_tag_start.c_str(), m_tag_stop.c_str())
                     : plainTexts(m_tag_start.c_str(), m_tag_stop.c_str())) {
    logLifecycle("");
    if (m_secure)
        Poco::Net::initializeSSL();
}

CQKTcpListener::~CQKTcpListener() {
    logLifecycle("~");
    stop();
    if (m_secure) {
        m_context = nullptr;
        Poco::Net::uninitializeSSL();
    }
}

// "<class>::<class>()" or "<class>::~<class>()", at DEBUG under that tag.
void CQKTcpListener::logLifecycle(const char* prefix) const {
    const std::string text = m_class_name + "::" + prefix + m_class_name + "()";
    QKLogTag tag = qk_make_tag(text.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", text.c_str());
}

void CQKTcpListener::start() {
    if (hasServer())
        throw Poco::Exception("TCP server already has been created...");
    const SQKListenerBinding binding = m_source.binding(m_secure);
    if (qk_listener_off(binding.address))
        return;
    if (m_secure)
        initSsl();
    SQKSourceRules rules = sourceRules(binding.networks, binding.per_source);
    std::unique_ptr<Poco::Net::ServerSocket> socket =
        m_secure ? std::make_unique<Poco::Net::SecureServerSocket>(m_context)
                 : std::make_unique<Poco::Net::ServerSocket>();
    qk_bind_listener(*socket, binding.address, binding.port);
    if (!m_secure)
        warnIfReachable(m_texts, binding.address, binding.port, rules);
    Poco::Net::TCPServerConnectionFactory::Ptr factory;
    if (m_secure)
        factory = new CQKSrvSSslConnectionFactory(*this);
    else
        factory = new CQKSrvConnectionFactory(*this);
    startServer(std::move(socket), factory, binding.port, m_texts, std::move(rules));
    m_in_force = binding;
}

// The socket is closed before the wait: a peer that comes meanwhile is refused at once
// instead of waiting in the backlog for a server that is gone.
void CQKTcpListener::stop() {
    try {
        if (hasServer()) {
            stopAccepting(m_texts);
            closeSocket(m_texts);
        }
        waitForConnections(m_texts);
    } catch (...) {
        // The server and its connections are gone either way; a stop must not fail.
    }
}

bool CQKTcpListener::isRestartNeeded() const {
    return isStarted() && !(m_source.binding(m_secure) == m_in_force);
}

int CQKTcpListener::otherPort() const {
    const SQKListenerBinding other = m_source.binding(!m_secure);
    return qk_listener_off(other.address) ? 0 : other.port;
}

bool CQKTcpListener::isSwitchedOff() const {
    return qk_listener_off(m_source.binding(m_secure).address);
}

void CQKTcpListener::initSsl() {
    const SQKListenerKeys keys = m_source.keys();
    qk_check_tls_files(keys.key, keys.cert, keys.ca);
    m_context = nullptr;
    m_context = qk_create_tls_context(Poco::Net::Context::TLSV1_2_SERVER_USE,
                                      qk_tls_params(keys.key, keys.cert, keys.ca));
    qk_refuse_revoked(*m_context, keys.crl, keys.ca, keys.number_dir);
    qk_read_ahead(*m_context);
}
