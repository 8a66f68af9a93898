// Console echo, message truncation, locale set-up, local time and the ids of log lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "base/qk_console.h"

TEST(Console, EchoFollowsTheFlagAndLinesFromThreadsStayWhole) {
    testing::internal::CaptureStdout();
    qk_set_console_echo(false);
    qk_print_console("hidden");
    qk_set_console_echo(true);
    qk_print_console("shown");
    qk_print_console("no line end ", false);
    qk_print_console("then one");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown\nno line end then one\n");

    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    const std::string line(500, 'x');
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                qk_print_console(line);
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::string out = testing::internal::GetCapturedStdout();
    std::string expected;
    for (int i = 0; i < 200; ++i)
        expected += line + "\n";
    EXPECT_EQ(out, expected);
}

TEST(Console, PrintMessageTruncatesTo2047Characters) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(qk_print_message("%s", std::string(5000, 'm').c_str()), QK_RES_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(2047, 'm') + "\n");
}

TEST(Console, LocaleSetUpAlwaysFindsAUtf8Locale) {
    ASSERT_TRUE(qk_res_is(qk_set_english_locale(), QK_RES_TRUE));
    char name[64];
    ASSERT_TRUE(qk_res_is(qk_get_locale_name(name, sizeof(name)), QK_RES_OK));
    EXPECT_FALSE(std::string(name).empty());
    char tiny[2];
    EXPECT_TRUE(qk_res_is(qk_get_locale_name(tiny, sizeof(tiny)), QK_RES_ERROR));
}

TEST(Console, LocalTimeIsPlausible) {
    EXPECT_EQ(qk_get_local_time(nullptr), QK_RES_ERROR);
    SQKLocalTime now{};
    ASSERT_EQ(qk_get_local_time(&now), QK_RES_OK);
    EXPECT_GE(now.year, 2024);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
}

// The ids are cached; a thread and a forked child must still see their own.
TEST(Console, ProcessAndThreadIdsStayTrueAcrossThreadsAndFork) {
    const std::int64_t main_thread = qk_get_thread_id();
    std::int64_t other_thread = 0;
    std::thread([&] { other_thread = qk_get_thread_id(); }).join();
    EXPECT_NE(other_thread, main_thread);
    EXPECT_EQ(qk_get_process_id(), static_cast<std::int32_t>(getpid()));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool own = qk_get_process_id() == static_cast<std::int32_t>(getpid()) &&
                         qk_get_thread_id() == static_cast<std::int64_t>(getpid());
        _exit(own ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw its parent's ids";
}
