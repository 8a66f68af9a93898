// The services' metrics endpoints as an operator scrapes them: both services in a temporary
// install tree, a file dropped into the client's outgoing tree counted as sent and received,
// a file the receiver refuses counted on both sides with its reason, the client's health
// following its scanner, a taken metrics port that stops no transfer, the endpoint's address,
// and a delivered file the client may not remove counted once and delivered once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketImpl.h>
#include <Poco/StreamCopier.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Immutable.h"
#include "ProgramRunner.h"
#include "RawClient.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Answer {
    int status = 0;  // 0: no answer
    std::string body;
};

Answer get(std::uint16_t port, const std::string& path) {
    Answer answer;
    try {
        Poco::Net::HTTPClientSession session("127.0.0.1", port);
        session.setTimeout(Poco::Timespan(30, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path,
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& in = session.receiveResponse(response);
        answer.status = response.getStatus();
        Poco::StreamCopier::copyToString(in, answer.body);
    } catch (const Poco::Exception&) {
    }
    return answer;
}

// The value of a counter or gauge in a scrape; -1 when it is not there.
double value_of(const std::string& scrape, const std::string& name) {
    const std::size_t at = scrape.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atof(scrape.c_str() + at + name.size() + 2);
}

class E2eMetrics : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_runner.run("qk_relay_keys", {}).exit_code, 0);
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(6);
        m_ssl_port = ports[0];
        m_srv_metrics = ports[4];
        m_cln_metrics = ports[5];
        m_port = ports[1];
        m_srv_ctrl_port = ports[2];
        fs::create_directories(out());
        writeServerConfig("");
        m_cln_ctrl_port = ports[3];
        writeClientConfig("1");
    }

    // extra: further keys, e.g. "<metrics_address>0.0.0.0</metrics_address>".
    void writeServerConfig(const std::string& extra) {
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_srvsvc.xml"),
            "<config><control_code>1</control_code><in_dir>" + in() +
                "</in_dir><back_dir></back_dir><port>" + std::to_string(m_port) +
                "</port><ssl_port>" + std::to_string(m_ssl_port) + "</ssl_port><control_port>" +
                std::to_string(m_srv_ctrl_port) + "</control_port><metrics_port>" +
                std::to_string(m_srv_metrics) + "</metrics_port>" + extra + "</config>");
    }

    void writeClientConfig(const std::string& control_code) {
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_clnsvc.xml"),
            "<config><control_code>" + control_code +
                "</control_code><op_code>1</op_code><out_dir>" + out() +
                "</out_dir><back_dir></back_dir><file></file><server_address>127.0.0.1"
                "</server_address><server_port>" +
                std::to_string(m_ssl_port) +
                "</server_port><use_ssl>true</use_ssl><sub_dirs>true</sub_dirs><scan_time>1000"
                "</scan_time><control_port>" +
                std::to_string(m_cln_ctrl_port) + "</control_port><metrics_port>" +
                std::to_string(m_cln_metrics) + "</metrics_port></config>");
    }

    std::unique_ptr<RunningProgram> start(const std::string& program) {
        return m_runner.start(program, {}, {{"QK_RELAY_PASS_MS", "200"}});
    }
    static bool answers(std::uint16_t port, const std::string& path, int status,
                        const std::string& text) {
        return ProgramRunner::waitUntil(
            [&] {
                const Answer answer = get(port, path);
                return answer.status == status && answer.body.find(text) != std::string::npos;
            },
            15s);
    }
    static void stop(RunningProgram& program) {
        program.signal(SIGTERM);
        const std::optional<int> code = program.waitForExit(20s);
        ASSERT_TRUE(code.has_value()) << "ignores SIGTERM";
        EXPECT_EQ(*code, 0) << program.out() << program.err();
    }
    std::string clientLog() const {
        return ProgramRunner::readFile(
                   m_runner.path("var/log/orvane/qk_relay_clnsvc/qk_relay_clnsvc.000.log"))
            .value_or("");
    }
    std::string in() const { return m_runner.scratch("in"); }
    std::string out() const { return m_runner.scratch("out"); }

    std::string serverLog() const {
        return ProgramRunner::readFile(
                   m_runner.path("var/log/orvane/qk_relay_srvsvc/qk_relay_srvsvc.000.log"))
            .value_or("");
    }

    ProgramRunner m_runner;
    std::uint16_t m_port = 0, m_ssl_port = 0, m_srv_ctrl_port = 0, m_cln_ctrl_port = 0,
                  m_srv_metrics = 0, m_cln_metrics = 0;
};

