// The tally of a sending run.
#include "CQKRunTally.h"

void CQKRunTally::noteFound(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_found.insert(path);
}

// A file is settled once: a later attempt passes over what an earlier one delivered or had
// refused.
void CQKRunTally::noteDelivered(const std::string& path, std::uint64_t bytes,
                                std::uint64_t resumed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_settled.insert(path).second)
        return;
    ++m_counts.files_sent;
    m_counts.bytes_sent += bytes;
    m_counts.bytes_resumed += resumed;
}

void CQKRunTally::noteRefused(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settled.insert(path).second)
        ++m_counts.files_refused;
}

void CQKRunTally::noteReached() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counts.receiver_reached = true;
}

SQKRunCounts CQKRunTally::counts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    SQKRunCounts counts = m_counts;
    counts.files_left = 0;
    for (const std::string& path : m_found)
        counts.files_left += m_settled.count(path) == 0 ? 1 : 0;
    return counts;
}
