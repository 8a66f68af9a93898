// Console echo, a service's echo of its log, message truncation, locale set-up, local time
// and the ids of log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "base/qk_console.h"
#include "base/qk_log.h"

namespace {

// Standard output (or error) into a pipe, as a service's under systemd (the journal's
// stream) or under a test; restored by take(), which returns what was written.
class StdoutPipe {
public:
    explicit StdoutPipe(int fd = STDOUT_FILENO) : m_fd(fd) {
        std::fflush(nullptr);
        EXPECT_EQ(::pipe(m_fds), 0);
        m_saved = ::dup(m_fd);
        ::dup2(m_fds[1], m_fd);
    }
    ~StdoutPipe() { take(); }
    // "<device>:<inode>" of the pipe, as systemd names the journal's stream.
    std::string streamId() const {
        struct stat info {};
        ::fstat(m_fd, &info);
        return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }
    std::string take() {
        if (m_saved < 0)
            return "";
        std::fflush(nullptr);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        ::close(m_fds[1]);
        m_saved = -1;
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(m_fds[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(got));
        ::close(m_fds[0]);
        return text;
    }

private:
    int m_fd;
    int m_fds[2] = {-1, -1};
    int m_saved = -1;
};

}  // namespace

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

// A service whose standard output is no terminal (the journal, a file) echoes warnings,
// errors and state changes only, as "LEVEL message", and nothing its log level keeps out of
// the file: single files stay in the file. On a terminal it echoes what its level writes.
TEST(Console, AServiceEchoesItsLogByLevelAndOnlyWhatMattersWhereStdoutIsNoTerminal) {
    TempDir dir;
    ASSERT_TRUE(init_log(LOG_MODE_DEFAULT, dir.path(), "svc", "log", LOG_LEVEL_TRACE,
                         LOG_LEVEL_FATAL, 1 << 20, 2));
    const QKLogTag tag = qk_make_tag("test()");
    StdoutPipe journal;
    StdoutPipe journal_errors(STDERR_FILENO);
    qk_set_console_echo_mode(qk_service_console_echo());
    EXPECT_EQ(qk_console_echo_mode(), QKConsoleEcho::Notable);
    qk_print_console("Sending file : /out/a.txt");
    log_message(LOG_LEVEL_INFO, &tag, "Receiving file: a.txt finished.");
    log_message(LOG_LEVEL_WARN, &tag, "Incoming directory /in does not take files");
    log_banner(&tag, "TCP Server has been started. port: 5600");
    log_notable(LOG_LEVEL_INFO, &tag, "Incoming directory /in takes files again");
    ASSERT_TRUE(log_set_min_level(LOG_LEVEL_ERROR));
    log_message(LOG_LEVEL_WARN, &tag, "a warning the level drops");
    log_banner(&tag, "TCP Server has been stopped.");
    log_message(LOG_LEVEL_ERROR, &tag, "an error");
    EXPECT_EQ(journal.take(),
              "INFO TCP Server has been started. port: 5600\n"
              "INFO Incoming directory /in takes files again\n");
    EXPECT_EQ(journal_errors.take(),
              "WARN Incoming directory /in does not take files\n"
              "ERROR an error\n");
    const std::string file = dir.readFile("svc.000.log");
    EXPECT_NE(file.find("(test()) Receiving file: a.txt finished."), std::string::npos);
    EXPECT_EQ(file.find("a warning the level drops"), std::string::npos);

    // The journal's own stream: each line carries its priority for the journal to keep.
    StdoutPipe stream(STDERR_FILENO);
    ::setenv("JOURNAL_STREAM", stream.streamId().c_str(), 1);
    qk_set_console_echo_mode(QKConsoleEcho::Notable);
    ::unsetenv("JOURNAL_STREAM");
    log_message(LOG_LEVEL_ERROR, &tag, "an error");
    log_message(LOG_LEVEL_FATAL, &tag, "the end");
    EXPECT_EQ(stream.take(), "<3>ERROR an error\n<2>FATAL the end\n");

    // A terminal: what the level writes, but for a banner's rule lines.
    StdoutPipe terminal;
    qk_set_console_echo_mode(QKConsoleEcho::Logged);
    ASSERT_TRUE(log_set_min_level(LOG_LEVEL_INFO));
    log_message(LOG_LEVEL_DEBUG, &tag, "a pass");
    log_message(LOG_LEVEL_INFO, &tag, "Receiving file: b.txt finished.");
    log_banner(&tag, "Scanner of files has been started.");
    qk_print_console("Sending file : /out/b.txt");
    EXPECT_EQ(terminal.take(),
              "INFO Receiving file: b.txt finished.\n"
              "INFO Scanner of files has been started.\n");
    qk_set_console_echo_mode(QKConsoleEcho::Printed);
    close_log();
}

// -q keeps errors and the log's warnings only, the default adds the program's texts on
// stdout, -v shows the log's every line instead; errors go to stderr in all three.
TEST(Console, VerbositySplitsTheLinesBetweenTheStreams) {
    TempDir dir;
    ASSERT_TRUE(init_log(LOG_MODE_DEFAULT, dir.path(), "cln", "log", LOG_LEVEL_DEBUG,
                         LOG_LEVEL_FATAL, 1 << 20, 2));
    const QKLogTag tag = qk_make_tag("test()");
    const auto say = [&tag] {
        qk_print_console("File: a.txt has been sent. Removing.");
        qk_print_error("Exception: ClassName = X Message = y");
        log_message(LOG_LEVEL_DEBUG, &tag, "a detail");
        log_message(LOG_LEVEL_WARN, &tag, "a warning");
    };
    const auto run = [&say](QKConsoleVerbosity verbosity) {
        StdoutPipe out;
        StdoutPipe err(STDERR_FILENO);
        qk_set_console_verbosity(verbosity);
        say();
        qk_set_console_verbosity(QKConsoleVerbosity::Normal);
        const std::string err_text = err.take();
        return std::make_pair(out.take(), err_text);
    };
    const std::string errors = "Exception: ClassName = X Message = y\nWARN a warning\n";
    EXPECT_EQ(run(QKConsoleVerbosity::Quiet), std::make_pair(std::string(), errors));
    EXPECT_EQ(run(QKConsoleVerbosity::Normal),
              std::make_pair(std::string("File: a.txt has been sent. Removing.\n"), errors));
    EXPECT_EQ(run(QKConsoleVerbosity::Verbose),
              std::make_pair(std::string("DEBUG a detail\n"), std::string("WARN a warning\n")));
    EXPECT_EQ(qk_console_echo_mode(), QKConsoleEcho::Printed);
    close_log();
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
