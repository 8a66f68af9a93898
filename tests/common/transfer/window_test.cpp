// Files in flight: a raw windowed peer against a real listener (one status per file, in
// order, a refused file not ending the connection), and a real sender against a real
// listener and against a classic receiver it must fall back to.
#include <gtest/gtest.h>

#include <Poco/File.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "CQKTcpCln.h"
#include "CQKTcpSrv.h"
#include "Eventually.h"
#include "FakeReceiver.h"
#include "RawClient.h"
#include "TempDir.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKNameLock.h"
#include "transfer/CQKReceivedFile.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_relay_metrics.h"

namespace {

using namespace std::chrono_literals;

// Every entry below dir, relative to it; the name lock file at the top aside.
std::vector<std::string> tree_of(const std::string& dir) {
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().filename() != CQKNameLock::kFileName)
            entries.push_back(std::filesystem::relative(entry.path(), dir).string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::vector<std::uint8_t> window_frame(std::uint16_t files, std::uint16_t features) {
    QKWindowFrame frame;
    frame.features = features;
    frame.files = files;
    frame.bytes = 1 << 20;
    std::vector<std::uint8_t> bytes(QK_WINDOW_FRAME_SIZE);
    qk_build_window(bytes.data(), frame);
    return bytes;
}

// Header, content and finished frame of one file, with its CRC spoiled when asked.
std::vector<std::uint8_t> file_frames(const std::string& name, const std::string& sub_dir,
                                      const std::string& content, bool bad_crc = false) {
    std::vector<std::uint8_t> bytes = RawClient::headerFrame(name, sub_dir, content.size());
    bytes.insert(bytes.end(), content.begin(), content.end());
    const std::vector<std::uint8_t> finished =
        RawClient::finishedFrame(RawClient::crcOf(content) ^ (bad_crc ? 1u : 0u));
    bytes.insert(bytes.end(), finished.begin(), finished.end());
    return bytes;
}

// Bytes this process has read from files and sockets so far.
std::uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return 0;
}

void append(std::vector<std::uint8_t>& stream, const std::vector<std::uint8_t>& bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The senders here offer files in flight whatever the environment says.
        ::unsetenv("QK_RELAY_FILES_IN_FLIGHT");
        SQKSrvParams params;
        params.m_in_dir = m_root / "in";
        params.m_back_dir = m_root / "back";
        Poco::File(params.m_in_dir).createDirectories();
        Poco::File(m_root / "out").createDirectories();
        m_listener.setParams(params);
        m_listener.setTimeout(Poco::Timespan(30, 0));
        m_listener.start();
    }
    void TearDown() override { m_listener.stop(); }

