// The send rate limit: what values are taken and what they mean at each time of the day, a
// real run held to the limit over two streams, and the progress line's texts.
#include <gtest/gtest.h>

#include <Poco/File.h>

#include <chrono>
#include <random>

#include "CQKTcpCln.h"
#include "CQKTcpSrv.h"
#include "TempDir.h"
#include "base/qk_console.h"
#include "base/qk_rate_schedule.h"
#include "transfer/CQKProgress.h"
#include "transfer/CQKRateLimit.h"

namespace {

int at(int hour, int minute) {
    return hour * 60 + minute;
}

TEST(RateScheduleTest, ValuesAreTakenWithTheirRateAtEachTimeOfTheDay) {
    constexpr std::uint64_t K = 1024;
    constexpr std::uint64_t M = 1024 * K;
    struct Case {
        const char* value;
        const char* text;
        std::vector<std::pair<int, std::uint64_t>> rates;  // minute of the day, rate
    };
    const Case cases[] = {
        {"off", "off", {{at(0, 0), 0}, {at(23, 59), 0}}},
        {"0", "off", {{at(12, 0), 0}}},
        {"1024", "1K", {{at(12, 0), K}}},
        {" 512k ", "512K", {{at(3, 0), 512 * K}}},
        {"2M", "2M", {{at(0, 0), 2 * M}}},
        {"1G", "1G", {{at(0, 0), 1024 * M}}},
        {"1500", "1500", {{at(0, 0), 1500}}},
        // Before 08:00 the day's last entry is in force: the table wraps round midnight.
        {"08:00,2M 18:00,off",
         "08:00,2M 18:00,off",
         {{at(0, 0), 0}, {at(7, 59), 0}, {at(8, 0), 2 * M}, {at(17, 59), 2 * M}, {at(18, 0), 0}}},
        {"8:30,off  22:00,1M",
         "08:30,off 22:00,1M",
         {{at(0, 0), M}, {at(8, 29), M}, {at(8, 30), 0}, {at(21, 59), 0}, {at(23, 59), M}}},
        {"06:00,4K", "06:00,4K", {{at(0, 0), 4 * K}, {at(12, 0), 4 * K}}},
    };
    for (const Case& c : cases) {
        CQKRateSchedule schedule;
        ASSERT_EQ(schedule.parse(c.value), "") << c.value;
        EXPECT_EQ(schedule.text(), c.text) << c.value;
        for (const auto& [minute, rate] : c.rates)
            EXPECT_EQ(schedule.rateAt(minute), rate) << c.value << " at minute " << minute;
    }
}

TEST(RateScheduleTest, MalformedValuesAreRefusedAndLeaveTheScheduleAsItWas) {
    const std::pair<const char*, const char*> refused[] = {
        {"5X", "rate 5X has an unknown suffix (K, M or G)"},
        {"M", "rate M is not a number of bytes per second"},
        {"-1M", "rate -1M is not a number of bytes per second"},
        {"100", "rate 100 is below 1K per second"},
        {"99999999999999999999", "rate 99999999999999999999 is too large"},
        {"20000000000G", "rate 20000000000G is too large"},
        {"", "the value is empty"},
        {"   ", "the value is empty"},
        {"1M 2M", "entry 1M is not HH:MM,RATE"},
        {"08:00", "entry 08:00 is not HH:MM,RATE"},
        {"25:00,1M", "entry 25:00,1M: time 25:00 is not a time of the day"},
        {"08:60,1M", "entry 08:60,1M: time 08:60 is not a time of the day"},
        {"8h00,1M", "entry 8h00,1M: time 8h00 is not HH:MM"},
        {"08:00,", "entry 08:00,: a rate is missing"},
        {",1M", "entry ,1M: time  is not HH:MM"},
        {",", "entry ,: time  is not HH:MM"},
        {"08:00,1M 07:00,2M", "entry 07:00,2M does not come after 08:00"},
        {"08:00,1M 08:00,2M", "entry 08:00,2M does not come after 08:00"},
    };
    for (const auto& [value, reason] : refused) {
        CQKRateSchedule schedule;
        ASSERT_EQ(schedule.parse("3M"), "");
        EXPECT_EQ(schedule.parse(value), reason) << value;
        EXPECT_EQ(schedule.text(), "3M") << value;
    }
}

// 2 MiB over two connections at 1 MiB/s: the streams share the process's one bucket, so the
// run cannot end much before two seconds (a tenth of a second of burst aside).
TEST(RateLimitTest, ARunOverTwoStreamsKeepsToTheLimitTogether) {
    qk_set_console_echo(getenv("QK_TEST_ECHO") != nullptr);
    TempDir root;
    SQKSrvParams srv;
    srv.m_in_dir = root / "in";
    Poco::File(srv.m_in_dir).createDirectories();
    std::mt19937 generator(7);
    std::string content(1024 * 1024, '\0');
    for (char& byte : content)
        byte = static_cast<char>(generator());
    root.writeFile("out/a.bin", content);
    root.writeFile("out/b.bin", content);

    CQKTcpSrv listener;
    listener.setParams(srv);
    listener.start();
    SQKClnParams params;
    params.m_op_code = OperationCode::send_files;
    params.m_out_dir = root / "out";
    params.m_srv_address = "127.0.0.1";
    params.m_srv_port = listener.boundPort();
    params.m_streams = 2;
    ASSERT_EQ(params.m_bw_limit.parse("1M"), "");
    qk_rate_limit().setSchedule(params.m_bw_limit);
    CQKTcpCln sender;
    sender.setParams(params);
    sender.setTimeout(Poco::Timespan(10, 0));
    const auto start = std::chrono::steady_clock::now();
    sender.sendFiles();
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    qk_rate_limit().setSchedule(CQKRateSchedule());
    listener.stop();
    qk_set_console_echo(true);

    EXPECT_EQ(sender.currResult(), 0);
    EXPECT_TRUE(root.readFile("in/a.bin") == content);
    EXPECT_TRUE(root.readFile("in/b.bin") == content);
    EXPECT_GE(spent.count(), 1.5);
}

TEST(ProgressLineTest, ShowsBytesRateAndTimeLeftWithinTheWidth) {
    EXPECT_EQ(qk_bytes_text(512), "512 B");
    EXPECT_EQ(qk_bytes_text(1536), "1.50 KiB");
    EXPECT_EQ(qk_bytes_text(20 * 1024 * 1024), "20.0 MiB");
    EXPECT_EQ(qk_bytes_text(5ull << 30), "5.00 GiB");
    EXPECT_EQ(qk_time_left_text(6.2), "0:07");
    EXPECT_EQ(qk_time_left_text(3723), "1:02:03");
    EXPECT_EQ(qk_time_left_text(-1), "--:--");

    SQKProgressView view;
    view.name = "/out/a/data.bin";
    view.sent = 1024 * 1024;
    view.size = 3 * 1024 * 1024;
    view.rate = 1024 * 1024;
    EXPECT_EQ(qk_progress_line(view, 200),
              "/out/a/data.bin  1.00 MiB / 3.00 MiB  1.00 MiB/s  0:02 left");
    view.rate = 0;
    view.others = 2;
    EXPECT_EQ(qk_progress_line(view, 200),
              "/out/a/data.bin  1.00 MiB / 3.00 MiB  -- B/s  --:-- left  (+2 more)");
    // A long name loses its beginning, so the line never wraps on the terminal.
    const std::string narrow = qk_progress_line(view, 60);
    EXPECT_EQ(narrow.size(), 60u);
    EXPECT_EQ(narrow.substr(0, 8), "...a.bin") << narrow;
}

}  // namespace
