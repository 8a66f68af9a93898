// qk_relay_srvsvc as an operator runs it: in a temporary install tree with a short pass
// period, receiving from qk_relay_cln, following changes of its configuration file and
// records applied through the control port, telling its health while its backup directory
// takes nothing, and stopping on SIGTERM; as a daemon with a pid file.
#include <gtest/gtest.h>
#include <signal.h>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "CtrlPeer.h"
#include "Immutable.h"
#include "ProgramRunner.h"
#include "RawClient.h"
#include "protocol/qk_protocol.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPlainStarted = "TCP Server has been started. port: ";
constexpr const char* kPlainStopped = "TCP Server has been stopped.";
constexpr const char* kSslStarted = "TCP (SSL) Server has been started. port: ";
constexpr const char* kSslStopped = "TCP (SSL) Server has been stopped.";
constexpr const char* kCtrlStarted = "TCP Control Server has been started. port: ";
constexpr const char* kCtrlStopped = "TCP Control Server has been stopped.";
constexpr const char* kPassEnd = "CQKSrvSControl ------------------------ <<";

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// "<status> <body>" of GET /health; "0 " without an answer.
std::string health(std::uint16_t port) {
    int status = 0;
    std::string body;
    try {
        Poco::Net::HTTPClientSession session("127.0.0.1", port);
        session.setTimeout(Poco::Timespan(30, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/health",
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& in = session.receiveResponse(response);
        status = response.getStatus();
        Poco::StreamCopier::copyToString(in, body);
    } catch (const Poco::Exception&) {
    }
    return std::to_string(status) + " " + body;
}

class E2eServerService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_runner.run("qk_relay_keys", {}).exit_code, 0);
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(6);
        m_port = ports[0];
        m_ssl_port = ports[1];
        m_ctrl_port = ports[2];
        m_spare = {ports[3], ports[4]};
        m_metrics_port = ports[5];
        writeConfig("1", m_port, m_ssl_port);
    }

    void writeConfig(const std::string& control_code, std::uint16_t port, std::uint16_t ssl_port,
                     const std::string& in_dir = "") {
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_srvsvc.xml"),
            "<config><control_code>" + control_code + "</control_code><in_dir>" +
                (in_dir.empty() ? in() : in_dir) + "</in_dir><back_dir>" +
                m_runner.scratch("back") + "</back_dir><port>" + std::to_string(port) +
                "</port><ssl_port>" + std::to_string(ssl_port) + "</ssl_port><control_port>" +
                std::to_string(m_ctrl_port) + "</control_port><metrics_port>" +
                std::to_string(m_metrics_port) + "</metrics_port>" + m_file_port_keys +
                "</config>");
    }

    std::unique_ptr<RunningProgram> start(const std::vector<std::string>& args = {}) {
        return m_runner.start("qk_relay_srvsvc", args, {{"QK_RELAY_PASS_MS", "200"}});
    }

    std::string log() const {
        return ProgramRunner::readFile(
                   m_runner.path("var/log/orvane/qk_relay_srvsvc/qk_relay_srvsvc.000.log"))
            .value_or("");
    }
    bool logCountReaches(const std::string& text, std::size_t count) const {
        return ProgramRunner::waitUntil([&] { return count_of(log(), text) >= count; }, 10s);
    }

    std::string in() const { return m_runner.scratch("in"); }
    bool healthReaches(const std::string& answer) const {
        return ProgramRunner::waitUntil(
            [&] { return health(m_metrics_port).rfind(answer, 0) == 0; }, 10s);
    }

    // Sends what the outgoing tree holds with qk_relay_cln.
    ProgramResult send(std::uint16_t port, bool tls) {
        std::vector<std::string> args = {"--send_files", "--out_dir=" + m_runner.scratch("out"),
                                         "--sub_dirs", "--server_address=127.0.0.1",
                                         "--server_port=" + std::to_string(port)};
        if (tls)
            args.push_back("--use_ssl");
        return m_runner.run("qk_relay_cln", args, {{"QK_RELAY_DIR_GRACE_MS", "0"}});
    }
    // Sends one file with qk_relay_cln and says whether it arrived and left the sender.
    void expectDelivered(const std::string& name, std::uint16_t port, bool tls) {
        const std::string out = m_runner.scratch("out");
        ProgramRunner::writeFile(out + "/sub/" + name, "content of " + name);
        const ProgramResult sent = send(port, tls);
        EXPECT_EQ(sent.exit_code, 0) << sent.output();
        EXPECT_EQ(ProgramRunner::readFile(in() + "/sub/" + name), "content of " + name);
        EXPECT_TRUE(fs::is_empty(out));
    }

    // An apply of the control program, signed with key_fpath (the control program's own
    // key when empty).
    int apply(std::uint16_t ssl_port, const std::string& key_fpath = "", int port = -1) {
        CtrlPeer::Bytes record(CtrlPeer::Srv::kSize, 0);
        CtrlPeer::putString(record, CtrlPeer::Srv::kInDir, in());
        CtrlPeer::putString(record, CtrlPeer::Srv::kBackDir, m_runner.scratch("back"));
        CtrlPeer::putInt(record, CtrlPeer::Srv::kPort, port < 0 ? m_port : port);
        CtrlPeer::putInt(record, CtrlPeer::Srv::kSslPort, ssl_port);
        CtrlPeer::sign(record, m_runner.path("share/orvane/common/keys/gui.zx.orvane.cert"),
                       key_fpath.empty()
                           ? m_runner.path("share/orvane/qk_relay_w/keys/gui.zx.orvane.key")
                           : key_fpath);
        return CtrlPeer(m_ctrl_port).apply(record);
    }
    // A directory the check cannot create: its parent is a regular file.
    std::string uncreatableDir() {
        ProgramRunner::writeFile(m_runner.scratch("blocker"), "a file");
        return m_runner.scratch("blocker") + "/in";
    }

    void stop(RunningProgram& service) {
        service.signal(SIGTERM);
        const std::optional<int> code = service.waitForExit(20s);
        ASSERT_TRUE(code.has_value()) << "the service ignores SIGTERM";
        EXPECT_EQ(*code, 0) << service.out() << service.err();
        EXPECT_NE(log().find("Finish of Logging..."), std::string::npos);
    }

    ProgramRunner m_runner;
    std::string m_file_port_keys;  // of who may use the file ports, written with the others
    std::uint16_t m_port = 0, m_ssl_port = 0, m_ctrl_port = 0, m_metrics_port = 0;
    std::vector<std::uint16_t> m_spare;
};

