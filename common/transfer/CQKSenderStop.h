// The stop of every sender of the process: a console client's SIGINT or SIGTERM, or a
// service's termination request, asks for it once, and every sender then ends within a
// fraction of a second whatever it is doing.
//
// A sender enlists its socket from its connect to its close. The request shuts every
// enlisted socket down both ways, which ends at once a connect, a TLS handshake, a send
// blocked on a receiver that does not read and a wait for a status; bytes that had already
// arrived can still be read (statuses already received are honoured), and the receiver sees
// the connection cut as by any cut. The senders' own waits (the rate limit, the pause between
// attempts) sleep through sleepFor, which the request cuts short.
//
// Threads: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "protocol/qk_exceptions.h"

// A sender stopped by the request: what it was sending stays where it is.
POCO_DECLARE_EXCEPTION(QK_COMMON_API, SendingStoppedException, Poco::Exception)

class CQKSenderStop {
public:
    // Asks every sender to stop, and shuts down every enlisted socket. Once is enough; more
    // change nothing.
    void request();
    bool requested() const { return m_requested.load(); }
    // Lets the senders send again, for a process that goes on after a stop (tests).
    void reset();
    // Throws SendingStoppedException once the stop has been asked for.
    void check() const;

    // The descriptor of a socket that is connecting or connected: a request shuts it down.
    // delist must come before the descriptor is closed; a socket enlisted after a request is
    // shut down at once.
    void enlist(int fd);
    void delist(int fd);

    // Sleeps for duration or until the stop is asked for; false when it was.
    bool sleepFor(std::chrono::nanoseconds duration);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_asked;
    std::atomic<bool> m_requested{false};
    std::multiset<int> m_sockets;
};

// The stop shared by every sender of the process.
CQKSenderStop& qk_sender_stop();
