// The plain listener and its receiving connections, spoken to by a raw client on loopback.
#include <gtest/gtest.h>

#include <cstdlib>

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <thread>

#include "CQKTcpSrv.h"
#include "Eventually.h"
#include "Immutable.h"
#include "RawClient.h"
#include "TempDir.h"
#include "base/qk_path.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKNameLock.h"
#include "transfer/qk_relay_metrics.h"

namespace {

// The listeners' time limit for their peers: generous, as a busy machine may be slow to send
// 16 MiB or the parts of a split frame. Tests of the time limit itself set kShortTimeout.
const Poco::Timespan kPeerTimeout(30, 0);
const Poco::Timespan kShortTimeout(0, 300000);

// Every entry below dir, recursively, as paths relative to dir; the incoming root's name lock
// file, which receivers keep there for good, aside.
std::vector<std::string> tree_of(const std::string& dir) {
    std::vector<std::string> entries;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        std::string rel = pending.back();
        pending.pop_back();
        for (Poco::DirectoryIterator it(dir + "/" + rel), end; it != end; ++it) {
            if (rel.empty() && it.name() == CQKNameLock::kFileName)
                continue;
            std::string child = rel.empty() ? it.name() : rel + "/" + it.name();
            entries.push_back(child);
            if (it->isDirectory())
                pending.push_back(child);
        }
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        SQKSrvParams params;
        params.m_in_dir = m_root / "in";
        params.m_back_dir = m_root / "back";
        Poco::File(params.m_in_dir).createDirectories();
        m_listener.setParams(params);
        m_listener.setTimeout(kPeerTimeout);
        m_listener.start();
    }
    void TearDown() override {
        if (!m_listener.isStopped())
            m_listener.stop();
    }

    std::unique_ptr<RawClient> connect() {
        auto client = std::make_unique<RawClient>(m_listener.boundPort());
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK) << "greeting";
        return client;
    }
    std::string in(const std::string& rel) const { return "in/" + rel; }
    // The listener serves a new client after whatever the test did to the last one.
    void expectStillServing() {
        auto client = connect();
        EXPECT_EQ(client->sendFile("alive.txt", "", "ok"), QK_SEND_FILE_FOK);
    }

    TempDir m_root;
    CQKTcpSrv m_listener;
};

TEST_F(ReceiverTest, ReceivesFilesIntoSubDirectoriesAndEndsOnFinishedAll) {
    auto client = connect();
    EXPECT_EQ(client->sendFile("a.txt", "", "alpha"), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile("b.bin", "x\\y", std::string(70000, 'b')), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile("c.txt", "x/z", "gamma"), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile("empty", "", ""), QK_SEND_FILE_FOK);
    client->send(RawClient::finishedAllFrame());
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_TRUE(client->closedByPeer());

    EXPECT_EQ(m_root.readFile(in("a.txt")), "alpha");
    EXPECT_EQ(m_root.readFile(in("x/y/b.bin")), std::string(70000, 'b'));
    EXPECT_EQ(m_root.readFile(in("x/z/c.txt")), "gamma");
    EXPECT_EQ(m_root.readFile(in("empty")), "");
    // No temporaries are left beside the files.
    EXPECT_EQ(tree_of(m_root / "in"), (std::vector<std::string>{"a.txt", "empty", "x", "x/y",
                                                                "x/y/b.bin", "x/z", "x/z/c.txt"}));
}

TEST_F(ReceiverTest, CrcMismatchIsRefusedAndLeavesNothingUnderTheName) {
    auto client = connect();
    client->send(RawClient::headerFrame("bad.txt", "", 4));
    ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    client->send(std::string("data"));
    client->send(RawClient::finishedFrame(RawClient::crcOf("data") ^ 1));
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
    EXPECT_TRUE(client->closedByPeer());
    EXPECT_TRUE(tree_of(m_root / "in").empty());
    EXPECT_TRUE(eventually([&] { return m_listener.receivingFiles().size() == 0; }));
    expectStillServing();
}

