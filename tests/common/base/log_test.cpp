// Tests of the process-wide log: opening, filtering, line format, truncation, rotation and
// concurrent writers.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "base/qk_log.h"

namespace {

constexpr std::uint32_t kFileOnly = LOG_MODE_FILE;  // a line is the bare message
constexpr std::uint32_t kRotating = LOG_MODE_FILE | LOG_MODE_ROTATE;
const std::string kPrefix = R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] <\d+> [A-Z]+ )";

std::string numbered(int number) {
    char name[32];
    std::snprintf(name, sizeof(name), "app.%03d.log", number);
    return name;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { close_log(); }

    bool open(std::uint32_t mode, int min_level = LOG_LEVEL_INFO, std::uint64_t max_size = 0,
              std::uint32_t files = 0) {
        return init_log(mode, dir.path(), "app", "log", min_level, LOG_LEVEL_FATAL, max_size,
                        files);
    }
    std::vector<std::string> lines(const std::string& file) const {
        std::vector<std::string> result;
        std::istringstream in(dir.readFile(file));
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    TempDir dir;
};

TEST_F(LogTest, InitRefusesInvalidRequests) {
    const struct {
        std::uint32_t mode;
        std::string base, ext;
        int min_level, max_level;
        std::uint64_t max_size;
        std::uint32_t files;
    } cases[] = {
        {LOG_MODE_DEFAULT & ~LOG_MODE_FILE, "app", "log", 1, 5, 100, 10},
        {LOG_MODE_DEFAULT, "app", "log", 1, 5, 100, 0},
        {LOG_MODE_DEFAULT, "app", "log", 1, 5, 0, 10},
        {LOG_MODE_DEFAULT, "app", "log", -1, 5, 100, 10},
        {LOG_MODE_DEFAULT, "app", "log", 1, 6, 100, 10},
        {LOG_MODE_DEFAULT, "app", "log", 4, 2, 100, 10},
        {LOG_MODE_DEFAULT, "", "log", 1, 5, 100, 10},
        {LOG_MODE_DEFAULT, std::string(65, 'b'), "log", 1, 5, 100, 10},
        {LOG_MODE_DEFAULT, "app", std::string(17, 'e'), 1, 5, 100, 10},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(init_log(c.mode, dir.path(), c.base, c.ext, c.min_level, c.max_level,
                              c.max_size, c.files))
            << &c - cases;
    }
    EXPECT_FALSE(init_log(kFileOnly, dir / "missing", "app", "log", 1, 5, 0, 0));
    EXPECT_FALSE(log_level_enabled(LOG_LEVEL_FATAL));
    EXPECT_FALSE(dir.exists("app.log") || dir.exists("app.000.log"));
}

TEST_F(LogTest, FileNameFollowsRotationWithOrWithoutTrailingSeparator) {
    for (std::string suffix : {"", "/"}) {
        TempDir logs;
        ASSERT_TRUE(init_log(kRotating, logs.path() + suffix, "app", "log", 2, 5, 1000, 3));
        EXPECT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "rotating"), QK_RES_OK);
        ASSERT_TRUE(init_log(kFileOnly, logs.path() + suffix, "app", "log", 2, 5, 0, 0));
        EXPECT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "plain"), QK_RES_OK);
        close_log();
        EXPECT_EQ(logs.readFile("app.000.log"), "rotating\n");
        EXPECT_EQ(logs.readFile("app.log"), "plain\n");
    }
}

