// The worker that backs up and removes acknowledged files behind the transfer.
#include "transfer/CQKRemovalQueue.h"

CQKRemovalQueue::~CQKRemovalQueue() {
    drainQuietly();
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void CQKRemovalQueue::add(std::function<void()> work) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        m_thread = std::thread([this] { workerLoop(); });
    m_changed.wait(lock, [this] { return m_queue.empty() || m_error; });
    throwError(lock);
    m_queue.push_back(std::move(work));
    m_changed.notify_all();
}

void CQKRemovalQueue::drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_working; });
    throwError(lock);
}

void CQKRemovalQueue::drainQuietly() noexcept {
    try {
        drain();
    } catch (...) {
    }
}

void CQKRemovalQueue::throwError(std::unique_lock<std::mutex>&) {
    if (!m_error)
        return;
    const std::exception_ptr error = m_error;
    m_error = nullptr;
    std::rethrow_exception(error);
}

// Work after an error still runs: each piece looks after its own file, and a file that
// was acknowledged is best removed, whatever happened to another.
void CQKRemovalQueue::workerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        std::function<void()> work = std::move(m_queue.front());
        m_queue.pop_front();
        m_working = true;
        m_changed.notify_all();
        lock.unlock();
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !m_error)
            m_error = error;
        m_working = false;
        m_changed.notify_all();
    }
}