    // Greeted, and the window offered; the answer is left for the test to read.
    std::unique_ptr<RawClient> connectWindowed() {
        auto client = std::make_unique<RawClient>(m_listener.boundPort());
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK) << "greeting";
        client->send(window_frame(64, QK_WINDOW_FEATURE_FILES));
        return client;
    }
    void expectWindowAnswer(RawClient& client) {
        const std::vector<std::uint8_t> answer = client.readBytes(QK_WINDOW_FRAME_SIZE);
        QKWindowFrame frame;
        ASSERT_TRUE(qk_read_window(answer.data(), answer.size(), frame));
        EXPECT_EQ(frame.version, QK_WINDOW_VERSION);
        EXPECT_EQ(frame.features, QK_WINDOW_FEATURE_FILES);
        EXPECT_EQ(frame.files, QK_WINDOW_FILES);
        EXPECT_EQ(frame.bytes, QK_WINDOW_BYTES);
    }

    // Resume granted from files of 1 MiB, on the plain port too.
    void enableResume() {
        SQKSrvParams params = m_listener.params();
        params.m_resume_min_size = 1 << 20;
        params.m_resume_plain = true;
        m_listener.setParams(params);
    }
    // A resumable header of "r.bin" from one source.
    static std::vector<std::uint8_t> resumableHeader(const std::string& sub_dir,
                                                     std::uint64_t size) {
        std::vector<std::uint8_t> frame{QK_FILE_SEND_FRHEADER};
        frame.insert(frame.end(), QK_SOURCE_TAG_SIZE, 0xA5);
        const std::vector<std::uint8_t> classic = RawClient::headerFrame("r.bin", sub_dir, size);
        frame.insert(frame.end(), classic.begin() + 1, classic.end());
        return frame;
    }
    // Greeted, resume offered and granted (the answer and its terms read), header sent.
    std::unique_ptr<RawClient> openResumable(const std::vector<std::uint8_t>& header) {
        auto client = std::make_unique<RawClient>(m_listener.boundPort());
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        client->send(window_frame(64, QK_WINDOW_FEATURE_FILES | QK_WINDOW_FEATURE_RESUME));
        client->send(header);
        std::vector<std::uint8_t> answer = client->readBytes(QK_WINDOW_FRAME_SIZE);
        QKWindowFrame window;
        EXPECT_TRUE(qk_read_window(answer.data(), answer.size(), window));
        EXPECT_EQ(window.features, QK_WINDOW_FEATURE_FILES | QK_WINDOW_FEATURE_RESUME);
        answer = client->readBytes(QK_RESUME_TERMS_SIZE);
        std::uint64_t min_size = 0;
        EXPECT_TRUE(qk_read_resume_terms(answer.data(), answer.size(), min_size));
        EXPECT_EQ(min_size, 1u << 20);
        return client;
    }
    static std::uint64_t offsetOf(RawClient& client) {
        const std::vector<std::uint8_t> frame = client.readBytes(QK_RESUME_OFFSET_SIZE);
        EXPECT_EQ(frame.at(0), QK_FILE_SEND_FRHEADER);
        return qk_read_resume_offset(frame.data());
    }

    // One sending run of a real sender to port; returns its result.
    int send(std::uint16_t port) {
        SQKClnParams params;
        params.m_op_code = OperationCode::send_files;
        params.m_out_dir = m_root / "out";
        params.m_srv_address = "127.0.0.1";
        params.m_srv_port = port;
        params.m_sub_dirs = 1;
        CQKTcpCln sender;
        sender.setParams(params);
        sender.setTimeout(Poco::Timespan(30, 0));
        sender.setRetryDelay(10ms);
        sender.setDirGrace(0ms);
        sender.sendFiles();
        return sender.currResult();
    }

    TempDir m_root;
    CQKTcpSrv m_listener;
};

// Files sent back to back without reading: a name that would leave the incoming directory, a
// spoiled checksum and a name another connection is receiving are each refused in their
// place, and the files around them are delivered whole.
TEST_F(WindowTest, RefusedFilesGetTheirStatusInOrderAndTheOthersAreDelivered) {
    auto holder = std::make_unique<RawClient>(m_listener.boundPort());
    ASSERT_EQ(holder->readStatus(), QK_SEND_FILE_FOK);
    holder->send(RawClient::headerFrame("held.txt", "", 4));
    ASSERT_EQ(holder->readStatus(), QK_SEND_FILE_FOK);

    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    const std::uint64_t name = metrics.refused_name.value();
    const std::uint64_t checksum = metrics.refused_checksum.value();
    const std::uint64_t receiving = metrics.refused_receiving.value();
    const std::uint64_t write = metrics.refused_write.value();
    const std::string big(200000, 'b');
    auto client = connectWindowed();
    std::vector<std::uint8_t> stream;
    const auto add = [&](const std::vector<std::uint8_t>& bytes) { append(stream, bytes); };
    add(file_frames("a.txt", "", "alpha"));
    add(file_frames("x", "../outside", std::string(70000, 'x')));
    add(file_frames("big.bin", "d", big));
    add(file_frames("crc.txt", "d", "spoiled", true));
    add(file_frames("held.txt", "", "mine"));
    add(file_frames("empty", "d/e", ""));
    add(file_frames("last.txt", "", "omega"));
    add(RawClient::finishedAllFrame());
    client->send(stream);

    expectWindowAnswer(*client);
    const std::vector<std::uint8_t> expected{0x00, 0x7F, 0x00, 0x7F, 0x7F, 0x00, 0x00, 0x00};
    EXPECT_EQ(client->readBytes(expected.size()), expected) << "file statuses, finished-all";
    EXPECT_TRUE(client->closedByPeer());
    EXPECT_EQ(metrics.refused_name.value(), name + 1);
    EXPECT_EQ(metrics.refused_checksum.value(), checksum + 1);
    EXPECT_EQ(metrics.refused_receiving.value(), receiving + 1);
    // A file refused at its header is not counted again when its finished frame arrives.
    EXPECT_EQ(metrics.refused_write.value(), write) << "each refused file counted once";

    // The refusal took nothing from the connection that holds the name.
    holder->send(std::string("ours"));
    holder->send(RawClient::finishedFrame(RawClient::crcOf("ours")));
    EXPECT_EQ(holder->readStatus(), QK_SEND_FILE_FOK);

    EXPECT_EQ(m_root.readFile("in/a.txt"), "alpha");
    EXPECT_EQ(m_root.readFile("in/d/big.bin"), big);
    EXPECT_EQ(m_root.readFile("in/d/e/empty"), "");
    EXPECT_EQ(m_root.readFile("in/last.txt"), "omega");
    EXPECT_EQ(m_root.readFile("in/held.txt"), "ours");
    EXPECT_EQ(tree_of(m_root / "in"),
              (std::vector<std::string>{"a.txt", "d", "d/big.bin", "d/e", "d/e/empty", "held.txt",
                                        "last.txt"}));
    EXPECT_FALSE(m_root.exists("outside"));
}

