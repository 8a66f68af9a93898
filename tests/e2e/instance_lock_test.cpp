// The single-instance lock of qk_relay_srv with two users on a machine that protects regular
// files in sticky directories (fs.protected_regular = 2, as a booted Debian sets it): each
// user's first server runs, each user's second is refused, and a killed server's lock is
// free again at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>

#include "ProgramRunner.h"

using namespace std::chrono_literals;

namespace {

constexpr uid_t kOtherUid = 65534;  // nobody
constexpr gid_t kOtherGid = 65534;
constexpr const char* kProtectedRegular = "/proc/sys/fs/protected_regular";
constexpr const char* kRefusal = "Instance of this application has been launched already...";

// Sets fs.protected_regular for the life of the object where the machine lets us.
class ProtectedRegular {
public:
    explicit ProtectedRegular(const std::string& value) {
        std::ifstream(kProtectedRegular) >> m_saved;
        std::ofstream(kProtectedRegular) << value;
    }
    ~ProtectedRegular() {
        if (!m_saved.empty())
            std::ofstream(kProtectedRegular) << m_saved;
    }

private:
    std::string m_saved;
};

class Server {
public:
    explicit Server(const ProgramRunner& runner) : m_runner(runner) {
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_args = {"--start_server", "--in_dir=" + runner.scratch("in"),
                  "--port=" + std::to_string(ports[0]), "--ssl_port=" + std::to_string(ports[1])};
        m_port = ports[0];
    }
    std::unique_ptr<RunningProgram> start() const {
        auto server = m_runner.start("qk_relay_srv", m_args);
        EXPECT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << server->out() << server->err();
        return server;
    }
    // A second server of the same user on other ports.
    ProgramResult second() const {
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        return m_runner.run("qk_relay_srv", {"--start_server", "--in_dir=" + m_runner.scratch("in"),
                                             "--port=" + std::to_string(ports[0]),
                                             "--ssl_port=" + std::to_string(ports[1])});
    }

private:
    const ProgramRunner& m_runner;
    std::vector<std::string> m_args;
    std::uint16_t m_port = 0;
};

TEST(E2eInstanceLock, EachUserRunsOneServerAndAKilledOneFreesItsLock) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a program as another user";
    ProtectedRegular protect("2");

    ProgramRunner other_runner;
    other_runner.runAs(kOtherUid, kOtherGid);
    ASSERT_EQ(other_runner.run("qk_relay_keys", {}).exit_code, 0);
    ProgramRunner root_runner;
    ASSERT_EQ(root_runner.run("qk_relay_keys", {}).exit_code, 0);

    const Server other(other_runner);
    std::unique_ptr<RunningProgram> other_server = other.start();
    ASSERT_TRUE(other_server->running()) << other_server->out() << other_server->err();

    const Server root(root_runner);
    std::unique_ptr<RunningProgram> root_server = root.start();
    ASSERT_TRUE(root_server->running()) << root_server->out() << root_server->err();

    for (const Server* server : {&other, &root}) {
        const ProgramResult refused = server->second();
        EXPECT_EQ(refused.exit_code, 74) << refused.output();
        EXPECT_NE(refused.output().find(kRefusal), std::string::npos) << refused.output();
    }

    root_server->signal(SIGKILL);
    ASSERT_TRUE(root_server->waitForExit(10s).has_value());
    root_server = root.start();
    EXPECT_TRUE(root_server->running()) << root_server->out() << root_server->err();
    EXPECT_TRUE(other_server->running());
}

}  // namespace
