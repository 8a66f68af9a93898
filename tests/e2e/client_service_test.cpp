// qk_relay_clnsvc as an operator runs it, in a temporary install tree with a short pass
// period, sending to the real qk_relay_srvsvc and qk_relay_srv: files dropped into the
// outgoing tree arrive and leave it, the control code stops the scanner, a refused record
// ends no scan, a down server keeps the files until it is up, a file held open by a writer
// waits for the writer, the control listener follows its port, SIGTERM loses nothing, and
// producers' temporaries are left for their renames.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "CtrlPeer.h"
#include "ProgramRunner.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kScanStarted = "Scanner of files has been started.";
constexpr const char* kScanStopped = "Scanner of files has been stopped.";
constexpr const char* kPassEnd = "CQKClnSControl ------------------------ <<";

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class E2eClientService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_runner.run("qk_relay_keys", {}).exit_code, 0);
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(5);
        m_srv_port = ports[0];
        m_srv_ssl_port = ports[1];
        m_srv_ctrl_port = ports[2];
        m_ctrl_port = ports[3];
        m_spare_port = ports[4];
        fs::create_directories(out());
        writeServerConfig();
        writeConfig("1");
    }

    void writeServerConfig() {
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_srvsvc.xml"),
            "<config><control_code>1</control_code><in_dir>" + in() + "</in_dir><back_dir>" +
                m_runner.scratch("srv_back") + "</back_dir><port>" + std::to_string(m_srv_port) +
                "</port><ssl_port>" + std::to_string(m_srv_ssl_port) + "</ssl_port><control_port>" +
                std::to_string(m_srv_ctrl_port) + "</control_port></config>");
    }
    void writeConfig(const std::string& control_code,
                     const std::string& server_address = "127.0.0.1",
                     const std::string& timing = "<scan_time>1000</scan_time>",
                     const std::string& exclude = "") {
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_clnsvc.xml"),
            "<config><control_code>" + control_code +
                "</control_code><op_code>1</op_code><out_dir>" + out() + "</out_dir><back_dir>" +
                m_runner.scratch("cln_back") + "</back_dir><file></file><server_address>" +
                server_address + "</server_address><server_port>" + std::to_string(m_srv_ssl_port) +
                "</server_port><use_ssl>true</use_ssl><sub_dirs>true</sub_dirs>" + timing +
                "<control_port>" + std::to_string(m_ctrl_port) + "</control_port><exclude>" +
                exclude + "</exclude></config>");
    }

    std::unique_ptr<RunningProgram> start(const std::string& program) {
        return m_runner.start(program, {}, {{"QK_RELAY_PASS_MS", "200"}});
    }
    std::unique_ptr<RunningProgram> startServer() {
        auto server = start("qk_relay_srvsvc");
        EXPECT_TRUE(ProgramRunner::waitForPort(m_srv_ssl_port, 10s)) << server->out();
        return server;
    }

    std::string log() const {
        return ProgramRunner::readFile(
                   m_runner.path("var/log/orvane/qk_relay_clnsvc/qk_relay_clnsvc.000.log"))
            .value_or("");
    }
    bool logCountReaches(const std::string& text, std::size_t count,
                         std::chrono::milliseconds limit = 10s) const {
        return ProgramRunner::waitUntil([&] { return count_of(log(), text) >= count; }, limit);
    }
    bool arrives(const std::string& relative, const std::string& content,
                 std::chrono::milliseconds limit = 10s) const {
        return ProgramRunner::waitUntil(
            [&] {
                return ProgramRunner::readFile(in() + "/" + relative) == content &&
                       !fs::exists(out() + "/" + relative);
            },
            limit);
    }

    std::string in() const { return m_runner.scratch("in"); }
    std::string out() const { return m_runner.scratch("out"); }

    static void stop(RunningProgram& program) {
        program.signal(SIGTERM);
        const std::optional<int> code = program.waitForExit(20s);
        ASSERT_TRUE(code.has_value()) << "ignores SIGTERM";
        EXPECT_EQ(*code, 0) << program.out() << program.err();
    }

    ProgramRunner m_runner;
    std::uint16_t m_srv_port = 0, m_srv_ssl_port = 0, m_srv_ctrl_port = 0, m_ctrl_port = 0,
                  m_spare_port = 0;
};

