// qk_relay_ctrl as the control program and an operator run it, without systemd: it starts,
// reports and stops the real qk_relay_srvsvc of a temporary install tree through pid files
// in a scratch directory, and refuses what it cannot do with its messages and exit codes.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "PidFifo.h"
#include "ProgramRunner.h"
#include "base/CQKInstanceLock.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kService = "qk_relay_srvsvc";
constexpr const char* kRunning = "Is running      : 1";
constexpr const char* kNotRunning = "Is running      : 0";
constexpr const char* kRefusal = "Instance of this application has been launched already...";

bool has(const ProgramResult& result, const std::string& text) {
    return result.output().find(text) != std::string::npos;
}

class E2eCtrl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_runner.run("qk_relay_keys", {}).exit_code, 0);
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_port = ports[0];
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_srvsvc.xml"),
            "<config><control_code>1</control_code><in_dir>" + m_runner.scratch("in") +
                "</in_dir><back_dir>" + m_runner.scratch("back") + "</back_dir><port>" +
                std::to_string(ports[0]) + "</port><ssl_port>" + std::to_string(ports[1]) +
                "</ssl_port><control_port>0</control_port></config>");
        fs::create_directories(m_runner.scratch("run"));
    }

    // No daemon outlives its test, not even one held in its start by the FIFO.
    void TearDown() override {
        const pid_t pid = fs::is_fifo(pidFile()) ? pidFromFifo() : daemonPid();
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ProgramRunner::waitUntil([&] { return ::kill(pid, 0) != 0; }, 10s);
    }

    ProgramResult ctrl(const std::vector<std::string>& args) const {
        return m_runner.run("qk_relay_ctrl", args,
                            {{"QK_RELAY_SERVICE_MANAGER", "direct"},
                             {"QK_RELAY_RUN_DIR", m_runner.scratch("run")},
                             {"QK_RELAY_PASS_MS", "200"}});
    }
    ProgramResult status() const { return ctrl({"--status_service=" + std::string(kService)}); }
    bool statusReaches(const char* running) const {
        return ProgramRunner::waitUntil([&] { return has(status(), running); }, 20s);
    }

    std::string pidFile() const { return m_runner.scratch("run/qk_relay_srvsvc.pid"); }
    pid_t daemonPid() const {
        const std::optional<std::string> text = ProgramRunner::readFile(pidFile());
        return text && !text->empty() ? std::atoi(text->c_str()) : 0;
    }
    pid_t pidFromFifo() const { return read_pid_from_fifo(pidFile()); }
    std::string log() const {
        return ProgramRunner::readFile(
                   m_runner.path("var/log/orvane/qk_relay_ctrl/qk_relay_ctrl.000.log"))
            .value_or("");
    }

    ProgramRunner m_runner;
    std::uint16_t m_port = 0;
};

TEST_F(E2eCtrl, StartsReportsAndStopsTheService) {
    const ProgramResult started = ctrl({"--start_service=qk_relay_srvsvc"});
    EXPECT_EQ(started.exit_code, 0) << started.output();
    EXPECT_TRUE(has(started,
                    "Service: qk_relay_srvsvc. Start Launching.\n"
                    "Service: qk_relay_srvsvc. Has been Launched.\n\n"
                    "Is registered\t: 1\nIs running      : "))
        << started.output();
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s));
    EXPECT_TRUE(statusReaches(kRunning));

    const ProgramResult again = ctrl({"-s", kService});
    EXPECT_EQ(again.exit_code, 74);
    EXPECT_TRUE(has(again, "Service: qk_relay_srvsvc already has been launched."))
        << again.output();

    const pid_t pid = daemonPid();
    const ProgramResult stopped = ctrl({"--stop_service", kService});
    EXPECT_EQ(stopped.exit_code, 0) << stopped.output();
    EXPECT_TRUE(has(stopped,
                    "Service: qk_relay_srvsvc. Stopping...\n"
                    "Service: qk_relay_srvsvc. Has been Stopped...\n\n"
                    "Is registered\t: 1\nIs running      : 0"))
        << stopped.output();
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return ::kill(pid, 0) != 0; }, 20s));
    EXPECT_FALSE(fs::exists(pidFile()));

    const ProgramResult not_running = ctrl({"-t", kService});
    EXPECT_EQ(not_running.exit_code, 74);
    EXPECT_TRUE(has(not_running, "Service: qk_relay_srvsvc hasn't been launched..."))
        << not_running.output();
    EXPECT_TRUE(has(status(), kNotRunning));
    EXPECT_FALSE(fs::exists(m_runner.scratch("run/qk_relay_srvsvc.stopping")));
}

