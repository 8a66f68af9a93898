// The client service's sender against a scripted receiver: the list and its empty
// sub-directories, no connection without files, retries, and files that are still being
// written or were modified too recently.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <Poco/File.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ActingAsNobody.h"
#include "CQKTcpClnS.h"
#include "FakeReceiver.h"
#include "TempDir.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_wrong_port.h"

namespace {

using namespace std::chrono_literals;
using Step = FakeReceiver::Step;

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class ServiceSenderTest : public ::testing::Test {
protected:
    ServiceSenderTest() {
        Poco::File(out()).createDirectories();
        params.m_control_code = 1;
        params.m_op_code = 1;
        params.m_out_dir = out();
        params.m_srv_address = "127.0.0.1";
        params.m_srv_port = receiver.port();
        configure(sender);
    }
    void configure(CQKTcpClnS& stream) {
        stream.setParams(&params);
        stream.setTimeout(Poco::Timespan(30, 0));
        stream.setRetryDelay(10ms);
        stream.setDirGrace(0ms);
    }

    std::string out() const { return dir / "out"; }
    std::string out(const std::string& relative) const { return dir / ("out/" + relative); }
    void put(const std::string& relative, const std::string& content) {
        dir.writeFile("out/" + relative, content);
    }

    // One scan's run, by sender alone or over streams with sender first; keeps the console
    // output and waits until the receiver has seen every connection end.
    void run(const std::vector<CQKTcpClnS*>& streams = {}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();  // errors and warnings
        if (streams.empty())
            sender.sendAllFiles();
        else
            sender.sendAllFiles(streams);
        console = testing::internal::GetCapturedStdout();
        console += testing::internal::GetCapturedStderr();
        EXPECT_TRUE(receiver.waitForClosed(receiver.connections().size(), 30s));
    }

    // One scan as "nobody", in a tree that account may enter and write; a test makes parts
    // of it closed to it.
    void openTreeToNobody() {
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(out().c_str(), 0777), 0);
    }
    void runAsNobody() {
        const ActingAsNobody nobody;
        ASSERT_TRUE(nobody.acting);
        run();
    }

    std::vector<std::string> receivedNames() const {
        std::vector<std::string> names;
        for (const FakeReceiver::File& file : receiver.files())
            names.push_back(file.header.sub_dir + "|" + file.header.file_name);
        std::sort(names.begin(), names.end());
        return names;
    }

    ClassicSenders classic;
    TempDir dir;
    FakeReceiver receiver;
    SQKClnSParams params;
    CQKTcpClnS sender;
    std::string console;
};

TEST_F(ServiceSenderTest, ListsFilesAndRemovesEmptySubDirectoriesButNotTheTop) {
    put("top.txt", "t");
    put("a/x.txt", "x");
    Poco::File(out("a/empty")).createDirectories();
    Poco::File(out("e/f")).createDirectories();

    sender.fillList(out());  // without the sub-directory flag
    EXPECT_EQ(sender.fileList(), std::vector<std::string>{out("top.txt")});
    EXPECT_TRUE(dir.exists("out/e/f"));

    params.m_sub_dirs = 1;
    sender.fillList(out());
    std::vector<std::string> listed = sender.fileList();
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{out("a/x.txt"), out("top.txt")}));
    EXPECT_FALSE(dir.exists("out/a/empty"));
    EXPECT_FALSE(dir.exists("out/e"));
    EXPECT_TRUE(dir.exists("out/a"));
}

TEST_F(ServiceSenderTest, NoFilesNoConnectionAndTheTopStays) {
    Poco::File(out("e/f")).createDirectories();
    params.m_sub_dirs = 1;

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK);
    EXPECT_TRUE(receiver.connections().empty());
    EXPECT_FALSE(dir.exists("out/e"));
    EXPECT_TRUE(dir.exists("out"));
}

// A single file the account may read but not write (a producer's 0644 file) is still sent
// alone and removed: never the whole directory in its place.
TEST_F(ServiceSenderTest, AReadOnlySingleFileIsSentAloneAndRemoved) {
    put("ro.txt", "ro");
    put("other.txt", "o");
    ASSERT_EQ(chmod(out("ro.txt").c_str(), 0444), 0);
    params.m_file_path = out("ro.txt");

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(receivedNames(), (std::vector<std::string>{"|ro.txt"}));
    EXPECT_FALSE(dir.exists("out/ro.txt"));
    EXPECT_TRUE(dir.exists("out/other.txt"));
}