TEST_F(E2eClientService, SendsWhatIsDroppedAndFollowsItsControls) {
    std::unique_ptr<RunningProgram> server = startServer();
    std::unique_ptr<RunningProgram> client = start("qk_relay_clnsvc");
    ASSERT_TRUE(ProgramRunner::waitForPort(m_ctrl_port, 10s)) << client->out() << log();

    ProgramRunner::writeFile(out() + "/a.txt", "alpha");
    ProgramRunner::writeFile(out() + "/sub/deeper/b.txt", "beta");
    EXPECT_TRUE(arrives("a.txt", "alpha")) << log();
    EXPECT_TRUE(arrives("sub/deeper/b.txt", "beta")) << log();
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return fs::is_empty(out()); }, 10s))
        << "the emptied sub-directories are removed by a later scan";
    EXPECT_TRUE(fs::is_directory(out()));

    // A record with a foreign signature is refused and ends no scan.
    CtrlPeer::Bytes record(CtrlPeer::Cln::kSize, 0);
    CtrlPeer::putString(record, CtrlPeer::Cln::kOutDir, out());
    CtrlPeer::sign(record, m_runner.path("share/orvane/common/keys/gui.zx.orvane.cert"),
                   m_runner.path("share/orvane/qk_relay_cln/keys/cln.zx.orvane.key"));
    EXPECT_NE(CtrlPeer(m_ctrl_port).apply(record), 0);
    ASSERT_TRUE(logCountReaches("Signature is not valid.", 1)) << log();
    EXPECT_TRUE(logCountReaches(kPassEnd, count_of(log(), kPassEnd) + 2)) << log();
    EXPECT_EQ(count_of(log(), kScanStopped), 0u);

    // A file the check refuses leaves the values in force: they are what a read hands out.
    writeConfig("1", "no_address");
    EXPECT_TRUE(logCountReaches("Wrong value of server address: no_address", 2)) << log();
    int verdict = 0;
    const CtrlPeer::Bytes in_force =
        CtrlPeer(m_ctrl_port).read(CtrlPeer::Cln::kSize, 0x00, &verdict);
    ASSERT_EQ(in_force.size(), CtrlPeer::Cln::kSize);
    EXPECT_EQ(CtrlPeer::getString(in_force, CtrlPeer::Cln::kSrvAddress), "127.0.0.1");

    // A new control port: the listener moves within two passes.
    std::swap(m_ctrl_port, m_spare_port);
    writeConfig("1");
    EXPECT_TRUE(ProgramRunner::waitForPort(m_ctrl_port, 10s)) << log();

    // Control code 2 stops the scanner; files then stay.
    writeConfig("2");
    EXPECT_TRUE(logCountReaches("control_code == stop_scan", 1)) << log();
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] {
            const std::string text = log();
            return count_of(text, kScanStopped) == count_of(text, kScanStarted);
        },
        10s))
        << log();
    ProgramRunner::writeFile(out() + "/kept.txt", "kept");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(ProgramRunner::readFile(out() + "/kept.txt"), "kept") << log();

    // Back to 1: a new scanner sends what stayed, without a restart of the service.
    writeConfig("1");
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return !fs::exists(out() + "/kept.txt"); }, 10s))
        << log();
    EXPECT_EQ(ProgramRunner::readFile(in() + "/kept.txt"), "kept");

    stop(*client);
    stop(*server);
}

