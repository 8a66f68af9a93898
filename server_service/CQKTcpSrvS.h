// The server service's plain file listener: the shared file-listener core on the service's
// one parameter record, which the control task re-reads and the control program may change
// at any time.
//
// The port is read from the record at each start and the two directories at each header
// (both under the configuration lock); each start makes a new socket and server. stop never
// throws and waits for running connections; those end after their current step once the
// listener stops. start and stop are called from the control task's thread only.
#pragma once

#include "config/SQKSrvSParams.h"
#include "transfer/CQKFileListener.h"

class CQKTcpSrvS : public CQKFileListener {
public:
    CQKTcpSrvS();
    ~CQKTcpSrvS() override;

    // The shared record; the listener keeps the pointer, not a copy.
    virtual void setParams(SQKSrvSParams* params);
    virtual SQKSrvSParams* params() const { return m_params; }
    // Listens on "port". Throws "TCP server already has been created..." when running;
    // errors of bind and listen pass on.
    virtual void start();
    virtual void stop();
    virtual bool isStarted() const { return hasServer(); }
    // While running: true when the configured port differs from the one listened on.
    virtual bool isRestartNeeded() const;

    SQKReceivingDirs receivingDirs() const override;

protected:
    // A port of the record, read under the configuration lock.
    int configuredPort(std::int32_t SQKSrvSParams::*port) const;
    void stopWith(const Texts& texts) noexcept;

    SQKSrvSParams* m_params = nullptr;
};
