// The metrics endpoint: its HTTP server, the peer filter and the request handler.
#include "control/CQKMetricsListener.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timestamp.h>

#include <utility>

#include "base/qk_console.h"
#include "base/qk_log.h"

namespace {

constexpr const char* kTag = "CQKMetricsListener";
constexpr int kThreads = 2;
constexpr int kMaxQueued = 16;
constexpr int kBacklog = 16;
constexpr int kMaxKeepAliveRequests = 100;
const Poco::Timespan kDefaultTimeout(3, 0);
// At most one line a second about refused peers, whatever a flood of them.
constexpr Poco::Timestamp::TimeDiff kRefusalLineInterval = 1000000;  // microseconds
constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

QKLogTag make_tag(const char* operation) {
    return qk_make_tag((std::string(kTag) + "::" + operation).c_str());
}

// Serves 127.0.0.1 only; runs on the server's accepting thread.
class LoopbackFilter : public Poco::Net::TCPServerConnectionFilter {
public:
    bool accept(const Poco::Net::StreamSocket& socket) override {
        static const Poco::Net::IPAddress kLoopback("127.0.0.1");
        std::string host = "(unknown)";
        try {
            const Poco::Net::SocketAddress peer = socket.peerAddress();
            if (peer.family() == Poco::Net::SocketAddress::IPv4 && peer.host() == kLoopback)
                return true;
            host = peer.host().toString();
        } catch (const Poco::Exception&) {
            // Gone already: refused like a foreign peer.
        }
        if (m_last_line.isElapsed(kRefusalLineInterval)) {
            QKLogTag tag = make_tag("accept()");
            log_message(LOG_LEVEL_WARN, &tag,
                        "Metrics connection refused: peer %s is not 127.0.0.1", host.c_str());
            m_last_line.update();
        }
        return false;
    }

private:
    Poco::Timestamp m_last_line{0};
};

class RequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit RequestHandler(const CQKMetricsListener& listener) : m_listener(listener) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override {
        using Poco::Net::HTTPResponse;
        const std::string& method = request.getMethod();
        const bool has_body =
            request.getContentLength64() > 0 || request.getChunkedTransferEncoding();
        if (method != Poco::Net::HTTPRequest::HTTP_GET &&
            method != Poco::Net::HTTPRequest::HTTP_HEAD) {
            response.set("Allow", "GET, HEAD");
            answer(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED, "method not allowed\n", true);
            return;
        }
        // The body is never read: the connection ends after the answer.
        if (has_body) {
            answer(response, HTTPResponse::HTTP_BAD_REQUEST, "no body accepted\n", true);
            return;
        }
        const std::string& uri = request.getURI();
        const std::string path = uri.substr(0, uri.find('?'));
        if (path == "/metrics") {
            response.setContentType(kExpositionType);
            answer(response, HTTPResponse::HTTP_OK, m_listener.renderMetrics(), false);
        } else if (path == "/health") {
            const std::string reason = m_listener.health();
            if (reason.empty())
                answer(response, HTTPResponse::HTTP_OK, "ok\n", false);
            else
                answer(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE, reason + "\n", false);
        } else {
            answer(response, HTTPResponse::HTTP_NOT_FOUND, "not found\n", false);
        }
    }

private:
    static void answer(Poco::Net::HTTPServerResponse& response,
                       Poco::Net::HTTPResponse::HTTPStatus status, const std::string& body,
                       bool close) {
        response.setStatusAndReason(status);
        if (response.getContentType() == Poco::Net::HTTPMessage::UNKNOWN_CONTENT_TYPE)
            response.setContentType("text/plain; charset=utf-8");
        if (close)
            response.setKeepAlive(false);
        response.sendBuffer(body.data(), body.size());
    }

    const CQKMetricsListener& m_listener;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit HandlerFactory(const CQKMetricsListener& listener) : m_listener(listener) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override {
        return new RequestHandler(m_listener);
    }

private:
    const CQKMetricsListener& m_listener;
};

}  // namespace

CQKMetricsListener::CQKMetricsListener(CQKMetricsRegistry& registry)
    : m_registry(registry), m_timeout(kDefaultTimeout), m_pool(kThreads, kThreads) {
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
    return m_server ? m_server->port() : 0;
}

void CQKMetricsListener::start(int port) {
    QKLogTag tag = make_tag("start()");
    if (m_server)
        throw Poco::Exception("The metrics server runs already");
    if (port < 0 || port > 65535)
        throw Poco::InvalidArgumentException("Wrong value of metrics port number:" +
                                             std::to_string(port));
    Poco::Net::ServerSocket socket;
    socket.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), true,
                false);
    socket.listen(kBacklog);

    Poco::Net::HTTPServerParams::Ptr params(new Poco::Net::HTTPServerParams);
    params->setMaxThreads(kThreads);
    params->setMaxQueued(kMaxQueued);
    params->setTimeout(m_timeout);
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(m_timeout);
    params->setMaxKeepAliveRequests(kMaxKeepAliveRequests);
    auto server =
        std::make_unique<Poco::Net::HTTPServer>(new HandlerFactory(*this), m_pool, socket, params);
    server->setConnectionFilter(new LoopbackFilter);
    server->start();
    m_server = std::move(server);
    log_banner(&tag, "Metrics endpoint has been started: http://127.0.0.1:" +
                         std::to_string(m_server->port()) + "/metrics");
}

void CQKMetricsListener::stop() noexcept {
    if (!m_server)
        return;
    QKLogTag tag = make_tag("stop()");
    try {
        m_server->stopAll(true);
    } catch (...) {
        // Stopping only closes sockets and wakes threads; the join below holds.
    }
    m_server.reset();
    try {
        m_pool.joinAll();
    } catch (...) {
    }
    log_banner(&tag, "Metrics endpoint has been stopped.");
}

void CQKMetricsListener::follow(int port) {
    if (port != m_wanted_port)
        m_failed_port = 0;
    m_wanted_port = port;
    if (m_server && (port == 0 || m_server->port() != port))
        stop();
    if (port == 0 || m_server)
        return;
    try {
        start(port);
        m_failed_port = 0;
    } catch (const Poco::Exception& e) {
        QKLogTag tag = make_tag("start()");
        const int level = m_failed_port == port ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR;
        log_message(level, &tag,
                    "Metrics endpoint not started on 127.0.0.1:%d: %s. Transfers go on; the "
                    "start is tried again at the next pass.",
                    port, e.displayText().c_str());
        m_failed_port = port;
    }
}