// Producers write x.tmp, close it and rename it to x a few milliseconds later, while the
// scans go on: each file arrives under its final name only; excluded names stay where they
// are, and so does their directory.
TEST_F(E2eClientService, TemporariesRenamedAfterTheirCloseArriveOnlyUnderTheirNames) {
    writeConfig("1", "127.0.0.1", "<scan_time>1000</scan_time>", ".* *.tmp *.part *.swp");
    std::unique_ptr<RunningProgram> server = startServer();
    std::unique_ptr<RunningProgram> client = start("qk_relay_clnsvc");
    ASSERT_TRUE(ProgramRunner::waitForPort(m_ctrl_port, 10s)) << client->out() << log();
    ProgramRunner::writeFile(out() + "/.hidden", "hidden");
    ProgramRunner::writeFile(out() + "/sub/y.part", "part");

    constexpr int kFiles = 60;  // about two seconds: the renames meet several scans
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = out() + "/x" + std::to_string(i);
        ProgramRunner::writeFile(name + ".tmp", "content " + std::to_string(i));
        std::this_thread::sleep_for(5ms);
        fs::rename(name + ".tmp", name);
        std::this_thread::sleep_for(25ms);
    }
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "x" + std::to_string(i);
        EXPECT_TRUE(arrives(name, "content " + std::to_string(i))) << name << log();
    }
    EXPECT_TRUE(logCountReaches("sub/y.part matches an exclude pattern", 2)) << log();
    // Not even tried: a temporary taken before its rename would arrive under its own name.
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Sending file: file_path = ") != std::string::npos && line.size() > 4 &&
            line.compare(line.size() - 4, 4, ".tmp") == 0)
            ADD_FAILURE() << line;
    }
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(in()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    EXPECT_FALSE(fs::exists(in() + "/.hidden"));
    EXPECT_EQ(ProgramRunner::readFile(out() + "/.hidden"), "hidden");
    EXPECT_EQ(ProgramRunner::readFile(out() + "/sub/y.part"), "part");
    stop(*client);
    stop(*server);
}

// With a scan a minute apart, a file leaves as soon as it is complete: renamed into the tree,
// or written into a new sub-directory; and one younger than min_age when it comes of age.
TEST_F(E2eClientService, PicksUpCompletedFilesBetweenScans) {
    writeConfig("1", "127.0.0.1", "<scan_time>60000</scan_time><min_age>1000</min_age>");
    std::unique_ptr<RunningProgram> server = startServer();
    std::unique_ptr<RunningProgram> client = start("qk_relay_clnsvc");
    ASSERT_TRUE(logCountReaches("for completed files", 1)) << client->out() << log();

    const auto written = std::chrono::steady_clock::now();
    ProgramRunner::writeFile(m_runner.scratch("stage/x.txt"), "renamed in");
    fs::rename(m_runner.scratch("stage/x.txt"), out() + "/x.txt");
    EXPECT_TRUE(arrives("x.txt", "renamed in", 20s)) << log();
    EXPECT_GE(std::chrono::steady_clock::now() - written, 1000ms) << log();

    ProgramRunner::writeFile(out() + "/new/deeper/y.txt", "in a new directory");
    EXPECT_TRUE(arrives("new/deeper/y.txt", "in a new directory", 20s)) << log();
    stop(*client);
}

// A tree it cannot watch (here: more directories than the limit) is said once and scanned.
TEST_F(E2eClientService, ScansATreeItCannotWatch) {
    fs::create_directories(out() + "/a/b");
    std::unique_ptr<RunningProgram> server = startServer();
    std::unique_ptr<RunningProgram> client = m_runner.start(
        "qk_relay_clnsvc", {}, {{"QK_RELAY_PASS_MS", "200"}, {"QK_RELAY_WATCH_LIMIT", "1"}});

    ProgramRunner::writeFile(out() + "/a/b/f.txt", "scanned");
    EXPECT_TRUE(arrives("a/b/f.txt", "scanned")) << log();
    ProgramRunner::writeFile(out() + "/g.txt", "scanned too");
    EXPECT_TRUE(arrives("g.txt", "scanned too")) << log();
    EXPECT_EQ(count_of(log(), "can't be watched: more than 1 directories"), 1u) << log();
    stop(*client);
}