TEST_F(E2eServerService, ReceivesAndRestartsOnlyWhatChanged) {
    std::unique_ptr<RunningProgram> service = start();
    // The control listener starts first, so that the operator can mend whatever keeps the
    // file listeners down.
    ASSERT_TRUE(logCountReaches(kCtrlStarted, 1)) << service->out() << log();
    for (std::uint16_t port : {m_port, m_ssl_port})
        ASSERT_TRUE(ProgramRunner::waitForPort(port, 10s)) << service->out() << log();
    const std::string first = log();
    EXPECT_LT(first.find(kCtrlStarted), first.find(kPlainStarted));
    EXPECT_LT(first.find(kPlainStarted), first.find(kSslStarted));
    expectDelivered("plain.txt", m_port, false);
    expectDelivered("tls.txt", m_ssl_port, true);

    // A new port in the file restarts the plain listener alone.
    const std::uint16_t old_port = m_port;
    m_port = m_spare[0];
    writeConfig("1", m_port, m_ssl_port);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << log();
    expectDelivered("moved.txt", m_port, false);
    EXPECT_FALSE(ProgramRunner::waitForPort(old_port, 300ms));
    EXPECT_EQ(count_of(log(), kSslStopped), 0u);

    // An apply that changes the TLS port restarts the TLS listener alone.
    EXPECT_EQ(apply(m_spare[1]), 0);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_spare[1], 10s)) << log();
    expectDelivered("tls-moved.txt", m_spare[1], true);
    EXPECT_EQ(count_of(log(), kPlainStopped), 1u);

    // A record with a foreign signature changes nothing and restarts no listener: a transfer
    // in flight on the plain listener goes on.
    RawClient in_flight(m_port);
    ASSERT_EQ(in_flight.readStatus(), QK_SEND_FILE_FOK);
    const std::string client_key =
        m_runner.path("share/orvane/qk_relay_cln/keys/cln.zx.orvane.key");
    EXPECT_NE(apply(m_ssl_port, client_key), 0);
    ASSERT_TRUE(logCountReaches("Signature is not valid.", 1)) << log();
    EXPECT_TRUE(logCountReaches(kPassEnd, count_of(log(), kPassEnd) + 2)) << log();
    EXPECT_EQ(in_flight.sendFile("in-flight.txt", "", "in flight"), QK_SEND_FILE_FOK) << log();
    in_flight.send(RawClient::finishedAllFrame());
    EXPECT_EQ(in_flight.readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(ProgramRunner::readFile(in() + "/in-flight.txt"), "in flight");
    EXPECT_EQ(count_of(log(), kPlainStopped), 1u);
    EXPECT_EQ(count_of(log(), kSslStopped), 1u);
    EXPECT_EQ(count_of(log(), kCtrlStopped), 0u);
    expectDelivered("after-refusal.txt", m_spare[1], true);

    // A configuration the check refuses is reported at every pass and leaves the listeners
    // running on the values in force; mended, nothing has to restart.
    writeConfig("3", m_port, m_spare[1]);
    const std::string refusal = "Unknown value of  'control_code'";
    EXPECT_TRUE(logCountReaches(refusal, 2)) << log();
    expectDelivered("while-refused.txt", m_port, false);
    const std::string bad_in = uncreatableDir();
    writeConfig("1", m_port, m_spare[1], bad_in);
    EXPECT_TRUE(logCountReaches(bad_in + " not exists...", 2)) << log();
    expectDelivered("while-in-dir-refused.txt", m_port, false);
    writeConfig("1", m_port, m_spare[1]);

    // Control port 0 stops the control listener; a port starts it again.
    const std::uint16_t ctrl_port = m_ctrl_port;
    const std::size_t ctrl_stops = count_of(log(), kCtrlStopped);
    m_ctrl_port = 0;
    writeConfig("1", m_port, m_spare[1]);
    EXPECT_TRUE(logCountReaches(kCtrlStopped, ctrl_stops + 1)) << log();
    EXPECT_FALSE(ProgramRunner::waitForPort(ctrl_port, 300ms));
    m_ctrl_port = ctrl_port;
    writeConfig("1", m_port, m_spare[1]);
    EXPECT_TRUE(ProgramRunner::waitForPort(m_ctrl_port, 10s)) << log();

    stop(*service);
    EXPECT_EQ(count_of(log(), kSslStopped), 2u);
}

