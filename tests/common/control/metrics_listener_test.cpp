// The metrics endpoint on loopback: its answers, its refusal of other peers, and that it
// stays up and answers after garbage, a stalled peer and a burst of connections, and while
// idle peers hold connections open; its address.
#include <gtest/gtest.h>

#include <atomic>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/Util/MapConfiguration.h>
#include <Poco/Util/OptionException.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "RawClient.h"
#include "base/qk_console.h"
#include "base/qk_metrics.h"
#include "config/qk_service_params.h"
#include "control/CQKMetricsListener.h"

namespace {

struct Answer {
    int status = 0;
    std::string content_type;
    std::string body;
};

Answer request(std::uint16_t port, const std::string& method, const std::string& path,
               const std::string& body = "") {
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    session.setTimeout(Poco::Timespan(30, 0));
    Poco::Net::HTTPRequest req(method, path, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!body.empty())
        req.setContentLength(static_cast<std::streamsize>(body.size()));
    session.sendRequest(req) << body;
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    Answer answer;
    answer.status = response.getStatus();
    answer.content_type = response.getContentType();
    Poco::StreamCopier::copyToString(in, answer.body);
    return answer;
}

class MetricsListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        qk_set_console_echo(getenv("QK_TEST_ECHO") != nullptr);
        m_registry.counter("qk_test_files_total", "Files.").inc(7);
        // Peers are held as long as a test needs them; the test of the time limit shortens it.
        m_listener.setTimeout(Poco::Timespan(30, 0));
        m_listener.start(0);
        m_port = m_listener.port();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override { qk_set_console_echo(true); }

    CQKMetricsRegistry m_registry;
    CQKMetricsListener m_listener{m_registry};
    std::uint16_t m_port = 0;
};

TEST_F(MetricsListenerTest, AnswersMetricsHealthAndRefusesOtherPathsMethodsAndBodies) {
    const Answer metrics = request(m_port, "GET", "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.content_type, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(metrics.body.find("# TYPE qk_test_files_total counter\nqk_test_files_total 7\n"),
              std::string::npos)
        << metrics.body;

    Answer health = request(m_port, "GET", "/health");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "starting\n");
    m_listener.setHealth("TLS listener (port 5601) not running");
    EXPECT_EQ(request(m_port, "GET", "/health").body, "TLS listener (port 5601) not running\n");
    m_listener.setHealth("");
    health = request(m_port, "GET", "/health");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok\n");

    EXPECT_EQ(request(m_port, "HEAD", "/metrics?x=1").status, 200);
    EXPECT_EQ(request(m_port, "GET", "/").status, 404);
    EXPECT_EQ(request(m_port, "GET", "/metricsx").status, 404);
    EXPECT_EQ(request(m_port, "POST", "/metrics").status, 405);
    EXPECT_EQ(request(m_port, "DELETE", "/health").status, 405);
    EXPECT_EQ(request(m_port, "GET", "/metrics", "a body").status, 400);
}

