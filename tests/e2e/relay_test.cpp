// qk_relay_cln sending to a running qk_relay_srv, plain and in TLS, with the keys that
// qk_relay_keys made; what two runs may not share; the server's stop by signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CQKTcpSrv.h"
#include "Eventually.h"
#include "FakeReceiver.h"
#include "ProgramRunner.h"
#include "base/CQKInstanceLock.h"
#include "config/SQKSrvParams.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKNameLock.h"
#include "transfer/qk_tls.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kExitMainFailed = 74;
constexpr int kExitRefused = 65;
// Stopping waits for running connections; an idle one notices the stop within a fraction
// of a second, so a few seconds leave ample room on a loaded machine.
constexpr auto kStopDeadline = 10s;

std::string random_bytes(std::size_t size) {
    std::mt19937 engine(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(byte(engine));
    return bytes;
}

class E2eRelayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Poco::Net::initializeSSL(); }
    static void TearDownTestSuite() { Poco::Net::uninitializeSSL(); }

    void SetUp() override {
        const ProgramResult keys = m_runner.run("qk_relay_keys", {});
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_port = ports[0];
        m_ssl_port = ports[1];
    }

    // Starts the server on m_port and m_ssl_port and waits until both accept.
    std::unique_ptr<RunningProgram> startServer(const std::vector<std::string>& dirs) {
        std::vector<std::string> args = {"--start_server", "--port=" + std::to_string(m_port),
                                         "--ssl_port=" + std::to_string(m_ssl_port)};
        args.insert(args.end(), dirs.begin(), dirs.end());
        std::unique_ptr<RunningProgram> server = m_runner.start("qk_relay_srv", args);
        const bool ready =
            ProgramRunner::waitForPort(m_port, 10s) && ProgramRunner::waitForPort(m_ssl_port, 10s);
        EXPECT_TRUE(ready) << "the server does not listen:\n" << server->out() << server->err();
        return server;
    }

    ProgramResult send(const std::string& out_dir, const std::string& back_dir, bool tls,
                       std::uint16_t port, const std::vector<std::string>& extra = {}) {
        // By name: the receiver is found through the resolver, and TLS still checks the
        // server's certificate name.
        std::vector<std::string> args = {"--send_files", "--out_dir=" + out_dir, "--sub_dirs",
                                         "--server_address=localhost",
                                         "--server_port=" + std::to_string(port)};
        if (!back_dir.empty())
            args.push_back("--back_dir=" + back_dir);
        if (tls)
            args.push_back("--use_ssl");
        args.insert(args.end(), extra.begin(), extra.end());
        // The trees are made just before: their directories may go at once.
        return m_runner.run("qk_relay_cln", args, {{"QK_RELAY_DIR_GRACE_MS", "0"}});
    }

    // Sends SIGINT or SIGTERM and expects a clean end in time.
    static void stop(RunningProgram& server, int signo) {
        server.signal(signo);
        const std::optional<int> code = server.waitForExit(kStopDeadline);
        ASSERT_TRUE(code.has_value()) << "the server ignores signal " << signo;
        EXPECT_EQ(*code, 0) << server.out() << server.err();
        EXPECT_NE(server.out().find("Server is stopped..."), std::string::npos) << server.out();
    }

    std::string serverLog() const {
        return ProgramRunner::readFile(
                   m_runner.path("var/log/orvane/qk_relay_srv/qk_relay_srv.000.log"))
            .value_or("");
    }

    ProgramRunner m_runner;
    std::uint16_t m_port = 0;
    std::uint16_t m_ssl_port = 0;
};

class E2eTransferTest : public E2eRelayTest, public ::testing::WithParamInterface<bool> {};

