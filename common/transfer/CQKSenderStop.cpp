// The process-wide stop of the senders.
#include "transfer/CQKSenderStop.h"

#include <sys/socket.h>

POCO_IMPLEMENT_EXCEPTION(SendingStoppedException, Poco::Exception, "Sending stopped")

CQKSenderStop& qk_sender_stop() {
    static CQKSenderStop stop;
    return stop;
}

// Under the lock, so that no descriptor is closed (and its number taken again) meanwhile.
void CQKSenderStop::request() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requested.store(true);
    for (const int fd : m_sockets)
        ::shutdown(fd, SHUT_RDWR);
    m_asked.notify_all();
}

void CQKSenderStop::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requested.store(false);
}

void CQKSenderStop::check() const {
    if (requested())
        throw SendingStoppedException();
}

void CQKSenderStop::enlist(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sockets.insert(fd);
    if (m_requested.load())
        ::shutdown(fd, SHUT_RDWR);
}

void CQKSenderStop::delist(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sockets.find(fd);
    if (found != m_sockets.end())
        m_sockets.erase(found);
}

bool CQKSenderStop::sleepFor(std::chrono::nanoseconds duration) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_asked.wait_for(lock, duration, [this] { return m_requested.load(); });
}
