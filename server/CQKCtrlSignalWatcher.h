// Console control events of the server: the interrupt, quit, hang-up and termination
// signals, taken on an ordinary thread with sigwait instead of inside a signal handler, so
// that the handler may log, lock and wait like any other code.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

// Console control types handed to the handler.
constexpr int QK_CTRL_C_EVENT = 0;      // SIGINT, and SIGTERM
constexpr int QK_CTRL_BREAK_EVENT = 1;  // SIGQUIT
constexpr int QK_CTRL_CLOSE_EVENT = 2;  // SIGHUP

class CQKCtrlSignalWatcher {
public:
    using Handler = void (*)(int ctrl_type);

    // Blocks SIGINT, SIGQUIT, SIGHUP and SIGTERM in the calling thread. Construct it on the
    // main thread before any other thread starts: threads inherit the mask, so no thread
    // takes the default action (the end of the process) and the signals stay pending until
    // the watching thread accepts them. The signals stay blocked for the rest of the process.
    CQKCtrlSignalWatcher();
    // Stops the watching thread.
    ~CQKCtrlSignalWatcher();
    CQKCtrlSignalWatcher(const CQKCtrlSignalWatcher&) = delete;
    CQKCtrlSignalWatcher& operator=(const CQKCtrlSignalWatcher&) = delete;

    // Starts the watching thread, which calls handler with the control type of every signal
    // that arrives, one at a time; signals that arrived before are handled at once. A second
    // call does nothing. Exceptions of the handler are swallowed: they end nothing.
    void start(Handler handler);
    // Ends the watching thread after the handler call under way and joins it. Safe when
    // not started; call it from any thread but the watching one.
    void stop();

    // The control type of a signal: SIGINT and SIGTERM 0, SIGQUIT 1, SIGHUP 2, others -1.
    static int ctrlType(int signo);

private:
    void watch(Handler handler);

    sigset_t m_signals;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
};
