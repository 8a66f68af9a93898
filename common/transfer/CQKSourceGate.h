// Who may hold a file listener's connections: the peers of the allowed source networks, each
// source address at most a bounded share of the listener.
//
// SECURITY: a listener has 10 threads and 64 places in its queue; without a share, anyone who
// reaches the port could hold all of them with idle connections. The gate runs on the
// listener's acceptor thread, before a connection is queued, and closes at once (nothing
// sent) a connection whose source is in none of the allowed networks, whose source holds
// its share already (connections waiting or served), or that the full queue would drop
// unseen; each refusal is counted by reason (qk_source_gate_metrics) and logged at DEBUG, with
// one WARN a minute at most that sums them up.
//
// A source is a peer's address; an IPv4-mapped one (an IPv4 peer of a listener on "::") is
// taken as its IPv4 address, for the networks and the share alike.
//
// A place is taken when the gate lets a connection in and given back when that connection's
// object is destroyed: guard() wraps the listener's connection factory so that each
// connection it makes gives its place back, whatever ends it. One gate serves one run of one
// TCPServer; accept runs on its acceptor thread, the rest on connection threads.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnectionFactory.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "base/qk_network_list.h"

// What a listener's gate lets in.
struct SQKSourceRules {
    CQKNetworkList networks;     // empty: every source
    std::size_t per_source = 4;  // connections one source address may hold, waiting or served
};

class CQKSourceGate : public Poco::Net::TCPServerConnectionFilter {
public:
    using Ptr = Poco::AutoPtr<CQKSourceGate>;

    // listener names the listener in the log ("plain", "TLS"); queue_has_room tells whether
    // the listener's TCPServer would queue one more connection.
    CQKSourceGate(SQKSourceRules rules, std::string listener, std::function<bool()> queue_has_room);

    // On the acceptor thread: true lets the connection in and takes a place for its source.
    // Never throws.
    bool accept(const Poco::Net::StreamSocket& socket) override;

    // factory, wrapped so that each connection it makes gives its source's place in gate
    // back when it is destroyed.
    static Poco::Net::TCPServerConnectionFactory::Ptr guard(
        const Ptr& gate, Poco::Net::TCPServerConnectionFactory::Ptr factory);

    // Connections of source that hold a place (waiting or served).
    std::size_t held(const Poco::Net::IPAddress& source) const;

private:
    class GuardedFactory;
    class GuardedConnection;
    enum class Refusal { Network, Share, Queue };

    bool admit(const Poco::Net::StreamSocket& socket);
    void refuse(const Poco::Net::IPAddress& source, Refusal why);
    // The source whose place the queued socket holds, handed to its connection.
    Poco::Net::IPAddress claim(const Poco::Net::StreamSocket& socket);
    void giveBack(const Poco::Net::IPAddress& source);

    const SQKSourceRules m_rules;
    const std::string m_listener;
    const std::function<bool()> m_queue_has_room;
    mutable std::mutex m_mutex;
    std::map<Poco::Net::IPAddress, std::size_t> m_held;
    // Sockets let in and not yet taken by a connection, by their implementation (which the
    // queued copy shares), with their source.
    std::map<const void*, Poco::Net::IPAddress> m_queued;
    // The refusals since the last WARN, and its time; the acceptor thread's alone.
    std::size_t m_untold = 0;
    std::chrono::steady_clock::time_point m_told{};
    bool m_told_once = false;
};
