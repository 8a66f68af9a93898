// Several connections at once: qk_relay_cln --streams, plain and in TLS, against qk_relay_srv,
// and qk_relay_clnsvc with "streams" against qk_relay_srvsvc. The trees arrive byte for byte,
// the outgoing tree is emptied, and the receiver has seen more than one connection. And the
// client service's connection kept between its scans.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ProgramRunner.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kExitFrameFailed = 1;
// One line each per connection, plain or TLS.
constexpr const char* kConnectionStarted = "Connection Thread Started";
constexpr const char* kConnectionEnded = "Connection Thread Finished";

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// A few hundred files in nested directories: many small ones, some empty, three of a few
// MiB, so that the split by size has something to balance.
std::map<std::string, std::string> make_tree(std::size_t files) {
    std::mt19937 engine(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::map<std::string, std::string> tree;
    for (std::size_t i = 0; i < files; ++i) {
        const std::size_t size = i % 100 == 7 ? (3u << 20) + i : i % 17 == 0 ? 0 : i * 37;
        std::string content(size, '\0');
        for (char& c : content)
            c = static_cast<char>(byte(engine));
        const std::string dir = "d" + std::to_string(i % 7) + "/s" + std::to_string(i % 3);
        tree[dir + "/f" + std::to_string(i) + ".bin"] = std::move(content);
    }
    return tree;
}

void write_tree(const std::string& root, const std::map<std::string, std::string>& tree) {
    for (const auto& [name, content] : tree)
        ProgramRunner::writeFile(root + "/" + name, content);
}

class E2eStreamsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ProgramResult keys = m_runner.run("qk_relay_keys", {});
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(4);
        m_port = ports[0];
        m_ssl_port = ports[1];
        m_srv_ctrl_port = ports[2];
        m_cln_ctrl_port = ports[3];
    }

    // Lines of the receiver's log holding text, over all its log files (a busy log rotates).
    std::size_t logCount(const std::string& program, const std::string& text) const {
        std::size_t count = 0;
        const fs::path dir = m_runner.path("var/log/orvane/" + program);
        if (!fs::is_directory(dir))
            return 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir))
            count += count_of(ProgramRunner::readFile(entry.path()).value_or(""), text);
        return count;
    }
    // The connections the receiver has started, once the probes of its ports (which connect
    // and close at once) have ended, so that they are all counted.
    std::size_t connectionsAfterProbes(const std::string& program, std::size_t probes) const {
        EXPECT_TRUE(ProgramRunner::waitUntil(
            [&] { return logCount(program, kConnectionEnded) >= probes; }, 10s));
        return logCount(program, kConnectionStarted);
    }

    void expectDelivered(const std::map<std::string, std::string>& tree) const {
        for (const auto& [name, content] : tree)
            EXPECT_TRUE(ProgramRunner::readFile(in() + "/" + name) == content) << name;
        EXPECT_TRUE(fs::is_directory(out()));
        EXPECT_TRUE(fs::is_empty(out())) << "files or directories left in the outgoing tree";
    }

    static void stop(RunningProgram& program) {
        program.signal(SIGTERM);
        const std::optional<int> code = program.waitForExit(20s);
        ASSERT_TRUE(code.has_value()) << "ignores SIGTERM";
        EXPECT_EQ(*code, 0) << program.out() << program.err();
    }

    // The two services' files: TLS, a scan period of 1 s, and extra keys for the client.
    void writeServiceConfigs(const std::string& client_extra) {
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_srvsvc.xml"),
            "<config><control_code>1</control_code><in_dir>" + in() + "</in_dir><back_dir>" +
                m_runner.scratch("srv_back") + "</back_dir><port>" + std::to_string(m_port) +
                "</port><ssl_port>" + std::to_string(m_ssl_port) + "</ssl_port><control_port>" +
                std::to_string(m_srv_ctrl_port) + "</control_port></config>");
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_clnsvc.xml"),
            "<config><control_code>1</control_code><op_code>1</op_code><out_dir>" + out() +
                "</out_dir><back_dir>" + m_runner.scratch("cln_back") +
                "</back_dir><file></file><server_address>127.0.0.1</server_address>"
                "<server_port>" +
                std::to_string(m_ssl_port) +
                "</server_port><use_ssl>true</use_ssl><sub_dirs>true</sub_dirs><scan_time>1000"
                "</scan_time><control_port>" +
                std::to_string(m_cln_ctrl_port) + "</control_port>" + client_extra + "</config>");
    }

    std::string in() const { return m_runner.scratch("in"); }
    std::string out() const { return m_runner.scratch("out"); }

    ProgramRunner m_runner;
    std::uint16_t m_port = 0, m_ssl_port = 0, m_srv_ctrl_port = 0, m_cln_ctrl_port = 0;
};

