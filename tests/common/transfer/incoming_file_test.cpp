// A received file shows under its name only when complete and synced; failures leave the
// directory as it was.
#include <gtest/gtest.h>

#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "ExitedProcess.h"
#include "RawClient.h"
#include "TempDir.h"
#include "base/qk_path.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKPieceWriter.h"

namespace {

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (Poco::DirectoryIterator it(dir), end; it != end; ++it)
        names.push_back(it.name());
    std::sort(names.begin(), names.end());
    return names;
}

void write_text(CQKIncomingFile& file, const std::string& text) {
    file.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Fails the file sync, as a full or failing disk would.
class FailingSyncFile : public CQKIncomingFile {
protected:
    int syncFile(int) override {
        errno = EIO;
        return -1;
    }
};

// Fails the first flush only, as the kernel reports a write-back error to one flush and
// not again to the next.
class FirstSyncFailsFile : public CQKIncomingFile {
public:
    std::atomic<int> syncs{0};

protected:
    int syncFile(int fd) override {
        if (syncs.fetch_add(1) == 0) {
            errno = EIO;
            return -1;
        }
        return CQKIncomingFile::syncFile(fd);
    }
};

// Records which directory each directory sync went to.
class RecordingSyncFile : public CQKIncomingFile {
public:
    ino_t synced = 0;

protected:
    int syncDirectory(int dir_fd) override {
        struct stat info;
        synced = ::fstat(dir_fd, &info) == 0 ? info.st_ino : 0;
        return CQKIncomingFile::syncDirectory(dir_fd);
    }
};

// Cannot link unnamed files by descriptor, as a process without CAP_DAC_READ_SEARCH; nor
// through /proc unless proc_mounted.
class NoLinkByDescriptorFile : public CQKIncomingFile {
public:
    explicit NoLinkByDescriptorFile(bool proc_mounted) : m_proc_mounted(proc_mounted) {}

protected:
    int linkUnnamed(int fd, LinkWay way, int dir_fd, const char* name) override {
        if (way == LinkWay::ProcFd && m_proc_mounted)
            return CQKIncomingFile::linkUnnamed(fd, way, dir_fd, name);
        errno = ENOENT;
        return -1;
    }

private:
    const bool m_proc_mounted;
};

// Fails every write after the first fail_after bytes, as a full disk would.
class FailingWriteFile : public CQKIncomingFile {
public:
    explicit FailingWriteFile(std::size_t fail_after) : m_left(fail_after) {}

protected:
    long writeSome(int fd, const std::uint8_t* data, std::size_t len) override {
        if (m_left < len) {
            errno = ENOSPC;
            return -1;
        }
        m_left -= len;
        return CQKIncomingFile::writeSome(fd, data, len);
    }

private:
    std::size_t m_left;
};

// Feeds content to the writer piece by piece, as a connection does.
void write_pieces(CQKPieceWriter& writer, const std::string& content) {
    for (std::size_t at = 0; at < content.size(); at += QK_BUFFER_SIZE) {
        const std::size_t len = std::min(QK_BUFFER_SIZE, content.size() - at);
        std::memcpy(writer.freeBuffer(), content.data() + at, len);
        writer.queue(len);
    }
}

ino_t inode_of(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A consumer renames the directory away and creates it anew.
void swap_directory(const TempDir& root, const std::string& away) {
    Poco::File(root / "d").renameTo(root / away);
    Poco::File(root / "d").createDirectory();
}

TEST(IncomingFile, NewAndReplacedFilesAppearOnlyWhenCommitted) {
    TempDir dir;
    CQKIncomingFile file;
    file.open(dir.path(), dir / "new.txt");
    write_text(file, "fresh");
    EXPECT_TRUE(names_in(dir.path()).empty()) << "nothing visible while writing";
    file.commit();
    EXPECT_EQ(dir.readFile("new.txt"), "fresh");

    dir.writeFile("old.txt", "old content");
    file.open(dir.path(), dir / "old.txt");
    write_text(file, "replacement");
    EXPECT_EQ(dir.readFile("old.txt"), "old content");
    file.commit();
    EXPECT_EQ(dir.readFile("old.txt"), "replacement");
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"new.txt", "old.txt"}));
}

