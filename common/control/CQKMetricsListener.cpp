// The metrics endpoint: its poll loop, the peer filter and the answers.
#include "control/CQKMetricsListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "config/qk_service_params.h"
#include "control/qk_metrics_http.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTag = "CQKMetricsListener";
constexpr std::size_t kDefaultMaxConnections = 256;
constexpr int kMaxKeepAliveRequests = 100;
constexpr int kBacklog = 128;
// Connections taken from the backlog at one wake-up, so that a flood of them still lets the
// loop serve the open ones in between.
constexpr int kAcceptBurst = 64;
constexpr std::size_t kReadPiece = 4096;
// How long accepting pauses when the process has no descriptor left.
constexpr std::chrono::milliseconds kAcceptPause(100);
const Poco::Timespan kDefaultTimeout(5, 0);
// At most one line a second about refused or closed peers, whatever a flood of them.
constexpr std::chrono::seconds kLineInterval(1);
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

QKLogTag make_tag(const char* operation) {
    return qk_make_tag((std::string(kTag) + "::" + operation).c_str());
}

// A log line that says how many events it stands for, at most once per interval.
class ThrottledLine {
public:
    // Counts an event; true when the line is due now: take() then tells the events since
    // the last line.
    bool due(Clock::time_point now) {
        ++m_events;
        if (m_said && now - m_last < kLineInterval)
            return false;
        m_said = true;
        m_last = now;
        return true;
    }
    unsigned take() { return std::exchange(m_events, 0u); }

private:
    bool m_said = false;
    Clock::time_point m_last;
    unsigned m_events = 0;
};

}  // namespace

class CQKMetricsListener::Loop {
public:
    Loop(const CQKMetricsListener& owner, Poco::Net::ServerSocket socket, std::string address)
        : m_owner(owner),
          m_socket(std::move(socket)),
          m_address(std::move(address)),
          m_loopback_only(m_address == kLoopbackAddress),
          m_timeout(std::chrono::microseconds(owner.m_timeout.totalMicroseconds())),
          m_max_connections(std::max<std::size_t>(1, owner.m_max_connections)) {
        m_socket.setBlocking(false);
        m_listen_fd = m_socket.impl()->sockfd();
        m_port = m_socket.address().port();
        if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
            throw Poco::SystemException("Metrics endpoint: no pipe to wake its thread",
                                        std::strerror(errno));
        m_thread = std::thread([this] { run(); });
    }

    ~Loop() {
        const char byte = 0;
        while (::write(m_wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
        if (m_thread.joinable())
            m_thread.join();
        for (Connection& connection : m_connections)
            closeFd(connection);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }

    std::uint16_t port() const { return m_port; }
    const std::string& address() const { return m_address; }

private:
    struct Connection {
        int fd = -1;  // -1: closed, removed at the end of the loop's round
        std::string in;
        std::string out;
        std::size_t sent = 0;
        bool close_after = false;  // closed once out has gone
        int answered = 0;
        Clock::time_point deadline;  // end of the current request's time
        Clock::time_point active;    // the last byte moved
    };

    static bool pending(const Connection& c) { return c.sent < c.out.size(); }

    void run() {
        std::vector<pollfd> fds;
        while (true) {
            const Clock::time_point before = Clock::now();
            const bool accepting = before >= m_accept_paused_until;
            fds.clear();
            fds.push_back({m_wake[0], POLLIN, 0});
            fds.push_back({accepting ? m_listen_fd : -1, POLLIN, 0});
            for (const Connection& c : m_connections)
                fds.push_back({c.fd, static_cast<short>(pending(c) ? POLLOUT : POLLIN), 0});
            const int ready = ::poll(fds.data(), fds.size(), waitMs(before));
            if (ready < 0 && errno != EINTR) {
                QKLogTag tag = make_tag("run()");
                log_message(LOG_LEVEL_ERROR, &tag, "Metrics endpoint: poll failed: %s",
                            std::strerror(errno));
                std::this_thread::sleep_for(kAcceptPause);
                continue;
            }
            if (ready > 0 && fds[0].revents != 0)
                return;  // stop
            const Clock::time_point now = Clock::now();
            // The connections accepted in this round are not in fds: the loop ends before them.
            const std::size_t polled = m_connections.size();
            for (std::size_t i = 0; ready > 0 && i < polled; ++i) {
                if (fds[i + 2].revents == 0)
                    continue;
                Connection& c = m_connections[i];
                if (pending(c))
                    writeOut(c, now);
                else
                    readIn(c, now);
            }
            for (Connection& c : m_connections) {
                if (c.fd >= 0 && now >= c.deadline)
                    closeFd(c);
            }
            if (ready > 0 && fds[1].revents != 0)
                acceptSome(now);
            m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                               [](const Connection& c) { return c.fd < 0; }),
                                m_connections.end());
        }
    }

