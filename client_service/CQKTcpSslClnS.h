// The client service's TLS sender: the plain service sender with a client context (the
// service's key and certificate, peers verified strictly against our CA) and a secure socket
// that expects the server's certificate name.
#pragma once

#include <Poco/Net/Context.h>

#include "CQKTcpClnS.h"

class CQKTcpSslClnS : public virtual CQKTcpClnS {
public:
    // Initialises the TLS library for this object's lifetime.
    CQKTcpSslClnS();
    ~CQKTcpSslClnS() override;

    // Builds a new client context from the record's three TLS files, replacing the previous
    // one. Throws Poco::Exception "Error of SSL files initializing. Key File Error..." (then
    // Certificate, then CA Certificate) for the first file that is not a regular file, and
    // Poco's TLS exceptions for files that cannot be loaded.
    virtual void initSsl();
    // initSsl, so that files the control program replaced count from the next attempt on;
    // then connects a secure socket as the plain sender does and completes the handshake,
    // which refuses a server whose certificate does not carry the server name.
    void openConnection() override;

private:
    Poco::Net::Context::Params m_ssl_params;
    Poco::Net::Context::Ptr m_context;
};