TEST(IncomingFile, FailedSyncOrAbandonLeaveTheDirectoryAsItWas) {
    TempDir dir;
    dir.writeFile("kept.txt", "kept");
    FailingSyncFile failing;
    failing.open(dir.path(), dir / "kept.txt");
    write_text(failing, "never seen");
    EXPECT_THROW(failing.commit(), Poco::WriteFileException);
    failing.abandon();

    CQKIncomingFile abandoned;
    abandoned.open(dir.path(), dir / "other.txt");
    write_text(abandoned, "dropped");
    abandoned.abandon();

    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"kept.txt"}));
    EXPECT_EQ(dir.readFile("kept.txt"), "kept");
}

// A big file is flushed while it is written; an error of that flush fails the file even
// though the last flush succeeds, and the target stays as it was.
TEST(IncomingFile, AFailedFlushBehindTheWritesIsNotLostAtTheLastFlush) {
    TempDir dir;
    dir.writeFile("kept.txt", "kept");
    FirstSyncFailsFile file;
    file.open(dir.path(), dir / "kept.txt");
    const std::vector<std::uint8_t> piece(1 << 20, 0x5A);
    bool failed = false;
    for (int i = 0; i < 96 && !failed; ++i) {
        try {
            file.write(piece.data(), piece.size());
        } catch (const Poco::WriteFileException&) {
            failed = true;
        }
    }
    if (!failed) {
        EXPECT_THROW(file.commit(), Poco::WriteFileException);
    }
    file.abandon();
    EXPECT_GE(file.syncs.load(), 1);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"kept.txt"}));
    EXPECT_EQ(dir.readFile("kept.txt"), "kept");
}

// Also: whichever way a file takes, it is 0640 under the usual umask.
TEST(IncomingFile, FilesArePlacedWhenUnnamedFilesCannotBeLinkedByDescriptorOrProc) {
    const mode_t saved_umask = ::umask(022);
    for (const bool proc_mounted : {true, false}) {
        SCOPED_TRACE(proc_mounted ? "through /proc" : "as named temporaries");
        TempDir dir;
        dir.writeFile("old.txt", "old");
        NoLinkByDescriptorFile file(proc_mounted);
        for (const std::string name : {"new.txt", "old.txt", "next.txt"}) {
            file.open(dir.path(), dir / name);
            write_text(file, "content of " + name);
            file.commit();
            EXPECT_EQ(dir.readFile(name), "content of " + name);
            struct stat info {};
            ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0640u) << name;
        }
        EXPECT_EQ(names_in(dir.path()),
                  (std::vector<std::string>{"new.txt", "next.txt", "old.txt"}));
    }
    ::umask(saved_umask);
}

TEST(IncomingFile, ADirectoryCreatedAnewIsWrittenAndSyncedAndASwapMidFileIsRefused) {
    TempDir root;
    Poco::File(root / "d").createDirectory();
    RecordingSyncFile file;
    file.open(root / "d", root / "d/a");
    file.commit();
    swap_directory(root, "taken");
    file.open(root / "d", root / "d/b");
    file.commit();
    EXPECT_EQ(file.synced, inode_of(root / "d"));
    EXPECT_EQ(names_in(root / "d"), (std::vector<std::string>{"b"}));

    file.open(root / "d", root / "d/c");
    swap_directory(root, "taken2");
    EXPECT_THROW(file.commit(), Poco::WriteFileException);
    EXPECT_TRUE(names_in(root / "d").empty());
}

// A directory shared by several machines: only this machine's temporaries of processes that
// have ended (or of an earlier boot) are debris; another machine's are in flight for all we
// know, whatever their pid. Named temporaries are what network file systems get.
TEST(IncomingFile, OnlyThisMachinesTemporariesOfEndedProcessesOrEarlierBootsAreRemoved) {
    const std::string self = qk_machine_tag();  // "<host>-<boot>"
    ASSERT_EQ(self.size(), 21u);
    const std::string host = self.substr(0, 12);
    const std::string boot = self.substr(13);
    const auto flipped = [](std::string hex) {
        hex[0] = hex[0] == '0' ? '1' : '0';
        return hex;
    };
    const std::string dead = std::to_string(exited_process_id());
    const std::string live = std::to_string(getppid());
    const auto temporary = [](const std::string& middle) {
        return ".qk_relay." + middle + ".part";
    };
    const std::string other_machine = temporary(flipped(host) + "-" + boot + "." + dead + ".1");
    const std::string this_machine_live = temporary(self + "." + live + ".1");
    const std::vector<std::string> debris = {
        temporary(self + "." + dead + ".1"),                        // this boot, ended
        temporary(host + "-" + flipped(boot) + "." + live + ".1"),  // an earlier boot
        temporary(dead + ".1"),                                     // older form, ended
    };
    TempDir dir;
    for (const std::string& name : debris)
        dir.writeFile(name, "debris");
    dir.writeFile(other_machine, "in flight elsewhere");
    dir.writeFile(this_machine_live, "in flight here");

    NoLinkByDescriptorFile file(false);
    file.open(dir.path(), dir / "a");
    write_text(file, "new");
    // The file in flight carries this machine's and this process's identity.
    const std::string own = ".qk_relay." + self + "." + std::to_string(getpid()) + ".";
    const std::vector<std::string> during = names_in(dir.path());
    EXPECT_EQ(std::count_if(during.begin(), during.end(),
                            [&](const std::string& name) { return name.rfind(own, 0) == 0; }),
              1);
    file.commit();
    std::vector<std::string> expected = {other_machine, this_machine_live, "a"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(dir.path()), expected);
}