// A tree with sub-directories arrives byte for byte; the outgoing tree is emptied but kept;
// both sides keep backups: the client of what it sent, the server of what a later file of
// the same name replaced.
TEST_P(E2eTransferTest, DeliversATreeAndKeepsBackupsOnBothSides) {
    const bool tls = GetParam();
    const std::string out = m_runner.scratch("out");
    const std::string cln_back = m_runner.scratch("cln_back");
    // Missing with its parents: the server creates it.
    const std::string in = m_runner.scratch("srv/in/today");
    const std::string srv_back = m_runner.scratch("srv_back");
    const std::map<std::string, std::string> files = {
        {"a.txt", "first version\n"},
        {"empty.dat", ""},
        {"sub/b.bin", random_bytes(300 * 1024 + 17)},
        {"sub/with space.txt", "spaces in names\n"},
        {"sub/deeper/c.txt", "deep\n"},
    };
    for (const auto& [name, content] : files)
        ProgramRunner::writeFile(out + "/" + name, content);

    std::unique_ptr<RunningProgram> server =
        startServer({"--in_dir=" + in, "--back_dir=" + srv_back});
    ASSERT_FALSE(HasFatalFailure());

    const ProgramResult first = send(out, cln_back, tls, tls ? m_ssl_port : m_port);
    ASSERT_EQ(first.exit_code, 0) << first.output();
    for (const auto& [name, content] : files) {
        EXPECT_TRUE(ProgramRunner::readFile(in + "/" + name) == content) << "received " << name;
        EXPECT_TRUE(ProgramRunner::readFile(cln_back + "/" + name) == content) << "backup " << name;
    }
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(fs::is_empty(out)) << "files or sub-directories left in the outgoing tree";

    ProgramRunner::writeFile(out + "/a.txt", "second version\n");
    const ProgramResult second = send(out, cln_back, tls, tls ? m_ssl_port : m_port);
    ASSERT_EQ(second.exit_code, 0) << second.output();
    EXPECT_EQ(ProgramRunner::readFile(in + "/a.txt"), "second version\n");
    EXPECT_EQ(ProgramRunner::readFile(srv_back + "/a.txt"), "first version\n");
    EXPECT_EQ(ProgramRunner::readFile(cln_back + "/a.txt"), "second version\n");
    EXPECT_EQ(ProgramRunner::readFile(cln_back + "/a.txt.000.bak"), "first version\n");
    EXPECT_TRUE(fs::is_empty(out));

    stop(*server, SIGINT);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, E2eTransferTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

// Receivers of other trees on other ports run side by side; one that would share a port or
// the incoming tree of a running one is refused with the holder's process id, before it binds
// anything, and the first keeps receiving.
TEST_F(E2eRelayTest, ReceiversShareNoTreeAndNoPortButRunSideBySide) {
    const std::string in = m_runner.scratch("in");
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + in});
    ASSERT_FALSE(HasFatalFailure());

    const std::vector<std::uint16_t> other = ProgramRunner::freePorts(3);
    const auto receiver = [&](const std::string& dir, std::uint16_t port, std::uint16_t ssl_port) {
        return std::vector<std::string>{"--start_server", "--in_dir=" + m_runner.scratch(dir),
                                        "--port=" + std::to_string(port),
                                        "--ssl_port=" + std::to_string(ssl_port)};
    };
    std::unique_ptr<RunningProgram> beside =
        m_runner.start("qk_relay_srv", receiver("in2", other[0], other[1]));
    ASSERT_TRUE(ProgramRunner::waitForPort(other[1], 10s)) << beside->out() << beside->err();

    const std::string holder = " is in use by process " + std::to_string(server->pid());
    const auto expect_refused = [&](const std::vector<std::string>& args, const std::string& line) {
        const ProgramResult refused = m_runner.run("qk_relay_srv", args);
        EXPECT_EQ(refused.exit_code, kExitMainFailed) << refused.output();
        EXPECT_NE(
            refused.output().find("Instance of this application has been launched already..."),
            std::string::npos)
            << refused.output();
        EXPECT_NE(refused.output().find(line + holder), std::string::npos) << refused.output();
        EXPECT_EQ(refused.output().find("Server is started..."), std::string::npos);
    };
    expect_refused(receiver("in3", other[2], m_ssl_port), "The port " + std::to_string(m_ssl_port));
    expect_refused(receiver("in", other[2], ProgramRunner::freePorts(1)[0]),
                   "The incoming tree " + fs::canonical(in).string());

    ASSERT_TRUE(server->running());
    const std::string out = m_runner.scratch("out");
    ProgramRunner::writeFile(out + "/after.txt", "still there\n");
    const ProgramResult sent = send(out, "", true, m_ssl_port);
    EXPECT_EQ(sent.exit_code, 0) << sent.output();
    EXPECT_EQ(ProgramRunner::readFile(in + "/after.txt"), "still there\n");

    stop(*beside, SIGTERM);
    stop(*server, SIGTERM);
}

