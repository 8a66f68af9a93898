#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "base/CQKWorker.h"

namespace {

// Holds the worker's thread inside a task until released, so that what is queued behind it
// is known to be waiting.
struct Gate {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

    std::function<void()> task() {
        return [this] {
            entered.set_value();
            released.wait();
        };
    }
};

}  // namespace

TEST(Worker, StopFinishesOrDropsWhatIsQueuedAsConstructedAndAPostAfterItRunsAgain) {
    std::atomic<int> ran{0};
    {
        CQKWorker finishing(CQKWorker::AfterError::Continue, CQKWorker::AtStop::Finish);
        Gate gate;
        finishing.post(gate.task());
        for (int i = 0; i < 3; ++i)
            finishing.post([&] { ++ran; });
        gate.entered.get_future().wait();
        std::thread stopper([&] { finishing.stop(); });
        gate.release.set_value();
        stopper.join();
        EXPECT_EQ(ran.load(), 3);
        finishing.post([&] { ++ran; });  // on a new thread
        finishing.wait();
        EXPECT_EQ(ran.load(), 4);
    }

    ran = 0;
    CQKWorker dropping(CQKWorker::AfterError::Continue, CQKWorker::AtStop::Drop);
    std::promise<void> entered;
    // The task under way ends early on the stop request; those behind it never run.
    dropping.post([&] {
        entered.set_value();
        while (!dropping.stopRequested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    for (int i = 0; i < 3; ++i)
        dropping.post([&] { ++ran; });
    entered.get_future().wait();
    dropping.stop();
    EXPECT_EQ(ran.load(), 0);
}

TEST(Worker, TheFirstErrorIsKeptUntilTakenAndTheTasksAfterItRunOrNotAsConstructed) {
    for (const auto after :
         {CQKWorker::AfterError::Continue, CQKWorker::AfterError::SkipAfterError}) {
        CQKWorker worker(after);
        std::atomic<int> ran{0};
        Gate gate;
        worker.post(gate.task());
        worker.post([] { throw std::runtime_error("first"); });
        worker.post([] { throw std::logic_error("second"); });
        worker.post([&] { ++ran; });
        gate.entered.get_future().wait();
        gate.release.set_value();
        worker.wait();
        EXPECT_EQ(ran.load(), after == CQKWorker::AfterError::Continue ? 1 : 0);
        EXPECT_NE(worker.keptError(), nullptr);
        EXPECT_THROW(worker.throwError(), std::runtime_error);
        EXPECT_NO_THROW(worker.throwError());  // thrown once
        worker.post([&] { ++ran; });           // runs again once the error is taken
        worker.wait();
        EXPECT_EQ(ran.load(), after == CQKWorker::AfterError::Continue ? 2 : 1);
    }
}

TEST(Worker, CancelDropsTheQueueEndsTheTaskUnderWayAndLeavesTheWorkerUsable) {
    CQKWorker worker;
    std::atomic<int> ran{0};
    std::promise<void> entered;
    worker.post([&] {
        entered.set_value();
        while (!worker.stopRequested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        throw std::runtime_error("ended early");
    });
    worker.post([&] { ++ran; });
    entered.get_future().wait();
    worker.cancel();
    EXPECT_EQ(worker.keptError(), nullptr);
    EXPECT_FALSE(worker.stopRequested());
    worker.post([&] { ++ran; });
    worker.wait();
    EXPECT_EQ(ran.load(), 1);
}
