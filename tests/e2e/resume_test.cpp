// A transfer of a big file cut in the middle (the sender killed with SIGKILL), qk_relay_cln to
// qk_relay_srv over TLS: the next run sends only what the receiver does not hold when the
// source is unchanged, the whole file when it changed, and partial content that does not add
// up is never delivered. Nothing partial is ever under the file's name.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ProgramRunner.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/CQKProgress.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSize = 24u << 20;
constexpr const char* kResuming = "Resuming file: ";

std::string random_content(unsigned seed) {
    std::mt19937 engine(seed);
    std::string content(kSize, '\0');
    for (char& c : content)
        c = static_cast<char>(engine());
    return content;
}

class E2eResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ProgramResult keys = m_runner.run("qk_relay_keys", {});
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_ssl_port = ports[1];
        m_server = m_runner.start(
            "qk_relay_srv", {"--start_server", "--port=" + std::to_string(ports[0]),
                             "--ssl_port=" + std::to_string(m_ssl_port), "--in_dir=" + m_in,
                             "--back_dir=" + m_runner.scratch("back"), "--resume_min_size=1M"});
        ASSERT_TRUE(ProgramRunner::waitForPort(m_ssl_port, 10s)) << m_server->err();
    }
    void TearDown() override {
        m_server->signal(SIGINT);
        EXPECT_TRUE(m_server->waitForExit(20s).has_value());
    }

    std::vector<std::string> senderArgs() const {
        return {"--send_files",
                "--out_dir=" + m_runner.scratch("out"),
                "--sub_dirs",
                "--server_address=127.0.0.1",
                "--server_port=" + std::to_string(m_ssl_port),
                "--use_ssl"};
    }
    std::string source() const { return m_runner.scratch("out/sub/big.bin"); }
    std::string received() const { return m_in + "/sub/big.bin"; }

    // The partial-content files of the receiver.
    std::vector<fs::path> partials() const {
        std::vector<fs::path> files;
        std::error_code error;
        for (const auto& entry :
             fs::directory_iterator(m_in + "/" + CQKPartialStore::kDirName, error))
            files.push_back(entry.path());
        return files;
    }
    std::uintmax_t held() const {
        const std::vector<fs::path> files = partials();
        return files.size() == 1 ? fs::file_size(files[0]) : 0;
    }
    std::string serverLog() const { return m_runner.logsOf("qk_relay_srv"); }

    // A slow sender killed once the receiver holds a quarter of the file, and the receiver
    // done with the connection.
    void cutHalfway() {
        const std::size_t cuts_before = cuts();
        std::unique_ptr<RunningProgram> sender = m_runner.start("qk_relay_cln", [&] {
            std::vector<std::string> args = senderArgs();
            args.push_back("--bwlimit=4M");
            return args;
        }());
        ASSERT_TRUE(ProgramRunner::waitUntil([&] { return held() >= kSize / 4; }, 30s))
            << sender->err();
        sender->signal(SIGKILL);
        sender->waitForExit(10s);
        ASSERT_TRUE(ProgramRunner::waitUntil([&] { return cuts() > cuts_before; }, 10s));
        ASSERT_TRUE(!fs::exists(received()) || fs::file_size(received()) == kSize)
            << "partial content under the file's name";
    }
    // Connections the receiver has finished with.
    std::size_t cuts() const {
        const std::string log = serverLog();
        const std::string line = "Connection Thread Finished";
        std::size_t count = 0;
        for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++count;
        return count;
    }
    ProgramResult sendAgain() const { return m_runner.run("qk_relay_cln", senderArgs(), {}, 60s); }

    ProgramRunner m_runner;
    const std::string m_in = m_runner.scratch("in");
    std::uint16_t m_ssl_port = 0;
    std::unique_ptr<RunningProgram> m_server;
};

TEST_F(E2eResumeTest, AnUnchangedSourceResumesFromWhatTheReceiverHolds) {
    const std::string content = random_content(1);
    ProgramRunner::writeFile(source(), content);
    cutHalfway();
    // Where a cut leaves the receiver is anywhere in a piece of the sender's.
    const std::uintmax_t kept = held() - 12345;
    fs::resize_file(partials().at(0), kept);

    const ProgramResult again = sendAgain();
    ASSERT_EQ(again.exit_code, 0) << again.output();
    EXPECT_TRUE(ProgramRunner::readFile(received()) == content);
    EXPECT_FALSE(fs::exists(source()));
    EXPECT_NE(again.out.find("Resuming " + source() + ": " + std::to_string(kept) + " of " +
                             std::to_string(kSize) + " bytes are at the receiver already"),
              std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("; 0 refused, 0 left, " + qk_bytes_text(kept) + " resumed\n"),
              std::string::npos)
        << again.out;
    EXPECT_TRUE(partials().empty());
    const std::string log = serverLog();
    const std::size_t at = log.find(kResuming);
    ASSERT_NE(at, std::string::npos) << "the second run started from the first byte";
    const std::string from = log.substr(log.find(" from byte ", at) + 11);
    EXPECT_EQ(std::stoull(from), kept);
}

TEST_F(E2eResumeTest, AChangedSourceStartsAfreshAndPartialContentThatDoesNotAddUpIsDropped) {
    ProgramRunner::writeFile(source(), random_content(2));
    cutHalfway();
    const std::string changed = random_content(3);  // same size, new content and times
    ProgramRunner::writeFile(source(), changed);
    ProgramResult again = sendAgain();
    ASSERT_EQ(again.exit_code, 0) << again.output();
    EXPECT_TRUE(ProgramRunner::readFile(received()) == changed);
    EXPECT_EQ(serverLog().find(kResuming), std::string::npos);
    EXPECT_TRUE(partials().empty()) << "the other source's partial content stayed";

    // Held content damaged on the disk: the checksum of the whole file refuses it, the
    // previous file stays, and the run after sends the file from its first byte.
    const std::string third = random_content(4);
    ProgramRunner::writeFile(source(), third);
    cutHalfway();
    {
        std::FILE* partial = std::fopen(partials().at(0).c_str(), "r+b");
        ASSERT_NE(partial, nullptr);
        std::fseek(partial, 4096, SEEK_SET);
        std::fputc(~third[4096], partial);
        std::fclose(partial);
    }
    sendAgain();
    EXPECT_TRUE(ProgramRunner::readFile(received()) == changed);
    EXPECT_TRUE(ProgramRunner::readFile(source()) == third);
    EXPECT_TRUE(partials().empty());
    again = sendAgain();
    ASSERT_EQ(again.exit_code, 0) << again.output();
    EXPECT_TRUE(ProgramRunner::readFile(received()) == third);
}

}  // namespace
