// What both services' control listeners share, whatever their records: the running
// TCPServer on its own pool of four threads (four exchanges at once, four more waiting), the
// started and stopping flags, the registry of running control connections with its mutex,
// the time the peer has for its request and the time limit of every other step.
//
// A peer that connects and sends nothing holds one thread for the request time (2 s) at
// most, and the others go on serving meanwhile. A stop ends every exchange at its next look
// at the stopping flag, a tenth of a second at most, whatever its peer does.
//
// start and stop are called from one thread (the service's control task, or the owner's
// destructor); the registry is changed by the connections' threads under its mutex.
#pragma once

#include <Poco/Mutex.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timespan.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CQKCtrlConnection;

class CQKCtrlListener {
public:
    using Registry = std::map<std::uint32_t, CQKCtrlConnection*>;

    // name is the listener's class name, the prefix of its log tags.
    explicit CQKCtrlListener(const char* name);
    virtual ~CQKCtrlListener();
    CQKCtrlListener(const CQKCtrlListener&) = delete;
    CQKCtrlListener& operator=(const CQKCtrlListener&) = delete;

    // Time limit of each step of an exchange (default 30 s); set before start().
    void setStepTimeout(const Poco::Timespan& timeout) { m_step_timeout = timeout; }
    const Poco::Timespan& stepTimeout() const { return m_step_timeout; }
    // Time the peer has for its request once greeted (default 2 s: the control program sends
    // it at once); set before start().
    void setRequestTimeout(const Poco::Timespan& timeout) { m_request_timeout = timeout; }
    const Poco::Timespan& requestTimeout() const { return m_request_timeout; }
    // Time limit of a whole exchange from the greeting on, however its peer spreads its bytes
    // (default 5 s: the control program answers each step at once); set before start().
    void setExchangeTimeout(const Poco::Timespan& timeout) { m_exchange_timeout = timeout; }
    const Poco::Timespan& exchangeTimeout() const { return m_exchange_timeout; }
    // True while a stop runs: exchanges end instead of waiting for their peer.
    bool isStopping() const { return m_stopping.load(); }

    // The port the running server listens on, 0 when none runs.
    std::uint16_t listeningPort() const;

    // Registry entries of the connection run by thread_id (an entry already there is
    // replaced), and their removal.
    void enterConnection(std::uint32_t thread_id, CQKCtrlConnection* connection);
    void leaveConnection(std::uint32_t thread_id);
    std::size_t connectionCount() const;

protected:
    // Binds port on all IPv4 interfaces, listens and starts the server with factory.
    // Throws Poco::Exception "TCP server already has been created..." when one exists;
    // errors of bind and listen pass on.
    void startServer(int port, Poco::Net::TCPServerConnectionFactory::Ptr factory);
    // Stops and deletes a running server, ends the running exchanges and waits until every
    // connection has ended. Never throws.
    void stopServer() noexcept;

    Registry m_connections;
    mutable Poco::Mutex m_connections_mutex;
    std::atomic<bool> m_started{false};

private:
    void waitForConnections() noexcept;
    std::string tag(const char* operation) const;

    const std::string m_name;
    // The server's own pool: an exchange never waits for a thread of the file listeners,
    // and stop can wait for the thread itself.
    Poco::ThreadPool m_pool;
    std::unique_ptr<Poco::Net::TCPServer> m_server;
    Poco::Timespan m_step_timeout;
    Poco::Timespan m_request_timeout;
    Poco::Timespan m_exchange_timeout;
    std::atomic<bool> m_stopping{false};
};