    // Until the nearest deadline or the end of a pause of accepting; -1: none.
    int waitMs(Clock::time_point now) const {
        Clock::time_point next = Clock::time_point::max();
        for (const Connection& c : m_connections)
            next = std::min(next, c.deadline);
        if (now < m_accept_paused_until)
            next = std::min(next, m_accept_paused_until);
        if (next == Clock::time_point::max())
            return -1;
        if (next <= now)
            return 0;
        // Rounded up: waking a little early would only spin.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::min<long long>(ms, 60000));
    }

    void acceptSome(Clock::time_point now) {
        for (int i = 0; i < kAcceptBurst; ++i) {
            sockaddr_in peer{};
            socklen_t size = sizeof(peer);
            const int fd = ::accept4(m_listen_fd, reinterpret_cast<sockaddr*>(&peer), &size,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                // No descriptor or memory left, or a network error: the backlog keeps the
                // socket readable, and without a pause the loop would spin.
                const int error = errno;
                m_accept_paused_until = now + kAcceptPause;
                if (m_accept_failures.due(now)) {
                    QKLogTag tag = make_tag("accept()");
                    log_message(LOG_LEVEL_WARN, &tag,
                                "Metrics connections not accepted: %s (%u times since the last "
                                "line)",
                                std::strerror(error), m_accept_failures.take());
                }
                return;
            }
            if (m_loopback_only && !isLoopbackPeer(peer)) {
                ::close(fd);
                refused(peer, now);
                continue;
            }
            if (openCount() >= m_max_connections)
                closeIdlest(now);
            Connection c;
            c.fd = fd;
            c.deadline = now + m_timeout;
            c.active = now;
            m_connections.push_back(std::move(c));
        }
    }

    static bool isLoopbackPeer(const sockaddr_in& peer) {
        return peer.sin_family == AF_INET && peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    }

    void refused(const sockaddr_in& peer, Clock::time_point now) {
        if (!m_refusals.due(now))
            return;
        char host[INET_ADDRSTRLEN] = "(unknown)";
        if (peer.sin_family == AF_INET)
            ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof(host));
        QKLogTag tag = make_tag("accept()");
        log_message(LOG_LEVEL_WARN, &tag,
                    "Metrics connection refused: peer %s is not 127.0.0.1 (%u refused since the "
                    "last line)",
                    host, m_refusals.take());
    }

    std::size_t openCount() const {
        return static_cast<std::size_t>(
            std::count_if(m_connections.begin(), m_connections.end(),
                          [](const Connection& c) { return c.fd >= 0; }));
    }

    // The connection that moved no byte for longest goes; one with an answer under way only
    // when all have one.
    void closeIdlest(Clock::time_point now) {
        Connection* idlest = nullptr;
        for (Connection& c : m_connections) {
            if (c.fd < 0)
                continue;
            if (idlest == nullptr || (pending(*idlest) && !pending(c)) ||
                (pending(*idlest) == pending(c) && c.active < idlest->active))
                idlest = &c;
        }
        if (idlest == nullptr)
            return;
        closeFd(*idlest);
        if (m_evictions.due(now)) {
            QKLogTag tag = make_tag("accept()");
            log_message(LOG_LEVEL_WARN, &tag,
                        "Metrics connections at their limit of %u: the one idle longest closed "
                        "(%u since the last line)",
                        static_cast<unsigned>(m_max_connections), m_evictions.take());
        }
    }

    void readIn(Connection& c, Clock::time_point now) {
        char piece[kReadPiece];
        // One byte beyond the largest head tells a head that is too long.
        const std::size_t room = std::min(sizeof(piece), kQKHttpMaxHead + 1 - c.in.size());
        const ssize_t n = ::recv(c.fd, piece, room, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            closeFd(c);  // the peer closed, or its connection failed
            return;
        }
        c.in.append(piece, static_cast<std::size_t>(n));
        c.active = now;
        serve(c, now);
    }

    // Answers the whole heads that c holds, one at a time, as long as each answer goes at
    // once; the rest waits until the pending answer has gone.
    void serve(Connection& c, Clock::time_point now) {
        while (c.fd >= 0 && !pending(c)) {
            SQKHttpRequest request;
            std::size_t head_size = 0;
            const QKHttpHead head = qk_http_parse_head(c.in, request, head_size);
            if (head == QKHttpHead::incomplete)
                return;
            if (head == QKHttpHead::bad) {
                c.in.clear();
                c.out = qk_http_answer(400, kTextType, "bad request\n", false, false);
                c.close_after = true;
            } else {
                c.in.erase(0, head_size);
                ++c.answered;
                bool keep_alive = request.keep_alive && c.answered < kMaxKeepAliveRequests;
                c.out = answerTo(request, keep_alive);
                c.close_after = !keep_alive;
            }
            c.sent = 0;
            flush(c, now);
        }
    }

    // Called when c can be written to: the rest of its answer, then what else it asked.
    void writeOut(Connection& c, Clock::time_point now) {
        flush(c, now);
        serve(c, now);
    }

    // Sends what the socket takes of the pending answer. Once all has gone the connection
    // closes, or its next request starts with a time of its own.
    void flush(Connection& c, Clock::time_point now) {
        while (pending(c)) {
            const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0) {
                closeFd(c);
                return;
            }
            c.sent += static_cast<std::size_t>(n);
            c.active = now;
        }
        c.out.clear();
        c.sent = 0;
        if (c.close_after) {
            ::shutdown(c.fd, SHUT_WR);
            closeFd(c);
            return;
        }
        c.deadline = now + m_timeout;
    }

    std::string answerTo(const SQKHttpRequest& request, bool& keep_alive) const {
        const bool head_only = request.method == "HEAD";
        if (request.method != "GET" && !head_only) {
            keep_alive = false;
            return qk_http_answer(405, kTextType, "method not allowed\n", false, false,
                                  "Allow: GET, HEAD\r\n");
        }
        // The body is never read: the connection ends after the answer.
        if (request.has_body) {
            keep_alive = false;
            return qk_http_answer(400, kTextType, "no body accepted\n", false, head_only);
        }
        const std::string path = request.target.substr(0, request.target.find('?'));
        if (path == "/metrics")
            return qk_http_answer(200, kExpositionType, m_owner.renderMetrics(), keep_alive,
                                  head_only);
        const bool health = path == "/health";
        if (health || (path == "/ready" && m_owner.hasReadiness())) {
            const std::string reason = health ? m_owner.health() : m_owner.readiness();
            if (reason.empty())
                return qk_http_answer(200, kTextType, "ok\n", keep_alive, head_only);
            return qk_http_answer(503, kTextType, reason + "\n", keep_alive, head_only);
        }
        return qk_http_answer(404, kTextType, "not found\n", keep_alive, head_only);
    }

    static void closeFd(Connection& c) {
        if (c.fd >= 0)
            ::close(c.fd);
        c.fd = -1;
    }

    const CQKMetricsListener& m_owner;
    Poco::Net::ServerSocket m_socket;
    const std::string m_address;
    const bool m_loopback_only;
    const Clock::duration m_timeout;
    const std::size_t m_max_connections;
    int m_listen_fd = -1;
    std::uint16_t m_port = 0;
    int m_wake[2] = {-1, -1};
    std::vector<Connection> m_connections;
    Clock::time_point m_accept_paused_until;
    ThrottledLine m_refusals;
    ThrottledLine m_evictions;
    ThrottledLine m_accept_failures;
    std::thread m_thread;
};

