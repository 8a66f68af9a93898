// The console server's plain TCP file listener: one listening socket and one Poco TCPServer
// that runs a receiving connection per accepted client on the default thread pool (at most
// 10 at once, 64 waiting).
//
// The listener holds a copy of the server parameters; the rest it shares with every file
// listener (CQKFileListener). start() and stop() are called from the application's thread;
// the rest is safe from connection threads.
#pragma once

#include "config/SQKSrvParams.h"
#include "transfer/CQKFileListener.h"

class CQKTcpSrv : public CQKFileListener {
public:
    CQKTcpSrv();
    ~CQKTcpSrv() override;

    virtual void setParams(const SQKSrvParams& params);
    virtual const SQKSrvParams& params() const { return m_params; }
    // Binds the plain address and port of the parameters and starts accepting, behind a gate
    // of their allowed networks and source share (an "off" address is the caller's to skip:
    // it does not bind). Throws
    // Poco::Exception when already started; socket errors pass through.
    virtual void start();
    // Stops accepting, waits until every running connection has ended its current step
    // and closed, then closes the socket. Throws when the listener was never started.
    virtual void stop();

    SQKReceivingDirs receivingDirs() const override {
        return {m_params.m_in_dir,        m_params.m_back_dir,    m_params.m_resume_min_size,
                m_params.m_partial_hours, m_params.m_partial_max, m_params.m_resume_plain};
    }

protected:
    // The stop of both console listeners, with their texts.
    void stopListener(const Texts& texts);

    SQKSrvParams m_params;
};