TEST_F(ServiceSenderTest, AFileGoneSinceTheListingIsSkipped) {
    put("a.txt", "a");
    put("b.txt", "b");
    receiver.setScript([&](const FakeReceiver::Event& event) {
        if (event.step == Step::Greeting)
            Poco::File(out("b.txt")).remove();
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK);
    EXPECT_EQ(receiver.connections().size(), 1u);
    EXPECT_EQ(receivedNames(), std::vector<std::string>{"|a.txt"});
    EXPECT_EQ(count_of(console, "Exception"), 0u) << console;
}

TEST_F(ServiceSenderTest, ADownServerGetsThreeAttemptsAndTheFileStays) {
    put("f.txt", "f");
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    params.m_srv_port = probe.address().port();
    probe.close();

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FERROR);
    EXPECT_EQ(count_of(console, "Attempt: "), 3u);
    EXPECT_EQ(count_of(console, "Exception: ClassName = "), 3u) << console;
    EXPECT_TRUE(dir.exists("out/f.txt"));
}

// A receiver's TLS port answers a plain sender with a TLS alert record: one attempt, a line
// that names the service's key, and the receiver counts as not reached.
TEST_F(ServiceSenderTest, TheTlsPortIsSaidOnceWithTheKeyAndNotTriedAgain) {
    put("f.txt", "f");
    Poco::Net::ServerSocket tls_port(Poco::Net::SocketAddress("127.0.0.1", 0));
    params.m_srv_port = tls_port.address().port();
    std::thread answer([&] {
        Poco::Net::StreamSocket peer = tls_port.acceptConnection();
        peer.sendBytes(QK_TLS_ALERT_RECORD, sizeof(QK_TLS_ALERT_RECORD));
        peer.shutdownSend();
    });

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    sender.sendAllFiles();
    console = testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    answer.join();

    EXPECT_TRUE(sender.wentToWrongPort());
    EXPECT_EQ(count_of(console, "Attempt: "), 1u) << console;
    EXPECT_EQ(count_of(errors,
                       "answered with TLS: this is its TLS port. Set use_ssl to 1, or "
                       "its plain port"),
              1u)
        << errors;
    EXPECT_TRUE(dir.exists("out/f.txt"));
}

// A list of files that writers hold open connects to nobody; beside a file that is not, the
// held one is passed over on the connection.
TEST_F(ServiceSenderTest, AFileOpenForWritingIsNotSentAndStays) {
    put("w.txt", "partial");
    const int writer = ::open(out("w.txt").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK);
    EXPECT_TRUE(receiver.connections().empty());

    put("other.txt", "o");
    run();

    EXPECT_EQ(receivedNames(), std::vector<std::string>{"|other.txt"});
    EXPECT_EQ(count_of(console, "is open for writing. Left for a later run."), 1u) << console;
    ASSERT_EQ(::write(writer, " and the rest", 13), 13);
    ::close(writer);

    run();

    ASSERT_EQ(receiver.files().size(), 2u);
    EXPECT_EQ(receiver.files()[1].content, "partial and the rest");
    EXPECT_FALSE(dir.exists("out/w.txt"));
}

// The writer opens the file while the receiver holds back its acknowledgement: the copy the
// receiver has is the file as it was, and the file stays whole for the next scan.
TEST_F(ServiceSenderTest, AFileAppendedToBeforeItsAcknowledgementStaysWhole) {
    put("f.log", "first");
    receiver.setScript([&](const FakeReceiver::Event& event) {
        if (event.step == Step::Finished && event.count == 0) {
            const int writer = ::open(out("f.log").c_str(), O_WRONLY | O_APPEND);
            EXPECT_EQ(::write(writer, "+second", 7), 7);
            ::close(writer);
        }
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK);
    ASSERT_EQ(receiver.files().size(), 1u);
    EXPECT_EQ(receiver.files()[0].content, "first");
    EXPECT_TRUE(receiver.files()[0].finished);
    EXPECT_EQ(dir.readFile("out/f.log"), "first+second");
    EXPECT_EQ(count_of(console, "Kept for a later run."), 1u) << console;

    run();

    ASSERT_EQ(receiver.files().size(), 2u);
    EXPECT_EQ(receiver.files()[1].content, "first+second");
    EXPECT_FALSE(dir.exists("out/f.log"));
}

// Neither the owner nor holding CAP_LEASE, the sender gets no lease and compares the file's
// size and modification time instead: a file appended to before its acknowledgement stays.
TEST_F(ServiceSenderTest, WithoutALeaseAChangedFileStaysAndAnUnchangedOneIsSent) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    put("same.txt", "same");
    put("grows.log", "first");
    for (const std::string& path : {dir.path(), out()})
        ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
    for (const std::string& path : {out("same.txt"), out("grows.log")})
        ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    receiver.setScript([&](const FakeReceiver::Event& event) {
        if (event.step == Step::Finished && event.file->header.file_name == "grows.log") {
            const int writer = ::open(out("grows.log").c_str(), O_WRONLY | O_APPEND);
            EXPECT_EQ(::write(writer, "+second", 7), 7);
            ::close(writer);
        }
        return FakeReceiver::status(QK_SEND_FILE_FOK);
    });

    ASSERT_EQ(::seteuid(65534), 0);
    run();
    ASSERT_EQ(::seteuid(0), 0);

    EXPECT_EQ(receivedNames(), (std::vector<std::string>{"|grows.log", "|same.txt"}));
    EXPECT_FALSE(dir.exists("out/same.txt"));
    EXPECT_EQ(dir.readFile("out/grows.log"), "first+second");
}

