// The stop of a console program by a signal: SIGINT, SIGTERM and SIGHUP are blocked in every
// thread and taken with sigwait on a thread of their own, never inside a signal handler.
//
// The first of them runs the program's stop (for a sender: CQKSenderStop), and the program
// winds down within a second; a second one ends the process at once, as the signal would
// have. Once the program has wound down, finish() ends it by the signal it took, so that
// its caller (a shell, a script) sees the interruption as it always did.
//
// Threads: construct and finish on the main thread; the stop runs on the watching thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

class CQKStopSignals {
public:
    using Stop = std::function<void(int signo)>;

    // Blocks the signals in the calling thread, and so in every thread it starts later:
    // construct it before any other thread exists.
    CQKStopSignals();
    // Ends the watching thread, without ending the process.
    ~CQKStopSignals();
    CQKStopSignals(const CQKStopSignals&) = delete;
    CQKStopSignals& operator=(const CQKStopSignals&) = delete;

    // Starts the watching thread; a signal that came earlier is taken at once.
    void start(Stop stop);
    // Ends the watching thread; when a signal was taken, ends the process by it.
    void finish();

private:
    void watch();
    void endWatching();
    static void endBy(int signo);

    sigset_t m_signals;
    Stop m_stop;
    std::atomic<int> m_taken{0};
    std::atomic<bool> m_ending{false};
    std::thread m_thread;
};
