// The single-instance lock between objects, processes and a process that was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/CQKInstanceLock.h"

namespace {

const std::string kProgram = "qk_relay_lock_test." + std::to_string(::getpid());

// Lock files stay after their lock is gone, by design; the tests' own are removed.
void remove_lock_file(const std::string& program) {
    ::unlink((CQKInstanceLock::lockDirectory(::geteuid()) + program + ".lock").c_str());
}

TEST(InstanceLock, OneHolderAtATimeAndAReleaseLetsTheNextIn) {
    CQKInstanceLock first(kProgram);
    CQKInstanceLock second(kProgram);
    ASSERT_TRUE(first.tryLock());
    EXPECT_TRUE(first.tryLock()) << "a holder asking again still holds it";
    EXPECT_FALSE(second.tryLock());
    first.unlock();
    EXPECT_TRUE(second.tryLock());
    EXPECT_TRUE(CQKInstanceLock(kProgram + ".other").tryLock()) << "programs do not share";
    remove_lock_file(kProgram + ".other");
    remove_lock_file(kProgram);
}

TEST(InstanceLock, AKilledHolderLeavesTheLockFree) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CQKInstanceLock held(kProgram, "the test tree");
        const char ok = held.tryLock() ? '1' : '0';
        (void)::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    CQKInstanceLock mine(kProgram);
    EXPECT_FALSE(mine.tryLock()) << "another process holds it";
    EXPECT_EQ(mine.holderPid(), child) << "a refusal names the holder";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(mine.tryLock());
    remove_lock_file(kProgram);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(InstanceLock, TheDirectoryIsPrivateToItsUser) {
    const std::string dir = CQKInstanceLock::lockDirectory(::geteuid());
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & (S_IWGRP | S_IWOTH), 0u);
}

// A service's unit names its runtime directory; one that others may write is not taken.
TEST(InstanceLock, AUnitsRuntimeDirectoryIsTakenWhenPrivate) {
    char pattern[] = "/tmp/qk_lock_runtime.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string runtime = pattern;
    ::chmod(runtime.c_str(), 0755);
    ::setenv("RUNTIME_DIRECTORY", (runtime + ":/run/other").c_str(), 1);
    EXPECT_EQ(CQKInstanceLock::lockDirectory(::geteuid()), runtime + "/");
    ::chmod(runtime.c_str(), 0777);
    EXPECT_NE(CQKInstanceLock::lockDirectory(::geteuid()), runtime + "/");
    ::unsetenv("RUNTIME_DIRECTORY");
    ::rmdir(runtime.c_str());
}

// Two spellings of one tree meet on one lock; another tree has its own.
TEST(InstanceLock, APathsLockNameIsThatOfItsCanonicalPath) {
    const std::string name = CQKInstanceLock::pathLockName("p", "/tmp");
    EXPECT_EQ(CQKInstanceLock::pathLockName("p", "/tmp/../tmp/."), name);
    EXPECT_NE(CQKInstanceLock::pathLockName("p", "/var"), name);
    EXPECT_EQ(name.rfind("p.", 0), 0u);
}

}  // namespace