TEST_F(ServiceSenderTest, MinAgeLeavesAFreshFileAndItsDirectory) {
    put("old.txt", "old");
    put("a/fresh.txt", "fresh");
    Poco::File(out("old.txt")).setLastModified(Poco::Timestamp() - 120 * Poco::Timespan::SECONDS);
    params.m_min_age = 60000;
    params.m_sub_dirs = 1;

    run();

    EXPECT_EQ(receivedNames(), std::vector<std::string>{"|old.txt"});
    EXPECT_EQ(dir.readFile("out/a/fresh.txt"), "fresh");
    EXPECT_FALSE(dir.exists("out/old.txt"));
}

// Producers' temporaries are never listed and keep their directory, also as the named file.
TEST_F(ServiceSenderTest, ExcludedNamesAreNeitherListedNorRemovedAndKeepTheirDirectory) {
    for (const char* name : {"x.tmp", ".hidden", "a/y.part", "x"})
        put(name, name);
    params.m_sub_dirs = 1;
    ASSERT_EQ(params.m_exclude.add(".*, *.tmp,*.part"), "");

    run();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(receivedNames(), std::vector<std::string>{"|x"});
    EXPECT_FALSE(dir.exists("out/x"));
    for (const char* name : {"x.tmp", ".hidden", "a/y.part"})
        EXPECT_EQ(dir.readFile(std::string("out/") + name), name);

    params.m_file_path = out("x.tmp");
    sender.fillList(params.m_file_path);
    EXPECT_TRUE(sender.fileList().empty());
}

// A name the receiver refuses at every scan: the files that arrive meanwhile go before it,
// and from the third scan in a row it is reported at ERROR, once per scan.
TEST_F(ServiceSenderTest, AFileRefusedAtEveryScanGoesLastAndIsReportedFromTheThird) {
    receiver.setScript([](const FakeReceiver::Event& event) {
        const bool refuse = event.step == Step::Header && event.file->header.file_name == "r.txt";
        return FakeReceiver::status(refuse ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK);
    });
    put("r.txt", "refused");
    for (int scan = 1; scan <= 3; ++scan) {
        const std::string fresh = "f" + std::to_string(scan) + ".txt";
        put(fresh, "x");

        run();

        EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FERROR);
        EXPECT_FALSE(dir.exists("out/" + fresh)) << console;
        EXPECT_EQ(dir.readFile("out/r.txt"), "refused");
        EXPECT_EQ(count_of(console, "has been refused"), 1u) << console;
        EXPECT_EQ(count_of(console, "refused at 3 or more runs in a row, first " + out("r.txt")),
                  scan == 3 ? 1u : 0u);
        if (scan > 1) {
            EXPECT_EQ(receiver.files().back().header.file_name,
                      "r.txt");  // the fresh file went first
        }
    }

    // With a pause, the scans that files landing start meanwhile do not offer it again.
    sender.setRefusalPause(1h);
    put("f4.txt", "x");
    run();
    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(receiver.files().back().header.file_name, "f4.txt");
    EXPECT_EQ(count_of(console, "has been refused"), 0u);
    EXPECT_GT(sender.msUntilNextDue(), 0);
}

