// The metrics endpoint: a small HTTP server that answers
//   GET /metrics  200, the registry in the text exposition format 0.0.4
//   GET /health   200 "ok", or 503 with the reason its owner set
//   GET /ready    likewise from the owner's readiness, where it gives one (else 404)
// any other path with 404 and any other method than GET or HEAD with 405 (and closes). A
// request with a body is answered 400 and the connection closed; nothing of a body is read.
// HEAD gets GET's head without its body. A malformed request is answered 400 and closed.
//
// It listens on 127.0.0.1 unless told another literal IPv4 address (0.0.0.0: all). On
// 127.0.0.1 only peers at 127.0.0.1 are served: any other (another loopback address
// included) is closed before a byte is read. On any other address every peer that reaches
// it is served: there is no authentication.
//
// One thread of its own runs every connection from one poll loop on non-blocking sockets,
// so that no peer, idle, slow or flooding, delays another's answer: a request is answered as
// soon as its head is whole, while any number of others wait. Bounded all the same: a head
// of 8 KiB at most, one answer pending per connection (nothing more is read until it has
// gone), a time limit per request (default 5 s from the connection or the previous answer
// to the last byte of this one; keep-alive waits included), at most 100 requests per
// connection, and at most 256 connections open: a further one closes the one idle longest.
//
// It shares no thread, lock or socket with the file or control listeners: its failure to
// start (its port taken) is logged and leaves transfers alone. start, stop and follow come
// from one thread (the owner's); setHealth from any.
#pragma once

#include <Poco/Timespan.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/qk_metrics.h"

class CQKMetricsListener {
public:
    static constexpr const char* kLoopbackAddress = "127.0.0.1";

    explicit CQKMetricsListener(CQKMetricsRegistry& registry = CQKMetricsRegistry::instance());
    ~CQKMetricsListener();
    CQKMetricsListener(const CQKMetricsListener&) = delete;
    CQKMetricsListener& operator=(const CQKMetricsListener&) = delete;

    // Time limit of each request (default 5 s); set before start().
    void setTimeout(const Poco::Timespan& timeout) { m_timeout = timeout; }
    // Connections open at most (default 256); set before start().
    void setMaxConnections(std::size_t count) { m_max_connections = count; }

    // What /health answers: empty for 200 "ok", otherwise 503 with this text. Until the
    // owner sets it: 503 "starting".
    void setHealth(const std::string& reason);
    std::string health() const;
    // What /ready answers, asked at each request on the endpoint's thread (so provider must be
    // safe to call from any thread): empty for 200 "ok", otherwise 503 with the text. Without
    // a provider /ready is 404. Set before start().
    void setReadiness(std::function<std::string()> provider) { m_readiness = std::move(provider); }
    std::string readiness() const { return m_readiness ? m_readiness() : std::string(); }
    bool hasReadiness() const { return static_cast<bool>(m_readiness); }

    // Listens on address:port (port 0: a free port the system picks). Throws Poco::Exception
    // when one runs already, the address is no literal IPv4 address or address and port
    // cannot be bound.
    void start(int port, const std::string& address = kLoopbackAddress);
    // Stops a running server: closes its connections and waits for its thread. Never throws.
    void stop() noexcept;
    bool isStarted() const { return m_loop != nullptr; }
    // The port and address listened on; 0 and "" when none runs.
    std::uint16_t port() const;
    std::string address() const;

    // Keeps the endpoint on address:port (port 0: none): starts it, moves it when either
    // changed, stops it. A start that fails is logged at ERROR (once per address and port: a
    // pass tries again every few seconds) and retried at the next call. Never throws.
    void follow(int port, const std::string& address = kLoopbackAddress);

    // Renders what /metrics answers.
    std::string renderMetrics() const { return m_registry.render(); }

private:
    class Loop;

    CQKMetricsRegistry& m_registry;
    mutable std::mutex m_health_mutex;
    std::string m_health = "starting";
    std::function<std::string()> m_readiness;
    Poco::Timespan m_timeout;
    std::size_t m_max_connections;
    std::unique_ptr<Loop> m_loop;
    int m_wanted_port = 0;  // what follow() was last asked for
    std::string m_wanted_address;
    std::string m_failed_at;  // "address:port" whose start failure is logged at ERROR
};
