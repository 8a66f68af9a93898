// The receivers found to speak only the classic conversation (they refused the offer of
// files in flight the way older versions do), remembered by "address:port" for
// QK_CLASSIC_PEER_MEMORY: every sender of the process speaks to them classically for that
// long, then offers again (the receiver may have been upgraded).
//
// Threads: one object per process (qk_classic_peers()), used by every sender's thread; each
// call takes its mutex.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

constexpr std::chrono::minutes QK_CLASSIC_PEER_MEMORY{60};

class CQKClassicPeers {
public:
    // True while receiver was found classic less than QK_CLASSIC_PEER_MEMORY ago; an older
    // finding is forgotten.
    bool isClassic(const std::string& receiver);
    void remember(const std::string& receiver);

private:
    std::mutex m_mutex;
    std::map<std::string, std::chrono::steady_clock::time_point> m_found;
};

CQKClassicPeers& qk_classic_peers();
