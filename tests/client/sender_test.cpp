// The sending run against a scripted receiver: what reaches the wire, what is left in the
// outgoing tree, retries and failures.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <cstdlib>

#include <Poco/Checksum.h>
#include <Poco/File.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <chrono>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ActingAsNobody.h"
#include "CQKTcpCln.h"
#include "CQKTcpSslCln.h"
#include "FakeReceiver.h"
#include "Immutable.h"
#include "TempDir.h"
#include "TestPki.h"
#include "transfer/CQKSenderSocket.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_tls.h"

namespace {

using namespace std::chrono_literals;
using Step = FakeReceiver::Step;

std::string pattern(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<char>((i * 31 + 7) % 251);
    return content;
}

std::uint32_t crc_of(const std::string& content) {
    Poco::Checksum crc(Poco::Checksum::TYPE_CRC32);
    crc.update(content.data(), static_cast<unsigned>(content.size()));
    return crc.checksum();
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The readiness time-out of the tests with a receiver that stops reading, in seconds.
constexpr long kStallTimeout = 4;
// More than the socket buffers on both sides of a loopback connection hold.
constexpr std::size_t kStallSize = 32u << 20;

std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> names;
    Poco::File(dir).list(names);
    return names;
}

// A port on which nobody listens.
std::uint16_t closed_port() {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    const std::uint16_t port = probe.address().port();
    probe.close();
    return port;
}

// One sending run with short delays; returns the result and keeps the console output. Waits
// until the receiver has seen every connection end, so that all it got is recorded.
std::uint8_t run_sender(CQKTcpCln& sender, const SQKClnParams& params, const FakeReceiver& receiver,
                        std::string& console, Poco::Timespan timeout = Poco::Timespan(30, 0),
                        std::chrono::milliseconds dir_grace = 0ms) {
    sender.setParams(params);
    sender.setTimeout(timeout);
    sender.setRetryDelay(10ms);
    sender.setDirGrace(dir_grace);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();  // errors and warnings
    sender.sendFiles();
    console = testing::internal::GetCapturedStdout();
    console += testing::internal::GetCapturedStderr();
    EXPECT_TRUE(receiver.waitForClosed(receiver.connections().size(), 30s));
    return sender.currResult();
}

class SenderTest : public ::testing::Test {
protected:
    SenderTest() {
        Poco::File(out()).createDirectories();
        params.m_op_code = OperationCode::send_files;
        params.m_out_dir = out();
        params.m_srv_address = "127.0.0.1";
        params.m_srv_port = receiver.port();
    }

    std::string out() const { return dir / "out"; }
    std::string out(const std::string& relative) const { return dir / ("out/" + relative); }
    void put(const std::string& relative, const std::string& content) {
        dir.writeFile("out/" + relative, content);
    }

    // Empty directories are removed at once unless a test asks for a grace period.
    void run(Poco::Timespan timeout = Poco::Timespan(30, 0),
             std::chrono::milliseconds dir_grace = 0ms) {
        CQKTcpCln sender;
        result = run_sender(sender, params, receiver, console, timeout, dir_grace);
    }

    // The received files by "sub_dir|name".
    std::map<std::string, FakeReceiver::File> received() const {
        std::map<std::string, FakeReceiver::File> by_path;
        for (const FakeReceiver::File& file : receiver.files())
            by_path[file.header.sub_dir + "|" + file.header.file_name] = file;
        return by_path;
    }