// The receiver's health asks this at every pass: a directory that takes files says so and
// keeps nothing of the probe; one that does not (missing, or on a file system that takes no
// files, as a read-only or lost store) says why.
TEST(IncomingFile, WriteProblemIsEmptyOnlyWhereAFileCanBeCreatedAndLeavesNoTrace) {
    TempDir dir;
    EXPECT_EQ(CQKIncomingFile::writeProblem(dir.path()), "");
    EXPECT_TRUE(names_in(dir.path()).empty());
    const std::string missing = CQKIncomingFile::writeProblem(dir / "missing");
    EXPECT_NE(missing.find(dir / "missing"), std::string::npos) << missing;
    EXPECT_NE(CQKIncomingFile::writeProblem("/proc/self"), "");
}

// The bytes a resumable file holds are read back only when asked, and a reading ended early
// (a cut, a stop) keeps them; while one receiver holds the content no other opens it.
TEST(IncomingFile, TheBytesHeldAreReadBackOnlyWhenAskedAndAnEarlyEndKeepsThem) {
    TempDir root;
    const std::string partial_dir = root / "partial";
    const std::string held_content(3 << 20, 'h');
    root.writeFile("partial/p", held_content);
    const auto open = [&](CQKIncomingFile& file, std::uint64_t& held) {
        return file.openPartial(root.path(), root / "big.bin", partial_dir, "p", 4 << 20, held);
    };
    std::uint64_t held = 0;
    CQKIncomingFile file;
    ASSERT_TRUE(open(file, held));
    EXPECT_EQ(held, held_content.size());
    CQKIncomingFile other;
    std::uint64_t other_held = 0;
    EXPECT_FALSE(open(other, other_held)) << "held by the first";

    file.startHeldRead([] { return true; });
    std::uint32_t crc = 0;
    EXPECT_FALSE(file.heldChecksum(crc)) << "ended at once";
    file.abandon();
    EXPECT_EQ(root.readFile("partial/p"), held_content);

    ASSERT_TRUE(open(file, held));
    file.startHeldRead([] { return false; });
    ASSERT_TRUE(file.heldChecksum(crc));
    EXPECT_EQ(crc, RawClient::crcOf(held_content));
}

TEST(PieceWriter, BigAndSmallFilesArriveWhole_AWriteErrorRefusesTheFile) {
    TempDir dir;
    std::string big(9 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 65536);
    CQKPieceWriter writer;
    CQKIncomingFile file;
    for (const std::string& content : {big, std::string("small"), big}) {
        file.open(dir.path(), dir / "f.bin");
        writer.begin(file, content.size());
        write_pieces(writer, content);
        EXPECT_EQ(writer.finish(), RawClient::crcOf(content));
        file.commit();
        EXPECT_EQ(dir.readFile("f.bin"), content);
    }

    // The failing piece is written on the writer thread; its error reaches the connection
    // at the next piece or at the finish, never an acknowledged file.
    FailingWriteFile failing(3 * QK_BUFFER_SIZE);
    failing.open(dir.path(), dir / "g.bin");
    writer.begin(failing, big.size());
    EXPECT_THROW(
        {
            write_pieces(writer, big);
            writer.finish();
        },
        Poco::WriteFileException);
    writer.abandon();
    failing.abandon();
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"f.bin"}));
}

}  // namespace
