// The TLS file listener: the plain listener's design on a TLS 1.2 server socket that
// requires and verifies a client certificate of our CA carrying the client name.
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

private:
    Poco::Net::Context::Params m_ssl_params;
    Poco::Net::Context::Ptr m_context;
};