class E2eClientStreamsTest : public E2eStreamsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(E2eClientStreamsTest, FourStreamsDeliverATreeAndEmptyIt) {
    const bool tls = GetParam();
    const std::map<std::string, std::string> tree = make_tree(300);
    write_tree(out(), tree);
    std::unique_ptr<RunningProgram> server = m_runner.start(
        "qk_relay_srv", {"--start_server", "--in_dir=" + in(), "--port=" + std::to_string(m_port),
                         "--ssl_port=" + std::to_string(m_ssl_port)});
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s) &&
                ProgramRunner::waitForPort(m_ssl_port, 10s))
        << server->out() << server->err();
    const std::size_t before = connectionsAfterProbes("qk_relay_srv", 2);

    std::vector<std::string> args = {"--send_files",
                                     "--out_dir=" + out(),
                                     "--sub_dirs",
                                     "--streams=4",
                                     "--server_address=127.0.0.1",
                                     "--server_port=" + std::to_string(tls ? m_ssl_port : m_port)};
    if (tls)
        args.push_back("--use_ssl");
    const ProgramResult sent = m_runner.run("qk_relay_cln", args, {{"QK_RELAY_DIR_GRACE_MS", "0"}});

    ASSERT_EQ(sent.exit_code, 0) << sent.output();
    expectDelivered(tree);
    // The streams add up to one summary of the run.
    EXPECT_NE(sent.out.find("\nSummary: " + std::to_string(tree.size()) + " files ("),
              std::string::npos)
        << sent.out;
    EXPECT_GE(logCount("qk_relay_srv", kConnectionStarted) - before, 2u);
    stop(*server);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, E2eClientStreamsTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

// Refused by the option processor, as a port out of range is: nothing is sent.
TEST_F(E2eStreamsTest, ClientRefusesStreamsOutsideOneToSixteen) {
    ProgramRunner::writeFile(out() + "/stays.txt", "stays");
    for (const char* streams : {"0", "17"}) {
        const ProgramResult result =
            m_runner.run("qk_relay_cln",
                         {"--send_files", "--out_dir=" + out(), "--streams=" + std::string(streams),
                          "--server_address=127.0.0.1", "--server_port=" + std::to_string(m_port)});
        EXPECT_EQ(result.exit_code, kExitFrameFailed) << result.output();
        EXPECT_NE(result.output().find("argument for streams must be in range 1 to 16"),
                  std::string::npos)
            << result.output();
    }
    EXPECT_EQ(ProgramRunner::readFile(out() + "/stays.txt"), "stays");
}

// The tree is moved in with one rename, so that one scan lists all of it and spreads it over
// the three senders.
TEST_F(E2eStreamsTest, ClientServiceSpreadsAScanOverItsStreams) {
    writeServiceConfigs("<streams>3</streams><keep_alive>0</keep_alive>");
    fs::create_directories(out());
    const std::map<std::string, std::string> tree = make_tree(120);
    write_tree(m_runner.scratch("stage/tree"), tree);
    const std::map<std::string, std::string> env = {{"QK_RELAY_PASS_MS", "200"},
                                                    {"QK_RELAY_DIR_GRACE_MS", "0"}};
    std::unique_ptr<RunningProgram> server = m_runner.start("qk_relay_srvsvc", {}, env);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_ssl_port, 10s)) << server->out();
    std::unique_ptr<RunningProgram> client = m_runner.start("qk_relay_clnsvc", {}, env);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_cln_ctrl_port, 10s)) << client->out();
    const std::size_t before = connectionsAfterProbes("qk_relay_srvsvc", 1);

    fs::rename(m_runner.scratch("stage/tree"), out() + "/tree");
    std::map<std::string, std::string> arriving;
    for (const auto& [name, content] : tree)
        arriving["tree/" + name] = content;
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return fs::is_empty(out()); }, 30s));

    expectDelivered(arriving);
    EXPECT_GE(logCount("qk_relay_srvsvc", kConnectionStarted) - before, 2u);
    stop(*client);
    stop(*server);
}

// Files that land a second apart leave on the connection of the first: one handshake. A
// receiver restarted meanwhile costs one new connection and nothing else.
TEST_F(E2eStreamsTest, ClientServiceKeepsItsConnectionBetweenScans) {
    writeServiceConfigs("");
    fs::create_directories(out());
    const std::map<std::string, std::string> env = {{"QK_RELAY_PASS_MS", "200"}};
    std::unique_ptr<RunningProgram> server = m_runner.start("qk_relay_srvsvc", {}, env);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_ssl_port, 10s)) << server->out();
    std::unique_ptr<RunningProgram> client = m_runner.start("qk_relay_clnsvc", {}, env);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_cln_ctrl_port, 10s)) << client->out();
    const std::size_t before = connectionsAfterProbes("qk_relay_srvsvc", 1);

    const auto deliver = [&](const std::string& name) {
        ProgramRunner::writeFile(m_runner.scratch("stage/" + name), name + " content");
        fs::rename(m_runner.scratch("stage/" + name), out() + "/" + name);
        EXPECT_TRUE(ProgramRunner::waitUntil([&] { return fs::is_empty(out()); }, 15s)) << name;
        EXPECT_TRUE(ProgramRunner::readFile(in() + "/" + name) == name + " content") << name;
    };
    for (const std::string name : {"a.txt", "b.txt", "c.txt"}) {
        deliver(name);
        std::this_thread::sleep_for(1200ms);  // another scan, on the kept connection
    }
    EXPECT_EQ(logCount("qk_relay_srvsvc", kConnectionStarted) - before, 1u);

    stop(*server);
    server = m_runner.start("qk_relay_srvsvc", {}, env);
    ASSERT_TRUE(ProgramRunner::waitForPort(m_ssl_port, 10s)) << server->out();
    deliver("d.txt");
    deliver("e.txt");
    EXPECT_EQ(logCount("qk_relay_clnsvc", "Attempt: count = 2"), 0u)
        << "the closed kept connection cost a failed attempt";
    stop(*client);
    stop(*server);
}

}  // namespace