TEST_F(E2eMetrics, BothServicesCountWhatTheyDeliverAndRefuseAndReportTheirHealth) {
    auto server = start("qk_relay_srvsvc");
    EXPECT_TRUE(answers(m_srv_metrics, "/health", 200, "ok")) << server->out();
    auto client = start("qk_relay_clnsvc");
    EXPECT_TRUE(answers(m_cln_metrics, "/health", 200, "ok")) << client->out();

    ProgramRunner::writeFile(out() + "/a/hello.txt", "hello");
    EXPECT_TRUE(answers(m_srv_metrics, "/metrics", 200, "\nqk_relay_received_files_total 1\n"));
    EXPECT_NE(get(m_srv_metrics, "/metrics").body.find("\nqk_relay_received_bytes_total 5\n"),
              std::string::npos);
    EXPECT_TRUE(answers(m_cln_metrics, "/metrics", 200, "\nqk_relay_sent_files_total 1\n"));
    // The file went with files in flight: none is left in flight once it is acknowledged,
    // and the connection's round trip has been measured.
    const std::string sent = get(m_cln_metrics, "/metrics").body;
    EXPECT_EQ(value_of(sent, "qk_relay_sender_files_in_flight"), 0);
    EXPECT_GT(value_of(sent, "qk_relay_sender_round_trip_seconds"), 0);

    // A directory at the receiver where the file would go: refused for its name, and the
    // file stays in the outgoing tree.
    ProgramRunner::writeFile(in() + "/blocked/inside.txt", "");
    ProgramRunner::writeFile(out() + "/blocked", "stays");
    EXPECT_TRUE(answers(m_srv_metrics, "/metrics", 200,
                        "qk_relay_receiver_refused_files_total{reason=\"name\"} 1\n"));
    EXPECT_TRUE(
        answers(m_cln_metrics, "/metrics", 200, "\nqk_relay_sender_refused_files_total 1\n"));
    EXPECT_TRUE(answers(m_cln_metrics, "/metrics", 200, "\nqk_relay_backlog_files 1\n"));
    EXPECT_TRUE(fs::exists(out() + "/blocked"));

    writeClientConfig("2");
    EXPECT_TRUE(answers(m_cln_metrics, "/health", 503, "scanner stopped: control_code 2"));
    stop(*client);
    stop(*server);
}

// The port is taken when the service starts: the listeners receive all the same, and the
// endpoint comes up at a pass once the port is free.
TEST_F(E2eMetrics, ATakenMetricsPortStopsNoTransfer) {
    auto taken = std::make_unique<Poco::Net::ServerSocket>(
        Poco::Net::SocketAddress("127.0.0.1", m_srv_metrics));
    // Not inherited by the service, which would otherwise hold the port itself.
    ::fcntl(taken->impl()->sockfd(), F_SETFD, FD_CLOEXEC);
    auto server = start("qk_relay_srvsvc");
    ASSERT_TRUE(ProgramRunner::waitForPort(m_ssl_port, 10s)) << server->out();
    ProgramRunner::writeFile(out() + "/x.txt", "x");
    const ProgramResult sent = m_runner.run(
        "qk_relay_cln", {"--send_files", "--out_dir=" + out(), "--server_address=127.0.0.1",
                         "--server_port=" + std::to_string(m_ssl_port), "--use_ssl"});
    EXPECT_EQ(sent.exit_code, 0) << sent.output();
    EXPECT_EQ(ProgramRunner::readFile(in() + "/x.txt"), "x");
    const std::string log =
        ProgramRunner::readFile(
            m_runner.path("var/log/orvane/qk_relay_srvsvc/qk_relay_srvsvc.000.log"))
            .value_or("");
    EXPECT_NE(
        log.find("Metrics endpoint not started on 127.0.0.1:" + std::to_string(m_srv_metrics)),
        std::string::npos);

    taken.reset();
    EXPECT_TRUE(answers(m_srv_metrics, "/health", 200, "ok"));
    stop(*server);
}

// The first line of the answer to GET /health asked from 127.0.0.2; "" when the endpoint
// closes the connection without a byte.
std::string status_line_for_127002(std::uint16_t port) {
    try {
        RawClient peer(port, "127.0.0.2");
        peer.send(std::string("GET /health HTTP/1.1\r\n\r\n"));
        const std::vector<std::uint8_t> bytes = peer.readBytes(15);
        return std::string(bytes.begin(), bytes.end());
    } catch (const Poco::Exception&) {
        return "";
    }
}

