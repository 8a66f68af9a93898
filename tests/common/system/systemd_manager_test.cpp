// The systemd service manager against a stand-in systemctl first on PATH (systemd does not
// run here): the script records its arguments and answers from files of the test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <Poco/Exception.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "TempDir.h"
#include "system/CQKSystemdManager.h"

using namespace std::chrono_literals;

namespace {

// show: prints the file "unit"; start and stop: fail with the text of "refusal" when it
// exists; "hang" makes every call sleep.
constexpr const char* kStandIn = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
[ -e "$dir/hang" ] && sleep 10
case "$1" in
show) cat "$dir/unit" ;;
*) if [ -e "$dir/refusal" ]; then cat "$dir/refusal" >&2; exit 1; fi ;;
esac
)";

class SystemdManager : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir.writeFile("systemctl", kStandIn);
        ::chmod((m_dir / "systemctl").c_str(), 0755);
        m_saved_path = std::getenv("PATH");
        ::setenv("PATH", (m_dir.path() + ":" + m_saved_path).c_str(), 1);
    }
    void TearDown() override { ::setenv("PATH", m_saved_path.c_str(), 1); }

    void unit(const std::string& states) { m_dir.writeFile("unit", states); }
    std::string calls() const { return m_dir.exists("calls") ? m_dir.readFile("calls") : ""; }

    TempDir m_dir;
    std::string m_saved_path;
    CQKSystemdManager m_service{"qk_relay_srvsvc", "systemctl", 2000ms};
};

TEST(SystemdStates, MapActiveAndSubStateToTheServiceStates) {
    const struct {
        const char* active;
        const char* sub;
        std::uint32_t state;
    } cases[] = {
        {"activating", "start", QK_SERVICE_STARTING},
        {"activating", "auto-restart", QK_SERVICE_STARTING},
        {"active", "running", QK_SERVICE_RUNNING},
        {"reloading", "reload", QK_SERVICE_RUNNING},
        {"active", "exited", QK_SERVICE_STOPPED},
        {"deactivating", "stop-sigterm", QK_SERVICE_STOPPING},
        {"inactive", "dead", QK_SERVICE_STOPPED},
        {"failed", "failed", QK_SERVICE_STOPPED},
        {"maintenance", "", QK_SERVICE_NO_STATE},
        {"", "", QK_SERVICE_NO_STATE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CQKSystemdManager::stateOf(c.active, c.sub), c.state) << c.active << "/" << c.sub;
}

TEST_F(SystemdManager, AsksForTheUnitOfTheNameAndReadsItsStates) {
    unit("loaded\nactive\nrunning\n");
    EXPECT_TRUE(m_service.isRegistered());
    EXPECT_TRUE(m_service.isRunning());
    EXPECT_EQ(m_service.state(), QK_SERVICE_RUNNING);
    EXPECT_EQ(calls().substr(0, calls().find('\n')),
              "show -p LoadState,ActiveState,SubState --value -- qk_relay_srvsvc.service");

    unit("loaded\nactivating\nstart\n");
    EXPECT_FALSE(m_service.isRunning());
    EXPECT_EQ(m_service.state(), QK_SERVICE_STARTING);

    unit("not-found\ninactive\ndead\n");
    EXPECT_FALSE(m_service.isRegistered());
    EXPECT_EQ(m_service.state(), QK_SERVICE_NO_STATE);
    EXPECT_THROW(m_service.isRunning(), Poco::NotFoundException);
}

TEST_F(SystemdManager, QueuesStartAndStopAndRaisesRefusalsWithTheirText) {
    m_service.start();
    m_service.stop();
    EXPECT_EQ(calls(),
              "start --no-block --no-ask-password -- qk_relay_srvsvc.service\n"
              "stop --no-block --no-ask-password -- qk_relay_srvsvc.service\n");

    m_dir.writeFile("refusal", "Failed to start qk_relay_srvsvc.service: Access denied\n");
    try {
        m_service.start();
        FAIL() << "a refused start must raise";
    } catch (const Poco::SystemException& e) {
        EXPECT_EQ(e.message(), "Failed to start qk_relay_srvsvc.service: Access denied");
    }
    EXPECT_THROW(m_service.stop(), Poco::SystemException);
}

TEST_F(SystemdManager, GivesUpOnASystemctlThatHangs) {
    m_dir.writeFile("hang", "");
    CQKSystemdManager service("qk_relay_srvsvc", "systemctl", 200ms);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_THROW(service.start(), Poco::TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

}  // namespace