// A disk that fails the flush of "flush.bin" and the naming of "rename.bin" (the link of an
// unnamed file under its name, or the rename of a temporary over it).
class FailingDisk : public CQKIncomingFile {
protected:
    int syncFile(int fd) override {
        return named("flush.bin") ? fail() : CQKIncomingFile::syncFile(fd);
    }
    int linkUnnamed(int fd, LinkWay way, int dir_fd, const char* name) override {
        return named("rename.bin") && std::string(name) == "rename.bin"
                   ? fail()
                   : CQKIncomingFile::linkUnnamed(fd, way, dir_fd, name);
    }
    int renameIn(int dir_fd, const char* from, const char* to) override {
        return named("rename.bin") ? fail() : CQKIncomingFile::renameIn(dir_fd, from, to);
    }

private:
    bool named(const std::string& name) const {
        const std::string& path = targetPath();
        return path.size() >= name.size() + 1 &&
               path.compare(path.size() - name.size() - 1, std::string::npos, "/" + name) == 0;
    }
    static int fail() {
        errno = EIO;
        return -1;
    }
};

// A batch of files in flight in which one file's flush and another's naming fail: those two
// are refused in their place, the files before and after them are delivered, and nothing
// stands under a name that is not whole.
TEST_F(WindowTest, AFlushOrRenameThatFailsInABatchRefusesThatFileAlone) {
    SQKReceivedFile::setContentFactory([] { return std::make_unique<FailingDisk>(); });
    const std::uint64_t write = qk_receiver_metrics().refused_write.value();
    auto client = connectWindowed();
    std::vector<std::uint8_t> stream;
    append(stream, file_frames("a.txt", "", "alpha"));
    append(stream, file_frames("flush.bin", "", std::string(300000, 'f')));
    append(stream, file_frames("b.txt", "d", "beta"));
    append(stream, file_frames("rename.bin", "d", "never named"));
    append(stream, file_frames("z.txt", "", "omega"));
    append(stream, RawClient::finishedAllFrame());
    client->send(stream);

    expectWindowAnswer(*client);
    const std::vector<std::uint8_t> expected{0x00, 0x7F, 0x00, 0x7F, 0x00, 0x00};
    EXPECT_EQ(client->readBytes(expected.size()), expected) << "file statuses, finished-all";
    SQKReceivedFile::setContentFactory(nullptr);
    EXPECT_EQ(qk_receiver_metrics().refused_write.value(), write + 2);
    EXPECT_EQ(tree_of(m_root / "in"), (std::vector<std::string>{"a.txt", "d", "d/b.txt", "z.txt"}));
    EXPECT_EQ(m_root.readFile("in/a.txt"), "alpha");
    EXPECT_EQ(m_root.readFile("in/d/b.txt"), "beta");
    EXPECT_EQ(m_root.readFile("in/z.txt"), "omega");
}