    ClassicSenders classic;
    TempDir dir;
    FakeReceiver receiver;
    SQKClnParams params;
    std::string console;
    std::uint8_t result = 0;
};

TEST_F(SenderTest, SendsTreeByteIdenticalAndEmptiesItButTheTop) {
    struct TreeFile {
        const char* path;
        const char* received_as;  // "sub_dir|name" as the receiver sees it
        std::size_t size;
    };
    const TreeFile tree[] = {
        {"empty.bin", "|empty.bin", 0},        {"one.bin", "|one.bin", 1},
        {"a/below.bin", "a|below.bin", 65535}, {"a/c/exact.bin", "a\\c|exact.bin", 65536},
        {"d/over.bin", "d|over.bin", 65537},
    };
    for (const TreeFile& file : tree)
        put(file.path, pattern(file.size));
    Poco::File(out("e/f")).createDirectories();  // holds only an empty directory
    params.m_sub_dirs = 1;

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    const auto files = received();
    ASSERT_EQ(files.size(), std::size(tree));
    for (const TreeFile& sent : tree) {
        ASSERT_EQ(files.count(sent.received_as), 1u) << sent.path;
        const FakeReceiver::File& file = files.at(sent.received_as);
        const std::string content = pattern(sent.size);
        EXPECT_EQ(file.header.file_size, sent.size) << sent.path;
        EXPECT_TRUE(file.content == content) << sent.path;
        EXPECT_TRUE(file.finished) << sent.path;
        EXPECT_EQ(file.crc, crc_of(content)) << sent.path;
    }
    ASSERT_EQ(receiver.connections().size(), 1u);
    EXPECT_TRUE(receiver.connections()[0].finished_all);
    EXPECT_FALSE(receiver.connections()[0].protocol_error);
    EXPECT_TRUE(Poco::File(out()).exists());
    EXPECT_TRUE(entries_of(out()).empty());
}

// A link to a directory is not walked: its files lie outside the outgoing tree and would
// be deleted after sending. What is left beneath a sub-directory keeps it.
TEST_F(SenderTest, SubDirectoryKeepsWhatWasNotSentAndLinksAreNotFollowed) {
    put("a/x.txt", "x");
    dir.writeFile("elsewhere/keep.txt", "keep");
    Poco::File(out("a/b")).createDirectories();
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), out("a/b/link").c_str()), 0);
    params.m_sub_dirs = 1;

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received().count("a|x.txt"), 1u);
    EXPECT_EQ(dir.readFile("elsewhere/keep.txt"), "keep");
    EXPECT_TRUE(Poco::File(out("a/b/link")).isLink());
}

// The outgoing directory may be a link to the real one; links inside it, to files or
// directories, are neither sent nor removed. A named file that is a link sends its target's
// content; the link goes, the target stays.
TEST_F(SenderTest, TheRootAndANamedFileMayBeLinksButLinksInsideAreNotFollowed) {
    dir.writeFile("real/a/x.txt", "x");
    dir.writeFile("secret.txt", "secret");
    ASSERT_EQ(symlink((dir / "secret.txt").c_str(), (dir / "real/a/peek").c_str()), 0);
    dir.writeFile("real/a/b/y.txt", "y");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    params.m_out_dir = dir / "link";
    params.m_sub_dirs = 1;

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(received().size(), 2u);
    EXPECT_EQ(received().at("a|x.txt").content, "x");
    EXPECT_EQ(received().at("a\\b|y.txt").content, "y");
    EXPECT_FALSE(dir.exists("real/a/b")) << "an emptied sub-directory is removed";
    EXPECT_TRUE(Poco::File(dir / "real/a/peek").isLink());
    EXPECT_TRUE(Poco::File(dir / "link").isLink());

    params.m_file_path = dir / "link/a/peek";
    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(received().at("a|peek").content, "secret");
    EXPECT_FALSE(dir.exists("real/a/peek"));
    EXPECT_EQ(dir.readFile("secret.txt"), "secret");
}

TEST_F(SenderTest, WithoutSubDirsSendsOnlyTheTopAndKeepsDirectories) {
    put("top.txt", "top");
    put("a/x.txt", "x");
    Poco::File(out("e")).createDirectories();

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received().count("|top.txt"), 1u);
    EXPECT_FALSE(dir.exists("out/top.txt"));
    EXPECT_EQ(dir.readFile("out/a/x.txt"), "x");
    EXPECT_TRUE(dir.exists("out/e"));
}