// Two clients on other trees deliver side by side; a third on the tree a running one sends
// is refused with its process id and leaves the files to it.
TEST_F(E2eRelayTest, ClientsOfOtherTreesRunSideBySideAndOneTreeHasOneSender) {
    const std::string in = m_runner.scratch("in");
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + in});
    ASSERT_FALSE(HasFatalFailure());

    // At 1 KiB/s the slow run holds its tree for minutes, until it is stopped.
    const std::string slow_out = m_runner.scratch("slow");
    ProgramRunner::writeFile(slow_out + "/big.bin", random_bytes(256 * 1024));
    std::unique_ptr<RunningProgram> slow = m_runner.start(
        "qk_relay_cln", {"--send_files", "--out_dir=" + slow_out, "--server_address=127.0.0.1",
                         "--server_port=" + std::to_string(m_port), "--bwlimit=1K"});
    const std::string lock = CQKInstanceLock::lockDirectory(::geteuid()) +
                             CQKInstanceLock::pathLockName("qk_relay_cln", slow_out) + ".lock";
    ASSERT_TRUE(ProgramRunner::waitUntil(
        [&] {
            return ProgramRunner::readFile(lock).value_or("").rfind(
                       std::to_string(slow->pid()) + "\n", 0) == 0;
        },
        10s))
        << slow->out() << slow->err();

    const std::string out = m_runner.scratch("out");
    ProgramRunner::writeFile(out + "/a.txt", "a\n");
    const ProgramResult beside = send(out, "", false, m_port);
    EXPECT_EQ(beside.exit_code, 0) << beside.output();
    EXPECT_EQ(ProgramRunner::readFile(in + "/a.txt"), "a\n");

    const ProgramResult refused = send(slow_out + "/.", "", false, m_port);
    EXPECT_EQ(refused.exit_code, kExitMainFailed) << refused.output();
    EXPECT_NE(refused.output().find("Instance of this application has been launched already..."),
              std::string::npos);
    EXPECT_NE(refused.output().find("The outgoing tree " + fs::canonical(slow_out).string() +
                                    " is in use by process " + std::to_string(slow->pid()) +
                                    " (lock " + lock + ")"),
              std::string::npos)
        << refused.output();
    EXPECT_TRUE(fs::exists(slow_out + "/big.bin"));

    slow->signal(SIGTERM);
    EXPECT_TRUE(slow->waitForExit(kStopDeadline).has_value());
    stop(*server, SIGTERM);
}

// A metrics endpoint that cannot start (its port taken, an address the machine does not
// have) ends the start-up with one error before the server says it started.
TEST_F(E2eRelayTest, AMetricsEndpointThatCannotStartEndsTheStartUp) {
    Poco::Net::ServerSocket taken(Poco::Net::SocketAddress("127.0.0.1", 0));
    ::fcntl(taken.impl()->sockfd(), F_SETFD, FD_CLOEXEC);  // not inherited by the server
    const std::string port = std::to_string(taken.address().port());
    for (const auto& [address, at] : std::map<std::string, std::string>{
             {"127.0.0.1", "127.0.0.1:" + port}, {"192.0.2.1", "192.0.2.1:" + port}}) {
        const ProgramResult refused = m_runner.run(
            "qk_relay_srv",
            {"--start_server", "--in_dir=" + m_runner.scratch("in"),
             "--port=" + std::to_string(m_port), "--ssl_port=" + std::to_string(m_ssl_port),
             "--metrics_port=" + port, "--metrics_address=" + address});
        EXPECT_EQ(refused.exit_code, kExitMainFailed) << refused.output();
        EXPECT_NE(refused.output().find("Metrics endpoint not started on " + at), std::string::npos)
            << refused.output();
        EXPECT_EQ(refused.output().find("Server is started..."), std::string::npos)
            << refused.output();
    }
}

