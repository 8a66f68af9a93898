// The services' side of the control protocol, one design for both services: the control
// listener, its connection factory and the control connection with its record steps,
// parameterised by the service's traits (record and parameter types, names, the copies
// between them and the extra TRACE lines). CQKTcpCtrlSrvS.h and CQKTcpCtrlClnS.h name the
// two instances; both are instantiated in CQKCtrlService.cpp.
//
// Traits provide:
//   Record, Params                   the control record and the shared parameter record
//   kListenerName, kFactoryName, kConnectionName   class names (log tag prefixes)
//   kVerifyTag, kRecordName          tag of verifySignCtrl, record name of its result line
//   fill(params, ctrl)               the record's values from the parameters
//   apply(ctrl, params)              the parameters from the record, all fields or none
//   check(params)                    throws unless the service would run on params
//   traceSent(tag, ctrl), traceApplied(tag, params)
//   traceSignKeys(tag, cert, key), traceVerifyCert(tag, cert)
//
// The shared parameter record is read and written only under the configuration lock of
// CQKBaseConfigs. A record is applied only after its signature verified against the
// control program's certificate and its values, in place of the configuration's, passed
// the service's check; a refused record changes neither the parameters nor a file.
#pragma once

#include <Poco/Net/TCPServerConnectionFactory.h>

#include <cstddef>

#include "control/CQKCtrlConnection.h"
#include "control/CQKCtrlListener.h"

template <class Traits>
class CQKTcpCtrlSrvT;

template <class Traits>
class CQKCtrlConnectionT : public CQKCtrlConnection {
public:
    using Record = typename Traits::Record;
    using Params = typename Traits::Params;

    // The listener must have its parameter record.
    CQKCtrlConnectionT(const Poco::Net::StreamSocket& socket, CQKTcpCtrlSrvT<Traits>& listener);
    ~CQKCtrlConnectionT() override = default;

    void receiveConfig() override;
    void sendConfig() override;
    // Signs ctrl with the service's key and stores the signature in it.
    virtual void doSignCtrl(Record& ctrl);
    // Throws Poco::Crypto::CryptoException unless ctrl carries a valid signature of the
    // control program.
    virtual void verifySignCtrl(const Record& ctrl);

    // The length of a received signature; CryptoException "Wrong value of the signature."
    // unless it lies in 1..90, so nothing beyond m_sign is ever read.
    static std::size_t receivedSignSize(const Record& ctrl);

private:
    Params& params() const { return *m_ctrl_listener.params(); }
    void apply(const QKLogTag& log_tag, const Record& ctrl);

    CQKTcpCtrlSrvT<Traits>& m_ctrl_listener;
};

template <class Traits>
class CQKCtrlConnectionFactoryT : public Poco::Net::TCPServerConnectionFactory {
public:
    explicit CQKCtrlConnectionFactoryT(CQKTcpCtrlSrvT<Traits>& listener);
    ~CQKCtrlConnectionFactoryT() override;
    Poco::Net::TCPServerConnection* createConnection(
        const Poco::Net::StreamSocket& socket) override;

private:
    CQKTcpCtrlSrvT<Traits>& m_listener;
};

template <class Traits>
class CQKTcpCtrlSrvT : public CQKCtrlListener {
public:
    using Params = typename Traits::Params;

    // params is the service's shared record (it may be set later with setParams).
    explicit CQKTcpCtrlSrvT(Params* params = nullptr);
    ~CQKTcpCtrlSrvT() override;

    virtual void setParams(Params* params) { m_params = params; }
    virtual Params* params() const { return m_params; }
    // Listens on control_port of the parameters. Throws Poco::Exception "TCP server already
    // has been created..." when running; errors of bind and listen pass on.
    virtual void start();
    // Stops a running server, ends the exchanges that wait for their peers and waits until
    // every connection has ended (within a tenth of a second). Never throws. Call it without
    // the configuration lock (connections take it) and never from a connection's thread or
    // the error handler.
    virtual void stop();
    virtual Registry& connections() { return m_connections; }
    virtual Poco::Mutex& connectionsMutex() { return m_connections_mutex; }
    virtual bool isStarted() const { return m_started.load(); }
    // While running: true when control_port is 0 or differs from the port listened on.
    virtual bool isRestartNeeded() const;

private:
    // control_port of the parameters, read under the configuration lock.
    int controlPort() const;

    Params* m_params;
};
