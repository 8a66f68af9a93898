#include "CQKGuiMailbox.h"

void CQKGuiMailbox::post(SQKGuiMessage message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(std::move(message));
    }
    if (m_wake_up)
        m_wake_up();
}

std::deque<SQKGuiMessage> CQKGuiMailbox::takeAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::deque<SQKGuiMessage> taken;
    taken.swap(m_messages);
    return taken;
}