// A receiver killed while a client is connected leaves that connection in TIME_WAIT on its
// own port; started again at once, it must bind the same ports and receive. A listener of
// this process on a port the new server holds is still refused.
TEST_F(E2eRelayTest, RestartsOnTheSamePortsRightAfterAKill) {
    const std::string in = m_runner.scratch("in");
    const std::string out = m_runner.scratch("out");
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + in});
    ASSERT_FALSE(HasFatalFailure());
    ProgramRunner::writeFile(out + "/before.txt", "before\n");
    ASSERT_EQ(send(out, "", false, m_port).exit_code, 0);

    Poco::Net::StreamSocket connected(Poco::Net::SocketAddress("127.0.0.1", m_port));
    connected.setReceiveTimeout(Poco::Timespan(30, 0));
    std::uint8_t greeting = 0xFF;
    ASSERT_EQ(connected.receiveBytes(&greeting, 1), 1);
    server->signal(SIGKILL);
    ASSERT_TRUE(server->waitForExit(kStopDeadline).has_value());
    connected.close();

    server = startServer({"--in_dir=" + in});
    ASSERT_FALSE(HasFatalFailure());
    ProgramRunner::writeFile(out + "/after.txt", "after\n");
    const ProgramResult sent = send(out, "", true, m_ssl_port);
    EXPECT_EQ(sent.exit_code, 0) << sent.output();
    EXPECT_EQ(ProgramRunner::readFile(in + "/after.txt"), "after\n");

    SQKSrvParams params;
    params.m_in_dir = in;
    params.m_port = m_port;
    CQKTcpSrv second;
    second.setParams(params);
    EXPECT_THROW(second.start(), Poco::Net::NetException);

    stop(*server, SIGTERM);
}

