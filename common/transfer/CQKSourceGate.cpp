// The allowed source networks and the share of each source address, at a file listener.
#include "transfer/CQKSourceGate.h"

#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServerConnection.h>

#include <memory>
#include <utility>

#include "base/qk_log.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr std::chrono::seconds kTellEvery(60);

}  // namespace

// Runs the connection its factory made and gives the source's place back once that
// connection is destroyed, after everything it held.
class CQKSourceGate::GuardedConnection : public Poco::Net::TCPServerConnection {
public:
    GuardedConnection(const Poco::Net::StreamSocket& socket,
                      std::unique_ptr<Poco::Net::TCPServerConnection> inner,
                      CQKSourceGate::Ptr gate, Poco::Net::IPAddress source)
        : Poco::Net::TCPServerConnection(socket),
          m_inner(std::move(inner)),
          m_gate(std::move(gate)),
          m_source(std::move(source)) {}
    ~GuardedConnection() override {
        m_inner.reset();
        m_gate->giveBack(m_source);
    }
    void run() override { m_inner->run(); }

private:
    std::unique_ptr<Poco::Net::TCPServerConnection> m_inner;
    CQKSourceGate::Ptr m_gate;
    Poco::Net::IPAddress m_source;
};

class CQKSourceGate::GuardedFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    GuardedFactory(CQKSourceGate::Ptr gate, Poco::Net::TCPServerConnectionFactory::Ptr inner)
        : m_gate(std::move(gate)), m_inner(std::move(inner)) {}
    Poco::Net::TCPServerConnection* createConnection(
        const Poco::Net::StreamSocket& socket) override {
        const Poco::Net::IPAddress source = m_gate->claim(socket);
        std::unique_ptr<Poco::Net::TCPServerConnection> inner;
        try {
            inner.reset(m_inner->createConnection(socket));
        } catch (...) {
            m_gate->giveBack(source);
            throw;
        }
        return new GuardedConnection(socket, std::move(inner), m_gate, source);
    }

private:
    CQKSourceGate::Ptr m_gate;
    Poco::Net::TCPServerConnectionFactory::Ptr m_inner;
};

CQKSourceGate::CQKSourceGate(SQKSourceRules rules, std::string listener,
                             std::function<bool()> queue_has_room)
    : m_rules(std::move(rules)),
      m_listener(std::move(listener)),
      m_queue_has_room(std::move(queue_has_room)) {
    qk_source_gate_metrics();  // rendered as 0 from the listener's start
}

Poco::Net::TCPServerConnectionFactory::Ptr CQKSourceGate::guard(
    const Ptr& gate, Poco::Net::TCPServerConnectionFactory::Ptr factory) {
    return new GuardedFactory(gate, std::move(factory));
}

bool CQKSourceGate::accept(const Poco::Net::StreamSocket& socket) {
    try {
        return admit(socket);
    } catch (...) {
        return false;  // a peer gone before its address could be read: nothing to serve
    }
}

bool CQKSourceGate::admit(const Poco::Net::StreamSocket& socket) {
    // A peer of IPv4 on a listener of both families is one source with its IPv4 address.
    const Poco::Net::IPAddress source = qk_unmapped_address(socket.peerAddress().host());
    if (!m_rules.networks.allows(source)) {
        refuse(source, Refusal::Network);
        return false;
    }
    // The queue only shrinks until this thread queues the next connection: with room now,
    // the connection is queued, and its place given back by its connection object.
    if (!m_queue_has_room()) {
        refuse(source, Refusal::Queue);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t& held = m_held[source];
        if (held < m_rules.per_source) {
            ++held;
            // An entry left under this key is of a socket closed without a connection (a
            // stop dropped it from the queue) whose memory is used again: its place goes.
            const auto [stale, fresh] = m_queued.try_emplace(socket.impl(), source);
            if (!fresh) {
                const Poco::Net::IPAddress old = stale->second;
                stale->second = source;
                if (--m_held[old] == 0)
                    m_held.erase(old);
            }
            return true;
        }
    }
    refuse(source, Refusal::Share);
    return false;
}

void CQKSourceGate::refuse(const Poco::Net::IPAddress& source, Refusal why) {
    const SQKSourceGateMetrics& metrics = qk_source_gate_metrics();
    const char* reason = "the queue of waiting connections is full";
    if (why == Refusal::Network) {
        metrics.refused_network.inc();
        reason = "not in the allowed networks";
    } else if (why == Refusal::Share) {
        metrics.refused_share.inc();
        reason = "its address holds its share of the listener (source_connections)";
    } else {
        metrics.refused_queue.inc();
    }
    QKLogTag tag = qk_make_tag("CQKSourceGate::accept()");
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection from %s to the %s listener refused: %s",
                source.toString().c_str(), m_listener.c_str(), reason);
    ++m_untold;
    const auto now = std::chrono::steady_clock::now();
    if (m_told_once && now - m_told < kTellEvery)
        return;
    log_message(LOG_LEVEL_WARN, &tag,
                "The %s listener refused %zu connection(s) at their accept since the last such "
                "line (at most one a minute); the last from %s: %s",
                m_listener.c_str(), m_untold, source.toString().c_str(), reason);
    m_untold = 0;
    m_told = now;
    m_told_once = true;
}

Poco::Net::IPAddress CQKSourceGate::claim(const Poco::Net::StreamSocket& socket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_queued.find(socket.impl());
    if (found == m_queued.end())
        return Poco::Net::IPAddress();  // holds no place: its release finds none
    Poco::Net::IPAddress source = found->second;
    m_queued.erase(found);
    return source;
}

void CQKSourceGate::giveBack(const Poco::Net::IPAddress& source) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_held.find(source);
    if (found == m_held.end())
        return;
    if (--found->second == 0)
        m_held.erase(found);
}

std::size_t CQKSourceGate::held(const Poco::Net::IPAddress& source) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_held.find(source);
    return found == m_held.end() ? 0 : found->second;
}