// The plain listener bound to 127.0.0.1 is out of reach at any other address, switched off it
// leaves the TLS listener alone, and with allowed networks it closes other peers before any
// byte: each change of the file takes force at the next pass, by a restart of that listener.
TEST_F(E2eServerService, FollowsTheKeysOfWhoMayUseThePlainPort) {
    const auto connects = [this](const std::string& host) {
        try {
            Poco::Net::StreamSocket socket;
            socket.connect(Poco::Net::SocketAddress(host, m_port), Poco::Timespan(5, 0));
            return true;
        } catch (const Poco::Exception&) {
            return false;
        }
    };
    const std::string open_warning = "The plain listener on ";
    m_file_port_keys = "<address>127.0.0.1</address>";
    writeConfig("1", m_port, m_ssl_port);
    std::unique_ptr<RunningProgram> service = start();
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s) &&
                ProgramRunner::waitForPort(m_ssl_port, 10s))
        << log();
    EXPECT_EQ(RawClient(m_port).readStatus(), QK_SEND_FILE_FOK);
    EXPECT_FALSE(connects("127.0.0.2"));
    EXPECT_EQ(count_of(log(), open_warning), 0u);

    m_file_port_keys = "<address>off</address>";
    writeConfig("1", m_port, m_ssl_port);
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return !connects("127.0.0.1"); }, 10s)) << log();
    EXPECT_TRUE(logCountReaches(kPassEnd, count_of(log(), kPassEnd) + 2));
    EXPECT_FALSE(connects("127.0.0.1"));
    EXPECT_TRUE(healthReaches("200 ok")) << health(m_metrics_port);
    expectDelivered("tls-alone.txt", m_ssl_port, true);
    EXPECT_EQ(count_of(log(), kSslStopped), 0u);

    m_file_port_keys = "<allowed_networks>127.0.0.2</allowed_networks>";
    writeConfig("1", m_port, m_ssl_port);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << log();
    EXPECT_TRUE(logCountReaches(open_warning + "0.0.0.0:" + std::to_string(m_port) +
                                    " accepts files from anyone in the allowed networks "
                                    "(127.0.0.2/32)",
                                1))
        << log();
    EXPECT_TRUE(RawClient(m_port).readBytes(1, Poco::Timespan(10, 0)).empty());
    EXPECT_EQ(RawClient(m_port, "127.0.0.2").readStatus(), QK_SEND_FILE_FOK);
    stop(*service);
}

// A file whose incoming directory cannot be made keeps the file listeners down but not the
// control listener, through which the operator mends it; applied values the check refuses
// are refused and change neither the service nor its file.
TEST_F(E2eServerService, StaysMendableThroughTheControlPort) {
    const std::string file = m_runner.path("share/orvane/common/qk_relay_srvsvc.xml");
    writeConfig("1", m_port, m_ssl_port, uncreatableDir());
    const std::string written = ProgramRunner::readFile(file).value_or("");
    std::unique_ptr<RunningProgram> service = start();
    ASSERT_TRUE(logCountReaches(kCtrlStarted, 1)) << service->out() << log();
    EXPECT_EQ(count_of(log(), kPlainStarted), 0u);

    for (int port : {0, 70000, static_cast<int>(m_ctrl_port), static_cast<int>(m_ssl_port)})
        EXPECT_EQ(apply(m_ssl_port, "", port), QK_SEND_FILE_FERROR) << port;
    EXPECT_EQ(ProgramRunner::readFile(file), written);

    EXPECT_EQ(apply(m_ssl_port), QK_SEND_FILE_FOK) << log();
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << log();
    expectDelivered("mended.txt", m_port, false);
    stop(*service);
}