// A server name that does not resolve is said at every scan and nothing is removed; mended
// in the file, the next scans deliver without a restart. With nothing left to send, the scans
// try the mended receiver themselves: the service is ready again before the next file.
TEST_F(E2eClientService, RecoversByItselfWhenAWrongServerNameIsMended) {
    std::unique_ptr<RunningProgram> server = startServer();
    writeConfig("1", "nohost.test");
    std::unique_ptr<RunningProgram> client = start("qk_relay_clnsvc");
    ProgramRunner::writeFile(out() + "/waiting.txt", "waiting");
    EXPECT_TRUE(logCountReaches("Connection to nohost.test:", 4)) << log();
    EXPECT_EQ(ProgramRunner::readFile(out() + "/waiting.txt"), "waiting");
    EXPECT_TRUE(logCountReaches("Not ready (ready: 503)", 1)) << log();
    fs::rename(out() + "/waiting.txt", m_runner.scratch("waiting.txt"));
    writeConfig("1");
    EXPECT_TRUE(
        logCountReaches("Ready again: the receiver 127.0.0.1:" + std::to_string(m_srv_ssl_port), 1))
        << log();
    fs::rename(m_runner.scratch("waiting.txt"), out() + "/waiting.txt");
    EXPECT_TRUE(arrives("waiting.txt", "waiting")) << log();
    stop(*client);
    stop(*server);
}

// While the receiver's port is closed the files stay and the service is not ready (after one
// scan's three failed attempts, with the last error); the delivery makes it ready again.
TEST_F(E2eClientService, KeepsFilesWhileTheServerIsDownAndWhileAWriterHoldsThem) {
    std::unique_ptr<RunningProgram> client = start("qk_relay_clnsvc");
    ProgramRunner::writeFile(out() + "/early.txt", "early");
    EXPECT_TRUE(logCountReaches("Attempt: count = 3", 1)) << log();
    EXPECT_EQ(ProgramRunner::readFile(out() + "/early.txt"), "early");
    const std::string receiver = "the receiver 127.0.0.1:" + std::to_string(m_srv_ssl_port);
    const std::string not_ready = "Not ready (ready: 503): 3 attempts in a row failed to reach " +
                                  receiver + ", the last: Connection refused";
    EXPECT_TRUE(logCountReaches(not_ready, 1)) << log();
    EXPECT_EQ(count_of(log(), "Ready again"), 0u) << log();

    // The console receiver on the client's port takes the waiting file.
    std::unique_ptr<RunningProgram> server =
        m_runner.start("qk_relay_srv", {"--start_server", "--in_dir=" + in(),
                                        "--port=" + std::to_string(m_srv_port),
                                        "--ssl_port=" + std::to_string(m_srv_ssl_port)});
    EXPECT_TRUE(arrives("early.txt", "early", 15s)) << log();
    EXPECT_TRUE(logCountReaches("Ready again: " + receiver + " has been reached", 1)) << log();
    EXPECT_EQ(count_of(log(), not_ready), 1u) << log();

    // A writer that appends for a while: nothing is sent while it holds the file open.
    {
        std::ofstream writer(out() + "/growing.txt");
        for (int i = 0; i < 25; ++i) {
            writer << "line " << i << "\n" << std::flush;
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_FALSE(fs::exists(in() + "/growing.txt")) << "sent while a writer held it";
    }
    std::string whole;
    for (int i = 0; i < 25; ++i)
        whole += "line " + std::to_string(i) + "\n";
    EXPECT_TRUE(arrives("growing.txt", whole, 15s)) << log();

    // SIGTERM in the middle of scanning: every file is at the sender or delivered.
    for (int i = 0; i < 50; ++i)
        ProgramRunner::writeFile(out() + "/batch/" + std::to_string(i) + ".bin",
                                 std::string(200000, static_cast<char>('a' + i % 26)));
    ProgramRunner::waitUntil([&] { return fs::exists(in() + "/batch"); }, 10s);
    stop(*client);
    // Its console (a file, as the journal under systemd): the warning, no single file.
    EXPECT_NE(client->err().find("WARN " + not_ready), std::string::npos) << client->err();
    EXPECT_EQ(client->out().find("early.txt"), std::string::npos) << client->out();
    for (int i = 0; i < 50; ++i) {
        const std::string name = "batch/" + std::to_string(i) + ".bin";
        const std::string content(200000, static_cast<char>('a' + i % 26));
        const bool at_sender = ProgramRunner::readFile(out() + "/" + name) == content;
        const bool delivered = ProgramRunner::readFile(in() + "/" + name) == content;
        EXPECT_TRUE(at_sender || delivered) << name;
    }
    server->signal(SIGINT);
    server->waitForExit(10s);
}

}  // namespace
