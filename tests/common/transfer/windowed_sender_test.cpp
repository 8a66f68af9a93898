// The sender's windowed conversation against a receiver that errs or is slow: a malformed or
// unexpected answer fails the attempt and leaves the file (without taking the receiver for a
// classic one), an offset beyond the file sends no content, and a resumed file's status may
// take longer in proportion to the bytes the receiver reads back.
#include <gtest/gtest.h>

#include <Poco/File.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CQKTcpCln.h"
#include "ScriptedReceiver.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Step = ScriptedReceiver::Step;
using Bytes = ScriptedReceiver::Bytes;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr std::uint16_t kResumable = QK_WINDOW_FEATURE_FILES | QK_WINDOW_FEATURE_RESUME;

class WindowedSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("QK_RELAY_FILES_IN_FLIGHT");  // files in flight are offered
        Poco::File(dir / "out").createDirectories();
    }

    // One run against a receiver playing script; returns its result and keeps the console.
    std::uint8_t run(ScriptedReceiver& receiver, Poco::Timespan timeout = Poco::Timespan(30, 0)) {
        SQKClnParams params;
        params.m_op_code = OperationCode::send_files;
        params.m_out_dir = dir / "out";
        params.m_srv_address = "127.0.0.1";
        params.m_srv_port = receiver.port();
        CQKTcpCln sender;
        sender.setParams(params);
        sender.setTimeout(timeout);
        sender.setRetryDelay(10ms);
        sender.setDirGrace(0ms);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();  // errors and warnings
        sender.sendFiles();
        console = testing::internal::GetCapturedStdout();
        console += testing::internal::GetCapturedStderr();
        EXPECT_TRUE(receiver.waitForClosed(receiver.connections().size(), 30s));
        return sender.currResult();
    }

    // A file of size bytes whose content is zeros, without writing them (a sparse file).
    void putZeros(const std::string& name, std::uint64_t size) {
        dir.writeFile("out/" + name, "");
        std::filesystem::resize_file(dir / ("out/" + name), size);
    }

    TempDir dir;
    std::string console;
};

struct SFaultCase {
    const char* name;
    std::vector<Step> script;
    const char* said;  // what the failed attempts say
};

// Each attempt fails, the file stays, and every attempt offers files in flight again: none
// of these answers is the refusal of an older receiver.
TEST_F(WindowedSenderTest, AWrongAnswerFailsTheAttemptAndTheFileStays) {
    const std::vector<SFaultCase> cases = {
        {"a window frame that grants no files",
         {ScriptedReceiver::send(ScriptedReceiver::windowAnswer(0))},
         "The receiver's answer to files in flight is malformed"},
        {"an unknown byte where the window frame is due",
         {ScriptedReceiver::send({0x42})},
         "received status = 0x42, expected status = 0x10"},
        {"an unknown status for the file",
         {ScriptedReceiver::send(ScriptedReceiver::windowAnswer(64)),
          ScriptedReceiver::readHeader(), ScriptedReceiver::read(5 + QK_FINISHED_FRAME_SIZE),
          ScriptedReceiver::send({0x42})},
         "received status = 0x42, expected status = 0x00"},
    };
    for (const SFaultCase& fault : cases) {
        SCOPED_TRACE(fault.name);
        dir.writeFile("out/a.txt", "alpha");
        ScriptedReceiver receiver(fault.script);
        EXPECT_EQ(run(receiver), QK_SEND_FILE_FERROR);
        EXPECT_TRUE(dir.exists("out/a.txt"));
        EXPECT_NE(console.find(fault.said), std::string::npos) << console;
        const std::vector<ScriptedReceiver::Connection> connections = receiver.connections();
        ASSERT_EQ(connections.size(), 3u);
        for (const ScriptedReceiver::Connection& connection : connections)
            EXPECT_TRUE(connection.offered);
    }
}

// The receiver cannot hold more of a file than the file has: no content follows.
TEST_F(WindowedSenderTest, AnOffsetBeyondTheFileFailsBeforeAnyContent) {
    constexpr std::uint64_t kSize = 2u << 20;
    putZeros("r.bin", kSize);
    ScriptedReceiver receiver({
        ScriptedReceiver::send(ScriptedReceiver::windowAnswer(64, kResumable) +
                               ScriptedReceiver::resumeTerms(1u << 20)),
        ScriptedReceiver::readHeader(),
        ScriptedReceiver::send(ScriptedReceiver::resumeOffset(kSize + 1)),
    });
    EXPECT_EQ(run(receiver), QK_SEND_FILE_FERROR);
    EXPECT_TRUE(dir.exists("out/r.bin"));
    EXPECT_NE(console.find("The receiver's resume offset is beyond the file"), std::string::npos)
        << console;
    for (const ScriptedReceiver::Connection& connection : receiver.connections()) {
        ASSERT_EQ(connection.headers.size(), 1u);
        EXPECT_EQ(connection.headers[0].file_size, kSize);
        EXPECT_TRUE(connection.after_headers.empty()) << "content after a refused offset";
    }
}

// 160 MiB held back lengthen the wait for the status by ten seconds (16 MiB/s): a status
// five seconds late is no failure with a readiness time-out of two.
TEST_F(WindowedSenderTest, AResumedFilesStatusMayComeAsLateAsItsHeldBytesTakeToRead) {
    constexpr std::uint64_t kHeld = 160u << 20;
    constexpr std::uint64_t kRest = 1000;
    putZeros("r.bin", kHeld + kRest);
    ScriptedReceiver receiver({
        ScriptedReceiver::send(ScriptedReceiver::windowAnswer(64, kResumable) +
                               ScriptedReceiver::resumeTerms(1u << 20)),
        ScriptedReceiver::readHeader(),
        ScriptedReceiver::send(ScriptedReceiver::resumeOffset(kHeld)),
        ScriptedReceiver::read(kRest + QK_FINISHED_FRAME_SIZE),
        ScriptedReceiver::pause(5s),
        ScriptedReceiver::send({QK_SEND_FILE_FOK}),
        ScriptedReceiver::read(1),  // the finished-all frame
        ScriptedReceiver::send({QK_SEND_FILE_FOK}),
    });
    EXPECT_EQ(run(receiver, Poco::Timespan(2, 0)), QK_SEND_FILE_FOK) << console;
    EXPECT_FALSE(dir.exists("out/r.bin"));
    const auto connections = receiver.connections();  // a copy: the bytes below live in it
    ASSERT_EQ(connections.size(), 1u);
    const Bytes& sent = connections[0].after_headers;
    ASSERT_EQ(sent.size(), kRest + QK_FINISHED_FRAME_SIZE + 1);
    EXPECT_EQ(sent.back(), QK_SEND_FILE_FFINISHED_ALL);
}

}  // namespace
