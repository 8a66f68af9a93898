// The client service's TLS sender: client context and secure connection.
#include "CQKTcpSslClnS.h"

#include <Poco/Net/NetSSL.h>

#include "transfer/qk_tls.h"

CQKTcpSslClnS::CQKTcpSslClnS() {
    Poco::Net::initializeSSL();
    const QKLogTag tag = qk_make_tag("CQKTcpSslClnS::CQKTcpSslClnS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslClnS::CQKTcpSslClnS()");
}

CQKTcpSslClnS::~CQKTcpSslClnS() {
    const QKLogTag tag = qk_make_tag("CQKTcpSslClnS::~CQKTcpSslClnS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSslClnS::~CQKTcpSslClnS()");
    // Secure objects go before the library is released.
    discardSocket();
    m_context.reset();
    Poco::Net::uninitializeSSL();
}

void CQKTcpSslClnS::initSsl() {
    const SQKClnSParams& record = params();
    m_context.reset();
    qk_check_tls_files(record.m_key_fpath, record.m_cert_fpath, record.m_ca_cert_fpath);
    m_ssl_params = qk_tls_params(record.m_key_fpath, record.m_cert_fpath, record.m_ca_cert_fpath);
    m_context = qk_create_tls_context(Poco::Net::Context::TLSV1_2_CLIENT_USE, m_ssl_params);
}

void CQKTcpSslClnS::openConnection() {
    const QKLogTag tag = makeTag("openConnection()");
    if (hasSocket())
        closeSocket(tag);
    initSsl();
    connectSecureSocket(m_context, tag);
}
