// The TLS file listener.
#include "transfer/CQKTcpSslSrvS.h"

#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SecureServerSocket.h>

#include "base/qk_log.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_socket.h"
#include "transfer/qk_tls.h"

namespace {

const CQKFileListener::Texts kSslTexts =
    CQKFileListener::sslTexts("CQKTcpSslSrvS::start()", "CQKTcpSslSrvS::stop()");

}  // namespace

CQKTcpSslSrvS::CQKTcpSslSrvS() {
    QKLogTag tag = qk_make_tag("CQKTcpSslSrvS::CQKTcpSslSrvS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslSrvS::CQKTcpSslSrvS()");
    Poco::Net::initializeSSL();
}

CQKTcpSslSrvS::~CQKTcpSslSrvS() {
    QKLogTag tag = qk_make_tag("CQKTcpSslSrvS::~CQKTcpSslSrvS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslSrvS::~CQKTcpSslSrvS()");
    if (hasServer()) {
        try {
            stopListener(kSslTexts);
        } catch (...) {
            // A destructor must not throw; the connections have ended either way.
        }
    }
    m_context = nullptr;
    Poco::Net::uninitializeSSL();
}

void CQKTcpSslSrvS::setParams(const SQKSrvParams& params) {
    CQKTcpSrv::setParams(params);
    initSsl();
}

void CQKTcpSslSrvS::initSsl() {
    qk_check_tls_files(m_params.m_key_fpath, m_params.m_cert_fpath, m_params.m_ca_cert_fpath);
    m_ssl_params =
        qk_tls_params(m_params.m_key_fpath, m_params.m_cert_fpath, m_params.m_ca_cert_fpath);
    m_context = nullptr;
    m_context = qk_create_tls_context(Poco::Net::Context::TLSV1_2_SERVER_USE, m_ssl_params);
    qk_refuse_revoked(*m_context, m_crl_fpath, m_params.m_ca_cert_fpath, m_params.m_in_dir);
}

void CQKTcpSslSrvS::start() {
    initSsl();
    if (!m_context)
        throw Poco::Net::SSLException("SSL Context hasn't been initialized.");
    if (hasSocket())
        throw Poco::Exception("Server Socket already has been created...");
    SQKSourceRules rules =
        sourceRules(m_params.m_ssl_allowed_networks, m_params.m_source_connections);
    auto socket = std::make_unique<Poco::Net::SecureServerSocket>(m_context);
    qk_bind_listener(*socket, m_params.m_ssl_address, m_params.m_ssl_port);
    startServer(std::move(socket), new CQKSrvSSslConnectionFactory(*this), m_params.m_ssl_port,
                kSslTexts, std::move(rules));
}

void CQKTcpSslSrvS::stop() {
    stopListener(kSslTexts);
}