TEST_F(ReceiverTest, ReplacedFileIsBackedUpAndStaysCompleteWhileTheNewOneIsInFlight) {
    m_root.writeFile(in("d/report.txt"), "old complete content");
    auto client = connect();
    const std::string fresh(100000, 'n');
    client->send(RawClient::headerFrame("report.txt", "d", fresh.size()));
    ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    client->send(fresh.substr(0, 50000));
    // Half the new content has arrived: the name still shows the old file, whole.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_root.readFile(in("d/report.txt")), "old complete content");
    client->send(fresh.substr(50000));
    client->send(RawClient::finishedFrame(RawClient::crcOf(fresh)));
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("d/report.txt")), fresh);
    EXPECT_EQ(m_root.readFile("back/d/report.txt"), "old complete content");

    // A second replacement rotates the first backup.
    EXPECT_EQ(client->sendFile("report.txt", "d", "third"), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile("back/d/report.txt"), fresh);
    EXPECT_EQ(m_root.readFile("back/d/report.txt.000.bak"), "old complete content");
}

// A sender retries a refused file: attempts that fail must not rotate the older versions of
// the name out of the backups, and the one that succeeds backs the replaced version up once.
TEST_F(ReceiverTest, FailedAttemptsLeaveTheBackupsAsTheyWere) {
    m_root.writeFile(in("d/name.txt"), "version 2");
    m_root.writeFile("back/d/name.txt", "version 1");
    const std::vector<std::string> backups = tree_of(m_root / "back");
    const std::string fresh = "version 3";
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto client = connect();
        client->send(RawClient::headerFrame("name.txt", "d", fresh.size()));
        ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        client->send(fresh);
        client->send(RawClient::finishedFrame(RawClient::crcOf(fresh) ^ 1));
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
        ASSERT_TRUE(eventually([&] { return m_listener.receivingFiles().size() == 0; }));
    }
    // Its directory unwritable (immutable: root writes anywhere else): refused at the header.
    {
        const Immutable dir_d(m_root / in("d"));
        for (int attempt = 0; dir_d.set() && attempt < 2; ++attempt)
            EXPECT_EQ(connect()->sendFile("name.txt", "d", fresh), QK_SEND_FILE_FERROR);
    }
    EXPECT_EQ(tree_of(m_root / "back"), backups);
    EXPECT_EQ(m_root.readFile("back/d/name.txt"), "version 1");
    EXPECT_EQ(m_root.readFile(in("d/name.txt")), "version 2");

    EXPECT_EQ(connect()->sendFile("name.txt", "d", fresh), QK_SEND_FILE_FOK);
    EXPECT_EQ(tree_of(m_root / "back"),
              (std::vector<std::string>{"d", "d/name.txt", "d/name.txt.000.bak"}));
    EXPECT_EQ(m_root.readFile("back/d/name.txt"), "version 2");
    EXPECT_EQ(m_root.readFile("back/d/name.txt.000.bak"), "version 1");
}

TEST_F(ReceiverTest, SubDirectoryCreatedAnewBetweenFilesGetsTheNextFiles) {
    auto client = connect();
    EXPECT_EQ(client->sendFile("first.txt", "d", "1"), QK_SEND_FILE_FOK);
    // A consumer takes the directory away and creates it anew, with a file to be replaced.
    Poco::File(m_root / "in/d").renameTo(m_root / "in/taken");
    m_root.writeFile(in("d/old.txt"), "old");
    EXPECT_EQ(client->sendFile("second.txt", "d", "2"), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile("old.txt", "d", "new"), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("d/old.txt")), "new");
    EXPECT_EQ(tree_of(m_root / "in"), (std::vector<std::string>{"d", "d/old.txt", "d/second.txt",
                                                                "taken", "taken/first.txt"}));
}

