// The stream runner: streams run side by side, and a failing one neither cuts the others
// short nor gets lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Eventually.h"
#include "transfer/CQKStreamRunner.h"

namespace {

using namespace std::chrono_literals;

// Each of three streams waits for the others to have started: run one after the other, they
// would never meet. The run is delivered only when every stream was.
TEST(StreamRunner, RunsTheStreamsSideBySideAndTellsWhetherAllDelivered) {
    std::atomic<int> started{0};
    auto meet = [&started](std::size_t) {
        ++started;
        return eventually([&] { return started.load() == 3; }, 10s);
    };
    EXPECT_TRUE(CQKStreamRunner::run(3, meet));

    started = 0;
    EXPECT_FALSE(
        CQKStreamRunner::run(3, [&meet](std::size_t index) { return meet(index) && index != 1; }));
}

// The error comes back only once the stream still sending has ended: its sender and its
// files are never left to a thread that outlives the run.
TEST(StreamRunner, PassesOnAStreamsErrorOnceEveryStreamHasEnded) {
    std::atomic<bool> thrown{false};
    std::atomic<bool> other_ended{false};
    auto part = [&](std::size_t index) -> bool {
        if (index == 0) {
            thrown = true;
            throw std::runtime_error("stream 1 failed");
        }
        eventually([&] { return thrown.load(); }, 10s);
        std::this_thread::sleep_for(100ms);  // still sending when the first has failed
        other_ended = true;
        return true;
    };
    EXPECT_THROW(CQKStreamRunner::run(2, part), std::runtime_error);
    EXPECT_TRUE(other_ended.load());
}

}  // namespace
