// The one way a task runs on a thread beside its owner.
#include "base/CQKWorker.h"

void CQKWorker::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping)
        return;
    if (!m_thread.joinable())
        m_thread = std::thread([this] { loop(); });
    m_queue.push_back(std::move(task));
    m_changed.notify_all();
}

void CQKWorker::waitPendingBelow(std::size_t limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_queue.size() + m_running < limit || m_error; });
}

void CQKWorker::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.empty() && m_running == 0; });
}

void CQKWorker::cancel() noexcept {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_stop_requested.store(true);
    m_changed.wait(lock, [this] { return m_running == 0; });
    m_error = nullptr;
    if (!m_stopping)
        m_stop_requested.store(false);
}

void CQKWorker::throwError() {
    const std::exception_ptr error = takeError();
    if (error)
        std::rethrow_exception(error);
}

std::exception_ptr CQKWorker::keptError() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

std::exception_ptr CQKWorker::takeError() noexcept {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::exception_ptr error = m_error;
    m_error = nullptr;
    m_changed.notify_all();
    return error;
}

void CQKWorker::stop() noexcept {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || !m_thread.joinable())
            return;
        m_stopping = true;
        if (m_at_stop == AtStop::Drop) {
            m_queue.clear();
            m_stop_requested.store(true);
        }
        thread = std::move(m_thread);
    }
    m_changed.notify_all();
    thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
    m_stop_requested.store(false);
    m_changed.notify_all();
}

void CQKWorker::loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        std::function<void()> task = std::move(m_queue.front());
        m_queue.pop_front();
        if (m_error && m_after_error == AfterError::SkipAfterError) {
            m_changed.notify_all();
            continue;
        }
        m_running = 1;
        lock.unlock();
        std::exception_ptr error;
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        task = nullptr;
        lock.lock();
        if (error && !m_error)
            m_error = error;
        m_running = 0;
        m_changed.notify_all();
    }
}
