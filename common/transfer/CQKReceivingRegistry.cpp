// Guarded registry of the paths being received.
#include "transfer/CQKReceivingRegistry.h"

bool CQKReceivingRegistry::tryInsert(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.insert(path).second;
}

void CQKReceivingRegistry::erase(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths.erase(path);
}

bool CQKReceivingRegistry::contains(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.count(path) != 0;
}

std::size_t CQKReceivingRegistry::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paths.size();
}