TEST_F(ReceiverTest, PeerThatLeavesOrStallsMidFileLeavesNothingBehind) {
    m_listener.setTimeout(kShortTimeout);
    {
        auto client = connect();
        client->send(RawClient::headerFrame("gone.txt", "", 1000));
        ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        client->send(std::string(10, 'g'));
        client->close();
    }
    {
        auto client = connect();
        client->send(RawClient::headerFrame("stall.txt", "", 1000));
        ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        client->send(std::string(10, 's'));
        // Silent past the time limit: the receiver gives up on the file.
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
    }
    EXPECT_TRUE(eventually([&] { return m_listener.connectionCount() == 0; }));
    EXPECT_TRUE(tree_of(m_root / "in").empty());
    EXPECT_EQ(m_listener.receivingFiles().size(), 0u);
    expectStillServing();
}

// A write that fails mid-file (here the process's file-size limit, on the connection's writer
// thread) refuses the file at its end: the rest of the content is read and dropped, the
// finished frame gets 0x7F, and nothing is named.
TEST_F(ReceiverTest, AWriteThatFailsMidFileRefusesTheFileAtItsEnd) {
    struct FileSizeLimit {
        rlimit saved{};
        void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        FileSizeLimit() {
            ::getrlimit(RLIMIT_FSIZE, &saved);
            rlimit limited = saved;
            limited.rlim_cur = 1 << 20;
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }
        ~FileSizeLimit() {
            ::setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, handler);
        }
    };
    const std::uint64_t refused = qk_receiver_metrics().refused_write.value();
    {
        const FileSizeLimit limit;
        auto client = connect();
        EXPECT_EQ(client->sendFile("big.bin", "", std::string(16 << 20, 'w')), QK_SEND_FILE_FERROR);
        EXPECT_TRUE(client->closedByPeer());
    }
    EXPECT_EQ(qk_receiver_metrics().refused_write.value(), refused + 1);
    EXPECT_TRUE(tree_of(m_root / "in").empty());
    expectStillServing();
}