// What a script learns from a run: its exit code tells a receiver never reached, files left
// after it was reached and files refused apart, and the JSON summary counts them.
TEST_F(E2eRelayTest, TheExitCodeAndTheSummaryTellTheOutcomeOfARun) {
    using Event = FakeReceiver::Event;
    using Step = FakeReceiver::Step;
    using Script = FakeReceiver::Script;
    const Script refuse_first_cut_next = [](const Event& event) {
        if (event.step == Step::Finished && event.count == 0)
            return FakeReceiver::status(QK_SEND_FILE_FERROR);
        if (event.step == Step::Header && event.count > 0)
            return FakeReceiver::close();
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    };
    struct Case {
        const char* what;
        std::optional<Script> script;  // none: nothing listens
        int files;
        int exit_code;
        int sent, refused, left;
        bool reached;
    };
    const Case cases[] = {
        {"all delivered", Script([](const Event&) { return FakeReceiver::status(0); }), 1, 0, 1, 0,
         0, true},
        {"refused", Script([](const Event& event) {
             return FakeReceiver::status(event.step == Step::Finished ? QK_SEND_FILE_FERROR : 0);
         }),
         1, 65, 0, 1, 0, true},
        {"nothing listening", std::nullopt, 1, 69, 0, 0, 1, false},
        {"cut after the greeting", Script([](const Event& event) {
             return event.step == Step::Header ? FakeReceiver::close() : FakeReceiver::status(0);
         }),
         1, 75, 0, 0, 1, true},
        // Files left outweigh a refusal: sending again may deliver them.
        {"one refused, one cut", refuse_first_cut_next, 2, 75, 0, 1, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = m_runner.scratch(std::string("out ") + c.what);
        for (int file = 0; file < c.files; ++file)
            ProgramRunner::writeFile(out + "/kept" + std::to_string(file) + ".txt", "kept\n");
        std::unique_ptr<FakeReceiver> receiver;
        std::uint16_t port = m_port;  // nothing listens there
        if (c.script) {
            receiver = std::make_unique<FakeReceiver>();
            receiver->setScript(*c.script);
            port = receiver->port();
        }
        const ProgramResult result =
            m_runner.run("qk_relay_cln",
                         {"--send_files", "--out_dir=" + out, "--server_address=127.0.0.1",
                          "--server_port=" + std::to_string(port), "--json"},
                         {{"QK_RELAY_FILES_IN_FLIGHT", "off"}});
        EXPECT_EQ(result.exit_code, c.exit_code) << result.output();
        EXPECT_EQ(fs::exists(out + "/kept0.txt"), c.sent == 0);
        if (c.exit_code != 0 && c.exit_code != 65) {
            EXPECT_NE(result.err.find("Client: Sending Files failed"), std::string::npos)
                << result.err;
        }

        // Standard output holds the one line of the JSON object and nothing else.
        const std::string& json = result.out;
        ASSERT_EQ(json.find('\n'), json.size() - 1) << "not one line: " << json;
        const auto summary = Poco::JSON::Parser().parse(json).extract<Poco::JSON::Object::Ptr>();
        EXPECT_EQ(summary->getValue<int>("files_sent"), c.sent) << json;
        EXPECT_EQ(summary->getValue<int>("bytes_sent"), 5 * c.sent) << json;
        EXPECT_EQ(summary->getValue<int>("files_refused"), c.refused) << json;
        EXPECT_EQ(summary->getValue<int>("files_left"), c.left) << json;
        EXPECT_EQ(summary->getValue<int>("bytes_resumed"), 0) << json;
        EXPECT_EQ(summary->getValue<bool>("receiver_reached"), c.reached) << json;
        EXPECT_EQ(summary->getValue<int>("exit_code"), c.exit_code) << json;
        EXPECT_GE(summary->getValue<double>("seconds"), 0) << json;
        EXPECT_TRUE(summary->has("bytes_per_second")) << json;
    }
}

// Without --sub_dirs a tree's sub-directories stay, said in one line, and the run still
// succeeds; the summary line counts what went.
TEST_F(E2eRelayTest, ARunWithoutSubDirsSaysWhatItLeftInSubDirectories) {
    const std::string out = m_runner.scratch("out");
    ProgramRunner::writeFile(out + "/top.txt", "top");
    ProgramRunner::writeFile(out + "/a/one.txt", "1");
    ProgramRunner::writeFile(out + "/a/two.txt", "2");
    ProgramRunner::writeFile(out + "/b/c/three.txt", "3");
    FakeReceiver receiver;
    const ProgramResult result =
        m_runner.run("qk_relay_cln",
                     {"--send_files", "--out_dir=" + out, "--server_address=127.0.0.1",
                      "--server_port=" + std::to_string(receiver.port())},
                     {{"QK_RELAY_FILES_IN_FLIGHT", "off"}});
    EXPECT_EQ(result.exit_code, 0) << result.output();
    EXPECT_NE(result.err.find("3 files in 2 sub-directories of " + out +
                              " were not sent: --sub_dirs (-s) sends sub-directories"),
              std::string::npos)
        << result.err;
    const std::regex summary(
        "\nSummary: 1 file \\(3 B\\) sent in [0-9.]+ s \\([0-9.]+ [KMG]?i?B/s\\); 0 refused, "
        "0 left, 0 B resumed\n");
    EXPECT_TRUE(std::regex_search(result.out, summary)) << result.out;
    EXPECT_TRUE(fs::exists(out + "/a/one.txt"));
}

// A client sent to the receiver's other port fails its first attempt with a line that names
// the fix, makes no other attempt, and counts as a receiver not reached; the server says it
// once. Both directions: TLS to the plain port, plain to the TLS port.
TEST_P(E2eTransferTest, TheWrongPortIsSaidAtOnceAndNotTriedAgain) {
    const bool tls = GetParam();
    const std::string in = m_runner.scratch("in");
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + in});
    const std::string out = m_runner.scratch("out");
    ProgramRunner::writeFile(out + "/kept.txt", "kept\n");
    const ProgramResult result = send(out, "", tls, tls ? m_port : m_ssl_port);
    const std::string receiver = "localhost:" + std::to_string(tls ? m_port : m_ssl_port);
    const std::string said =
        tls ? "The receiver at " + receiver +
                  " did not answer with TLS: this looks like its plain port. Leave out "
                  "--use_ssl, or use its TLS port"
            : "The receiver at " + receiver +
                  " answered with TLS: this is its TLS port. Use --use_ssl, or its plain port";
    EXPECT_EQ(result.exit_code, 69) << result.output();
    EXPECT_NE(result.err.find(said), std::string::npos) << result.output();
    EXPECT_EQ(result.output().find("Attempt: 2"), std::string::npos) << result.output();
    EXPECT_EQ(ProgramRunner::readFile(out + "/kept.txt"), "kept\n");

    const std::string line =
        tls ? " to the plain port " + std::to_string(m_port) +
                  " began a TLS handshake: its sender needs the TLS port " +
                  std::to_string(m_ssl_port) + ", or to leave out --use_ssl"
            : " to the TLS port " + std::to_string(m_ssl_port) +
                  " spoke without TLS: its sender needs --use_ssl, or the plain port " +
                  std::to_string(m_port);
    std::string log;
    const bool logged = eventually([&] {
        log = serverLog();
        return log.find(line) != std::string::npos;
    });
    EXPECT_TRUE(logged) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << "said more than once:\n" << log;
    EXPECT_EQ(log.find("UNKNOWN value of code"), std::string::npos) << log;
    stop(*server, SIGTERM);
}

