// The console server's plain TCP file listener.
#include "transfer/CQKTcpSrv.h"

#include <Poco/Exception.h>

#include "base/qk_log.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_socket.h"

namespace {

const CQKFileListener::ConnectionNames kConnectionNames{"QKRelaySrvConnection",
                                                        "QKRelaySrvSslConnection", nullptr};

const CQKFileListener::Texts kPlainTexts =
    CQKFileListener::plainTexts("CQKTcpSrv::start()", "CQKTcpSrv::stop()");

}  // namespace

CQKTcpSrv::CQKTcpSrv() : CQKFileListener(kConnectionNames) {
    QKLogTag tag = qk_make_tag("CQKTcpSrv::CQKTcpSrv()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSrv::CQKTcpSrv()");
}

CQKTcpSrv::~CQKTcpSrv() {
    QKLogTag tag = qk_make_tag("CQKTcpSrv::~CQKTcpSrv()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSrv::~CQKTcpSrv()");
    if (hasServer()) {
        log_message(LOG_LEVEL_DEBUG, &tag, "Start stopping of the TCP Server...");
        try {
            stopListener(kPlainTexts);
        } catch (...) {
            // A destructor must not throw; the connections have ended either way.
        }
        log_message(LOG_LEVEL_DEBUG, &tag, "The TCP Server has been stopped...");
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "The TCPServerParams has been releaed...");
}

void CQKTcpSrv::setParams(const SQKSrvParams& params) {
    m_params = params;
}

void CQKTcpSrv::start() {
    if (hasSocket())
        throw Poco::Exception("Server Socket already has been created...");
    SQKSourceRules rules = sourceRules(m_params.m_allowed_networks, m_params.m_source_connections);
    auto socket = std::make_unique<Poco::Net::ServerSocket>();
    qk_bind_listener(*socket, m_params.m_address, m_params.m_port);
    warnIfReachable(kPlainTexts, m_params.m_address, m_params.m_port, rules);
    startServer(std::move(socket), new CQKSrvConnectionFactory(*this), m_params.m_port, kPlainTexts,
                std::move(rules));
}

void CQKTcpSrv::stop() {
    stopListener(kPlainTexts);
}

void CQKTcpSrv::stopListener(const Texts& texts) {
    if (!hasServer())
        throw Poco::Exception("TCP Server hasn't been created...");
    stopAccepting(texts);
    waitForConnections(texts);
    if (!hasSocket())
        throw Poco::Exception("Server Socket hasn't been created...");
    closeSocket(texts);
}
