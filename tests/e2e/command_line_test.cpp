// The command lines of the programs as a user types them: help and version, the
// parameter checks with their messages and exit codes, and refused options.
#include <gtest/gtest.h>
#include <signal.h>

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ProgramRunner.h"

namespace {

using namespace std::chrono_literals;

constexpr int kExitOk = 0;
constexpr int kExitFrameFailed = 1;
constexpr int kExitMainFailed = 74;

// True when one line of text ends with tail: the messages name the failure at the end of
// the "Exception: ..." line, after the class name.
bool has_line_ending_with(const std::string& text, const std::string& tail) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() >= tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            return true;
    }
    return false;
}

struct Case {
    const char* what;
    const char* program;
    std::vector<std::string> args;
    int exit_code;
    std::string text;  // ends a line of the output
};

class E2eCommandLineTest : public ::testing::Test {
protected:
    // One tree with keys for all cases: none of them sends anything.
    static void SetUpTestSuite() {
        s_runner = std::make_unique<ProgramRunner>();
        const ProgramResult keys = s_runner->run("qk_relay_keys", {});
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
        std::filesystem::create_directories(s_runner->scratch("out"));
        ProgramRunner::writeFile(s_runner->scratch("plain_file"), "x");
    }
    static void TearDownTestSuite() { s_runner.reset(); }

    static void check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.program) + ": " + c.what);
            const ProgramResult result = s_runner->run(c.program, c.args);
            EXPECT_EQ(result.exit_code, c.exit_code) << result.output();
            EXPECT_TRUE(has_line_ending_with(result.err, c.text))
                << "expected a line ending with \"" << c.text << "\" on stderr in:\n"
                << result.output();
            EXPECT_FALSE(has_line_ending_with(result.out, c.text)) << result.out;
        }
    }

    static std::unique_ptr<ProgramRunner> s_runner;
};

std::unique_ptr<ProgramRunner> E2eCommandLineTest::s_runner;

TEST_F(E2eCommandLineTest, HelpIsShownOnRequestAndWithoutACommand) {
    const std::string srv_usage = "usage: qk_relay_srv [OPTION]";
    const std::string cln_usage = "usage: qk_relay_cln [OPTION]";
    for (const auto& [program, args, usage, command] :
         std::vector<std::tuple<const char*, std::vector<std::string>, std::string, std::string>>{
             {"qk_relay_srv", {"--help"}, srv_usage, "--start_server"},
             {"qk_relay_srv", {}, srv_usage, "--start_server"},
             {"qk_relay_srv", {"--port=5000"}, srv_usage, "--start_server"},
             {"qk_relay_cln", {"--help"}, cln_usage, "--send_files"},
             {"qk_relay_cln", {}, cln_usage, "--send_files"},
         }) {
        SCOPED_TRACE(std::string(program) + " with " + std::to_string(args.size()) + " options");
        const ProgramResult result = s_runner->run(program, args);
        EXPECT_EQ(result.exit_code, kExitOk) << result.output();
        EXPECT_NE(result.out.find(usage), std::string::npos) << result.output();
        EXPECT_NE(result.out.find(command), std::string::npos) << result.output();
    }
}