// Resume over the wire: the terms follow the window answer, a resumable header is answered
// at once with the bytes held (none at first, what the cut left the second time, even when
// nothing has written them for longer than partial_hours), the whole file's CRC-32 decides,
// and a resumable file refused at its header gets the offset that sends no content.
TEST_F(WindowTest, AResumableFileGetsItsOffsetAtOnceAndResumesAfterACut) {
    enableResume();
    const std::string content(3 << 20, 'r');
    auto first = openResumable(resumableHeader("", content.size()));
    ASSERT_EQ(offsetOf(*first), 0u);
    first->send(content.substr(0, 2 << 20));
    const std::string store = m_root / "in/.qk_relay.partial";
    ASSERT_TRUE(eventually(
        [&] { return std::filesystem::is_directory(store) && tree_of(store).size() == 1; }));
    first.reset();  // the cut
    ASSERT_TRUE(eventually([&] { return m_listener.receivingFiles().size() == 0; }));
    EXPECT_FALSE(m_root.exists("in/r.bin"));
    const auto two_days_ago = std::filesystem::file_time_type::clock::now() - 48h;
    std::filesystem::last_write_time(store + "/" + tree_of(store)[0], two_days_ago);

    auto second = openResumable(resumableHeader("", content.size()));
    const std::uint64_t held = offsetOf(*second);
    EXPECT_GT(held, 0u);
    EXPECT_LE(held, 2u << 20);
    second->send(content.substr(held));
    second->send(RawClient::finishedFrame(RawClient::crcOf(content)));
    // Its status goes out once the file is committed, before or after the next header's
    // offset: taken first, so that the offset follows.
    EXPECT_EQ(second->readStatus(), QK_SEND_FILE_FOK);
    second->send(resumableHeader("../out", content.size()));  // refused: no content follows
    EXPECT_EQ(offsetOf(*second), QK_RESUME_SKIP);
    second->send(RawClient::finishedFrame(0));
    second->send(RawClient::finishedAllFrame());
    const std::vector<std::uint8_t> statuses{0x7F, 0x00};
    EXPECT_EQ(second->readBytes(statuses.size()), statuses);
    EXPECT_EQ(m_root.readFile("in/r.bin"), content);
    EXPECT_TRUE(tree_of(store).empty());
}

// Headers cut right after their offset (a storm of them) make the receiver read none of the
// bytes held; the transfer that goes on reads them back once.
TEST_F(WindowTest, OnlyATransferThatGoesOnReadsTheBytesHeldBack) {
    enableResume();
    const std::string content(8 << 20, 'h');
    const std::uint64_t cut_at = 4 << 20;
    auto first = openResumable(resumableHeader("", content.size()));
    ASSERT_EQ(offsetOf(*first), 0u);
    first->send(content.substr(0, cut_at));
    const std::string store = m_root / "in/.qk_relay.partial";
    ASSERT_TRUE(eventually([&] {
        const std::vector<std::string> held = tree_of(store);
        return held.size() == 1 && std::filesystem::file_size(store + "/" + held[0]) == cut_at;
    }));
    first.reset();
    ASSERT_TRUE(eventually([&] { return m_listener.receivingFiles().size() == 0; }));

    const std::uint64_t before = bytes_read();
    for (int i = 0; i < 10; ++i) {
        auto storm = openResumable(resumableHeader("", content.size()));
        EXPECT_EQ(offsetOf(*storm), cut_at);
        storm.reset();
        ASSERT_TRUE(eventually([&] { return m_listener.receivingFiles().size() == 0; }));
    }
    EXPECT_LT(bytes_read() - before, cut_at) << "a header cut before its content read back";

    auto last = openResumable(resumableHeader("", content.size()));
    ASSERT_EQ(offsetOf(*last), cut_at);
    last->send(content.substr(cut_at));
    last->send(RawClient::finishedFrame(RawClient::crcOf(content)));
    last->send(RawClient::finishedAllFrame());
    EXPECT_EQ(last->readBytes(2), (std::vector<std::uint8_t>{0x00, 0x00}));
    EXPECT_GE(bytes_read() - before, cut_at);
    EXPECT_LT(bytes_read() - before, 2 * cut_at) << "read back once";
    EXPECT_EQ(m_root.readFile("in/r.bin"), content);
}