// A delivered file the account may not remove (its directory is not writable for it) is
// backed up, said once and counted, and not listed at the next scans: no connection, no
// line. A new version of it goes like any file; once the directory is writable, it is
// removed without being sent again.
TEST_F(ServiceSenderTest, ADeliveredFileThatCannotBeRemovedIsNotSentAgainUntilItChanges) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    put("a.txt", "a");
    put("b.txt", "b");
    put("ro/held.txt", "v1");
    openTreeToNobody();
    Poco::File(dir / "back").createDirectories();
    ASSERT_EQ(::chmod((dir / "back").c_str(), 0777), 0);
    params.m_back_dir = dir / "back";
    params.m_sub_dirs = 1;
    const std::string said = "File: " + out("ro/held.txt") +
                             " delivered but cannot be removed: Permission denied (the account "
                             "needs write and search permission on " +
                             out("ro") + "). It is not sent again while it is unchanged.";
    const std::uint64_t counted = qk_sender_metrics().unremovable.value();

    runAsNobody();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(receivedNames(), (std::vector<std::string>{"ro|held.txt", "|a.txt", "|b.txt"}));
    EXPECT_FALSE(dir.exists("out/a.txt"));
    EXPECT_FALSE(dir.exists("out/b.txt"));
    EXPECT_EQ(dir.readFile("back/ro/held.txt"), "v1");
    EXPECT_EQ(count_of(console, said), 1u) << console;
    EXPECT_EQ(qk_sender_metrics().unremovable.value(), counted + 1);

    runAsNobody();

    EXPECT_EQ(receiver.connections().size(), 1u);
    EXPECT_EQ(count_of(console, "delivered but cannot be removed"), 0u) << console;

    dir.writeFile("out/ro/held.txt", "v2");
    runAsNobody();

    ASSERT_EQ(receiver.files().size(), 4u);
    EXPECT_EQ(receiver.files().back().content, "v2");
    EXPECT_EQ(count_of(console, said), 1u) << console;
    EXPECT_EQ(qk_sender_metrics().unremovable.value(), counted + 2);

    ASSERT_EQ(::chmod(out("ro").c_str(), 0777), 0);
    runAsNobody();

    EXPECT_EQ(receiver.connections().size(), 2u);
    EXPECT_FALSE(dir.exists("out/ro/held.txt")) << console;
}

// A file the account may not read is said once, not at every scan, and no connection is
// made for it alone; the files beside it go.
TEST_F(ServiceSenderTest, AFileTheAccountCannotReadIsSaidOnceAndTheOthersGo) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    put("secret.txt", "secret");
    put("ok.txt", "ok");
    openTreeToNobody();
    ASSERT_EQ(::chmod(out("secret.txt").c_str(), 0600), 0);
    const std::string said = "File: " + out("secret.txt") +
                             " cannot be read: Permission denied (the account needs read "
                             "permission on it). It stays in the outgoing directory.";

    runAsNobody();

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FERROR);
    EXPECT_EQ(receivedNames(), std::vector<std::string>{"|ok.txt"});
    EXPECT_EQ(count_of(console, said), 1u) << console;

    runAsNobody();

    EXPECT_EQ(receiver.connections().size(), 1u);
    EXPECT_EQ(count_of(console, "cannot be read"), 0u) << console;
    EXPECT_EQ(dir.readFile("out/secret.txt"), "secret");
}

// Over three streams a tree arrives on several connections. Each file goes to the same stream
// at every scan, and what that stream remembers holds when the first one lists: refused
// files pausing for an hour are not offered again, whichever stream refused them.
TEST_F(ServiceSenderTest, StreamsSendATreeAndKeepWhatTheyRememberOfTheirFiles) {
    CQKTcpClnS second;
    CQKTcpClnS third;
    configure(second);
    configure(third);
    const std::vector<CQKTcpClnS*> streams = {&sender, &second, &third};
    receiver.setScript([](const FakeReceiver::Event& event) {
        const bool refuse = event.step == Step::Header && event.file->header.file_name[0] == 'r';
        return FakeReceiver::status(refuse ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK);
    });
    params.m_sub_dirs = 1;
    for (int i = 0; i < 30; ++i)
        put("d" + std::to_string(i % 4) + "/f" + std::to_string(i), std::to_string(i));
    for (int i = 0; i < 6; ++i)  // on the first stream alone 1 time in 729
        put("r" + std::to_string(i), "refused");

    run(streams);

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FERROR) << console;
    EXPECT_EQ(receiver.files().size(), 36u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(dir.readFile("out/r" + std::to_string(i)), "refused");

    for (CQKTcpClnS* stream : streams)
        stream->setRefusalPause(1h);
    put("d0/late", "late");
    const std::size_t connections = receiver.connections().size();
    run(streams);

    EXPECT_EQ(sender.currResult(), QK_SEND_FILE_FOK) << console;
    EXPECT_EQ(receiver.connections().size(), connections + 1);
    EXPECT_EQ(receiver.files().back().header.file_name, "late");
    EXPECT_GT(sender.msUntilNextDue(), 0);
    EXPECT_FALSE(dir.exists("out/d1")) << "emptied by the first scan, removed by the second";
}

}  // namespace
