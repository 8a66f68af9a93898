// Two qk_relay_srv receivers sharing one incoming tree and one backup tree, as behind a load
// balancer on machines of their own, with two qk_relay_cln senders sending the same name at
// once, one through each, round after round: every content is whole either under the name,
// among its backups, or refused and still at its sender. Nothing is lost or mixed.
//
// Each program runs in mount and host-name namespaces of its own (unshare): a private
// /run/qk_relay, so each has its own single-instance lock, and a host name of its own, so
// its temporaries carry its own identity. That needs root; elsewhere the test is skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ProgramRunner.h"
#include "TempDir.h"
#include "transfer/CQKNameLock.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kExitRefused = 65;
constexpr int kRounds = 8;
constexpr std::size_t kContentSize = 2 << 20;

// Runs a program as on a machine of its own: "on_own_machine HOST PROGRAM ARGS...".
constexpr const char* kOwnMachineScript = R"(#!/bin/sh
host=$1
shift
exec unshare --mount --uts -- /bin/sh -c \
    'mount -t tmpfs -o mode=0755 qk_relay /run/qk_relay && hostname "$0" && exec "$@"' "$host" "$@"
)";

std::string content_of(int round, int sender) {
    std::mt19937 engine(static_cast<unsigned>(round * 2 + sender));
    std::string bytes = "round " + std::to_string(round) + " sender " + std::to_string(sender);
    bytes.resize(kContentSize);
    for (std::size_t i = 64; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(engine());
    return bytes;
}

// One machine: a tree of the programs, a receiver on the shared trees and a sender's
// outgoing directory.
class Machine {
public:
    explicit Machine(std::string host) : m_host(std::move(host)) {
        ProgramRunner::writeFile(m_runner.path("bin/on_own_machine"), kOwnMachineScript);
        ::chmod(m_runner.path("bin/on_own_machine").c_str(), 0755);
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        m_port = ports[0];
        m_ssl_port = ports[1];
    }

    // False when this machine cannot give a program namespaces of its own.
    bool canRunApart() const { return run({"/bin/true"}).exit_code == 0; }

    ProgramResult keys() const { return run({m_runner.path("bin/qk_relay_keys")}); }

    std::unique_ptr<RunningProgram> startReceiver(const std::string& in_dir,
                                                  const std::string& back_dir) const {
        auto server = m_runner.start(
            "on_own_machine",
            {m_host, m_runner.path("bin/qk_relay_srv"), "--start_server", "--in_dir=" + in_dir,
             "--back_dir=" + back_dir, "--port=" + std::to_string(m_port),
             "--ssl_port=" + std::to_string(m_ssl_port)});
        EXPECT_TRUE(ProgramRunner::waitForPort(m_port, 10s)) << server->out() << server->err();
        return server;
    }

    ProgramResult send(std::uint16_t port) const {
        return run({m_runner.path("bin/qk_relay_cln"), "--send_files", "--out_dir=" + outDir(),
                    "--sub_dirs", "--server_address=127.0.0.1",
                    "--server_port=" + std::to_string(port)});
    }

    std::string outDir() const { return m_runner.scratch("out"); }
    std::uint16_t port() const { return m_port; }

private:
    ProgramResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), m_host);
        return m_runner.run("on_own_machine", args, {{"QK_RELAY_DIR_GRACE_MS", "0"}});
    }

    const std::string m_host;
    ProgramRunner m_runner;
    std::uint16_t m_port = 0;
    std::uint16_t m_ssl_port = 0;
};

TEST(E2eSharedIncoming, SendersOfOneNameThroughTwoReceiversLoseAndMixNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for namespaces of its own";
    ::mkdir("/run/qk_relay", 0755);
    Machine a("qk-relay-a");
    Machine b("qk-relay-b");
    if (!a.canRunApart())
        GTEST_SKIP() << "unshare cannot give a program namespaces of its own here";
    for (const Machine* machine : {&a, &b}) {
        const ProgramResult keys = machine->keys();
        ASSERT_EQ(keys.exit_code, 0) << keys.output();
    }
    TempDir shared;
    const std::string in = shared / "in";
    const std::string back = shared / "back";
    auto receiver_a = a.startReceiver(in, back);
    auto receiver_b = b.startReceiver(in, back);
    ASSERT_FALSE(HasFatalFailure());

    std::map<std::string, std::string> delivered;  // content -> who sent it
    int refused = 0;
    const std::string relative = "sub/same.bin";
    for (int round = 0; round < kRounds; ++round) {
        const std::string contents[2] = {content_of(round, 0), content_of(round, 1)};
        ProgramRunner::writeFile(a.outDir() + "/" + relative, contents[0]);
        ProgramRunner::writeFile(b.outDir() + "/" + relative, contents[1]);
        ProgramResult results[2];
        std::thread other([&] { results[1] = b.send(b.port()); });
        results[0] = a.send(a.port());
        other.join();
        const Machine* senders[2] = {&a, &b};
        for (int sender = 0; sender < 2; ++sender) {
            SCOPED_TRACE("round " + std::to_string(round) + " sender " + std::to_string(sender));
            const std::string left = senders[sender]->outDir() + "/" + relative;
            if (results[sender].exit_code == 0) {
                EXPECT_FALSE(fs::exists(left));
                delivered[contents[sender]] = "round " + std::to_string(round);
            } else {
                EXPECT_EQ(results[sender].exit_code, kExitRefused) << results[sender].output();
                EXPECT_TRUE(ProgramRunner::readFile(left) == contents[sender]);
                ++refused;
            }
        }
    }
    std::cout << delivered.size() << " delivered, " << refused << " refused" << std::endl;

    // Every delivered content exactly once under the name or among its backups, whole; no
    // other file, and no temporary, in either tree.
    std::map<std::string, int> found;
    for (const std::string& root : {in, back}) {
        if (!fs::exists(root))
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string name = entry.path().filename();
            if (entry.is_directory() || name == CQKNameLock::kFileName)
                continue;
            const std::optional<std::string> content = ProgramRunner::readFile(entry.path());
            EXPECT_TRUE(content && delivered.count(*content) == 1)
                << entry.path() << " holds no content that was delivered whole";
            if (content)
                ++found[*content];
        }
    }
    for (const auto& [content, round] : delivered)
        EXPECT_EQ(found[content], 1) << "the content sent in " << round;
}

}  // namespace