// The plain port grants resume only when the operator turns it on; a header whose file
// cannot fit in the free space beyond the reserve is refused before its content; and a
// connection takes the terms in force at each header: resume turned off since its start
// receives a resumable file whole, keeping nothing partial.
TEST_F(WindowTest, TheTermsInForceAtEachHeaderDecide) {
    SQKSrvParams params = m_listener.params();
    params.m_resume_min_size = 1 << 20;
    m_listener.setParams(params);
    auto plain = std::make_unique<RawClient>(m_listener.boundPort());
    ASSERT_EQ(plain->readStatus(), QK_SEND_FILE_FOK);
    plain->send(window_frame(64, QK_WINDOW_FEATURE_FILES | QK_WINDOW_FEATURE_RESUME));
    expectWindowAnswer(*plain);
    plain.reset();

    enableResume();
    auto client = openResumable(resumableHeader("", 1ull << 60));
    EXPECT_EQ(offsetOf(*client), QK_RESUME_SKIP);
    client->send(RawClient::finishedFrame(0));
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
    params = m_listener.params();
    params.m_resume_min_size = 0;
    m_listener.setParams(params);
    const std::string content(2 << 20, 'w');
    client->send(resumableHeader("", content.size()));
    EXPECT_EQ(offsetOf(*client), 0u);
    client->send(content);
    client->send(RawClient::finishedFrame(RawClient::crcOf(content)));
    client->send(RawClient::finishedAllFrame());
    EXPECT_EQ(client->readBytes(2), (std::vector<std::uint8_t>{0x00, 0x00}));
    EXPECT_EQ(m_root.readFile("in/r.bin"), content);
    const std::string store = m_root / "in/.qk_relay.partial";
    EXPECT_TRUE(!std::filesystem::exists(store) || tree_of(store).empty());
}

// The window frame opens a conversation or nothing: later, or malformed, it is refused and
// the connection ends; files finished before it still get their statuses first.
TEST_F(WindowTest, AWindowFrameOnlyOpensTheConversation) {
    // After a classic file, and offering no files or no feature.
    const std::vector<std::uint8_t> refused[] = {window_frame(64, QK_WINDOW_FEATURE_FILES),
                                                 window_frame(0, QK_WINDOW_FEATURE_FILES),
                                                 window_frame(8, 0)};
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        SCOPED_TRACE(i);
        RawClient client(m_listener.boundPort());
        ASSERT_EQ(client.readStatus(), QK_SEND_FILE_FOK);
        if (i == 0) {
            ASSERT_EQ(client.sendFile("classic.txt", "", "c"), QK_SEND_FILE_FOK);
        }
        client.send(refused[i]);
        EXPECT_EQ(client.readStatus(), QK_SEND_FILE_FERROR);
        EXPECT_TRUE(client.closedByPeer());
    }
    {
        SCOPED_TRACE("a second window frame");
        auto client = connectWindowed();
        std::vector<std::uint8_t> stream = file_frames("first.txt", "", "1");
        append(stream, window_frame(64, QK_WINDOW_FEATURE_FILES));
        client->send(stream);
        expectWindowAnswer(*client);
        EXPECT_EQ(client->readBytes(2), (std::vector<std::uint8_t>{0x00, 0x7F}));
        EXPECT_TRUE(client->closedByPeer());
    }
    EXPECT_EQ(tree_of(m_root / "in"), (std::vector<std::string>{"classic.txt", "first.txt"}));
}