// The server accepts 127.0.0.2 (it is loopback too), then closes it without a byte.
TEST_F(MetricsListenerTest, RefusesAPeerThatIsNot127001) {
    RawClient foreign(m_port, "127.0.0.2");
    foreign.send(std::string("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(foreign.readBytes(1, Poco::Timespan(3, 0)).empty());
    EXPECT_EQ(request(m_port, "GET", "/metrics").status, 200);
}

TEST_F(MetricsListenerTest, StaysUpAfterGarbageAStalledPeerAndABurstOfConnections) {
    m_listener.stop();
    m_listener.setTimeout(Poco::Timespan(1, 0));
    m_listener.start(0);
    m_port = m_listener.port();
    const auto started = std::chrono::steady_clock::now();
    // Half a request, then silence: held for the request time limit at most.
    RawClient stalled(m_port);
    stalled.send(std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-"));
    // The endpoint may answer and close before it has read all of a bad request: the rest
    // of the send, or the read, then meets a reset.
    const auto poke = [this](const std::string& request) {
        RawClient client(m_port);
        try {
            client.send(request);
            client.readBytes(4096);
        } catch (const Poco::Net::ConnectionResetException&) {
        }
    };
    for (const char* garbage :
         {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",
          "GET /metrics HTTP/9.9 extra words\r\n\r\n", "GET\r\n\r\n", "\r\n\r\n\r\n",
          "GET /health HTTP/1.1\r\nContent-Length: -5\r\n\r\n"})
        poke(garbage);
    poke("GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n");
    std::vector<std::unique_ptr<Poco::Net::StreamSocket>> burst;
    for (int i = 0; i < 100; ++i) {
        auto socket = std::make_unique<Poco::Net::StreamSocket>();
        try {
            socket->connect(Poco::Net::SocketAddress("127.0.0.1", m_port), Poco::Timespan(2, 0));
            socket->sendBytes("GET /metr", 9);
        } catch (const Poco::Exception&) {
            // Refused when the backlog is full: the burst may be.
        }
        burst.push_back(std::move(socket));
    }
    burst.clear();

    const Answer after = request(m_port, "GET", "/metrics");
    EXPECT_EQ(after.status, 200);
    EXPECT_NE(after.body.find("qk_test_files_total 7"), std::string::npos);
    EXPECT_TRUE(stalled.closedByPeer()) << "the stalled peer was let go";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

// One connection may ask several times in one send: each request is answered in turn, HEAD
// without its body, and an HTTP/1.0 request without keep-alive closes the connection.
TEST_F(MetricsListenerTest, AnswersRequestsSentTogetherInTurn) {
    RawClient client(m_port);
    client.send(
        std::string("GET /health HTTP/1.1\r\nHost: x\r\n\r\nHEAD /metrics HTTP/1.0\r\n\r\n"));
    const std::vector<std::uint8_t> bytes = client.readBytes(65536);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t second = text.find("HTTP/1.1 200 OK\r\n");
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_EQ(text.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("Connection: keep-alive\r\n\r\nstarting\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(second).find("Content-Type: text/plain; version=0.0.4"), 17u);
    const std::string last = "Connection: close\r\n\r\n";
    EXPECT_EQ(text.size() - text.rfind(last), last.size()) << "HEAD got a body: " << text;
    EXPECT_TRUE(client.closedByPeer());
}

// Peers that connect and send nothing, or half a request, delay no other peer's answer.
TEST_F(MetricsListenerTest, IdlePeersDelayNoAnswer) {
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<RawClient>(m_port));
        if (i % 2 == 1)
            idle.back()->send(std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
    for (int round = 0; round < 3; ++round) {
        for (const char* path : {"/health", "/metrics"}) {
            const auto begin = std::chrono::steady_clock::now();
            EXPECT_NE(request(m_port, "GET", path).status, 0);
            // Held up, it would wait for the idle peers' time limit (30 s).
            EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10)) << path;
        }
    }
}

// Beyond its limit of open connections the endpoint closes the one idle longest, and serves
// the newcomer.
TEST(MetricsListenerLimit, TheIdlestPeerGoesWhenTheLimitIsReached) {
    CQKMetricsRegistry registry;
    CQKMetricsListener listener(registry);
    listener.setMaxConnections(4);
    listener.start(0);
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<RawClient>(listener.port()));
        // Accepted in this order: the loop takes each before the next comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(request(listener.port(), "GET", "/health").status, 503);
    EXPECT_TRUE(idle[0]->closedByPeer());
    EXPECT_EQ(idle[1]->readStatus(Poco::Timespan(0, 200000)), RawClient::kTimedOut);
}

// /ready answers from the owner's readiness where it gives one; elsewhere it is no path.
TEST(MetricsListenerReady, AnswersTheOwnersReadinessOr404) {
    CQKMetricsRegistry registry;
    CQKMetricsListener plain(registry);
    plain.start(0);
    EXPECT_EQ(request(plain.port(), "GET", "/ready").status, 404);

    std::atomic<bool> ready{false};
    CQKMetricsListener listener(registry);
    listener.setReadiness([&] { return ready ? std::string() : std::string("not reached"); });
    listener.start(0);
    const Answer not_ready = request(listener.port(), "GET", "/ready");
    EXPECT_EQ(not_ready.status, 503);
    EXPECT_EQ(not_ready.body, "not reached\n");
    ready = true;
    EXPECT_EQ(request(listener.port(), "GET", "/ready").status, 200);
}

// A literal IPv4 address as the operator writes it, 0.0.0.0 for all; nothing a resolver
// would also take. Absent or empty: 127.0.0.1.
TEST(MetricsAddress, OnlyLiteralIPv4AddressesPass) {
    for (const char* good : {"127.0.0.1", "0.0.0.0", "10.1.2.3", "255.255.255.255"})
        EXPECT_NO_THROW(qk_check_metrics_address(good)) << good;
    for (const char* bad : {"", "localhost", "127.1", "127.0.0.01", " 127.0.0.1", "127.0.0.1 ",
                            "::1", "256.1.1.1", "1.2.3.4:80", "0x7f.0.0.1", "1.2.3.4.5"})
        EXPECT_THROW(qk_check_metrics_address(bad), Poco::Util::OptionException) << bad;
    Poco::AutoPtr<Poco::Util::MapConfiguration> view(new Poco::Util::MapConfiguration);
    EXPECT_EQ(qk_read_metrics_address(*view), "127.0.0.1");
    view->setString("metrics_address", "");
    EXPECT_EQ(qk_read_metrics_address(*view), "127.0.0.1");
    view->setString("metrics_address", "0.0.0.0");
    EXPECT_EQ(qk_read_metrics_address(*view), "0.0.0.0");
}

// follow() keeps the endpoint on the port it is given: a taken port leaves it down without
// an exception until the port is free, another port moves it, 0 stops it.
TEST(MetricsListenerFollow, StartsMovesAndStopsWithThePort) {
    CQKMetricsRegistry registry;
    CQKMetricsListener listener(registry);
    Poco::Net::ServerSocket taken(Poco::Net::SocketAddress("127.0.0.1", 0));
    const int port = taken.address().port();
    listener.follow(port);
    EXPECT_FALSE(listener.isStarted());
    taken.close();
    listener.follow(port);
    ASSERT_TRUE(listener.isStarted());
    EXPECT_EQ(listener.port(), port);

    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    const int other = probe.address().port();
    probe.close();
    listener.follow(other);
    EXPECT_EQ(listener.port(), other);
    EXPECT_EQ(request(static_cast<std::uint16_t>(other), "GET", "/health").status, 503);

    // On any other address than 127.0.0.1 every peer is served, another loopback one too.
    const auto asked_from_127002 = [&] {
        RawClient peer(static_cast<std::uint16_t>(other), "127.0.0.2");
        peer.send(std::string("GET /health HTTP/1.1\r\n\r\n"));
        const std::vector<std::uint8_t> bytes = peer.readBytes(12);
        return std::string(bytes.begin(), bytes.end()) == "HTTP/1.1 503";
    };
    EXPECT_FALSE(asked_from_127002());
    listener.follow(other, "0.0.0.0");
    EXPECT_EQ(listener.address(), "0.0.0.0");
    EXPECT_TRUE(asked_from_127002());
    listener.follow(other, "127.1");  // refused: the endpoint stops and says why
    EXPECT_FALSE(listener.isStarted());
    listener.follow(other);
    EXPECT_EQ(listener.address(), "127.0.0.1");
    EXPECT_FALSE(asked_from_127002());
    listener.follow(0);
    EXPECT_FALSE(listener.isStarted());
}

}  // namespace