// A fresh machine: no keys, no configuration, no install tree, an empty home. --help and
// --version answer there, whatever else the command line holds, and write nothing.
TEST(E2eBareCommandLineTest, HelpAndVersionNeedNothingButTheProgram) {
    ProgramRunner runner;
    for (const char* dir : {"share", "var"})
        std::filesystem::remove_all(runner.path(dir));
    std::filesystem::create_directories(runner.scratch("home"));
    const ProgramRunner::Environment env{{"HOME", runner.scratch("home")}};
    const std::regex version_line(R"([a-z_]+ [0-9]+(\.[0-9]+)+)");
    for (const std::string program :
         {"qk_relay_srv", "qk_relay_cln", "qk_relay_srvsvc", "qk_relay_clnsvc", "qk_relay_ctrl",
          "qk_relay_keys", "qk_relay_w"}) {
        SCOPED_TRACE(program);
        for (const std::string version : {"--version", "-V"}) {
            const ProgramResult result = runner.run(program, {version, "--bogus"}, env);
            EXPECT_EQ(result.exit_code, kExitOk) << result.output();
            const std::string first = result.out.substr(0, result.out.find('\n'));
            EXPECT_TRUE(std::regex_match(first, version_line)) << result.output();
            EXPECT_EQ(first.rfind(program + " ", 0), 0u) << result.output();
        }
        const ProgramResult help = runner.run(program, {"--help"}, env);
        EXPECT_EQ(help.exit_code, kExitOk) << help.output();
        EXPECT_NE(help.out.find("usage: " + program), std::string::npos) << help.output();
        EXPECT_NE(help.out.find("--version"), std::string::npos) << help.output();
        EXPECT_EQ(help.err, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(runner.scratch("home")));
    EXPECT_FALSE(std::filesystem::exists(runner.path("share")));
    EXPECT_FALSE(std::filesystem::exists(runner.path("var")));
}

TEST_F(E2eCommandLineTest, ServerRefusesBadParametersBeforeListening) {
    const std::string in = "--in_dir=" + s_runner->scratch("in");
    const std::string file = s_runner->scratch("plain_file");
    check({
        {"no port",
         "qk_relay_srv",
         {"--start_server", in, "--ssl_port=5001"},
         kExitMainFailed,
         "Wrong value of port number:0"},
        {"port 0",
         "qk_relay_srv",
         {"--start_server", in, "--port=0", "--ssl_port=5001"},
         kExitMainFailed,
         "Wrong value of port number:0"},
        {"ssl port 0",
         "qk_relay_srv",
         {"--start_server", in, "--port=5000", "--ssl_port=0"},
         kExitMainFailed,
         "Wrong value of ssl port number:0"},
        {"equal ports",
         "qk_relay_srv",
         {"--start_server", in, "--port=5000", "--ssl_port=5000"},
         kExitMainFailed,
         "Wrong values of port number:5000 and ssl port number:5000. They shouldn't be equal."},
        {"metrics port equal to the ssl port",
         "qk_relay_srv",
         {"--start_server", in, "--port=5000", "--ssl_port=5001", "--metrics_port=5001"},
         kExitMainFailed,
         "Wrong values of metrics port number:5001 and ssl port number:5001. They shouldn't be "
         "equal."},
        {"no in_dir",
         "qk_relay_srv",
         {"--start_server", "--port=5000", "--ssl_port=5001"},
         kExitMainFailed,
         "In directory: not defined..."},
        {"in_dir is a file",
         "qk_relay_srv",
         {"--start_server", "--in_dir=" + file, "--port=5000", "--ssl_port=5001"},
         kExitMainFailed,
         "In directory:" + file + " is not a directory..."},
        {"back_dir is a file",
         "qk_relay_srv",
         {"--start_server", in, "--back_dir=" + file, "--port=5000", "--ssl_port=5001"},
         kExitMainFailed,
         "Backup directory: " + file + " is not a directory..."},
        {"both listeners off",
         "qk_relay_srv",
         {"--start_server", in, "--address=off", "--ssl_address=off"},
         kExitMainFailed,
         "Wrong values of address and ssl_address: both are off. At least one file listener "
         "must run."},
    });
}

// --address binds the plain listener where it is told, off switches it off (no port needed);
// only a plain listener that other machines may reach is worth a warning, once.
TEST_F(E2eCommandLineTest, ServerListensOnlyWhereItIsToldAndWarnsOfAnOpenPlainPort) {
    const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
    const std::string in = "--in_dir=" + s_runner->scratch("in");
    const std::string log_fpath =
        s_runner->path("var/log/orvane/qk_relay_srv/qk_relay_srv.000.log");
    const std::string warning = "accepts files from anyone who reaches it";
    const auto serve = [&](const std::vector<std::string>& args, std::uint16_t up,
                           const std::function<void()>& check) {
        std::vector<std::string> all = {"--start_server", in};
        all.insert(all.end(), args.begin(), args.end());
        std::unique_ptr<RunningProgram> server = s_runner->start("qk_relay_srv", all);
        ASSERT_TRUE(ProgramRunner::waitForPort(up, 10s)) << server->out() << server->err();
        check();
        server->signal(SIGINT);
        ASSERT_EQ(server->waitForExit(20s), std::optional<int>(0)) << server->out();
    };
    const auto greets = [](const std::string& host, std::uint16_t port) {
        try {
            Poco::Net::StreamSocket socket(Poco::Net::SocketAddress(host, port));
            std::uint8_t status = 0xFF;
            socket.setReceiveTimeout(Poco::Timespan(5, 0));
            return socket.receiveBytes(&status, 1) == 1 && status == 0x00;
        } catch (const Poco::Exception&) {
            return false;
        }
    };
    const std::string plain = "--port=" + std::to_string(ports[0]);
    serve({plain, "--address=127.0.0.1", "--ssl_address=off"}, ports[0], [&] {
        EXPECT_TRUE(greets("127.0.0.1", ports[0]));
        EXPECT_FALSE(greets("127.0.0.2", ports[0]));
    });
    serve({"--address=off", "--ssl_port=" + std::to_string(ports[1])}, ports[1],
          [&] { EXPECT_FALSE(ProgramRunner::waitForPort(ports[0], 300ms)); });
    std::string log = ProgramRunner::readFile(log_fpath).value_or("");
    EXPECT_EQ(log.find(warning), std::string::npos) << log;
    serve({plain, "--ssl_port=" + std::to_string(ports[1])}, ports[0],
          [&] { EXPECT_TRUE(greets("127.0.0.2", ports[0])); });
    log = ProgramRunner::readFile(log_fpath).value_or("");
    const std::size_t first = log.find(warning);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;
}

TEST_F(E2eCommandLineTest, ClientRefusesBadParametersBeforeConnecting) {
    const std::string out = "--out_dir=" + s_runner->scratch("out");
    const std::string missing = s_runner->scratch("missing");
    const std::vector<std::string> server = {"--server_address=127.0.0.1", "--server_port=5000"};
    auto with_server = [&](std::vector<std::string> args) {
        args.insert(args.end(), server.begin(), server.end());
        return args;
    };
    check({
        {"no out_dir", "qk_relay_cln", with_server({"--send_files"}), kExitMainFailed,
         "Out directory:  not defined..."},
        {"missing out_dir", "qk_relay_cln", with_server({"--send_files", "--out_dir=" + missing}),
         kExitMainFailed, "Out directory: " + missing + " not exists..."},
        {"missing file", "qk_relay_cln", with_server({"--send_files", "--file=" + missing}),
         kExitMainFailed, "File: " + missing + " not found..."},
        {"port 0",
         "qk_relay_cln",
         {"--send_files", out, "--server_address=127.0.0.1", "--server_port=0"},
         kExitMainFailed,
         "Wrong value of port number: 0"},
        {"no port",
         "qk_relay_cln",
         {"--send_files", out, "--server_address=127.0.0.1"},
         kExitMainFailed,
         "Wrong value of port number: 0"},
    });
}

// Refused by the option processor: the frame reports them and exits with 1.
TEST_F(E2eCommandLineTest, OptionErrorsEndTheStartUp) {
    check({
        {"unknown option",
         "qk_relay_srv",
         {"--bogus"},
         kExitFrameFailed,
         "Unknown option specified: bogus"},
        {"port not a number",
         "qk_relay_srv",
         {"--start_server", "--port=abc"},
         kExitFrameFailed,
         "argument for port must be an integer"},
        {"port out of range",
         "qk_relay_srv",
         {"--start_server", "--port=65536"},
         kExitFrameFailed,
         "argument for port must be in range 0 to 65535"},
        {"in_dir over 260 bytes",
         "qk_relay_srv",
         {"--start_server", "--in_dir=/" + std::string(260, 'd')},
         kExitFrameFailed,
         "does not match regular expression ^.{1,260}$"},
        {"quiet and verbose",
         "qk_relay_cln",
         {"--send_files", "-q", "-v"},
         kExitFrameFailed,
         "Incompatible options: verbose"},
        {"unknown option",
         "qk_relay_cln",
         {"--bogus"},
         kExitFrameFailed,
         "Unknown option specified: bogus"},
        {"port not a number",
         "qk_relay_cln",
         {"--send_files", "--server_port=abc"},
         kExitFrameFailed,
         "argument for server_port must be an integer"},
        // A named file is sent alone: a directory or sub-directories beside it would be
        // dropped without a word.
        {"out_dir with file",
         "qk_relay_cln",
         {"--send_files", "--out_dir=/tmp", "--file=/tmp/x"},
         kExitFrameFailed,
         "--out_dir and --file exclude each other: a named file is sent alone"},
        {"file with sub_dirs",
         "qk_relay_cln",
         {"--send_files", "--file=/tmp/x", "-s"},
         kExitFrameFailed,
         "--sub_dirs and --file exclude each other: a named file is sent alone"},
        // The second value is refused whole, though the first was taken.
        {"exclude with a slash",
         "qk_relay_cln",
         {"--send_files", "--exclude=*.tmp", "--exclude=.* a/b"},
         kExitFrameFailed,
         "Wrong value of exclude: pattern 3 (a/b) holds '/', which no file name holds."},
        {"listener address not a literal",
         "qk_relay_srv",
         {"--start_server", "--address=localhost"},
         kExitFrameFailed,
         "Wrong value of address: localhost. It must be an IPv4 address such as 127.0.0.1, "
         "an IPv6 address such as ::1 or [fd00::5], 0.0.0.0 for every IPv4 address, :: for "
         "every address of both families, or off for none."},
        {"network with bits beyond its prefix",
         "qk_relay_srv",
         {"--start_server", "--ssl_allowed_networks=10.0.0.0/8,10.1.2.3/8"},
         kExitFrameFailed,
         "Wrong value of ssl_allowed_networks: 10.1.2.3/8 has bits set beyond its prefix "
         "length."},
        // The message says in words what is accepted.
        {"address out of range",
         "qk_relay_cln",
         {"--send_files", "--server_address=256.1.1.1"},
         kExitFrameFailed,
         "Wrong value of server address: 256.1.1.1. It must be a host name such as localhost "
         "or relay.example.org, an IPv4 address such as 192.0.2.1, or an IPv6 address such as "
         "::1 or [::1]."},
        {"address with an underscore",
         "qk_relay_cln",
         {"--send_files", "--server_address=rx_1.example"},
         kExitFrameFailed,
         "Wrong value of server address: rx_1.example. It must be a host name such as "
         "localhost or relay.example.org, an IPv4 address such as 192.0.2.1, or an IPv6 "
         "address such as ::1 or [::1]."},
    });
}

}  // namespace
