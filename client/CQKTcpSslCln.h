// The sending side of the transfer protocol inside TLS: the plain sender with a client
// context (our key and certificate, peers verified strictly against our CA) and a secure
// socket that expects the server's certificate name. The stream senders of a directory run
// connect on this sender's context: the key files are loaded once a run.
#pragma once

#include <Poco/Net/Context.h>

#include "CQKTcpCln.h"

class CQKTcpSslCln : public virtual CQKTcpCln {
public:
    // Initialises the TLS library for this object's lifetime.
    CQKTcpSslCln();
    ~CQKTcpSslCln() override;

    // Builds a new client context from the three TLS files of the parameters, replacing the
    // previous one. Throws Poco::Exception "Error of SSL files initializing. Key File
    // Error..." (then Certificate, then CA Certificate) for the first file that is not a
    // regular file, and Poco's TLS exceptions for files that cannot be loaded.
    virtual void initSsl();
    // Copies the parameters, then initSsl; the TLS files must exist even for plain runs.
    void setParams(const SQKClnParams& params) override;
    // Connects a secure socket on the context and completes the handshake, which refuses a
    // server whose certificate does not carry the server name; bounded by the readiness
    // time-out. Throws as the plain connect does, and when initSsl has not succeeded.
    void openConnection() override;

protected:
    std::unique_ptr<CQKTcpCln> makeStream() const override;

private:
    Poco::Net::Context::Params m_ssl_params;
    Poco::Net::Context::Ptr m_context;
};
