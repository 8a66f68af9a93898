// The TLS file listener: the plain listener's design on a TLS server socket (1.3, or 1.2 for older
// peers) that requires and verifies a client certificate of our CA carrying the client name and,
// when a revocation list is set, not named in it (qk_refuse_revoked).
#pragma once

#include <Poco/Net/Context.h>

#include "transfer/CQKTcpSrv.h"

class CQKTcpSslSrvS : public virtual CQKTcpSrv {
public:
    CQKTcpSslSrvS();
    ~CQKTcpSslSrvS() override;

    // Copies the parameters and builds the TLS context at once, so a missing key file
    // shows here.
    void setParams(const SQKSrvParams& params) override;
    void start() override;
    void stop() override;
    // Checks the key, certificate and CA files and builds a fresh server context.
    virtual void initSsl();
    // The revocation list the contexts built from now on check client certificates
    // against; empty (the default): none.
    void setRevocationList(const std::string& crl_fpath) { m_crl_fpath = crl_fpath; }

private:
    std::string m_crl_fpath;
    Poco::Net::Context::Params m_ssl_params;
    Poco::Net::Context::Ptr m_context;
};
