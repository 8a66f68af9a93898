// One thread that runs queued tasks in their order, for an owner that goes on meanwhile.
//
// The thread starts with the first task posted and runs until stop() (or the destructor);
// a task posted after a stop starts a new one. A task that throws does not end the thread:
// the first error is kept until the owner takes it (takeError(), or thrown once by
// throwError()), and what happens to the tasks queued behind a failed one is the owner's
// choice, made at construction: Continue runs them all the same, SkipAfterError drops them
// unrun until the error is taken. A long task may ask stopRequested() between its steps and
// return early: requestStop() raises it without waiting; cancel() and a stop that drops
// (below) raise it too, until they return.
//
// At stop (stop(), or the destructor): with Finish, every task queued before the call is run
// to its end first; with Drop, the tasks not yet started are dropped unrun and only the one
// under way is waited for. Either way stop() returns with the thread joined, never throws,
// and leaves a kept error in place for takeError(). A task posted while a stop runs is
// dropped.
//
// Threads: any number of owner threads may post, wait and take the error; one at a time may
// stop; stop() and the destructor must not be called from a task (the thread would wait for
// itself).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class CQKWorker {
public:
    enum class AfterError { Continue, SkipAfterError };
    enum class AtStop { Finish, Drop };

    explicit CQKWorker(AfterError after_error = AfterError::Continue,
                       AtStop at_stop = AtStop::Finish)
        : m_after_error(after_error), m_at_stop(at_stop) {}
    ~CQKWorker() { stop(); }
    CQKWorker(const CQKWorker&) = delete;
    CQKWorker& operator=(const CQKWorker&) = delete;

    // Queues a task; starts the thread at the first. Ignored once stopped.
    void post(std::function<void()> task);
    // Waits until fewer than limit tasks are queued or under way, or an error is kept.
    void waitPendingBelow(std::size_t limit);
    // Waits until every task posted is done (or dropped).
    void wait();
    // Drops the tasks not yet started, asks the one under way to end early and waits for it;
    // the kept error and the stop request are dropped too. The worker stays usable.
    void cancel() noexcept;
    // Throws the kept error (once), if any.
    void throwError();
    // The kept error (null for none), which stays kept.
    std::exception_ptr keptError();
    // The kept error (null for none); it is no longer kept.
    std::exception_ptr takeError() noexcept;
    // Asks the task under way to end early; does not wait.
    void requestStop() noexcept { m_stop_requested.store(true); }
    // For a task: true once stop was asked (requestStop(), stop()).
    bool stopRequested() const noexcept { return m_stop_requested.load(); }
    // Ends the thread as the AtStop given at construction says; see the header comment.
    void stop() noexcept;

private:
    void loop();

    const AfterError m_after_error;
    const AtStop m_at_stop;
    std::atomic<bool> m_stop_requested{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    std::size_t m_running = 0;  // 1 while a task is under way
    bool m_stopping = false;
    std::exception_ptr m_error;
    std::thread m_thread;
};