// A backup directory the receiver cannot write refuses every file that replaces one: /health
// says so (503) until it is mended, and the log says the change once each way. A refused
// backup is one ERROR naming the file, never announced as a backup made.
TEST_F(E2eServerService, HealthIs503WhileTheBackupDirectoryTakesNoFile) {
    const std::string back = m_runner.scratch("back");
    std::unique_ptr<RunningProgram> service = start();
    ASSERT_TRUE(healthReaches("200 ok")) << health(m_metrics_port) << log();
    expectDelivered("x.txt", m_port, false);

    Immutable frozen(back);
    if (!frozen.set())
        GTEST_SKIP() << "no immutable directories here";
    EXPECT_TRUE(healthReaches("503 backup directory not writable: cannot create a file in " + back +
                              ": Operation not permitted"))
        << health(m_metrics_port);
    ProgramRunner::writeFile(m_runner.scratch("out") + "/sub/x.txt", "second");
    EXPECT_EQ(send(m_port, false).exit_code, 65);  // refused by the receiver
    EXPECT_EQ(ProgramRunner::readFile(in() + "/sub/x.txt"), "content of x.txt");
    const std::string refused = "Backup of " + in() + "/sub/x.txt into " + back + " failed";
    EXPECT_TRUE(logCountReaches(refused, 1)) << log();
    EXPECT_NE(log().find("ERROR (CQKSrvSConnection::run()) Exception: ClassName = "
                         "Poco::WriteFileException Message = Cannot write file: " +
                         refused),
              std::string::npos)
        << log();
    EXPECT_EQ(count_of(log(), "Backup file: "), 0u) << log();

    frozen.release();
    EXPECT_TRUE(healthReaches("200 ok")) << health(m_metrics_port);
    EXPECT_EQ(send(m_port, false).exit_code, 0);
    EXPECT_EQ(ProgramRunner::readFile(in() + "/sub/x.txt"), "second");
    EXPECT_EQ(ProgramRunner::readFile(back + "/sub/x.txt"), "content of x.txt");
    const std::string text = log();
    EXPECT_EQ(count_of(text, "Backup directory " + back + " does not take files (health: 503)"), 1u)
        << text;
    EXPECT_EQ(count_of(text, "Backup directory " + back + " takes files again"), 1u) << text;
    EXPECT_EQ(count_of(text, refused), 1u) << text;
    stop(*service);
    // The service's console (a file here, as the journal under systemd) has the warning but no
    // single file.
    EXPECT_NE(service->err().find("WARN Backup directory " + back + " does not take files"),
              std::string::npos)
        << service->err();
    EXPECT_EQ(service->out().find("x.txt. CheckSum == Received CheckSum"), std::string::npos)
        << service->out();
}

// The service's connections speak as the console's do, under their own names and texts.
TEST_F(E2eServerService, RefusesBytesAfterTheLastFrameWithItsOwnText) {
    std::unique_ptr<RunningProgram> service = start();
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << log();
    RawClient client(m_port);
    ASSERT_EQ(client.readStatus(), QK_SEND_FILE_FOK);
    std::vector<std::uint8_t> frame = RawClient::finishedAllFrame();
    frame.push_back('x');
    client.send(frame);
    EXPECT_EQ(client.readStatus(), QK_SEND_FILE_FERROR);
    EXPECT_TRUE(
        logCountReaches("Error of data, received from Client (QK_SEND_FILE_FFINISHED_ALL)", 1))
        << log();
    EXPECT_NE(log().find("(CQKSrvSConnection::run())"), std::string::npos);
    stop(*service);
}

TEST_F(E2eServerService, RunsAsADaemonWithAPidFileAndRefusesASecondInstance) {
    const std::string pid_file = m_runner.scratch("srvsvc.pid");
    const ProgramResult daemon = m_runner.run(
        "qk_relay_srvsvc", {"--daemon", "--pidfile=" + pid_file}, {{"QK_RELAY_PASS_MS", "200"}});
    ASSERT_EQ(daemon.exit_code, 0) << daemon.output();
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << log();
    const std::optional<std::string> pid_text = ProgramRunner::readFile(pid_file);
    ASSERT_TRUE(pid_text.has_value());
    const pid_t pid = std::stoi(*pid_text);

    const ProgramResult second = m_runner.run("qk_relay_srvsvc", {});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.output().find("Instance of this application has been launched already..."),
              std::string::npos)
        << second.output();
    expectDelivered("to-daemon.txt", m_ssl_port, true);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return ::kill(pid, 0) != 0; }, 20s));
    EXPECT_FALSE(fs::exists(pid_file));
    EXPECT_NE(log().find("Finish of Logging..."), std::string::npos);
}

}  // namespace
