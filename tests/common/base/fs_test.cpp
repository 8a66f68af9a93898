// Tests of the file-system routines against a real temporary tree.
#include "base/qk_fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"

namespace {

class FsTest : public ::testing::Test {
protected:
    std::string path(const std::string& relative) const { return m_tmp / relative; }
    bool linkExists(const std::string& relative) const {
        struct stat info;
        return lstat(path(relative).c_str(), &info) == 0;
    }

    TempDir m_tmp;
};

TEST_F(FsTest, ClassifiesAndRemovesOnlyTheMatchingKind) {
    m_tmp.writeFile("file", "x");
    m_tmp.writeFile("full/inner", "x");
    ASSERT_EQ(0, mkdir(path("empty").c_str(), 0755));
    const std::string missing = path("missing"), file = path("file");
    const std::string empty = path("empty"), full = path("full");

    EXPECT_EQ(QK_RES_ERROR, qk_is_file(missing.c_str()));
    EXPECT_EQ(QK_RES_TRUE, qk_is_file(file.c_str()));
    EXPECT_EQ(QK_RES_FALSE, qk_is_file(empty.c_str()));

    EXPECT_EQ(QK_RES_ERROR, qk_remove_dir(missing.c_str()));
    EXPECT_EQ(QK_RES_TRUE, qk_remove_dir(file.c_str()));
    EXPECT_EQ(QK_RES_ERROR, qk_remove_dir(full.c_str()));
    EXPECT_EQ(QK_RES_OK, qk_remove_dir(empty.c_str()));

    EXPECT_EQ(QK_RES_ERROR, qk_delete_file(missing.c_str()));
    EXPECT_EQ(QK_RES_FALSE, qk_delete_file(full.c_str()));
    EXPECT_EQ(QK_RES_OK, qk_delete_file(file.c_str()));
    EXPECT_FALSE(m_tmp.exists("file"));
    EXPECT_FALSE(m_tmp.exists("empty"));
    EXPECT_TRUE(m_tmp.exists("full/inner"));
}

TEST(FsPathTest, ProgramDataPathFollowsTheEnvironment) {
    char buffer[64];
    ASSERT_EQ(0, setenv(QK_PROGRAM_DATA_ENV, "/srv/qk", 1));
    EXPECT_EQ(QK_RES_OK, qk_get_program_data_path(buffer, sizeof buffer));
    EXPECT_STREQ("/srv/qk/", buffer);
    EXPECT_EQ(QK_RES_ERROR, qk_get_program_data_path(buffer, 8));  // no room for the "/"
    ASSERT_EQ(0, unsetenv(QK_PROGRAM_DATA_ENV));
    EXPECT_EQ(QK_RES_OK, qk_get_program_data_path(buffer, sizeof buffer));
    EXPECT_STREQ("/var/lib/", buffer);
}

TEST_F(FsTest, ClearDirDeletesOnlyMatchingEntries) {
    m_tmp.writeFile("d/a.tmp", "x");
    m_tmp.writeFile("d/b.txt", "x");
    m_tmp.writeFile("d/sub.tmp/x/.hidden", "x");

    // Without recursion the non-empty matching directory stops the walk.
    EXPECT_EQ(QK_RES_ERROR, qk_clear_dir(path("d").c_str(), "*.tmp", false));
    EXPECT_TRUE(m_tmp.exists("d/sub.tmp/x/.hidden"));

    EXPECT_EQ(QK_RES_TRUE, qk_clear_dir(path("d").c_str(), "*.tmp", true));
    EXPECT_FALSE(m_tmp.exists("d/a.tmp"));
    EXPECT_FALSE(m_tmp.exists("d/sub.tmp"));
    EXPECT_TRUE(m_tmp.exists("d/b.txt"));

    EXPECT_EQ(QK_RES_TRUE, qk_clear_dir(path("d").c_str(), "*.none", true));
    EXPECT_EQ(QK_RES_ERROR, qk_clear_dir(path("missing").c_str(), "*", true));
    EXPECT_EQ(QK_RES_ERROR, qk_clear_dir("", "*", true));  // never the working directory
}

TEST_F(FsTest, ClearDirDeletesLinksButNotWhatTheyPointTo) {
    m_tmp.writeFile("outside/keep", "x");
    m_tmp.writeFile("d/plain", "x");
    ASSERT_EQ(0, symlink(path("outside").c_str(), path("d/dir_link").c_str()));
    ASSERT_EQ(0, symlink(path("nowhere").c_str(), path("d/dangling").c_str()));

    EXPECT_EQ(QK_RES_TRUE, qk_clear_dir(path("d").c_str(), "*", true));
    EXPECT_FALSE(linkExists("d/dir_link"));
    EXPECT_FALSE(linkExists("d/dangling"));
    EXPECT_TRUE(m_tmp.exists("outside/keep"));
}

TEST_F(FsTest, MoveFileReplacesWhatStandsAtTheTarget) {
    m_tmp.writeFile("from", "one");
    m_tmp.writeFile("file", "old");
    m_tmp.writeFile("dir/sub/inner", "old");
    EXPECT_EQ(QK_RES_OK, qk_move_file(path("from").c_str(), path("file").c_str()));
    EXPECT_EQ("one", m_tmp.readFile("file"));
    EXPECT_EQ(QK_RES_OK, qk_move_file(path("file").c_str(), path("dir").c_str()));
    EXPECT_EQ("one", m_tmp.readFile("dir"));
    EXPECT_EQ(QK_RES_ERROR, qk_move_file(path("from").c_str(), path("dir").c_str()));
    EXPECT_EQ("one", m_tmp.readFile("dir"));
}

TEST_F(FsTest, MoveFileNeverClearsAwayItsOwnSource) {
    m_tmp.writeFile("to/sub/from", "data");
    EXPECT_EQ(QK_RES_ERROR, qk_move_file(path("to/sub/from").c_str(), path("to").c_str()));
    EXPECT_EQ(QK_RES_ERROR, qk_move_file(path("to").c_str(), path("to").c_str()));
    EXPECT_EQ("data", m_tmp.readFile("to/sub/from"));
}

TEST_F(FsTest, FileSizeOfAMissingFileIsZeroAndAnError) {
    std::uint64_t size = 42;
    EXPECT_EQ(QK_RES_ERROR, qk_get_file_size(path("missing").c_str(), &size));
    EXPECT_EQ(0u, size);
}

TEST_F(FsTest, AWriterKeepsOthersOutWithoutLosingData) {
    m_tmp.writeFile("f", "content");
    std::FILE* holder = nullptr;
    ASSERT_EQ(QK_RES_OK, qk_open_shared_file(&holder, path("f").c_str(), "a"));
    for (const char* mode : {"w", "r", "r+"}) {
        std::FILE* other = nullptr;
        EXPECT_EQ(QK_RES_ERROR, qk_open_shared_file(&other, path("f").c_str(), mode)) << mode;
        EXPECT_EQ(nullptr, other);
    }
    EXPECT_EQ("content", m_tmp.readFile("f"));  // the refused "w" truncated nothing
    std::fclose(holder);

    ASSERT_EQ(QK_RES_OK, qk_open_shared_file(&holder, path("f").c_str(), "r"));
    std::FILE* reader = nullptr;
    EXPECT_EQ(QK_RES_OK, qk_open_shared_file(&reader, path("f").c_str(), "r"));
    std::fclose(reader);
    std::fclose(holder);
}

}  // namespace