TEST_F(LogTest, DebugIsWrittenAndTraceFilteredBeforeFormatting) {
    ASSERT_TRUE(open(LOG_MODE_DEFAULT, LOG_LEVEL_DEBUG, 104857600, 10));
    EXPECT_FALSE(log_level_enabled(LOG_LEVEL_TRACE));
    EXPECT_TRUE(log_level_enabled(LOG_LEVEL_DEBUG));
    // A bad pointer would crash if a filtered call formatted its arguments.
    const char* never_read = reinterpret_cast<const char*>(1);
    EXPECT_EQ(log_message(LOG_LEVEL_TRACE, nullptr, "%s", never_read), QK_RES_FILTERED);
    EXPECT_EQ(log_message_w(LOG_LEVEL_TRACE, nullptr, L"%s", never_read), QK_RES_FILTERED);
    EXPECT_EQ(log_message(LOG_LEVEL_DEBUG, nullptr, "debug line"), QK_RES_OK);

    std::vector<std::string> written = lines("app.000.log");
    ASSERT_EQ(written.size(), 10u);
    const std::string init = kPrefix + R"(\(init_log\(\)\) )";
    EXPECT_TRUE(std::regex_match(written[0], std::regex(init + "Log has been initialized:")));
    EXPECT_TRUE(std::regex_match(written[1], std::regex(init + "mode {17}= 00003C62")));
    EXPECT_TRUE(std::regex_match(written[7], std::regex(init + "max_file_size {8}= 104857600")));
    EXPECT_TRUE(std::regex_match(written[9], std::regex(kPrefix + "debug line")));
}

TEST_F(LogTest, LineCarriesTimeProcessThreadLevelAndTag) {
    ASSERT_TRUE(open(LOG_MODE_DEFAULT & ~LOG_MODE_ROTATE));
    QKLogTag tag;
    ASSERT_EQ(log_set_tag(&tag, "CQKTcpCln::sendFile()"), QK_RES_OK);
    log_message(LOG_LEVEL_INFO, &tag, "Sending file: file_path = %s", "/out/a.txt");
    std::vector<std::string> written = lines("app.log");
    ASSERT_EQ(written.size(), 1u);
    const std::regex format(R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2}\.\d{3} \[)" +
                            std::to_string(getpid()) +
                            R"(\] <\d+> INFO \(CQKTcpCln::sendFile\(\)\) Sending file: )"
                            R"(file_path = /out/a\.txt)");
    EXPECT_TRUE(std::regex_match(written[0], format)) << written[0];
}

TEST_F(LogTest, WideAndOverlongTextIsUtf8CutAtWholeCharacters) {
    std::string e_acute;
    for (int i = 0; i < 1100; ++i)
        e_acute += "é";
    QKLogTag tag;
    ASSERT_EQ(log_set_tag(&tag, e_acute.c_str()), QK_RES_OK);
    EXPECT_EQ(std::string(tag.name), e_acute.substr(0, 126));
    ASSERT_EQ(log_set_tag(&tag, "Übertragung()"), QK_RES_OK);

    ASSERT_TRUE(open(kFileOnly));
    EXPECT_EQ(log_message_w(LOG_LEVEL_INFO, &tag, L"Grüße %ls #%d", L"мир €", 7), QK_RES_OK);
    EXPECT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "%s", std::string(3000, 'x').c_str()),
              QK_RES_OK);
    EXPECT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "%s", e_acute.c_str()), QK_RES_OK);
    EXPECT_EQ(log_message_w(LOG_LEVEL_INFO, nullptr, L"%ls", std::wstring(3000, L'€').c_str()),
              QK_RES_OK);

    std::vector<std::string> written = lines("app.log");
    ASSERT_EQ(written.size(), 4u);
    const std::size_t max_len = LOG_LINE_SIZE - 1;  // 2047: odd, and 2046 divides by 3
    EXPECT_EQ(written[0], "(Übertragung()) Grüße мир € #7");
    EXPECT_EQ(written[1], std::string(max_len, 'x'));
    EXPECT_EQ(written[2], e_acute.substr(0, max_len - 1));
    EXPECT_EQ(written[3].size(), max_len - 1);
    EXPECT_EQ(written[3].substr(written[3].size() - 3), "€");
}

TEST_F(LogTest, ClosedLogWritesNothing) {
    ASSERT_TRUE(open(kFileOnly, LOG_LEVEL_DEBUG));
    EXPECT_EQ(close_log(), QK_RES_OK);
    EXPECT_EQ(lines("app.log").back(), "(close_log()) Closing of the Log...");
    const std::string content = dir.readFile("app.log");

    EXPECT_EQ(log_message(LOG_LEVEL_FATAL, nullptr, "after close"), QK_RES_FILTERED);
    EXPECT_EQ(log_message_w(LOG_LEVEL_FATAL, nullptr, L"after close"), QK_RES_FILTERED);
    EXPECT_EQ(dir.readFile("app.log"), content);
}

