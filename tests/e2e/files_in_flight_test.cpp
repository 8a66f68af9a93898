// qk_relay_cln with many files in flight to qk_relay_srv, either end killed with SIGKILL in the
// middle: every file is whole under its name at the receiver or still with the sender (or
// both), never partial anywhere, and a second run after the restart delivers the rest.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ProgramRunner.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKNameLock.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class E2eFilesInFlightTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ProgramResult keys = m_runner.run("qk_relay_keys", {});
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_port = ports[0];
        m_ssl_port = ports[1];
        // 2,000 small files in a few sub-directories, and a few of 1 to 4 MiB among them.
        // Their sizes all differ, so a file under another's name is seen as well as a cut one.
        for (int i = 0; i < 2000; ++i)
            m_tree["d" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".dat"] =
                std::string((i * 37) % 4000, static_cast<char>('a' + i % 26));
        for (int i = 1; i <= 4; ++i)
            m_tree["d" + std::to_string(i) + "/big" + std::to_string(i)] =
                std::string(i << 20, static_cast<char>('A' + i));
        for (const auto& [path, content] : m_tree)
            ProgramRunner::writeFile(m_out + "/" + path, content);
    }

    std::unique_ptr<RunningProgram> startServer() {
        std::unique_ptr<RunningProgram> server =
            m_runner.start("qk_relay_srv", {"--start_server", "--port=" + std::to_string(m_port),
                                            "--ssl_port=" + std::to_string(m_ssl_port),
                                            "--in_dir=" + m_in, "--back_dir=" + m_back});
        EXPECT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << server->err();
        return server;
    }
    std::vector<std::string> senderArgs() const {
        return {"--send_files", "--out_dir=" + m_out, "--sub_dirs", "--server_address=127.0.0.1",
                "--server_port=" + std::to_string(m_port)};
    }
    // Starts a sender and waits until a good part of the tree has arrived.
    std::unique_ptr<RunningProgram> startSenderAndWaitForDelivery() {
        std::unique_ptr<RunningProgram> sender =
            m_runner.start("qk_relay_cln", senderArgs(), {{"QK_RELAY_DIR_GRACE_MS", "0"}});
        EXPECT_TRUE(ProgramRunner::waitUntil([&] { return named(m_in).size() >= 300; }, 60s))
            << sender->err();
        return sender;
    }

    // The files below dir by relative path; the name lock file aside, temporaries included.
    static std::map<std::string, fs::path> named(const std::string& dir) {
        std::map<std::string, fs::path> files;
        std::error_code error;
        for (fs::recursive_directory_iterator it(dir, error), end; it != end; it.increment(error)) {
            if (it->is_regular_file(error) && it->path().filename() != CQKNameLock::kFileName)
                files[fs::relative(it->path(), dir).string()] = it->path();
        }
        return files;
    }
    static bool holds(const fs::path& file, const std::string& content) {
        return ProgramRunner::readFile(file.string()) == content;
    }

    // What SIGKILL of either end may leave: each file whole at the receiver or with the sender
    // (an earlier copy of a file delivered twice whole among the backups), nothing partial.
    void expectEveryFileWholeSomewhere() {
        static const std::regex numbered("(.*)\\.[0-9]{3}\\.bak");
        for (const auto& [dir, in_backups] : {std::pair{m_in, false}, std::pair{m_back, true}}) {
            for (const auto& [rel, file] : named(dir)) {
                std::smatch match;
                const std::string name =
                    in_backups && std::regex_match(rel, match, numbered) ? match[1].str() : rel;
                const auto original = m_tree.find(name);
                if (original == m_tree.end() || !holds(file, original->second))
                    ADD_FAILURE() << "not a whole file of the tree: " << file;
            }
        }
        for (const auto& [path, content] : m_tree) {
            const bool received = fs::exists(m_in + "/" + path);
            const bool kept = fs::exists(m_out + "/" + path);
            EXPECT_TRUE(received || kept) << path << " is lost";
            EXPECT_TRUE(!kept || holds(m_out + "/" + path, content)) << path << " changed";
        }
    }
    void expectEverythingDelivered() {
        const std::map<std::string, fs::path> received = named(m_in);
        EXPECT_EQ(received.size(), m_tree.size()) << "missing files, or temporaries left";
        for (const auto& [path, content] : m_tree)
            EXPECT_TRUE(received.count(path) && holds(received.at(path), content)) << path;
        EXPECT_TRUE(fs::is_empty(m_out));
        expectEveryFileWholeSomewhere();
    }
    void sendTheRest() {
        const ProgramResult second =
            m_runner.run("qk_relay_cln", senderArgs(), {{"QK_RELAY_DIR_GRACE_MS", "0"}}, 120s);
        EXPECT_EQ(second.exit_code, 0) << second.output();
    }

    ProgramRunner m_runner;
    std::uint16_t m_port = 0;
    std::uint16_t m_ssl_port = 0;
    const std::string m_out = m_runner.scratch("out");
    const std::string m_in = m_runner.scratch("in");
    const std::string m_back = m_runner.scratch("back");
    std::map<std::string, std::string> m_tree;
};

TEST_F(E2eFilesInFlightTest, AReceiverKilledMidRunLosesNothingAndTheNextRunDeliversTheRest) {
    std::unique_ptr<RunningProgram> server = startServer();
    std::unique_ptr<RunningProgram> sender = startSenderAndWaitForDelivery();
    ASSERT_FALSE(HasFailure());
    server->signal(SIGKILL);
    ASSERT_TRUE(server->waitForExit(10s).has_value());
    const std::optional<int> code = sender->waitForExit(60s);
    ASSERT_TRUE(code.has_value()) << "the sender hangs on a dead receiver";
    ASSERT_NE(*code, 0) << "the run ended before the kill: nothing was in flight";
    expectEveryFileWholeSomewhere();

    server = startServer();
    sendTheRest();
    expectEverythingDelivered();
    server->signal(SIGTERM);
    EXPECT_EQ(server->waitForExit(10s).value_or(-1), 0);
}

TEST_F(E2eFilesInFlightTest, ASenderKilledWithAFullWindowLeavesNothingHalfWritten) {
    std::unique_ptr<RunningProgram> server = startServer();
    std::unique_ptr<RunningProgram> sender = startSenderAndWaitForDelivery();
    ASSERT_FALSE(HasFailure());
    sender->signal(SIGKILL);
    ASSERT_TRUE(sender->waitForExit(10s).has_value());
    ASSERT_FALSE(fs::is_empty(m_out)) << "the run ended before the kill: nothing was in flight";
    // The receiver has dropped the connection once it holds nothing below the incoming tree
    // open: no file being received, no directory of one.
    const std::string proc_fds = "/proc/" + std::to_string(server->pid()) + "/fd";
    const auto holds_incoming = [&] {
        std::error_code error;
        for (const auto& fd : fs::directory_iterator(proc_fds, error)) {
            const std::string target = fs::read_symlink(fd.path(), error).string();
            if (target.rfind(m_in + "/", 0) == 0 && target != m_in + "/" + CQKNameLock::kFileName)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(ProgramRunner::waitUntil([&] { return !holds_incoming(); }, 30s));
    for (const auto& [rel, file] : named(m_in))
        EXPECT_FALSE(CQKIncomingFile::isTemporaryName(file.filename().string())) << rel;
    expectEveryFileWholeSomewhere();

    sendTheRest();
    expectEverythingDelivered();
    server->signal(SIGTERM);
    EXPECT_EQ(server->waitForExit(10s).value_or(-1), 0);
}

}  // namespace
