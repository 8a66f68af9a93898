// A console program's stop signals, taken on a thread of their own.
#include "app/CQKStopSignals.h"

#include <pthread.h>

CQKStopSignals::CQKStopSignals() {
    sigemptyset(&m_signals);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&m_signals, signo);
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
}

CQKStopSignals::~CQKStopSignals() {
    endWatching();
}

void CQKStopSignals::start(Stop stop) {
    if (m_thread.joinable())
        return;
    m_stop = std::move(stop);
    m_thread = std::thread([this] { watch(); });
}

void CQKStopSignals::finish() {
    endWatching();
    const int taken = m_taken.load();
    if (taken != 0)
        endBy(taken);
}

// A signal aimed at the watching thread wakes its sigwait; the flag tells it to leave.
void CQKStopSignals::endWatching() {
    if (!m_thread.joinable())
        return;
    m_ending.store(true);
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

void CQKStopSignals::watch() {
    for (;;) {
        int signo = 0;
        if (sigwait(&m_signals, &signo) != 0)
            continue;
        if (m_ending.load())
            return;
        if (m_taken.exchange(signo) != 0)
            endBy(signo);  // asked twice: no more waiting
        try {
            m_stop(signo);
        } catch (...) {
            // The stop reports its own failures.
        }
    }
}

// The default action of the signal, unblocked in this thread: the process ends by it.
void CQKStopSignals::endBy(int signo) {
    ::signal(signo, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(signo);
}
