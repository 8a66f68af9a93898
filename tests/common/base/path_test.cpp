// Tests of path joining, sub-directory derivation, the writability probe and backups.
#include "base/qk_path.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ExitedProcess.h"
#include "TempDir.h"
#include "base/qk_console.h"

namespace {

TEST(PathTest, GeneratePathPutsOneSeparatorAtTheSeam) {
    struct Case {
        const char* base;
        const char* extra;
        const char* expected;
    };
    const Case cases[] = {
        {"/a", "b", "/a/b"},   {"/a/", "b", "/a/b"},     {"/a", "/b", "/a/b"},
        {"/a/", "/b", "/a/b"}, {"/a\\", "\\b", "/a\\b"}, {"/a/", "\\b", "/a\\b"},
        {"/a", "", "/a"},      {"", "b", "/b"},          {"", "/b", "/b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.extra);
        EXPECT_EQ(c.expected, qk_generate_path(c.base, c.extra));
    }
}

TEST(PathTest, SubDirIsThePartBelowTheBase) {
    struct Case {
        const char* base;
        const char* dir;
        const char* expected;
    };
    const Case cases[] = {
        {"/out", "/out/x/y/", "x/y"}, {"/out", "/out/x", "x"},
        {"/out/", "/out/x/", "x"},    {"/out", "/out", ""},
        {"/out", "/out/", ""},        {"/out", "/other/x", ""},
        {"/out", "/outside/x", ""},  // a prefix must end at a component boundary
        {"/out", "/ou", ""},          {"C:\\out", "C:\\out\\x\\y\\", "x\\y"},
        {"", "/x/y/", "x/y"},         {"", "x", "x"},
        {"/out", "/out//x", "/x"},  // only one separator is taken off each end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " | " + c.dir);
        EXPECT_EQ(c.expected, qk_get_sub_dir(c.base, c.dir));
    }
}

TEST(PathTest, CheckDirWritable) {
    TempDir tmp;
    tmp.writeFile("file", "x");
    EXPECT_TRUE(qk_check_dir_writable(tmp.path()));
    EXPECT_TRUE(qk_check_dir_writable(tmp.path() + "/"));
    std::vector<std::string> left;
    Poco::File(tmp.path()).list(left);
    EXPECT_EQ(std::vector<std::string>{"file"}, left);  // the probe file is gone again

    EXPECT_FALSE(qk_check_dir_writable(tmp / "missing"));
    EXPECT_FALSE(qk_check_dir_writable(tmp / "file"));
    EXPECT_FALSE(qk_check_dir_writable(""));
}

class BackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        qk_set_console_echo(false);
        m_tmp.writeFile("src/data.txt", "current");
    }
    void TearDown() override { qk_set_console_echo(true); }

    void backup() const { qk_backup_file(source(), m_tmp / "bak", "sub"); }
    std::string source() const { return m_tmp / "src/data.txt"; }
    static std::string numbered(int number) {
        char name[32];
        std::snprintf(name, sizeof name, "bak/sub/data.txt.%03d.bak", number);
        return name;
    }
    std::vector<std::string> backupDirEntries() const {
        std::vector<std::string> names;
        Poco::File(m_tmp / "bak/sub").list(names);
        return names;
    }

    TempDir m_tmp;
};