TEST_F(LogTest, LineThatWouldPassTheMaximumRotatesFirst) {
    ASSERT_TRUE(open(LOG_MODE_DEFAULT, LOG_LEVEL_INFO, 100, 10));
    ASSERT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "first line of the log"), QK_RES_OK);
    ASSERT_EQ(lines("app.000.log").size(), 1u);
    ASSERT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "second line of the log"), QK_RES_OK);

    std::vector<std::string> rotated = lines("app.001.log");
    std::vector<std::string> current = lines("app.000.log");
    ASSERT_EQ(rotated.size(), 1u);
    ASSERT_EQ(current.size(), 1u);
    EXPECT_TRUE(std::regex_match(rotated[0], std::regex(kPrefix + "first line of the log")));
    EXPECT_TRUE(std::regex_match(current[0], std::regex(kPrefix + "second line of the log")));
    EXPECT_FALSE(dir.exists("app.002.log"));
}

TEST_F(LogTest, RotationWithAllFilesDropsTheOldestAndShiftsTheRest) {
    for (bool oldest_is_directory : {false, true}) {
        SCOPED_TRACE(oldest_is_directory ? "directory as oldest" : "file as oldest");
        close_log();
        for (int i = 0; i < 10; ++i)
            dir.writeFile(numbered(i), "old " + std::to_string(i) + "\n");
        // The running size starts from what is on disk, so 000 is nearly full.
        dir.writeFile(numbered(0), std::string(45, '0') + "\n");
        if (oldest_is_directory) {
            std::remove((dir / numbered(9)).c_str());
            dir.writeFile(numbered(9) + "/inner/file.txt", "in the way");
        }
        ASSERT_TRUE(open(kRotating, LOG_LEVEL_INFO, 50, 10));
        ASSERT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "new line"), QK_RES_OK);

        EXPECT_EQ(dir.readFile(numbered(0)), "new line\n");
        EXPECT_EQ(dir.readFile(numbered(1)), std::string(45, '0') + "\n");
        for (int i = 2; i < 10; ++i)
            EXPECT_EQ(dir.readFile(numbered(i)), "old " + std::to_string(i - 1) + "\n");
        EXPECT_FALSE(dir.exists(numbered(10)));
    }
}

TEST_F(LogTest, LineLongerThanTheMaximumIsWrittenWithAnError) {
    ASSERT_TRUE(open(kRotating, LOG_LEVEL_INFO, 20, 3));
    ASSERT_EQ(log_message(LOG_LEVEL_INFO, nullptr, "short"), QK_RES_OK);
    EXPECT_TRUE(qk_res_is(log_message(LOG_LEVEL_INFO, nullptr, "a line beyond twenty bytes"),
                          QK_RES_ERROR));
    EXPECT_EQ(dir.readFile("app.000.log"), "a line beyond twenty bytes\n");
    EXPECT_EQ(dir.readFile("app.001.log"), "short\n");
}

TEST_F(LogTest, ConcurrentWritersLoseNoLineAcrossRotations) {
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 250;
    constexpr std::uint64_t kMaxSize = 4096;
    ASSERT_TRUE(open(LOG_MODE_DEFAULT, LOG_LEVEL_INFO, kMaxSize, 200));

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            QKLogTag tag;
            log_set_tag(&tag, "writer()");
            for (int i = 0; i < kLinesPerThread; i += 2) {
                log_message(LOG_LEVEL_INFO, &tag, "t=%d i=%d payload-payload", t, i);
                log_message_w(LOG_LEVEL_INFO, &tag, L"t=%d i=%d payload-payload", t, i + 1);
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    close_log();

    const std::regex whole(kPrefix + R"(\(writer\(\)\) t=(\d+) i=(\d+) payload-payload)");
    std::map<std::pair<int, int>, int> seen;
    int files = 0;
    for (; dir.exists(numbered(files)); ++files) {
        EXPECT_LE(dir.readFile(numbered(files)).size(), kMaxSize);
        for (const std::string& line : lines(numbered(files))) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
            ++seen[{std::stoi(match[1]), std::stoi(match[2])}];
        }
    }
    EXPECT_GT(files, 2);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
    for (const auto& entry : seen)
        EXPECT_EQ(entry.second, 1);
}

}  // namespace