// A full disk (a 1 MiB tmpfs as the incoming tree): the file's temporary gives its space back
// as soon as a write fails, while the content still arrives; the file is refused at its end,
// nothing is named or backed up, and a file that fits is delivered next.
TEST_F(ReceiverTest, AFullDiskRefusesTheFileAndGivesItsSpaceBackAtOnce) {
    const std::string in_dir = m_root / "in";
    if (::mount("tmpfs", in_dir.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no tmpfs mount here: " << std::strerror(errno);
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{in_dir};
    m_root.writeFile("in/d/big.bin", "old");
    const auto temporary_open = [&] {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
            const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
            if (target.rfind(in_dir + "/d/", 0) == 0 && target != in_dir + "/d/big.bin")
                return true;
        }
        return false;
    };
    const auto used = [&] {
        struct statvfs info {};
        ::statvfs(in_dir.c_str(), &info);
        return (info.f_blocks - info.f_bfree) * info.f_frsize;
    };
    const std::uint64_t refused = qk_receiver_metrics().refused_write.value();
    const std::string content(3 << 20, 'f');
    auto client = connect();
    client->send(RawClient::headerFrame("big.bin", "d", content.size()));
    ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    ASSERT_TRUE(temporary_open());
    client->send(content);
    EXPECT_TRUE(eventually([&] { return !temporary_open() && used() < (64 << 10); }));
    client->send(RawClient::finishedFrame(RawClient::crcOf(content)));
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
    EXPECT_TRUE(client->closedByPeer());
    EXPECT_EQ(qk_receiver_metrics().refused_write.value(), refused + 1);
    EXPECT_EQ(tree_of(in_dir), (std::vector<std::string>{"d", "d/big.bin"}));
    EXPECT_EQ(m_root.readFile("in/d/big.bin"), "old");
    EXPECT_FALSE(m_root.exists("back/d/big.bin"));

    const std::string fits(512 << 10, 's');
    EXPECT_EQ(connect()->sendFile("big.bin", "d", fits), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile("in/d/big.bin"), fits);
    EXPECT_EQ(m_root.readFile("back/d/big.bin"), "old");
}

TEST_F(ReceiverTest, FramesSplitByTheNetworkAreGathered) {
    auto client = connect();
    std::vector<std::uint8_t> header = RawClient::headerFrame("split.txt", "s", 3);
    client->send(std::vector<std::uint8_t>(header.begin(), header.begin() + 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client->send(std::vector<std::uint8_t>(header.begin() + 2, header.end() - 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client->send(std::vector<std::uint8_t>(header.end() - 3, header.end()));
    ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    client->send(std::string("abc"));
    std::vector<std::uint8_t> finished = RawClient::finishedFrame(RawClient::crcOf("abc"));
    client->send(std::vector<std::uint8_t>(finished.begin(), finished.begin() + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client->send(std::vector<std::uint8_t>(finished.begin() + 1, finished.end()));
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("s/split.txt")), "abc");
}

struct BadFrame {
    const char* what;
    std::vector<std::uint8_t> prefix;  // sent and acknowledged first (a header)
    std::vector<std::uint8_t> frame;
};

TEST_F(ReceiverTest, MalformedFramesGetErrorStatusAndTheListenerKeepsServing) {
    const std::vector<std::uint8_t> empty_header = RawClient::headerFrame("e", "", 0);
    std::vector<std::uint8_t> unterminated = RawClient::headerFrame("abc", "", 1);
    unterminated.resize(1 + 18 + 2);  // the name's terminator lies outside the frame
    unterminated[1] = static_cast<std::uint8_t>(unterminated.size() - 1);
    const BadFrame cases[] = {
        {"header code alone", {}, {QK_FILE_SEND_FHEADER}},
        {"finished code alone", empty_header, {QK_SEND_FILE_FFINISHED}},
        {"finished without a file", {}, RawClient::finishedFrame(0)},
        {"finished-all with a trailing byte", {}, {QK_SEND_FILE_FFINISHED_ALL, 0}},
        {"status code as frame", {}, {QK_SEND_FILE_FOK, 1}},
        {"read-config code", {}, {QK_FILE_SEND_READ_CONFIG}},
        {"apply-config code", {}, {QK_FILE_SEND_APPLY_CONFIG}},
        {"no-status code", {}, {QK_FILE_SEND_FNO_STATUS}},
        {"error code", {}, {QK_SEND_FILE_FERROR}},
        {"undefined code", {}, {0x80, 1, 2}},
        {"header terminator outside the frame", {}, unterminated},
        {"header instead of finished", empty_header, RawClient::headerFrame("f", "", 0)},
    };
    // A frame still incomplete when the time limit ends is malformed.
    m_listener.setTimeout(kShortTimeout);
    for (const BadFrame& c : cases) {
        SCOPED_TRACE(c.what);
        auto client = connect();
        if (!c.prefix.empty()) {
            client->send(c.prefix);
            ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        }
        client->send(c.frame);
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
        EXPECT_TRUE(client->closedByPeer());
    }
    EXPECT_TRUE(tree_of(m_root / "in").empty());
    expectStillServing();
}

TEST_F(ReceiverTest, NamesThatWouldLeaveTheIncomingDirectoryAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"..", ""},    {".", ""},      {"a/b", ""},         {"x", "../outside"},
        {"x", "/abs"}, {"x", "\\abs"}, {"x", "a/../../up"}, {"x", "a\\..\\..\\up"},
        {"..", "sub"}, {"x", ".."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " in " + c.second);
        auto client = connect();
        client->send(RawClient::headerFrame(c.first, c.second, 1));
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
    }
    EXPECT_EQ(tree_of(m_root.path()), (std::vector<std::string>{"in"}));
    expectStillServing();
}

// A sender may not take the names the receiver keeps for itself: the lock file at the top,
// and the shapes of its temporaries as a file or a sub-directory, which its clean-up of
// crash debris would remove. Nothing of the receiver's is touched, and the same names where
// they are not the receiver's are delivered.
TEST_F(ReceiverTest, NamesTheReceiverKeepsForItselfAreRefused) {
    EXPECT_EQ(connect()->sendFile("first.txt", "", "1"), QK_SEND_FILE_FOK);
    const std::string lock_file = m_root / in(CQKNameLock::kFileName);
    struct stat lock_before {};
    ASSERT_EQ(::stat(lock_file.c_str(), &lock_before), 0);
    const std::string part = ".qk_relay." + qk_machine_tag() + ".4711.3.part";
    const std::pair<std::string, std::string> cases[] = {
        {CQKNameLock::kFileName, ""},
        {".qk_relay.crl_number", ""},  // the record of revocation list numbers
        {part, ""},
        {".qk_relay.4711.3.part", "d"},  // the older form
        {".qk_backup." + qk_machine_tag() + ".4711.3.tmp", "d"},
        {"x.txt", "d/" + part},
        {"x.txt", CQKNameLock::kFileName},
    };
    const std::uint64_t refused = qk_receiver_metrics().refused_name.value();
    for (const auto& [name, sub_dir] : cases) {
        SCOPED_TRACE(name + " in " + sub_dir);
        EXPECT_EQ(connect()->sendFile(name, sub_dir, "x"), QK_SEND_FILE_FERROR);
    }
    EXPECT_EQ(qk_receiver_metrics().refused_name.value(), refused + std::size(cases));
    struct stat lock_after {};
    ASSERT_EQ(::stat(lock_file.c_str(), &lock_after), 0);
    EXPECT_EQ(lock_after.st_ino, lock_before.st_ino);
    EXPECT_EQ(lock_after.st_size, 0);
    EXPECT_EQ(tree_of(m_root / "in"), std::vector<std::string>{"first.txt"});

    auto client = connect();
    EXPECT_EQ(client->sendFile(CQKNameLock::kFileName, "d", "a"), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile(".qk_relay.notes.part", "", "b"), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("d/.qk_relay.lock")), "a");
    EXPECT_EQ(m_root.readFile(in(".qk_relay.notes.part")), "b");
}

// Other accounts read nothing received: files and backups are 0640 and new directories 0750
// under the usual umask, whatever the mode of a replaced file; a set-group-ID incoming
// directory passes its group and the bit down to what is made below it.
TEST_F(ReceiverTest, ReceivedFilesBackupsAndNewDirectoriesAreClosedToOtherAccounts) {
    struct UmaskScope {
        const mode_t saved = ::umask(022);
        ~UmaskScope() { ::umask(saved); }
    } umask_scope;
    const auto info_of = [&](const std::string& rel) {
        struct stat info {};
        EXPECT_EQ(::stat((m_root / rel).c_str(), &info), 0) << rel;
        return info;
    };
    const auto mode_of = [&](const std::string& rel) { return info_of(rel).st_mode & 07777; };
    m_root.writeFile(in("old.txt"), "old");
    ASSERT_EQ(::chmod((m_root / in("old.txt")).c_str(), 0644), 0);
    auto client = connect();
    EXPECT_EQ(client->sendFile("old.txt", "", "new"), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile("f.txt", "d/e", "f"), QK_SEND_FILE_FOK);
    EXPECT_EQ(mode_of(in("old.txt")), 0640u);
    EXPECT_EQ(mode_of("back"), 0750u);
    EXPECT_EQ(mode_of("back/old.txt"), 0640u);
    EXPECT_EQ(mode_of(in("d")), 0750u);
    EXPECT_EQ(mode_of(in("d/e")), 0750u);
    EXPECT_EQ(mode_of(in("d/e/f.txt")), 0640u);

    const gid_t group = ::getegid() == 1 ? 2 : 1;
    ASSERT_EQ(::chown((m_root / "in").c_str(), static_cast<uid_t>(-1), group), 0);
    ASSERT_EQ(::chmod((m_root / "in").c_str(), 02770), 0);
    EXPECT_EQ(client->sendFile("g.txt", "s/t", "g"), QK_SEND_FILE_FOK);
    for (const std::string rel : {"s", "s/t"}) {
        EXPECT_EQ(mode_of(in(rel)), 02750u) << rel;
        EXPECT_EQ(info_of(in(rel)).st_gid, group) << rel;
    }
    EXPECT_EQ(mode_of(in("s/t/g.txt")), 0640u);
    EXPECT_EQ(info_of(in("s/t/g.txt")).st_gid, group);
}

TEST_F(ReceiverTest, OnePathIsWrittenByOneConnectionAtATime) {
    // A second listener of the same program shares the registry.
    CQKTcpSrv other;
    other.setParams(m_listener.params());
    other.setTimeout(kPeerTimeout);
    other.shareReceivingFiles(m_listener.receivingFilesPtr());
    other.start();

    auto first = connect();
    first->send(RawClient::headerFrame("same.txt", "", 2));
    ASSERT_EQ(first->readStatus(), QK_SEND_FILE_FOK);

    RawClient second(other.boundPort());
    ASSERT_EQ(second.readStatus(), QK_SEND_FILE_FOK);
    second.send(RawClient::headerFrame("same.txt", "", 2));
    EXPECT_EQ(second.readStatus(), QK_SEND_FILE_FERROR);

    // The first transfer goes on untouched.
    first->send(std::string("ok"));
    first->send(RawClient::finishedFrame(RawClient::crcOf("ok")));
    EXPECT_EQ(first->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("same.txt")), "ok");
    other.stop();
}

// Receivers on other machines sharing the incoming tree: a name that one of them holds (here
// a lock of the test's own, a separate open file as another receiver's would be) is refused
// at its header, touching neither the file there nor its backups, and taken once it is free;
// and the receiver holds the name while it receives, so that the others are refused too.
TEST_F(ReceiverTest, ANameAnotherReceiverHoldsIsRefusedAndOneBeingReceivedIsHeld) {
    m_root.writeFile(in("d/same.txt"), "old");
    CQKNameLock other;
    ASSERT_EQ(other.tryLock(m_root / "in", "d/same.txt"), CQKNameLock::Result::Held);
    EXPECT_EQ(connect()->sendFile("same.txt", "d", "refused"), QK_SEND_FILE_FERROR);
    EXPECT_TRUE(eventually([&] { return m_listener.receivingFiles().size() == 0; }));
    EXPECT_EQ(m_root.readFile(in("d/same.txt")), "old");
    EXPECT_FALSE(m_root.exists("back/d/same.txt"));
    // Another name is not held up.
    EXPECT_EQ(connect()->sendFile("other.txt", "d", "free"), QK_SEND_FILE_FOK);

    other.unlock();
    auto client = connect();
    client->send(RawClient::headerFrame("same.txt", "d", 3));
    ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(other.tryLock(m_root / "in", "d/same.txt"), CQKNameLock::Result::Busy);
    client->send(std::string("new"));
    client->send(RawClient::finishedFrame(RawClient::crcOf("new")));
    EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(other.tryLock(m_root / "in", "d/same.txt"), CQKNameLock::Result::Held);
    EXPECT_EQ(m_root.readFile(in("d/same.txt")), "new");
    EXPECT_EQ(m_root.readFile("back/d/same.txt"), "old");
    EXPECT_EQ(m_root.readFile(in(CQKNameLock::kFileName)), "");
}

// A store that gives no locks (here the lock file's name is taken by a directory) does not
// stop the relay: files are received, kept apart only within the receiver.
TEST_F(ReceiverTest, FilesAreStillReceivedWhereTheStoreGivesNoLocks) {
    Poco::File(m_root / in(CQKNameLock::kFileName)).createDirectories();
    auto client = connect();
    EXPECT_EQ(client->sendFile("a.txt", "", "alpha"), QK_SEND_FILE_FOK);
    EXPECT_EQ(client->sendFile("a.txt", "", "beta"), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("a.txt")), "beta");
    EXPECT_EQ(m_root.readFile("back/a.txt"), "alpha");
}

