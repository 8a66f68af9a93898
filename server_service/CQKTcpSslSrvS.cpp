// The server service's TLS file listener.
#include "CQKTcpSslSrvS.h"

#include <Poco/Exception.h>
#include <Poco/Net/SecureServerSocket.h>

#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
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
}

CQKTcpSslSrvS::~CQKTcpSslSrvS() {
    QKLogTag tag = qk_make_tag("CQKTcpSslSrvS::~CQKTcpSslSrvS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslSrvS::~CQKTcpSslSrvS()");
    stopWith(kSslTexts);
}

void CQKTcpSslSrvS::initSsl() {
    if (!m_params)
        throw Poco::NullPointerException("The listener has no parameters");
    std::string key, cert, ca, crl, in_dir;
    {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        key = m_params->m_key_fpath;
        cert = m_params->m_cert_fpath;
        ca = m_params->m_ca_cert_fpath;
        crl = qk_crl_fpath_beside(m_params->m_common_ca_cert_fpath);
        in_dir = m_params->m_in_dir;
    }
    qk_check_tls_files(key, cert, ca);
    m_context =
        qk_create_tls_context(Poco::Net::Context::TLSV1_2_SERVER_USE, qk_tls_params(key, cert, ca));
    qk_refuse_revoked(*m_context, crl, ca, in_dir);
}

void CQKTcpSslSrvS::start() {
    if (hasServer())
        throw Poco::Exception("TCP server already has been created...");
    const Binding binding = configuredBinding();
    if (qk_listener_off(binding.address))
        return;
    initSsl();
    startOn(binding, std::make_unique<Poco::Net::SecureServerSocket>(m_context),
            new CQKSrvSSslConnectionFactory(*this), kSslTexts);
}

void CQKTcpSslSrvS::stop() {
    stopWith(kSslTexts);
}

CQKTcpSslSrvS::Binding CQKTcpSslSrvS::configuredBinding() const {
    if (!m_params)
        throw Poco::NullPointerException("The listener has no parameters");
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return {m_params->m_ssl_address, m_params->m_ssl_port, m_params->m_ssl_allowed_networks,
            m_params->m_source_connections};
}