// More files than the first window and than one batch of commits, one of them refused (its
// name held by another receiver of the shared tree): the status that refuses it settles that
// very file, so it alone stays with the sender, and no file is counted in flight after.
TEST_F(WindowTest, ASenderKeepsExactlyTheFileTheReceiverRefused) {
    std::map<std::string, std::string> tree;
    for (int i = 0; i < 300; ++i)
        tree["s" + std::to_string(i % 3) + "/f" + std::to_string(i)] =
            std::string(i * 7, 'a' + i % 26);
    for (const auto& [path, content] : tree)
        m_root.writeFile("out/" + path, content);
    CQKNameLock other;
    ASSERT_EQ(other.tryLock(m_root / "in", "s1/f100"), CQKNameLock::Result::Held);
    const double in_flight = qk_sender_metrics().files_in_flight.value();

    EXPECT_NE(send(m_listener.boundPort()), 0) << "a file stayed";
    EXPECT_EQ(qk_sender_metrics().files_in_flight.value(), in_flight);
    for (const auto& [path, content] : tree) {
        const bool refused = path == "s1/f100";
        const std::string kept = (refused ? "out/" : "in/") + path;
        EXPECT_TRUE(m_root.exists(kept) && m_root.readFile(kept) == content) << kept;
        EXPECT_FALSE(m_root.exists((refused ? "in/" : "out/") + path)) << path;
    }

    other.unlock();
    EXPECT_EQ(send(m_listener.boundPort()), 0);
    EXPECT_EQ(m_root.readFile("in/s1/f100"), tree["s1/f100"]);
    EXPECT_TRUE(tree_of(m_root / "out").empty());
}

// A classic receiver refuses the offer and ends the connection: the run goes on at once in
// the classic conversation and delivers everything, and a later run to the same receiver
// speaks classically from its first byte.
TEST_F(WindowTest, ASenderFallsBackToAClassicReceiverAndRemembersIt) {
    FakeReceiver classic;
    const std::map<std::string, std::string> first{
        {"a.txt", "alpha"}, {"d/b.bin", std::string(100000, 'b')}, {"d/c.txt", "gamma"}};
    for (const auto& [path, content] : first)
        m_root.writeFile("out/" + path, content);
    const double in_flight = qk_sender_metrics().files_in_flight.value();
    const std::uint64_t failed = qk_sender_metrics().failed_attempts.value();

    EXPECT_EQ(send(classic.port()), 0);
    ASSERT_TRUE(classic.waitForClosed(2, 30s));
    std::vector<FakeReceiver::Connection> connections = classic.connections();
    ASSERT_EQ(connections.size(), 2u);
    ASSERT_FALSE(connections[0].bytes.empty());
    EXPECT_EQ(connections[0].bytes[0], QK_FILE_SEND_FWINDOW) << "the offer comes first";
    EXPECT_TRUE(connections[0].protocol_error);
    EXPECT_TRUE(connections[0].files.empty());
    EXPECT_TRUE(connections[1].finished_all);
    std::map<std::string, std::string> received;
    for (const FakeReceiver::File& file : connections[1].files) {
        const std::string dir = file.header.sub_dir.empty() ? "" : file.header.sub_dir + "/";
        received[dir + file.header.file_name] = file.content;
    }
    EXPECT_EQ(received, first);
    EXPECT_TRUE(tree_of(m_root / "out").empty());
    EXPECT_EQ(qk_sender_metrics().files_in_flight.value(), in_flight);
    EXPECT_EQ(qk_sender_metrics().failed_attempts.value(), failed) << "the fallback is no failure";

    m_root.writeFile("out/later.txt", "later");
    EXPECT_EQ(send(classic.port()), 0);
    ASSERT_TRUE(classic.waitForClosed(3, 30s));
    connections = classic.connections();
    ASSERT_EQ(connections.size(), 3u) << "one connection, classic from the start";
    ASSERT_EQ(connections[2].files.size(), 1u);
    EXPECT_EQ(connections[2].files[0].content, "later");
}

}  // namespace
