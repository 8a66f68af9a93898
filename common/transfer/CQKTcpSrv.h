// A plain TCP file listener: one listening socket and one Poco TCPServer that runs a
// receiving connection per accepted client on the default thread pool (at most 10 at once,
// 64 waiting).
//
// The listener owns what its connections share: a copy of the server parameters, the
// registry of files being received (which may be shared with the program's other
// listener), the set of running connections and the stop flag. start() and stop() are
// called from the application's thread; the rest is safe from connection threads.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/Timespan.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "config/SQKSrvParams.h"
#include "transfer/CQKReceivingRegistry.h"

class CQKSrvConnection;

class CQKTcpSrv {
public:
    CQKTcpSrv();
    virtual ~CQKTcpSrv();
    CQKTcpSrv(const CQKTcpSrv&) = delete;
    CQKTcpSrv& operator=(const CQKTcpSrv&) = delete;

    virtual void setParams(const SQKSrvParams& params);
    virtual const SQKSrvParams& params() const { return m_params; }
    // Binds the plain port of the parameters and starts accepting. Throws
    // Poco::Exception when already started; socket errors pass through.
    virtual void start();
    // Stops accepting, waits until every running connection has ended its current step
    // and closed, then closes the socket. Throws when the listener was never started.
    virtual void stop();
    virtual CQKReceivingRegistry& receivingFiles() { return *m_receiving_files; }
    virtual bool isStopped() const { return m_stopped.load(); }

    // Lets this listener share its registry of files being received with another one of
    // the same program, so one path can't be written by both at once.
    void shareReceivingFiles(const std::shared_ptr<CQKReceivingRegistry>& registry);
    const std::shared_ptr<CQKReceivingRegistry>& receivingFilesPtr() const {
        return m_receiving_files;
    }

    // Time limit of every wait for the peer (default 30 s); set before start().
    void setTimeout(const Poco::Timespan& timeout) { m_timeout = timeout; }
    const Poco::Timespan& timeout() const { return m_timeout; }

    // Running connections, keyed by the thread that runs them.
    void addConnection(std::uint32_t thread_id, CQKSrvConnection* connection);
    void removeConnection(std::uint32_t thread_id);
    std::size_t connectionCount() const;

    // The port actually bound (useful when the parameters asked for port 0).
    std::uint16_t boundPort() const;

    // Texts that differ between the plain and the TLS listener.
    struct Texts {
        const char* tag_start;
        const char* tag_stop;
        const char* launching;
        const char* launched;
        const char* started;
        const char* finishing;
        const char* finished;
        const char* stopped;
    };

protected:
    // Starts the TCPServer on a bound socket with the given connection factory.
    void startServer(Poco::Net::ServerSocket* socket,
                     Poco::Net::TCPServerConnectionFactory::Ptr factory, int port,
                     const Texts& texts);
    void stopServer(const Texts& texts);
    void bindAndListen(Poco::Net::ServerSocket& socket, int port);

    SQKSrvParams m_params;
    Poco::Net::TCPServerParams::Ptr m_tcp_params;
    std::unique_ptr<Poco::Net::ServerSocket> m_server_socket;
    std::unique_ptr<Poco::Net::TCPServer> m_server;

private:
    std::shared_ptr<CQKReceivingRegistry> m_receiving_files;
    mutable std::mutex m_connections_mutex;
    std::condition_variable m_connections_empty;
    std::map<std::uint32_t, CQKSrvConnection*> m_connections;
    std::atomic<bool> m_stopped{false};
    Poco::Timespan m_timeout;
};
