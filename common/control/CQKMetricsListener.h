// The metrics endpoint: a small HTTP server on 127.0.0.1 that answers
//   GET /metrics  200, the registry in the text exposition format 0.0.4
//   GET /health   200 "ok", or 503 with the reason its owner set
// any other path with 404 and any other method than GET or HEAD with 405. A request with a
// body is answered 400 and the connection closed; nothing of a body is read.
//
// Bounded, so that no peer can hold it or the process: two threads of its own pool, sixteen
// connections queued at most (further ones are closed by the server), every read of a
// request and every keep-alive wait limited to a few seconds. Only peers at 127.0.0.1 are
// served; any other (another loopback address included) is closed before a byte is read.
//
// It shares no thread, lock or socket with the file or control listeners: its failure to
// start (its port taken) is logged and leaves transfers alone. start, stop and follow come
// from one thread (the owner's); setHealth from any.
#pragma once

#include <Poco/Net/HTTPServer.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timespan.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/qk_metrics.h"

class CQKMetricsListener {
public:
    explicit CQKMetricsListener(CQKMetricsRegistry& registry = CQKMetricsRegistry::instance());
    ~CQKMetricsListener();
    CQKMetricsListener(const CQKMetricsListener&) = delete;
    CQKMetricsListener& operator=(const CQKMetricsListener&) = delete;

    // Time limit of each read of a request and of a keep-alive wait (default 3 s); set
    // before start().
    void setTimeout(const Poco::Timespan& timeout) { m_timeout = timeout; }

    // What /health answers: empty for 200 "ok", otherwise 503 with this text. Until the
    // owner sets it: 503 "starting".
    void setHealth(const std::string& reason);
    std::string health() const;

    // Listens on 127.0.0.1:port (0: a free port the system picks). Throws Poco::Exception
    // when one runs already or the port cannot be bound.
    void start(int port);
    // Stops a running server, ends its connections and waits for its threads. Never throws.
    void stop() noexcept;
    bool isStarted() const { return m_server != nullptr; }
    // The port listened on; 0 when none runs.
    std::uint16_t port() const;

    // Keeps the endpoint on port (0: none): starts it, moves it when the port changed, stops
    // it. A start that fails is logged at ERROR (once per port: a pass tries again every few
    // seconds) and retried at the next call. Never throws.
    void follow(int port);

    // Renders what /metrics answers.
    std::string renderMetrics() const { return m_registry.render(); }

private:
    CQKMetricsRegistry& m_registry;
    mutable std::mutex m_health_mutex;
    std::string m_health = "starting";
    Poco::Timespan m_timeout;
    Poco::ThreadPool m_pool;
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
    int m_wanted_port = 0;  // the port follow() was last asked for
    int m_failed_port = 0;  // the port whose start failure has been logged at ERROR
};
