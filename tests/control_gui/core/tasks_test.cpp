// The control queue (order, a failing request, cancellation) and the status poller through
// the direct service manager.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/TaskManager.h>

#include <filesystem>

#include "CQKControlTask.h"
#include "CQKStatusesTask.h"
#include "GuiTree.h"
#include "PidFifo.h"
#include "system/CQKDirectManager.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<SQKConfigCodeCtrl> request(std::int32_t code) {
    auto ctrl = std::make_unique<SQKConfigCodeCtrl>();
    ctrl->config_code_ctrl = code;
    return ctrl;
}

class Tasks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tree.ok());
        ProgramRunner::writeFile(m_tree.path("common/qk_relay_srvsvc.xml"),
                                 "<config><control_code>1</control_code><in_dir>/in</in_dir>"
                                 "<back_dir></back_dir><port>5</port><ssl_port>6</ssl_port>"
                                 "<control_port>0</control_port></config>");
    }
    void TearDown() override {
        m_manager.cancelAll();
        m_manager.joinAll();
        // No daemon outlives its test, not even one still held by the FIFO.
        if (m_fifo.empty() || !fs::exists(m_fifo))
            return;
        const pid_t pid = fs::is_fifo(m_fifo) ? pidFromFifo()
                                              : std::atoi(ProgramRunner::readFile(m_fifo)->c_str());
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }

    pid_t pidFromFifo() const { return read_pid_from_fifo(m_fifo); }

    std::string m_fifo;

    GuiTree m_tree;
    Poco::TaskManager m_manager;
};

TEST_F(Tasks, QueueProcessesInOrderAndGoesOnAfterAFailure) {
    fs::remove(m_tree.path("common/qk_relay_clnsvc.xml"));
    auto* queue = new CQKControlTask;
    // The client file is missing: the first request fails, the next ones are still done.
    queue->addConfgCodeCtrl(request(read_file_conf_clns));
    queue->addConfgCodeCtrl(request(read_file_conf_srvs));
    queue->addConfgCodeCtrl(request(read_conf_srvs));
    m_manager.start(queue);
    std::vector<std::int32_t> codes;
    ASSERT_TRUE(ProgramRunner::waitUntil(
        [&] {
            for (auto& reply : m_tree.drain().replies)
                codes.push_back(reply->config_code_ctrl);
            return codes.size() >= 2;
        },
        30s));
    EXPECT_EQ(codes, (std::vector<std::int32_t>{read_file_conf_srvs, read_conf_srvs}));
}

TEST_F(Tasks, CancelOnAnEmptyQueueEndsTheTask) {
    Poco::AutoPtr<CQKControlTask> queue(new CQKControlTask, true);
    m_manager.start(queue.get());
    ASSERT_TRUE(
        ProgramRunner::waitUntil([&] { return queue->state() == Poco::Task::TASK_RUNNING; }, 30s));
    queue->cancel();
    EXPECT_TRUE(
        ProgramRunner::waitUntil([&] { return queue->state() == Poco::Task::TASK_FINISHED; }, 30s));
}

// The latest snapshot the poller posted, read under its mutex.
SQKServicesStatuses latest(GuiTree& tree, CQKStatusesTask*& poller) {
    for (SQKGuiMessage& message : tree.mailbox().takeAll())
        if (message.statuses != nullptr)
            poller = message.statuses;
    if (poller == nullptr)
        return {};
    Poco::Mutex::ScopedLock lock(poller->mutex());
    return poller->snapshot();
}

TEST_F(Tasks, PollerReportsNothingInstalledThenStartingAndRunning) {
    const std::string empty_bin = m_tree.runner().scratch("empty_bin");
    const std::string run_dir = m_tree.runner().scratch("run");
    fs::create_directories(empty_bin);
    fs::create_directories(run_dir);
    std::string bin = empty_bin;
    auto factory = [&](const std::string& name) {
        return std::make_unique<CQKDirectManager>(name, bin, run_dir, 10s);
    };
    m_manager.start(new CQKStatusesTask(&m_tree.mailbox(), 50, factory));
    CQKStatusesTask* poller = nullptr;
    SQKServicesStatuses seen;
    ASSERT_TRUE(
        ProgramRunner::waitUntil([&] { return (seen = latest(m_tree, poller)), poller; }, 30s));
    EXPECT_EQ(seen.cln_registered, 0);
    EXPECT_EQ(seen.srv_state, 30583u);
    EXPECT_STREQ(CQKStatusesTask::stateText(seen.cln_state), "");
    m_manager.cancelAll();
    m_manager.joinAll();

    // A pid file that is a FIFO holds the daemon in its start until the test reads it.
    bin = m_tree.runner().prefix() + "/bin";
    const std::string pid_file = run_dir + "/qk_relay_srvsvc.pid";
    m_fifo = pid_file;
    ASSERT_EQ(::mkfifo(pid_file.c_str(), 0600), 0);
    CQKDirectManager(std::string("qk_relay_srvsvc"), bin, run_dir, 10s).start();
    m_manager.start(new CQKStatusesTask(&m_tree.mailbox(), 50, factory));
    poller = nullptr;
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] { return latest(m_tree, poller).srv_state == QK_SERVICE_STARTING; }, 30s));
    EXPECT_EQ(latest(m_tree, poller).srv_registered, 1);

    const pid_t pid = pidFromFifo();
    ASSERT_GT(pid, 0);
    fs::remove(pid_file);
    ProgramRunner::writeFile(pid_file, std::to_string(pid) + "\n");
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] { return latest(m_tree, poller).srv_state == QK_SERVICE_RUNNING; }, 30s));
    EXPECT_STREQ(CQKStatusesTask::stateText(QK_SERVICE_RUNNING), "Running");
}

}  // namespace
