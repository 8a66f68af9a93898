// The TLS receiving connection and the factories of both kinds, declared with the connection.
#include <Poco/Net/SecureStreamSocket.h>

#include "base/qk_log.h"
#include "transfer/CQKFileListener.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_tls.h"

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
