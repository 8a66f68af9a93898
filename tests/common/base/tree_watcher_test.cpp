// The tree watcher on real directories: what wakes it and what does not, a tree it cannot
// watch, and lost events.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <Poco/File.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "TempDir.h"
#include "base/CQKTreeWatcher.h"

namespace {

using namespace std::chrono_literals;
using Wake = CQKTreeWatcher::Wake;

class TreeWatcherTest : public ::testing::Test {
protected:
    TreeWatcherTest() { Poco::File(root()).createDirectories(); }
    std::string root() const { return dir / "tree"; }

    TempDir dir;
    CQKTreeWatcher watcher;
};

// Completed files wake it, in the tree and in a directory made after the start; a file still
// open for writing, its directory's removal and an excluded name do not; a burst makes one
// wake-up.
TEST_F(TreeWatcherTest, WakesForCompletedFilesOnly) {
    ASSERT_TRUE(watcher.start(root(), true)) << watcher.failure();

    const int writer = ::open((root() + "/open.txt").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "x", 1), 1);
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout);
    ::close(writer);
    EXPECT_EQ(watcher.wait(30s), Wake::Changed);

    Poco::File(root() + "/a/b").createDirectories();
    EXPECT_EQ(watcher.wait(30s), Wake::Changed);
    dir.writeFile("tree/a/b/new.txt", "n");
    EXPECT_EQ(watcher.wait(30s), Wake::Changed);

    dir.writeFile("staged.txt", "s");
    ASSERT_EQ(std::rename((dir / "staged.txt").c_str(), (root() + "/a/renamed.txt").c_str()), 0);
    for (int i = 0; i < 20; ++i)
        dir.writeFile("tree/burst" + std::to_string(i), "b");
    EXPECT_EQ(watcher.wait(30s), Wake::Changed);
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout);

    Poco::File(root() + "/a").remove(true);
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout);

    CQKNameFilter temporaries;
    ASSERT_EQ(temporaries.add("*.tmp"), "");
    watcher.ignoreFiles(temporaries);
    dir.writeFile("tree/x.tmp", "t");
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout) << "an excluded name wakes nothing";
    EXPECT_TRUE(watcher.watching());

    watcher.wake();
    EXPECT_EQ(watcher.wait(10s), Wake::Woken);
}

// A file written elsewhere and linked into the tree wakes it, as no close follows in the tree;
// a file created there and still open does not, nor a link under an excluded name.
TEST_F(TreeWatcherTest, WakesForAFileLinkedIn) {
    ASSERT_TRUE(watcher.start(root(), true)) << watcher.failure();
    CQKNameFilter temporaries;
    ASSERT_EQ(temporaries.add("*.tmp"), "");
    watcher.ignoreFiles(temporaries);

    const int writer = ::open((root() + "/open.txt").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout);

    dir.writeFile("done.txt", "d");
    ASSERT_EQ(::link((dir / "done.txt").c_str(), (root() + "/x.tmp").c_str()), 0);
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout) << "an excluded name wakes nothing";
    ASSERT_EQ(::link((dir / "done.txt").c_str(), (root() + "/linked.txt").c_str()), 0);
    EXPECT_EQ(watcher.wait(30s), Wake::Changed);
    ::close(writer);
}

// Beyond the watch limit nothing is watched and the reason is given; a wait then only sleeps.
TEST_F(TreeWatcherTest, ATreeBeyondTheWatchLimitIsNotWatched) {
    Poco::File(root() + "/a/b").createDirectories();
    watcher.setWatchLimit(2);

    EXPECT_FALSE(watcher.start(root(), true));
    EXPECT_FALSE(watcher.watching());
    EXPECT_NE(watcher.failure().find("directories"), std::string::npos) << watcher.failure();
    dir.writeFile("tree/f.txt", "f");
    EXPECT_EQ(watcher.wait(100ms), Wake::Timeout);

    EXPECT_TRUE(watcher.start(root(), false)) << "the top alone fits";
}

// More events than the kernel queues: the wait says so, and the watches are set again.
TEST_F(TreeWatcherTest, AnOverflowIsReportedAndTheWatchesSetAgain) {
    long queue = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue;
    if (queue <= 0 || queue > 100000)
        GTEST_SKIP() << "event queue of " << queue;
    ASSERT_TRUE(watcher.start(root(), false)) << watcher.failure();
    for (long i = 0; i <= queue; ++i) {
        const int fd = ::open((root() + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }

    EXPECT_EQ(watcher.wait(30s), Wake::Overflow);
    EXPECT_TRUE(watcher.watching());
    dir.writeFile("tree/after.txt", "a");
    EXPECT_EQ(watcher.wait(30s), Wake::Changed);
}

}  // namespace
