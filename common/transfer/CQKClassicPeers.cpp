// Receivers of the classic conversation, shared by every sender of the process.
#include "transfer/CQKClassicPeers.h"

bool CQKClassicPeers::isClassic(const std::string& receiver) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_found.find(receiver);
    if (found == m_found.end())
        return false;
    if (std::chrono::steady_clock::now() - found->second < QK_CLASSIC_PEER_MEMORY)
        return true;
    m_found.erase(found);  // offered again: it may have been upgraded
    return false;
}

void CQKClassicPeers::remember(const std::string& receiver) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_found[receiver] = std::chrono::steady_clock::now();
}

CQKClassicPeers& qk_classic_peers() {
    static CQKClassicPeers peers;
    return peers;
}