// The first attempt fails after the named file was delivered and removed; the retry must
// not fall back to sending the whole directory.
TEST_F(SenderTest, OneFileModeSendsOnlyTheNamedFileWithItsSubDirectory) {
    put("a/one.txt", "one");
    put("b.txt", "b");
    params.m_file_path = out("a/one.txt");
    params.m_sub_dirs = 1;
    receiver.setScript([](const FakeReceiver::Event& event) {
        const bool refuse = event.step == Step::FinishedAll && event.count == 0;
        return FakeReceiver::status(refuse ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    EXPECT_EQ(receiver.connections().size(), 2u);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received().at("a|one.txt").content, "one");
    EXPECT_FALSE(dir.exists("out/a/one.txt"));
    EXPECT_TRUE(dir.exists("out/a"));
    EXPECT_TRUE(dir.exists("out/b.txt"));
}

TEST_F(SenderTest, BacksUpOnlyAfterTheFileIsAcknowledged) {
    put("a/f.txt", "content");
    params.m_back_dir = dir / "back";
    params.m_sub_dirs = 1;
    bool backup_before_ack = true;
    receiver.setScript([&](const FakeReceiver::Event& event) {
        if (event.step == Step::Finished)
            backup_before_ack = dir.exists("back/a/f.txt");
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    EXPECT_FALSE(backup_before_ack);
    EXPECT_EQ(dir.readFile("back/a/f.txt"), "content");
    EXPECT_FALSE(dir.exists("out/a"));
}

// Backup and removal run behind the next file's transfer. A delivered file that cannot be
// removed is backed up, said once and counted, and fails nothing: the files around it are
// removed, and the run's next attempt (the first one lost the receiver at its end) does not
// send it again.
TEST_F(SenderTest, ADeliveredFileThatCannotBeRemovedIsSentOnceAndTheOthersAreRemoved) {
    for (int i = 0; i < 20; ++i)
        put("d" + std::to_string(i % 3) + "/f" + std::to_string(i), std::string(i * 1000, 'x'));
    put("stuck/g.txt", "cannot go");
    const std::string stuck = out("stuck/g.txt");
    const Immutable immutable(stuck);
    if (!immutable.set())
        GTEST_SKIP() << "no immutable files here";
    params.m_back_dir = dir / "back";
    params.m_sub_dirs = 1;
    receiver.setScript([](const FakeReceiver::Event& event) {
        const bool drop = event.step == Step::FinishedAll && event.count == 0;
        return drop ? FakeReceiver::close() : FakeReceiver::status(QK_SEND_FILE_FOK);
    });
    const std::uint64_t counted = qk_sender_metrics().unremovable.value();

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(receiver.connections().size(), 2u);
    EXPECT_EQ(received().size(), 21u);
    EXPECT_EQ(receiver.files().size(), 21u) << "a file was sent twice";
    EXPECT_EQ(count_of(console, "File: " + stuck +
                                    " delivered but cannot be removed: Operation not permitted "
                                    "(the file or its directory is immutable or append-only). "
                                    "It is not sent again while it is unchanged."),
              1u)
        << console;
    EXPECT_EQ(qk_sender_metrics().unremovable.value(), counted + 1);
    EXPECT_TRUE(dir.exists("out/stuck/g.txt"));
    EXPECT_EQ(dir.readFile("back/stuck/g.txt"), "cannot go");
    for (int i = 0; i < 20; ++i) {
        const std::string rel = "d" + std::to_string(i % 3) + "/f" + std::to_string(i);
        EXPECT_FALSE(dir.exists("out/" + rel)) << rel;
        EXPECT_TRUE(dir.exists("back/" + rel)) << rel;
    }
}

// A file or a sub-directory that the account may not read stays, with one ERROR line naming
// the permission; the other files go on the same connection, and the run's result says that
// not everything went.
TEST_F(SenderTest, WhatTheAccountCannotReadStaysAndTheRestIsSent) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    put("secret.txt", "secret");
    put("ok.txt", "ok");
    put("closed/inner.txt", "inner");
    put("open/x.txt", "x");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    for (const char* writable : {"", "open"})
        ASSERT_EQ(::chmod(out(writable).c_str(), 0777), 0);
    ASSERT_EQ(::chmod(out("secret.txt").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(out("closed").c_str(), 0700), 0);
    params.m_sub_dirs = 1;

    {
        const ActingAsNobody nobody;
        ASSERT_TRUE(nobody.acting);
        run();
    }

    EXPECT_EQ(result, QK_SEND_FILE_FERROR);
    EXPECT_EQ(receiver.connections().size(), 1u) << console;
    const auto files = received();
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files.count("|ok.txt") + files.count("open|x.txt"), 2u);
    EXPECT_EQ(count_of(console, "File: " + out("secret.txt") +
                                    " cannot be read: Permission denied (the account needs read "
                                    "permission on it). It stays in the outgoing directory."),
              1u)
        << console;
    EXPECT_EQ(count_of(console, "Directory: " + out("closed") +
                                    " cannot be listed: Permission denied (the account needs "
                                    "read and search permission on it)."),
              1u);
    EXPECT_EQ(dir.readFile("out/secret.txt"), "secret");
    EXPECT_EQ(dir.readFile("out/closed/inner.txt"), "inner");
    EXPECT_FALSE(dir.exists("out/ok.txt"));
    EXPECT_FALSE(dir.exists("out/open"));
}

// The first file is refused, at its header or at its end: it stays, without a backup and not
// tried again in this run, and the second goes on a new connection. The run reports the failure.
class RefusalTest : public SenderTest, public testing::WithParamInterface<Step> {};

TEST_P(RefusalTest, TheFirstFileStaysAndTheSecondGoesOnANewConnection) {
    put("a.txt", "a");
    put("b.txt", "b");
    params.m_back_dir = dir / "back";
    const Step refused_step = GetParam();
    receiver.setScript([refused_step](const FakeReceiver::Event& event) {
        const bool refuse = event.step == refused_step && event.count == 0;
        return FakeReceiver::status(refuse ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FERROR);
    const std::vector<FakeReceiver::Connection> connections = receiver.connections();
    ASSERT_EQ(connections.size(), 2u) << console;
    ASSERT_EQ(connections[0].files.size(), 1u);
    ASSERT_EQ(connections[1].files.size(), 1u);
    if (refused_step == Step::Header) {
        EXPECT_TRUE(connections[0].files[0].content.empty());  // no data after a refusal
    }
    EXPECT_TRUE(connections[1].finished_all);
    const std::string refused = connections[0].files[0].header.file_name;
    const std::string sent = connections[1].files[0].header.file_name;
    EXPECT_NE(refused, sent);
    EXPECT_TRUE(dir.exists("out/" + refused));
    EXPECT_FALSE(dir.exists("back/" + refused));
    EXPECT_FALSE(dir.exists("out/" + sent));
    EXPECT_TRUE(dir.exists("back/" + sent));
    EXPECT_EQ(count_of(console, "has been refused: the receiver refused its"), 1u) << console;
    EXPECT_EQ(count_of(console, "Attempt: "), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sender, RefusalTest, testing::Values(Step::Header, Step::Finished));

// A receiver that refuses everything is not sent the whole tree, one connection per file.
TEST_F(SenderTest, ARunStopsAfterEightRefusalsInARow) {
    for (int i = 0; i < 12; ++i)
        put("f" + std::to_string(i), "x");
    receiver.setAnswer(Step::Header, FakeReceiver::status(QK_SEND_FILE_FERROR));

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FERROR);
    EXPECT_EQ(receiver.connections().size(), 8u);
    EXPECT_EQ(entries_of(out()).size(), 12u);
}

TEST_F(SenderTest, SilentReceiverFailsTheAttemptAfterTheTimeout) {
    put("f.txt", "content");
    receiver.setAnswer(Step::Header, FakeReceiver::silent());

    run(Poco::Timespan(0, 200 * 1000));

    EXPECT_EQ(result, QK_SEND_FILE_FERROR);
    EXPECT_EQ(count_of(console, "Message = Exception: Error receiving of the status..."), 3u);
    EXPECT_TRUE(dir.exists("out/f.txt"));
}

TEST_F(SenderTest, UnreachableServerGetsThreeAttempts) {
    params.m_srv_port = closed_port();

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FERROR);
    EXPECT_EQ(count_of(console, "Attempt: "), 3u);
    EXPECT_EQ(count_of(console, "Attempt: 3\n"), 1u);
    EXPECT_EQ(count_of(console, "Exception: ClassName = "), 3u);
    const std::string refused = "Connection to 127.0.0.1:" + std::to_string(params.m_srv_port) +
                                " failed: Connection refused";
    EXPECT_EQ(count_of(console, refused), 3u) << console;
}

// The close of an attempt without a socket reports "Stream Socket isn't created yet..."; the
// name that could not be resolved is said first.
TEST_F(SenderTest, AnUnresolvableNameIsNamedBeforeTheCloseText) {
    params.m_srv_address = "nohost.invalid";

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FERROR);
    const std::size_t cause = console.find("Connection to nohost.invalid:");
    const std::size_t close = console.find("Stream Socket isn't created yet...");
    EXPECT_LT(cause, close) << console;
    EXPECT_NE(close, std::string::npos) << console;
}

TEST_F(SenderTest, ReachesAReceiverOnIPv6LoopbackBareOrBracketed) {
    FakeReceiver v6_receiver(nullptr, "::1");
    params.m_srv_port = v6_receiver.port();
    for (const char* address : {"::1", "[::1]"}) {
        put("f.bin", pattern(1000));
        params.m_srv_address = address;
        CQKTcpCln sender;
        EXPECT_EQ(run_sender(sender, params, v6_receiver, console, Poco::Timespan(30, 0), 0ms),
                  QK_SEND_FILE_FOK)
            << address << console;
    }
    EXPECT_EQ(v6_receiver.files().size(), 2u);
}

// A name may resolve to an address that refuses before one that takes the connection; when
// none does, the last one's failure is what the caller gets.
TEST_F(SenderTest, ConnectTriesEachAddressInTurn) {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("::1", 0));
    const Poco::Net::SocketAddress closed_v6("::1", probe.address().port());
    probe.close();
    const Poco::Net::SocketAddress closed_v4("127.0.0.1", closed_port());
    const Poco::Timespan timeout(30, 0);

    CQKSenderSocket socket("CQKTcpCln");
    socket.connect({closed_v6, Poco::Net::SocketAddress("127.0.0.1", receiver.port())}, "test",
                   nullptr, timeout);
    EXPECT_TRUE(socket.isOpen());
    socket.close();
    EXPECT_THROW(socket.connect({closed_v4, closed_v6}, "test", nullptr, timeout),
                 Poco::Net::ConnectionRefusedException);
    socket.discard();
    EXPECT_TRUE(receiver.waitForClosed(1, 30s));
}

// Only the refusal of an older receiver (0x7F where the answer to the offer of files in
// flight is due) makes a receiver classic. A close right after the greeting, or a 0x0F, as a
// current receiver gives when it is stopped or cut off, costs the attempt and nothing more:
// every attempt offers files in flight again.
TEST_F(SenderTest, OnlyTheRefusalOfAnOlderReceiverMakesItClassic) {
    ::unsetenv("QK_RELAY_FILES_IN_FLIGHT");
    put("f.txt", "content");
    for (const FakeReceiver::Answer refusal :
         {FakeReceiver::close(), FakeReceiver::status(QK_FILE_SEND_FNO_STATUS)}) {
        FakeReceiver current;  // a port of its own: what a sender remembers is per receiver
        current.setRefusal(refusal);
        params.m_srv_port = current.port();
        CQKTcpCln sender;
        EXPECT_EQ(run_sender(sender, params, current, console), QK_SEND_FILE_FERROR);
        const std::vector<FakeReceiver::Connection> connections = current.connections();
        ASSERT_EQ(connections.size(), 3u) << console;
        for (const FakeReceiver::Connection& connection : connections)
            EXPECT_EQ(connection.bytes.at(0), QK_FILE_SEND_FWINDOW);
        EXPECT_EQ(count_of(console, "takes one file at a time"), 0u) << console;
        EXPECT_TRUE(dir.exists("out/f.txt"));
    }

    params.m_srv_port = receiver.port();
    run();
    EXPECT_EQ(result, QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(count_of(console, "takes one file at a time"), 1u) << console;
    EXPECT_EQ(count_of(console, "Attempt: 2"), 0u) << "the fallback cost an attempt";
}

// A receiver that stops reading in the middle of a file (gone behind a relay that keeps the
// connection) fails the attempt once it has taken nothing for the time-out, however the
// sends were split; the next attempt delivers the file. Returns how long the first attempt
// took, from the start of the run to the next connection.
double run_into_stalled_receiver(CQKTcpCln& sender, const SQKClnParams& params,
                                 FakeReceiver& receiver, const std::string& content,
                                 std::string& console) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point second;
    receiver.setScript([&second](const FakeReceiver::Event& event) {
        if (event.connection == 1 && event.step == Step::Greeting)
            second = Clock::now();
        if (event.connection == 0 && event.step == Step::Header)
            return FakeReceiver::deaf();
        return FakeReceiver::Answer();
    });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(run_sender(sender, params, receiver, console, Poco::Timespan(kStallTimeout, 0)),
              QK_SEND_FILE_FOK)
        << console;
    receiver.setScript(nullptr);
    const std::vector<FakeReceiver::File> files = receiver.files();
    EXPECT_EQ(files.size(), 2u);
    EXPECT_TRUE(!files.empty() && files.back().content == content);
    return std::chrono::duration<double>(second - start).count();
}

TEST_F(SenderTest, AReceiverThatStopsReadingCostsTheTimeout) {
    const std::string content = pattern(kStallSize);
    put("big.bin", content);
    CQKTcpCln sender;
    const double first = run_into_stalled_receiver(sender, params, receiver, content, console);
    std::cout << "[ measured ] plain: given up after " << first << " s (time-out " << kStallTimeout
              << " s)" << std::endl;
    EXPECT_LT(first, kStallTimeout + 3.0);
}

// Files delivered before an attempt failed are gone, so the next attempt sends only the rest.
TEST_F(SenderTest, RetryDoesNotSendDeliveredFilesAgain) {
    put("first.txt", "1");
    put("second.txt", "2");
    receiver.setScript([](const FakeReceiver::Event& event) {
        const bool drop = event.step == Step::Header && event.count == 1;
        return drop ? FakeReceiver::close() : FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    const auto connections = receiver.connections();
    ASSERT_EQ(connections.size(), 2u);
    ASSERT_EQ(connections[0].files.size(), 2u);
    ASSERT_EQ(connections[1].files.size(), 1u);
    EXPECT_EQ(connections[1].files[0].header.file_name, connections[0].files[1].header.file_name);
    EXPECT_TRUE(entries_of(out()).empty());
}

// A file that a writer still holds open is neither sent nor removed; the rest of the run goes on.
TEST_F(SenderTest, AFileOpenForWritingIsLeftAndTheOthersAreSent) {
    put("busy.txt", "partial");
    put("done.txt", "done");
    const int writer = ::open(out("busy.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);

    run();
    ::close(writer);

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received().count("|done.txt"), 1u);
    EXPECT_EQ(dir.readFile("out/busy.txt"), "partial");
    EXPECT_EQ(count_of(console, "busy.txt is open for writing. Left for a later run."), 1u);
}

TEST_F(SenderTest, EmptyFileIsHeaderThenFinishedWithZeroChecksum) {
    put("e", "");

    run();

    std::vector<std::uint8_t> expected(1 + QK_BUFFER_SIZE);
    expected[0] = QK_FILE_SEND_FHEADER;
    expected.resize(1 + qk_build_header(expected.data() + 1, QK_BUFFER_SIZE, {0, "e", ""}));
    const std::uint8_t tail[] = {QK_SEND_FILE_FFINISHED, 0, 0, 0, 0, QK_SEND_FILE_FFINISHED_ALL};
    expected.insert(expected.end(), std::begin(tail), std::end(tail));
    ASSERT_EQ(receiver.connections().size(), 1u);
    EXPECT_EQ(receiver.connections()[0].bytes, expected);
}

// The file changes while the receiver considers its header. The sender must not confirm a
// copy that differs from the file it then deletes: the attempt fails before the finished
// frame, the file stays, and the next attempt sends it as it is now.
struct ChangeCase {
    const char* name;
    std::size_t size;
    std::size_t new_size;
    std::size_t sent_before_failure;
};

class ChangedFileTest : public SenderTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangedFileTest, FailsTheAttemptAndIsSentAgainAsItIsNow) {
    const ChangeCase& change = GetParam();
    put("f.bin", pattern(change.size));
    const std::string changed = pattern(change.new_size);
    receiver.setScript([&](const FakeReceiver::Event& event) {
        if (event.step == Step::Header && event.count == 0)
            dir.writeFile("out/f.bin", changed);
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    const auto connections = receiver.connections();
    ASSERT_EQ(connections.size(), 2u);
    const FakeReceiver::File& first = connections[0].files.at(0);
    EXPECT_EQ(first.header.file_size, change.size);
    EXPECT_EQ(first.content.size(), change.sent_before_failure);
    EXPECT_FALSE(first.finished);
    const FakeReceiver::File& second = connections[1].files.at(0);
    EXPECT_TRUE(second.content == changed);
    EXPECT_EQ(second.crc, crc_of(changed));
    EXPECT_FALSE(dir.exists("out/f.bin"));
}

INSTANTIATE_TEST_SUITE_P(Sender, ChangedFileTest,
                         ::testing::Values(ChangeCase{"Shrunk", 600000, 400000, 262144},
                                           ChangeCase{"Grown", 1000, 1500, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A producer renames the file while its header is considered. The content still travels
// under the header's name from the descriptor that was checked; the file is not removed
// under a name it no longer has, so it stays in the tree under its new one.
TEST_F(SenderTest, AFileRenamedAfterItsHeaderIsDeliveredAndKeptUnderItsNewName) {
    const std::string content = pattern(70000);
    put("f.bin", content);
    receiver.setScript([&](const FakeReceiver::Event& event) {
        if (event.step == Step::Header && event.count == 0)
            Poco::File(out("f.bin")).renameTo(out("g.bin"));
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    const auto connections = receiver.connections();
    ASSERT_EQ(connections.size(), 1u);
    const FakeReceiver::File& sent = connections[0].files.at(0);
    EXPECT_EQ(sent.header.file_name, "f.bin");
    EXPECT_TRUE(sent.finished);
    EXPECT_TRUE(sent.content == content);
    EXPECT_TRUE(dir.exists("out/g.bin"));
}

// A producer's fresh directory (mkdir -p a/b before its first file) is not removed under it;
// an empty one left alone for the grace period is.
TEST_F(SenderTest, EmptyDirectoriesAreRemovedOnlyAfterTheGracePeriod) {
    Poco::File(out("fresh/b")).createDirectories();
    Poco::File(out("old/b")).createDirectories();
    const Poco::Timestamp long_ago = Poco::Timestamp() - 120 * Poco::Timespan::SECONDS;
    Poco::File(out("old/b")).setLastModified(long_ago);
    Poco::File(out("old")).setLastModified(long_ago);
    params.m_sub_dirs = 1;

    run(Poco::Timespan(30, 0), 60s);

    EXPECT_TRUE(dir.exists("out/fresh/b"));
    EXPECT_FALSE(dir.exists("out/old"));
}

// Producers' temporaries are left where they are, and keep their directory; a named file
// that matches is not sent either, and then no connection is made.
TEST_F(SenderTest, ExcludedNamesAreNeitherSentNorRemovedAndKeepTheirDirectory) {
    for (const char* name : {"x.tmp", ".hidden", "a/y.part", "x"})
        put(name, name);
    params.m_sub_dirs = 1;
    ASSERT_EQ(params.m_exclude.add(".* *.tmp *.part"), "");

    run();

    EXPECT_EQ(result, QK_SEND_FILE_FOK) << console;
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received().at("|x").content, "x");
    EXPECT_FALSE(dir.exists("out/x"));
    for (const char* name : {"x.tmp", ".hidden", "a/y.part"})
        EXPECT_EQ(dir.readFile(std::string("out/") + name), name);

    params.m_file_path = out("x.tmp");
    run();
    EXPECT_EQ(result, QK_SEND_FILE_FOK);
    EXPECT_EQ(receiver.connections().size(), 1u) << "nothing to send, no connection";
    EXPECT_EQ(dir.readFile("out/x.tmp"), "x.tmp");
    EXPECT_NE(console.find("matches an exclude pattern"), std::string::npos) << console;
}

TEST_F(SenderTest, CloseAfterFailedConnectLetsTheNextConnectStartAfresh) {
    CQKTcpCln sender;
    params.m_srv_port = closed_port();
    sender.setParams(params);
    EXPECT_THROW(sender.openConnection(), Poco::Net::NetException);
    sender.closeConnection();
    try {
        sender.closeConnection();
        FAIL() << "a second close found a socket";
    } catch (const Poco::Exception& e) {
        EXPECT_EQ(e.message(), "Stream Socket isn't created yet...");
    }

    params.m_srv_port = receiver.port();
    sender.setParams(params);
    sender.openConnection();
    sender.recvStatus(QK_SEND_FILE_FOK);
    sender.sendFinishSendFiles();
    sender.closeConnection();
    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK);
}

// Over TLS the sender must insist on the server's certificate name, and speak TLS 1.3 with
// our receivers and TLS 1.2 with older ones.
class TlsSenderTest : public SenderTest {
protected:
    TlsSenderTest() : pki(sharedTestPki()) {
        put("f.bin", pattern(65537));
        params.m_use_ssl = 1;
        params.m_ssl_key_fpath = pki.clientKey();
        params.m_ssl_cert_fpath = pki.clientCert();
        params.m_ssl_ca_cert_fpath = pki.caCert();
    }

    // The server has our receivers' TLS settings, or with tls12_only those of an older
    // receiver: TLS 1.2 and its one cipher suite.
    std::uint8_t runWithServerCert(const std::string& key, const std::string& cert,
                                   bool tls12_only = false) {
        const Poco::Net::Context::Params server_params = qk_tls_params(key, cert, pki.caCert());
        const Poco::Net::Context::Usage usage = Poco::Net::Context::TLSV1_2_SERVER_USE;
        Poco::Net::Context::Ptr context =
            tls12_only ? Poco::Net::Context::Ptr(new Poco::Net::Context(usage, server_params))
                       : qk_create_tls_context(usage, server_params);
        if (tls12_only)
            SSL_CTX_set_max_proto_version(context->sslContext(), TLS1_2_VERSION);
        SSL_CTX_set_info_callback(context->sslContext(), recordNegotiated);
        {
            std::lock_guard<std::mutex> lock(negotiated_mutex);
            negotiated.clear();
        }
        FakeReceiver tls_receiver(context);
        params.m_srv_port = tls_receiver.port();
        CQKTcpSslCln sender;
        if (!stall_content.empty()) {
            stalled_after =
                run_into_stalled_receiver(sender, params, tls_receiver, stall_content, console);
            return sender.currResult();
        }
        const std::uint8_t tls_result = run_sender(sender, params, tls_receiver, console);
        tls_files = tls_receiver.files();
        return tls_result;
    }

    // "version cipher" of the server's last completed handshake.
    static std::string lastNegotiated() {
        std::lock_guard<std::mutex> lock(negotiated_mutex);
        return negotiated;
    }

    const TestPki& pki;
    std::vector<FakeReceiver::File> tls_files;
    // With content: a run into a receiver that stops reading, and how long it took.
    std::string stall_content;
    double stalled_after = 0;

private:
    static void recordNegotiated(const SSL* ssl, int where, int) {
        if ((where & SSL_CB_HANDSHAKE_DONE) == 0)
            return;
        std::lock_guard<std::mutex> lock(negotiated_mutex);
        negotiated = std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl);
    }

    static inline std::mutex negotiated_mutex;
    static inline std::string negotiated;
};

TEST_F(TlsSenderTest, SendsToAServerThatCarriesTheServerName) {
    EXPECT_EQ(runWithServerCert(pki.serverKey(), pki.serverCert()), QK_SEND_FILE_FOK);
    ASSERT_EQ(tls_files.size(), 1u);
    EXPECT_TRUE(tls_files[0].content == pattern(65537));
    EXPECT_EQ(tls_files[0].crc, crc_of(pattern(65537)));
    EXPECT_FALSE(dir.exists("out/f.bin"));
}

TEST_F(TlsSenderTest, SpeaksTls13AndStillTls12ToOlderServers) {
    EXPECT_EQ(runWithServerCert(pki.serverKey(), pki.serverCert()), QK_SEND_FILE_FOK);
    EXPECT_EQ(lastNegotiated(), "TLSv1.3 TLS_AES_256_GCM_SHA384");
    put("f.bin", pattern(65537));
    EXPECT_EQ(runWithServerCert(pki.serverKey(), pki.serverCert(), true), QK_SEND_FILE_FOK);
    EXPECT_EQ(lastNegotiated(), "TLSv1.2 ECDHE-ECDSA-AES256-GCM-SHA384");
    EXPECT_EQ(tls_files.size(), 1u);
}

// TLS sends bytes in records that a blocking send may split across many calls, each of which
// used to wait the whole time-out.
TEST_F(TlsSenderTest, AReceiverThatStopsReadingCostsTheTimeout) {
    stall_content = pattern(kStallSize);
    put("f.bin", stall_content);
    EXPECT_EQ(runWithServerCert(pki.serverKey(), pki.serverCert()), QK_SEND_FILE_FOK);
    std::cout << "[ measured ] TLS: given up after " << stalled_after << " s (time-out "
              << kStallTimeout << " s)" << std::endl;
    EXPECT_LT(stalled_after, kStallTimeout + 3.0);
}

TEST_F(TlsSenderTest, RefusesAServerOfOurCaWithAnotherName) {
    EXPECT_EQ(runWithServerCert(pki.wrongNameKey(), pki.wrongNameCert()), QK_SEND_FILE_FERROR);
    EXPECT_EQ(count_of(console, "CertificateValidationException"), 3u);
    EXPECT_TRUE(tls_files.empty());
    EXPECT_TRUE(dir.exists("out/f.bin"));
}

}  // namespace