// The console as people and scripts read it: by default a line per file and no internal
// names, with -q nothing on stdout but the run's summary, with -v the log's DEBUG lines; a
// good run writes nothing to stderr.
TEST_F(E2eRelayTest, ClientConsoleAtEachVerbosity) {
    const std::string out = m_runner.scratch("out");
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + m_runner.scratch("in")});
    ASSERT_FALSE(HasFatalFailure());
    const auto run = [&](const std::vector<std::string>& extra) {
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            ProgramRunner::writeFile(out + "/" + name, name);
        const ProgramResult result = send(out, "", false, m_port, extra);
        EXPECT_EQ(result.exit_code, 0) << result.output();
        EXPECT_EQ(result.err, "");
        return result.out;
    };
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    };
    const std::string normal = run({});
    EXPECT_EQ(count(normal, " has been sent. Removing."), 3u) << normal;
    EXPECT_EQ(normal.find("m_params"), std::string::npos) << normal;
    EXPECT_EQ(normal.find("Total Spent"), std::string::npos) << normal;
    const std::string quiet = run({"-q"});
    EXPECT_LE(count(quiet, "\n"), 1u) << "more than the run's summary:\n" << quiet;
    const std::string verbose = run({"--verbose"});
    EXPECT_NE(verbose.find("DEBUG "), std::string::npos) << verbose;
    EXPECT_NE(verbose.find("Total Spent"), std::string::npos) << verbose;
    stop(*server, SIGINT);
}

