// What every file listener shares, the console server's and the server service's alike: the
// running TCPServer on its listening socket (at most 10 connections at once, 64 waiting)
// behind the gate of who may hold its connections (CQKSourceGate),
// the registry of files being received (which a program's two listeners may share), the
// set of running receiving connections, the stop flag and the time limit of every wait.
//
// This is the part of a listener that its connections use. Its one subclass, CQKTcpListener,
// says where received files go (receivingDirs, asked at each header, so a listener whose
// parameters change while it runs hands out a consistent pair) and starts and stops the
// server from one application thread; the rest is safe from connection threads.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/Timespan.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config/SQKSrvParams.h"
#include "transfer/CQKReceivingRegistry.h"
#include "transfer/CQKSourceGate.h"

class CQKSrvConnection;

// The two directories a received file needs, taken together.
struct SQKReceivingDirs {
    std::string in_dir;    // root of all received files
    std::string back_dir;  // backups of replaced files; empty for none
    // Resume of cut transfers: the smallest file whose partial content is kept (0: none),
    // and for how long.
    std::uint64_t resume_min_size = 0;
    int partial_hours = 24;
    SQKPartialMax partial_max;  // the most partial content may hold in in_dir
    bool resume_plain = false;  // the plain port grants resume too
};

class CQKFileListener {
public:
    // Texts that differ between listeners.
    struct Texts {
        const char* tag_start;
        const char* tag_stop;
        const char* launching;
        const char* launched;
        const char* started;
        const char* finishing;
        const char* finished;
        const char* stopped;
        const char* kind;  // "plain" or "TLS", naming the listener in the gate's lines
    };
    // The class names under which the plain and the TLS connections log, and their refusal
    // of a finished-all frame followed by more bytes (null: the console server's text).
    struct ConnectionNames {
        const char* plain;
        const char* secure;
        const char* finished_all_error;
    };

    explicit CQKFileListener(const ConnectionNames& names);
    virtual ~CQKFileListener();
    CQKFileListener(const CQKFileListener&) = delete;
    CQKFileListener& operator=(const CQKFileListener&) = delete;

    virtual SQKReceivingDirs receivingDirs() const = 0;
    const char* connectionName(bool secure) const {
        return secure ? m_names.secure : m_names.plain;
    }
    const char* finishedAllError() const { return m_names.finished_all_error; }

    virtual CQKReceivingRegistry& receivingFiles() { return *m_receiving_files; }
    // True from a stop until the next start: connections end after their current step.
    virtual bool isStopped() const { return m_stopped.load(); }
    // True when accepted connections wait for a thread of the pool.
    bool hasWaitingConnections() const;

    // Lets this listener share its registry of files being received with another one of
    // the same program, so one path can't be written by both at once.
    void shareReceivingFiles(const std::shared_ptr<CQKReceivingRegistry>& registry);
    const std::shared_ptr<CQKReceivingRegistry>& receivingFilesPtr() const {
        return m_receiving_files;
    }

    // True for the first call after each start: the first connection that finds the shared
    // incoming tree without name locks says so at ERROR, the others only at DEBUG.
    bool firstNameLockFailure() { return !m_name_lock_failure_told.exchange(true); }

    // Time limit of every wait for the peer (default 30 s); set before start().
    void setTimeout(const Poco::Timespan& timeout) { m_timeout = timeout; }
    const Poco::Timespan& timeout() const { return m_timeout; }

    // Running connections, keyed by the thread that runs them.
    void addConnection(std::uint32_t thread_id, CQKSrvConnection* connection);
    void removeConnection(std::uint32_t thread_id);
    std::size_t connectionCount() const;

    // The port actually bound (useful when the parameters asked for port 0); 0 when none.
    std::uint16_t boundPort() const;
    // The port of the program's other listener (the TLS one for a plain listener, and the
    // other way round) while it is configured to listen; 0 when there is none. Named to a
    // peer that came to the wrong one.
    virtual int otherPort() const { return 0; }
    // True from a start until the next stop.
    bool isListening() const { return hasServer(); }
    // Connections of source that hold a place at the running server's gate (waiting or
    // served); 0 when none runs.
    std::size_t heldBy(const Poco::Net::IPAddress& source) const;

protected:
    // The texts of a plain and of a TLS listener, under the given log tags.
    static Texts plainTexts(const char* tag_start, const char* tag_stop);
    static Texts sslTexts(const char* tag_start, const char* tag_stop);
    // Starts a new TCPServer, with new parameters, on the bound socket, which the listener
    // keeps until stop, behind a new gate that lets in what rules allow (CQKSourceGate).
    // Throws "TCP server already has been created..." when one runs.
    void startServer(std::unique_ptr<Poco::Net::ServerSocket> socket,
                     Poco::Net::TCPServerConnectionFactory::Ptr factory, int port,
                     const Texts& texts, SQKSourceRules rules);
    // The rules of a listener from its configured networks (checked before: a refused value
    // throws Poco::Util::OptionException here too) and share.
    static SQKSourceRules sourceRules(const std::string& networks, int per_source);
    // One WARN at the start of a plain listener that other machines may reach: it asks no
    // certificate of anyone.
    static void warnIfReachable(const Texts& texts, const std::string& address, int port,
                                const SQKSourceRules& rules);
    bool hasServer() const { return m_server != nullptr; }
    bool hasSocket() const { return m_server_socket != nullptr; }
    // Sets the stop flag, stops and deletes the TCPServer (which must exist).
    void stopAccepting(const Texts& texts);
    // Waits until every running connection has ended its current step and closed.
    void waitForConnections(const Texts& texts);
    // Closes the listening socket and logs and echoes the stopped banner.
    void closeSocket(const Texts& texts);

private:
    const ConnectionNames m_names;
    std::unique_ptr<Poco::Net::ServerSocket> m_server_socket;
    std::unique_ptr<Poco::Net::TCPServer> m_server;
    CQKSourceGate::Ptr m_gate;          // of m_server
    mutable std::mutex m_server_mutex;  // m_server for hasWaitingConnections
    std::shared_ptr<CQKReceivingRegistry> m_receiving_files;
    mutable std::mutex m_connections_mutex;
    std::condition_variable m_connections_empty;
    std::map<std::uint32_t, CQKSrvConnection*> m_connections;
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_name_lock_failure_told{false};
    Poco::Timespan m_timeout;
};
