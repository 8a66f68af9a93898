// The server service's TLS file listener: the plain service listener on a TLS server
// socket (1.3, or 1.2 for older peers) that requires a client certificate of our CA carrying the
// client name and not named in the revocation list of the shared keys directory (beside the
// record's common CA; qk_refuse_revoked). It listens on "ssl_address" and "ssl_port" for
// "ssl_allowed_networks"; the key files are checked and a new context is made at every start.
#pragma once

#include <Poco/Net/Context.h>

#include "CQKTcpSrvS.h"

class CQKTcpSslSrvS : public virtual CQKTcpSrvS {
public:
    CQKTcpSslSrvS();
    ~CQKTcpSslSrvS() override;

    void start() override;
    void stop() override;
    // Checks the key, certificate and CA files of the record and builds a fresh context.
    virtual void initSsl();

protected:
    Binding configuredBinding() const override;

private:
    Poco::Net::Context::Ptr m_context;
};
