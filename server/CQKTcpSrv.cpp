// The console receiver's file listeners.
#include "CQKTcpSrv.h"

#include <Poco/Exception.h>

namespace {

const CQKFileListener::ConnectionNames kConnectionNames{"QKRelaySrvConnection",
                                                        "QKRelaySrvSslConnection", nullptr};

}  // namespace

// m_source is handed over before it is built: the listener only keeps the reference, and
// asks it first at start.
CQKTcpSrv::CQKTcpSrv() : CQKTcpSrv(false, "CQKTcpSrv") {}

CQKTcpSrv::CQKTcpSrv(bool secure, const char* class_name)
    : CQKTcpListener(m_source, secure, kConnectionNames, class_name) {}

CQKTcpSrv::~CQKTcpSrv() {
    if (!hasServer())
        return;
    try {
        stop();
    } catch (...) {
        // A destructor must not throw; the connections have ended either way.
    }
}

void CQKTcpSrv::setParams(const SQKSrvParams& params) {
    m_source.params = params;
}

void CQKTcpSrv::start() {
    if (hasSocket())
        throw Poco::Exception("Server Socket already has been created...");
    CQKTcpListener::start();
}

void CQKTcpSrv::stop() {
    if (!hasServer())
        throw Poco::Exception("TCP Server hasn't been created...");
    stopAccepting(texts());
    waitForConnections(texts());
    if (!hasSocket())
        throw Poco::Exception("Server Socket hasn't been created...");
    closeSocket(texts());
}

SQKListenerBinding CQKTcpSrv::Source::binding(bool secure) const {
    if (secure)
        return {params.m_ssl_address, params.m_ssl_port, params.m_ssl_allowed_networks,
                params.m_source_connections};
    return {params.m_address, params.m_port, params.m_allowed_networks,
            params.m_source_connections};
}

SQKListenerKeys CQKTcpSrv::Source::keys() const {
    return {params.m_key_fpath, params.m_cert_fpath, params.m_ca_cert_fpath, crl_fpath,
            params.m_in_dir};
}

SQKReceivingDirs CQKTcpSrv::Source::receivingDirs() const {
    return {params.m_in_dir,        params.m_back_dir,    params.m_resume_min_size,
            params.m_partial_hours, params.m_partial_max, params.m_resume_plain};
}

// Its lines keep the tag they have always carried.
CQKTcpSslSrv::CQKTcpSslSrv() : CQKTcpSrv(true, "CQKTcpSslSrvS") {}

void CQKTcpSslSrv::setParams(const SQKSrvParams& params) {
    CQKTcpSrv::setParams(params);
    initSsl();
}
