// Console control events taken with sigwait on a thread of their own.
#include "CQKCtrlSignalWatcher.h"

#include <pthread.h>

CQKCtrlSignalWatcher::CQKCtrlSignalWatcher() {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGQUIT);
    sigaddset(&m_signals, SIGHUP);
    sigaddset(&m_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
}

CQKCtrlSignalWatcher::~CQKCtrlSignalWatcher() {
    stop();
}

void CQKCtrlSignalWatcher::start(Handler handler) {
    if (m_thread.joinable() || handler == nullptr)
        return;
    m_stopping.store(false);
    m_thread = std::thread(&CQKCtrlSignalWatcher::watch, this, handler);
}

void CQKCtrlSignalWatcher::stop() {
    if (!m_thread.joinable() || m_thread.get_id() == std::this_thread::get_id())
        return;
    m_stopping.store(true);
    // A signal aimed at the watching thread wakes its sigwait; the flag tells it to leave.
    // Sent while the handler runs, it stays pending and is taken by the next sigwait.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

int CQKCtrlSignalWatcher::ctrlType(int signo) {
    switch (signo) {
        case SIGINT:
        case SIGTERM:
            return QK_CTRL_C_EVENT;
        case SIGQUIT:
            return QK_CTRL_BREAK_EVENT;
        case SIGHUP:
            return QK_CTRL_CLOSE_EVENT;
        default:
            return -1;
    }
}

void CQKCtrlSignalWatcher::watch(Handler handler) {
    while (!m_stopping.load()) {
        int signo = 0;
        if (sigwait(&m_signals, &signo) != 0 || m_stopping.load())
            continue;
        try {
            handler(ctrlType(signo));
        } catch (...) {
            // The handler reports its own failures; the watching goes on.
        }
    }
}
