// A sender stopped in the middle of a big file, qk_relay_cln by SIGINT and qk_relay_clnsvc by
// SIGTERM, plain and TLS, sending to qk_relay_srv under a rate limit: each ends within a
// second or so, the file stays in its outgoing tree, and the next run delivers it once (over
// TLS from what the receiver kept of it).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ProgramRunner.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSize = 24u << 20;

struct StopCase {
    const char* name;
    bool service;  // qk_relay_clnsvc and SIGTERM, else qk_relay_cln and SIGINT
    bool tls;
};

std::string random_content() {
    std::mt19937 engine(7);
    std::string content(kSize, '\0');
    for (char& c : content)
        c = static_cast<char>(engine());
    return content;
}

// The most bytes a file below dir holds, hidden temporaries and partial content included.
std::uintmax_t largest_below(const std::string& dir) {
    std::uintmax_t largest = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error))
            largest = std::max(largest, it->file_size(error));
    }
    return largest;
}

bool holds_file_named(const std::string& dir, const std::string& name) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().string().find(name) != std::string::npos)
            return true;
    }
    return false;
}

class E2eSenderStopTest : public ::testing::TestWithParam<StopCase> {
protected:
    void SetUp() override {
        const ProgramResult keys = m_runner.run("qk_relay_keys", {});
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_port = GetParam().tls ? ports[1] : ports[0];
        m_server = m_runner.start(
            "qk_relay_srv", {"--start_server", "--port=" + std::to_string(ports[0]),
                             "--ssl_port=" + std::to_string(ports[1]), "--in_dir=" + in(),
                             "--back_dir=" + back(), "--resume_min_size=1M", "--resume_plain"});
        ASSERT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << m_server->err();
    }
    void TearDown() override {
        m_server->signal(SIGINT);
        EXPECT_TRUE(m_server->waitForExit(20s).has_value());
    }

    std::string in() const { return m_runner.scratch("in"); }
    std::string back() const { return m_runner.scratch("back"); }
    std::string out() const { return m_runner.scratch("out"); }
    std::string source() const { return out() + "/sub/big.bin"; }

    std::vector<std::string> clientArgs() const {
        std::vector<std::string> args = {"--send_files", "--out_dir=" + out(), "--sub_dirs",
                                         "--server_address=127.0.0.1",
                                         "--server_port=" + std::to_string(m_port)};
        if (GetParam().tls)
            args.push_back("--use_ssl");
        return args;
    }
    std::unique_ptr<RunningProgram> startSender() {
        if (!GetParam().service) {
            std::vector<std::string> args = clientArgs();
            args.push_back("--bwlimit=4M");
            return m_runner.start("qk_relay_cln", args);
        }
        ProgramRunner::writeFile(
            m_runner.path("share/orvane/common/qk_relay_clnsvc.xml"),
            "<config><control_code>1</control_code><op_code>1</op_code><out_dir>" + out() +
                "</out_dir><back_dir>" + m_runner.scratch("cln_back") +
                "</back_dir><file></file><server_address>127.0.0.1</server_address>"
                "<server_port>" +
                std::to_string(m_port) + "</server_port><use_ssl>" +
                (GetParam().tls ? "true" : "false") +
                "</use_ssl><sub_dirs>true</sub_dirs><scan_time>1000</scan_time>"
                "<control_port>0</control_port><bw_limit>4M</bw_limit></config>");
        return m_runner.start("qk_relay_clnsvc", {}, {{"QK_RELAY_PASS_MS", "200"}});
    }
    std::string serverLog() const { return m_runner.logsOf("qk_relay_srv"); }

    ProgramRunner m_runner;
    std::uint16_t m_port = 0;
    std::unique_ptr<RunningProgram> m_server;
};

TEST_P(E2eSenderStopTest, EndsWithinASecondAndTheFileStaysForTheNextRun) {
    const std::string content = random_content();
    ProgramRunner::writeFile(source(), content);
    std::unique_ptr<RunningProgram> sender = startSender();
    ASSERT_TRUE(ProgramRunner::waitUntil([&] { return largest_below(in()) >= kSize / 4; }, 30s))
        << sender->out() << sender->err();

    const int signo = GetParam().service ? SIGTERM : SIGINT;
    const auto signalled = std::chrono::steady_clock::now();
    sender->signal(signo);
    const std::optional<int> code = sender->waitForExit(30s);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    ASSERT_TRUE(code.has_value()) << "still running 30 s after the signal";
    std::cout << "[ measured ] " << GetParam().name << ": ended " << seconds
              << " s after the signal" << std::endl;
    EXPECT_LT(seconds, 5.0);
    // The console client ends by the signal, as it always did; the service with 0.
    EXPECT_EQ(*code, GetParam().service ? 0 : 128 + signo) << sender->out() << sender->err();
    EXPECT_TRUE(ProgramRunner::readFile(source()) == content) << "the file left the outgoing tree";
    EXPECT_FALSE(fs::exists(in() + "/sub/big.bin"));

    const ProgramResult again = m_runner.run("qk_relay_cln", clientArgs(), {}, 60s);
    ASSERT_EQ(again.exit_code, 0) << again.output();
    EXPECT_TRUE(ProgramRunner::readFile(in() + "/sub/big.bin") == content);
    EXPECT_FALSE(fs::exists(source()));
    EXPECT_FALSE(holds_file_named(back(), "big.bin")) << "delivered twice";
    if (GetParam().tls) {
        EXPECT_NE(serverLog().find("Resuming file: "), std::string::npos)
            << "the receiver kept nothing of the cut file";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stop, E2eSenderStopTest,
    ::testing::Values(StopCase{"ClientPlain", false, false}, StopCase{"ClientTls", false, true},
                      StopCase{"ServicePlain", true, false}, StopCase{"ServiceTls", true, true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

}  // namespace
