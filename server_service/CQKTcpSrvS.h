// The server service's plain file listener: the shared file-listener core on the service's
// one parameter record, which the control task re-reads and the control program may change
// at any time.
//
// The port is read from the record at each start and the two directories at each header
// (both under the configuration lock); each start makes a new socket and server. stop never
// throws and waits for running connections; those end after their current step once the
// listener stops. start and stop are called from the control task's thread only.
#pragma once

#include <memory>
#include <string>

#include "config/SQKSrvSParams.h"
#include "transfer/CQKFileListener.h"

class CQKTcpSrvS : public CQKFileListener {
public:
    CQKTcpSrvS();
    ~CQKTcpSrvS() override;

    // The shared record; the listener keeps the pointer, not a copy.
    virtual void setParams(SQKSrvSParams* params);
    virtual SQKSrvSParams* params() const { return m_params; }
    // Listens on "address" and "port" behind a gate of "allowed_networks" and
    // "source_connections"; does nothing while "address" is off. Throws "TCP server already
    // has been created..." when running; errors of bind and listen pass on.
    virtual void start();
    virtual void stop();
    virtual bool isStarted() const { return hasServer(); }
    // While running: true when the configured address, port, networks or share differ from
    // the ones in force (an address switched off included).
    virtual bool isRestartNeeded() const;
    // True while the configured address is "off": the control task leaves it stopped.
    virtual bool isSwitchedOff() const;

    SQKReceivingDirs receivingDirs() const override;

protected:
    // Where and for whom a listener listens, as configured or in force.
    struct Binding {
        std::string address;
        int port = 0;
        std::string networks;
        int per_source = 0;
        bool operator==(const Binding& other) const {
            return address == other.address && port == other.port && networks == other.networks &&
                   per_source == other.per_source;
        }
    };
    // The plain or the TLS listener's binding in the record, read under the configuration
    // lock.
    virtual Binding configuredBinding() const;
    // Binds, warns where the plain port is open to others, and starts behind the gate.
    void startOn(const Binding& binding, std::unique_ptr<Poco::Net::ServerSocket> socket,
                 Poco::Net::TCPServerConnectionFactory::Ptr factory, const Texts& texts);
    void stopWith(const Texts& texts) noexcept;

    SQKSrvSParams* m_params = nullptr;
    Binding m_in_force;
};