// A daemon that has not yet written its pid file is starting, one that got SIGTERM and has
// not ended is stopping: neither is started again nor stopped twice. The pid file is a FIFO
// at first, which holds the daemon in its start until the test reads it; a stopped (SIGSTOP)
// daemon holds its pending SIGTERM until it continues.
TEST_F(E2eCtrl, NeitherStartsAStartingServiceNorStopsAStoppingOne) {
    ASSERT_EQ(::mkfifo(pidFile().c_str(), 0600), 0);
    const ProgramResult started = ctrl({"-s", kService});
    EXPECT_EQ(started.exit_code, 0) << started.output();
    EXPECT_TRUE(has(started, kNotRunning)) << started.output();
    const ProgramResult starting = ctrl({"-s", kService});
    EXPECT_EQ(starting.exit_code, 74);
    EXPECT_TRUE(has(starting, "qk_relay_srvsvc is starting")) << starting.output();

    // Let the daemon write its pid, and put it where a regular pid file belongs.
    const pid_t pid = pidFromFifo();
    ASSERT_GT(pid, 0);
    fs::remove(pidFile());
    ProgramRunner::writeFile(pidFile(), std::to_string(pid) + "\n");
    ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s));
    EXPECT_TRUE(has(status(), kRunning));

    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    EXPECT_EQ(ctrl({"-t", kService}).exit_code, 0);
    EXPECT_TRUE(has(status(), kNotRunning));
    EXPECT_TRUE(has(ctrl({"-t", kService}), "Service: qk_relay_srvsvc hasn't been launched..."));
    const ProgramResult stopping = ctrl({"-s", kService});
    EXPECT_EQ(stopping.exit_code, 74);
    EXPECT_TRUE(has(stopping, "qk_relay_srvsvc is stopping")) << stopping.output();
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return ::kill(pid, 0) != 0; }, 20s));
    EXPECT_EQ(ctrl({"-s", kService}).exit_code, 0) << "a stopped service starts again";
    EXPECT_TRUE(statusReaches(kRunning));
}

// A daemon that ends during its start (here refused by the single-instance lock, which
// another process holds) is no success: the start fails with the daemon's reason, and the
// daemon's own log holds it, though a daemon has no console.
TEST_F(E2eCtrl, ReportsADaemonThatEndsDuringItsStart) {
    CQKInstanceLock running_service(kService);
    ASSERT_TRUE(running_service.tryLock());
    const ProgramResult started = ctrl({"-s", kService});
    EXPECT_EQ(started.exit_code, 74) << started.output();
    EXPECT_TRUE(has(started, kRefusal)) << started.output();
    EXPECT_FALSE(has(started, "Has been Launched.")) << started.output();
    const std::string service_log =
        ProgramRunner::readFile(
            m_runner.path("var/log/orvane/qk_relay_srvsvc/qk_relay_srvsvc.000.log"))
            .value_or("");
    EXPECT_NE(service_log.find(kRefusal), std::string::npos) << service_log;
}

TEST_F(E2eCtrl, RefusesWhatItCannotDo) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exit_code;
        std::string text;
    } cases[] = {
        {"not installed",
         {"--start_service=qk_relay_nosuch"},
         74,
         "Message = Exception: Service: qk_relay_nosuch has not been registered."},
        {"status of one not installed",
         {"-u", "qk_relay_nosuch"},
         74,
         "Is registered\t: 0\nException: ClassName = Poco::NotFoundException"},
        {"a path",
         {"-s", "../bin/qk_relay_srvsvc"},
         74,
         "Service: ../bin/qk_relay_srvsvc has not been registered."},
        {"a program beside it that is no service",
         {"-s", "qk_relay_keys"},
         74,
         "Service: qk_relay_keys has not been registered."},
        {"stop of one not installed",
         {"-t", "qk_relay_nosuch"},
         74,
         "Service: qk_relay_nosuch has not been registered..."},
        {"128 characters", {"--status_service=" + std::string(128, 'q')}, 0, "usage: "},
        {"129 characters",
         {"--status_service=" + std::string(129, 'q')},
         1,
         "Poco::Util::InvalidArgumentException"},
        {"two commands", {"-s", kService, "-t", kService}, 1, "Incompatible options"},
        {"no command", {}, 0, "--status_service=<service_name>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramResult result = ctrl(c.args);
        EXPECT_EQ(result.exit_code, c.exit_code) << result.output();
        EXPECT_TRUE(has(result, c.text)) << result.output();
    }
    EXPECT_NE(log().find("name = status_service wrong length of value (too long): 128"),
              std::string::npos);

    CQKInstanceLock other_controller("qk_relay_ctrl");
    ASSERT_TRUE(other_controller.tryLock());
    const ProgramResult second = status();
    EXPECT_EQ(second.exit_code, 74);
    EXPECT_TRUE(has(second, kRefusal));
}

}  // namespace