TEST_F(BackupTest, FirstBackupCreatesTheDirectoryAndThePlainCopy) {
    ASSERT_EQ(0, chmod(source().c_str(), 0600));
    backup();
    EXPECT_EQ("current", m_tmp.readFile("bak/sub/data.txt"));
    struct stat info;
    ASSERT_EQ(0, stat((m_tmp / "bak/sub/data.txt").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u);  // a private file stays private in the backup
    EXPECT_EQ(std::vector<std::string>{"data.txt"}, backupDirEntries());
    EXPECT_EQ("current", m_tmp.readFile("src/data.txt"));
}

TEST_F(BackupTest, SecondBackupKeepsTheFirstAsNumberZero) {
    m_tmp.writeFile("src/data.txt", "first");
    backup();
    m_tmp.writeFile("src/data.txt", "second");
    backup();
    EXPECT_EQ("second", m_tmp.readFile("bak/sub/data.txt"));
    EXPECT_EQ("first", m_tmp.readFile(numbered(0)));
    EXPECT_EQ(2u, backupDirEntries().size());
}

TEST_F(BackupTest, FullRotationDropsOnlyTheOldest) {
    m_tmp.writeFile("bak/sub/data.txt", "plain");
    for (int n = 0; n < QK_BACKUP_NUMBERED_COPIES; ++n)
        m_tmp.writeFile(numbered(n), "copy " + std::to_string(n));

    backup();

    EXPECT_EQ("current", m_tmp.readFile("bak/sub/data.txt"));
    EXPECT_EQ("plain", m_tmp.readFile(numbered(0)));
    for (int n = 1; n < QK_BACKUP_NUMBERED_COPIES; ++n)
        EXPECT_EQ("copy " + std::to_string(n - 1), m_tmp.readFile(numbered(n))) << n;
    EXPECT_EQ(static_cast<std::size_t>(QK_BACKUP_NUMBERED_COPIES) + 1, backupDirEntries().size());
}

TEST_F(BackupTest, FileInPlaceOfTheDirectoryCopiesNothing) {
    m_tmp.writeFile("bak/sub", "in the way");
    try {
        backup();
        FAIL() << "no exception";
    } catch (const Poco::IOException& e) {
        EXPECT_EQ("Directory: " + (m_tmp / "bak/sub") + " exists as file and cann't be created",
                  e.message());
    }
    std::vector<std::string> names;
    Poco::File(m_tmp / "bak").list(names);
    EXPECT_EQ(std::vector<std::string>{"sub"}, names);
    EXPECT_EQ("in the way", m_tmp.readFile("bak/sub"));
}

TEST_F(BackupTest, MissingSourceLeavesTheBackupsAlone) {
    m_tmp.writeFile("bak/sub/data.txt", "plain");
    m_tmp.writeFile(numbered(QK_BACKUP_NUMBERED_COPIES - 1), "oldest");
    Poco::File(source()).remove();
    EXPECT_THROW(backup(), Poco::FileNotFoundException);
    EXPECT_EQ("plain", m_tmp.readFile("bak/sub/data.txt"));
    EXPECT_EQ("oldest", m_tmp.readFile(numbered(QK_BACKUP_NUMBERED_COPIES - 1)));
    EXPECT_EQ(2u, backupDirEntries().size());  // no rotation, no temporary left behind
}

TEST_F(BackupTest, TemporariesOfProcessesThatNoLongerRunAreRemoved) {
    const std::string stale = ".qk_backup." + std::to_string(exited_process_id()) + ".7.tmp";
    const std::string live = ".qk_backup." + std::to_string(getpid()) + ".7.tmp";
    const std::string unknown = ".qk_backup.7.tmp";  // an older form: whose it is cannot be told
    for (const std::string& name : {stale, live, unknown})
        m_tmp.writeFile("bak/sub/" + name, "debris");
    backup();
    std::vector<std::string> names = backupDirEntries();
    std::vector<std::string> expected{live, unknown, "data.txt"};
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, names);
}

TEST_F(BackupTest, PathWithoutFileNameIsRefused) {
    EXPECT_THROW(qk_backup_file(m_tmp / "src/", m_tmp / "bak", "sub"), Poco::PathNotFoundException);
    EXPECT_FALSE(m_tmp.exists("bak"));
}

}  // namespace

namespace {

// A receiver's start-up walk: debris of ended processes goes at every depth, what is alive or
// cannot be judged stays, and the walk looks at no more directories than it may.
TEST(StaleTemporariesBelow, GoAtEveryDepthWithinTheWalksBound) {
    TempDir tmp;
    const std::string stale = ".qk_backup." + std::to_string(exited_process_id()) + ".7.tmp";
    const std::string live = ".qk_backup." + std::to_string(getpid()) + ".7.tmp";
    for (const std::string dir : {"top/", "top/a/", "top/a/b/c/"}) {
        tmp.writeFile(dir + stale, "debris");
        tmp.writeFile(dir + live, "in flight");
    }
    tmp.writeFile("top/a/b/kept.txt", "file");

    EXPECT_EQ(3u, qk_remove_stale_temporaries_below(tmp / "top", ".qk_backup.", ".tmp", 3));
    EXPECT_FALSE(tmp.exists("top/" + stale));
    EXPECT_FALSE(tmp.exists("top/a/" + stale));
    EXPECT_TRUE(tmp.exists("top/a/b/c/" + stale));  // the fourth directory: past the bound

    EXPECT_EQ(4u, qk_remove_stale_temporaries_below(tmp / "top", ".qk_backup.", ".tmp", 100));
    EXPECT_FALSE(tmp.exists("top/a/b/c/" + stale));
    for (const std::string dir : {"top/", "top/a/", "top/a/b/c/"})
        EXPECT_TRUE(tmp.exists(dir + live)) << dir;
    EXPECT_TRUE(tmp.exists("top/a/b/kept.txt"));
}

}  // namespace