// metrics_address: 0.0.0.0 serves a peer at another address than 127.0.0.1; a value that is
// no literal IPv4 address is refused with the file and never in force; going back to the
// default applies within a pass. A stop ends the service at once, whatever idle peers hold
// on its metrics and control ports.
TEST_F(E2eMetrics, TheMetricsAddressIsCheckedAndFollowed) {
    writeServerConfig("<metrics_address>0.0.0.0</metrics_address>");
    auto server = start("qk_relay_srvsvc");
    EXPECT_TRUE(answers(m_srv_metrics, "/health", 200, "ok")) << server->out();
    EXPECT_EQ(status_line_for_127002(m_srv_metrics), "HTTP/1.1 200 OK");

    writeServerConfig("<metrics_address>localhost</metrics_address>");
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] {
            return serverLog().find("Wrong value of metrics address: localhost") !=
                   std::string::npos;
        },
        10s));
    EXPECT_EQ(status_line_for_127002(m_srv_metrics), "HTTP/1.1 200 OK");

    writeServerConfig("");
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] { return status_line_for_127002(m_srv_metrics).empty(); }, 10s));
    EXPECT_TRUE(answers(m_srv_metrics, "/health", 200, "ok"));
    EXPECT_EQ(status_line_for_127002(m_srv_metrics), "");

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<RawClient>(m_srv_metrics));
    idle.push_back(std::make_unique<RawClient>(m_srv_ctrl_port));
    ASSERT_EQ(idle.back()->readStatus(), 0x00);  // greeted; the request never comes
    idle.push_back(std::make_unique<RawClient>(m_port));
    const auto begin = std::chrono::steady_clock::now();
    stop(*server);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

// Two files and one the client service may not remove: each arrives once, the two leave the
// outgoing tree, the third stays and is said and counted once, and the scans after it send it
// no more. Its new version is delivered (and removed) as any file.
TEST_F(E2eMetrics, AFileTheClientCannotRemoveIsDeliveredOnceAndCountedOnce) {
    ProgramRunner::writeFile(out() + "/held.txt", "v1");
    Immutable held(out() + "/held.txt");
    if (!held.set())
        GTEST_SKIP() << "no immutable files here";
    ProgramRunner::writeFile(out() + "/a.txt", "a");
    ProgramRunner::writeFile(out() + "/sub/b.txt", "b");
    auto server = start("qk_relay_srvsvc");
    EXPECT_TRUE(answers(m_srv_metrics, "/health", 200, "ok")) << server->out();
    auto client = start("qk_relay_clnsvc");

    EXPECT_TRUE(
        answers(m_cln_metrics, "/metrics", 200, "\nqk_relay_sender_unremovable_files_total 1\n"))
        << clientLog();
    const double scans = value_of(get(m_cln_metrics, "/metrics").body, "qk_relay_scans_total");
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] {
            return value_of(get(m_cln_metrics, "/metrics").body, "qk_relay_scans_total") >=
                   scans + 3;
        },
        15s));
    const std::string scrape = get(m_cln_metrics, "/metrics").body;
    EXPECT_NE(scrape.find("# HELP qk_relay_sender_unremovable_files_total Files delivered that "
                          "could not be removed"),
              std::string::npos)
        << scrape;
    EXPECT_EQ(value_of(scrape, "qk_relay_sender_unremovable_files_total"), 1);
    EXPECT_EQ(value_of(scrape, "qk_relay_sent_files_total"), 3);
    EXPECT_EQ(value_of(get(m_srv_metrics, "/metrics").body, "qk_relay_received_files_total"), 3);
    EXPECT_EQ(ProgramRunner::readFile(in() + "/held.txt"), "v1");
    EXPECT_EQ(ProgramRunner::readFile(in() + "/sub/b.txt"), "b");
    EXPECT_FALSE(fs::exists(out() + "/a.txt"));
    EXPECT_FALSE(fs::exists(out() + "/sub/b.txt"));
    EXPECT_TRUE(fs::exists(out() + "/held.txt"));
    const std::string log = clientLog();
    std::size_t said = 0;
    for (std::size_t at = log.find("held.txt delivered but cannot be removed: Operation not "
                                   "permitted (the file or its directory is immutable");
         at != std::string::npos; at = log.find("held.txt delivered but cannot be removed", at + 1))
        ++said;
    EXPECT_EQ(said, 1u) << log;

    held.release();
    ProgramRunner::writeFile(out() + "/held.txt", "v2");
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] {
            return ProgramRunner::readFile(in() + "/held.txt") == "v2" &&
                   !fs::exists(out() + "/held.txt");
        },
        15s))
        << clientLog();
    EXPECT_EQ(value_of(get(m_srv_metrics, "/metrics").body, "qk_relay_received_files_total"), 4);
    stop(*client);
    stop(*server);
}

}  // namespace