CQKMetricsListener::CQKMetricsListener(CQKMetricsRegistry& registry)
    : m_registry(registry), m_timeout(kDefaultTimeout), m_max_connections(kDefaultMaxConnections) {
    qk_ignore_sigpipe();
}

CQKMetricsListener::~CQKMetricsListener() {
    stop();
}

void CQKMetricsListener::setHealth(const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_health_mutex);
    m_health = reason;
}

std::string CQKMetricsListener::health() const {
    std::lock_guard<std::mutex> lock(m_health_mutex);
    return m_health;
}

std::uint16_t CQKMetricsListener::port() const {
    return m_loop ? m_loop->port() : 0;
}

std::string CQKMetricsListener::address() const {
    return m_loop ? m_loop->address() : std::string();
}

void CQKMetricsListener::start(int port, const std::string& address) {
    QKLogTag tag = make_tag("start()");
    if (m_loop)
        throw Poco::Exception("The metrics server runs already");
    if (port < 0 || port > 65535)
        throw Poco::InvalidArgumentException("Wrong value of metrics port number:" +
                                             std::to_string(port));
    qk_check_metrics_address(address);
    Poco::Net::ServerSocket socket;
    socket.bind(Poco::Net::SocketAddress(address, static_cast<Poco::UInt16>(port)), true, false);
    socket.listen(kBacklog);
    ::fcntl(socket.impl()->sockfd(), F_SETFD, FD_CLOEXEC);
    m_loop = std::make_unique<Loop>(*this, std::move(socket), address);
    std::string text = "Metrics endpoint has been started: http://" + address + ":" +
                       std::to_string(m_loop->port()) + "/metrics";
    if (address != kLoopbackAddress)
        text += " (every peer that reaches it is served: no authentication)";
    log_banner(&tag, text);
}

void CQKMetricsListener::stop() noexcept {
    if (!m_loop)
        return;
    QKLogTag tag = make_tag("stop()");
    m_loop.reset();
    log_banner(&tag, "Metrics endpoint has been stopped.");
}

void CQKMetricsListener::follow(int port, const std::string& address) {
    if (port != m_wanted_port || address != m_wanted_address)
        m_failed_at.clear();
    m_wanted_port = port;
    m_wanted_address = address;
    if (m_loop && (port == 0 || m_loop->port() != port || m_loop->address() != address))
        stop();
    if (port == 0 || m_loop)
        return;
    const std::string at = address + ":" + std::to_string(port);
    try {
        start(port, address);
        m_failed_at.clear();
    } catch (const Poco::Exception& e) {
        QKLogTag tag = make_tag("start()");
        const int level = m_failed_at == at ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR;
        log_message(level, &tag,
                    "Metrics endpoint not started on %s: %s. Transfers go on; the start is "
                    "tried again at the next pass.",
                    at.c_str(), e.displayText().c_str());
        m_failed_at = at;
    }
}