TEST_F(ReceiverTest, StopReturnsPromptlyWhileAClientIdles) {
    m_listener.setTimeout(Poco::Timespan(30, 0));
    auto client = connect();
    EXPECT_EQ(client->sendFile("idle.txt", "", "i"), QK_SEND_FILE_FOK);
    const auto start = std::chrono::steady_clock::now();
    m_listener.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(client->closedByPeer());
    EXPECT_EQ(m_listener.connectionCount(), 0u);
}

// Idle peers from many addresses (each under any share one address may hold) fill every
// thread: windowed ones that did not ask to keep the connection, and classic ones silent after
// the greeting waiting behind them. Each gives its thread up in turn to the connections that
// wait, and a sender that comes after them all is greeted and delivers.
TEST_F(ReceiverTest, IdlePeersGiveTheirThreadsUpToTheConnectionsThatWait) {
    m_listener.setTimeout(Poco::Timespan(30, 0));
    const std::uint16_t port = m_listener.boundPort();
    const std::uint64_t given_up = qk_receiver_metrics().idle_closed.value();
    QKWindowFrame offer;
    offer.features = QK_WINDOW_FEATURE_FILES;
    offer.files = 64;
    offer.bytes = 1 << 20;
    std::vector<std::uint8_t> window(QK_WINDOW_FRAME_SIZE);
    qk_build_window(window.data(), offer);
    std::vector<std::unique_ptr<RawClient>> windowed;
    for (int i = 0; i < 10; ++i) {
        windowed.push_back(std::make_unique<RawClient>(port, "127.0.0." + std::to_string(2 + i)));
        ASSERT_EQ(windowed.back()->readStatus(), QK_SEND_FILE_FOK);
        windowed.back()->send(window);
        ASSERT_EQ(windowed.back()->readBytes(QK_WINDOW_FRAME_SIZE).size(), QK_WINDOW_FRAME_SIZE);
    }
    std::vector<std::unique_ptr<RawClient>> classic;
    for (int i = 0; i < 10; ++i)
        classic.push_back(std::make_unique<RawClient>(port, "127.0.0." + std::to_string(12 + i)));

    const auto start = std::chrono::steady_clock::now();
    RawClient sender(port, "127.0.0.22");
    ASSERT_EQ(sender.readStatus(Poco::Timespan(20, 0)), QK_SEND_FILE_FOK) << "greeting";
    const auto waited = std::chrono::steady_clock::now() - start;
    std::cout << "[ measured ] greeting beside 20 idle peers after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms"
              << std::endl;
    EXPECT_EQ(sender.sendFile("after-idle.txt", "", "late"), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_root.readFile(in("after-idle.txt")), "late");
    for (auto& peer : windowed)
        EXPECT_TRUE(peer->closedByPeer());
    // The windowed ten, and at least one classic peer before the sender had a thread.
    EXPECT_GE(qk_receiver_metrics().idle_closed.value() - given_up, 11u);
}

TEST(ListenerLifecycle, StopOfAListenerNeverStartedThrowsAndStartTwiceIsRefused) {
    CQKTcpSrv listener;
    try {
        listener.stop();
        FAIL() << "stop() of a listener never started returned";
    } catch (const Poco::Exception& e) {
        EXPECT_EQ(e.message(), "TCP Server hasn't been created...");
    }
    TempDir root;
    SQKSrvParams params;
    params.m_in_dir = root.path();
    listener.setParams(params);
    listener.start();
    EXPECT_THROW(listener.start(), Poco::Exception);
    listener.stop();
}

}  // namespace
