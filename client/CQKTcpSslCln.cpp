// The TLS sender: client context and secure connection.
#include "CQKTcpSslCln.h"

#include <Poco/Net/NetSSL.h>

#include "transfer/qk_tls.h"

CQKTcpSslCln::CQKTcpSslCln() {
    Poco::Net::initializeSSL();
    QKLogTag tag;
    log_set_tag(&tag, "CQKTcpSslCln::CQKTcpSslCln()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslCln::CQKTcpSslCln()");
}

CQKTcpSslCln::~CQKTcpSslCln() {
    QKLogTag tag;
    log_set_tag(&tag, "CQKTcpSslCln::~CQKTcpSslCln()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslCln::~CQKTcpSslCln()");
    // Secure objects go before the library is released.
    discardSocket();
    m_context.reset();
    Poco::Net::uninitializeSSL();
}

void CQKTcpSslCln::setParams(const SQKClnParams& params) {
    CQKTcpCln::setParams(params);
    initSsl();
}

void CQKTcpSslCln::initSsl() {
    m_context.reset();
    qk_check_tls_files(m_params.m_ssl_key_fpath, m_params.m_ssl_cert_fpath,
                       m_params.m_ssl_ca_cert_fpath);
    m_ssl_params = qk_tls_params(m_params.m_ssl_key_fpath, m_params.m_ssl_cert_fpath,
                                 m_params.m_ssl_ca_cert_fpath);
    m_context = qk_create_tls_context(Poco::Net::Context::TLSV1_2_CLIENT_USE, m_ssl_params);
}

// The context is shared as it is: each connection makes its own TLS session on it.
std::unique_ptr<CQKTcpCln> CQKTcpSslCln::makeStream() const {
    auto stream = std::make_unique<CQKTcpSslCln>();
    stream->CQKTcpCln::setParams(m_params);
    stream->takeLimitsOf(*this);
    stream->m_ssl_params = m_ssl_params;
    stream->m_context = m_context;
    return stream;
}

void CQKTcpSslCln::openConnection() {
    QKLogTag tag;
    log_set_tag(&tag, "CQKTcpSslCln::openConnection()");
    checkNoSocket();
    connectSecureSocket(m_context, tag);
}