// A full disk (a 1 MiB tmpfs as the incoming tree) refuses the file that does not fit at its
// end, after its content: the client says so, keeps it, and goes on with the files that fit.
TEST_F(E2eRelayTest, AFileBiggerThanTheFreeSpaceIsRefusedAndTheOthersAreDelivered) {
    const std::string in = m_runner.scratch("in");
    fs::create_directories(in);
    if (::mount("tmpfs", in.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no tmpfs mount here: " << std::strerror(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{in};
    const std::string out = m_runner.scratch("out");
    const std::string big = random_bytes(16 << 20);
    const std::vector<std::string> small = {"a.txt", "m.txt", "z.txt"};
    ProgramRunner::writeFile(out + "/big.bin", big);
    for (const std::string& name : small)
        ProgramRunner::writeFile(out + "/" + name, std::string(100 << 10, name[0]));
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + in});
    ASSERT_FALSE(HasFatalFailure());

    const ProgramResult sent = send(out, "", false, m_port);
    EXPECT_EQ(sent.exit_code, kExitRefused) << sent.output();
    // Files in flight: the status says that the file was refused, not at which step.
    EXPECT_NE(sent.output().find("big.bin has been refused: the receiver refused"),
              std::string::npos)
        << sent.output();
    EXPECT_EQ(sent.output().find("Broken pipe"), std::string::npos) << sent.output();
    EXPECT_TRUE(ProgramRunner::readFile(out + "/big.bin") == big);
    for (const std::string& name : small) {
        EXPECT_TRUE(ProgramRunner::readFile(in + "/" + name) == std::string(100 << 10, name[0]))
            << name;
        EXPECT_FALSE(fs::exists(out + "/" + name)) << name;
    }
    EXPECT_FALSE(fs::exists(in + "/big.bin"));
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(in))
        entries += entry.path().filename() == CQKNameLock::kFileName ? 0 : 1;
    EXPECT_EQ(entries, small.size()) << "a temporary left in the incoming tree";

    stop(*server, SIGTERM);
}

struct StopCase {
    const char* name;
    int signo;
    bool tls;
};

void PrintTo(const StopCase& stop_case, std::ostream* out) {
    *out << stop_case.name;
}

class E2eStopTest : public E2eRelayTest, public ::testing::WithParamInterface<StopCase> {};

// A client connected and greeted but silent must not keep the server from stopping, and the
// stop must run the whole shut-down: the log ends with the frame's closing lines.
TEST_P(E2eStopTest, StopsPromptlyWhileAClientIsIdle) {
    std::unique_ptr<RunningProgram> server = startServer({"--in_dir=" + m_runner.scratch("in")});
    ASSERT_FALSE(HasFatalFailure());

    std::unique_ptr<Poco::Net::StreamSocket> idle;
    if (GetParam().tls) {
        const std::string keys = m_runner.path("share/orvane/qk_relay_cln/keys/");
        Poco::Net::Context::Ptr context = new Poco::Net::Context(
            Poco::Net::Context::TLSV1_2_CLIENT_USE,
            qk_tls_params(keys + "cln.zx.orvane.key", keys + "cln.zx.orvane.cert",
                          keys + "ca.zx.orvane.pem"));
        auto socket = std::make_unique<Poco::Net::SecureStreamSocket>(context);
        socket->setPeerHostName(QK_TLS_SERVER_NAME);
        socket->connect(Poco::Net::SocketAddress("127.0.0.1", m_ssl_port), Poco::Timespan(5, 0));
        idle = std::move(socket);
    } else {
        idle = std::make_unique<Poco::Net::StreamSocket>(
            Poco::Net::SocketAddress("127.0.0.1", m_port));
    }
    idle->setReceiveTimeout(Poco::Timespan(30, 0));
    std::uint8_t greeting = 0xFF;
    ASSERT_EQ(idle->receiveBytes(&greeting, 1), 1);
    ASSERT_EQ(greeting, QK_SEND_FILE_FOK);

    stop(*server, GetParam().signo);

    std::istringstream log(serverLog());
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    auto find_after = [&](std::size_t from, const std::string& text) {
        for (std::size_t i = from; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos)
                return i;
        }
        return lines.size();
    };
    const std::size_t stopped = find_after(0, "Server is stopped ----");
    const std::size_t finish = find_after(stopped, "Finish of Logging...");
    const std::size_t banner = find_after(finish, "(_tmain()) ###");
    ASSERT_LT(banner, lines.size()) << "the log does not end cleanly:\n" << serverLog();
    EXPECT_EQ(lines[banner].substr(lines[banner].size() - 5), "## <<");
    for (std::size_t i = banner + 1; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find("(close_log())"), std::string::npos)
            << "after the end: " << lines[i];
}

INSTANTIATE_TEST_SUITE_P(Signals, E2eStopTest,
                         ::testing::Values(StopCase{"SigintPlain", SIGINT, false},
                                           StopCase{"SigtermTls", SIGTERM, true}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return info.param.name;
                         });

}  // namespace
