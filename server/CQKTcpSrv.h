// The console receiver's file listeners: the one listener (CQKTcpListener) on a copy of the
// server parameters, plain (CQKTcpSrv) or TLS (CQKTcpSslSrv). Also the receiver that tests
// and a second local receiver start from a parameter record.
//
// Stricter than the listener underneath, as the console program has always been: start
// throws while a socket exists, and stop throws when the listener was never started and
// closes the socket only once every running connection has ended. start() and stop() are
// called from the application's thread; the rest is safe from connection threads.
#pragma once

#include <string>

#include "config/SQKSrvParams.h"
#include "transfer/CQKTcpListener.h"

class CQKTcpSrv : public CQKTcpListener {
public:
    CQKTcpSrv();
    ~CQKTcpSrv() override;

    // Copies the parameters; they take effect at the next start.
    virtual void setParams(const SQKSrvParams& params);
    const SQKSrvParams& params() const { return m_source.params; }
    // Binds the address and port of the parameters (the TLS ones for the TLS form) and starts
    // accepting, behind a gate of their allowed networks and source share; an "off" address
    // does not bind. Throws Poco::Exception when already started; socket errors pass through.
    void start() override;
    // Stops accepting, waits until every running connection has ended its current step and
    // closed, then closes the socket. Throws when the listener was never started.
    void stop() override;

protected:
    CQKTcpSrv(bool secure, const char* class_name);

    // The parameters as the listener's source; the revocation list is the TLS form's.
    struct Source : CQKListenerSource {
        SQKSrvParams params;
        std::string crl_fpath;
        SQKListenerBinding binding(bool secure) const override;
        SQKListenerKeys keys() const override;
        SQKReceivingDirs receivingDirs() const override;
    };
    Source m_source;
};

class CQKTcpSslSrv : public CQKTcpSrv {
public:
    CQKTcpSslSrv();

    // Copies the parameters and builds the TLS context at once, so a missing key file shows
    // here.
    void setParams(const SQKSrvParams& params) override;
    // The revocation list the contexts built from now on check client certificates
    // against; empty (the default): none.
    void setRevocationList(const std::string& crl_fpath) { m_source.crl_fpath = crl_fpath; }
};
