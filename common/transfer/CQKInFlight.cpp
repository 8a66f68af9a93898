// The files in flight of a windowed sender.
#include "transfer/CQKInFlight.h"

#include <algorithm>
#include <cstdint>

#include "transfer/qk_relay_metrics.h"

void CQKInFlight::offered() {
    m_files = QK_WINDOW_INITIAL_FILES;
    m_bytes = UINT64_MAX;
}

void CQKInFlight::answered(std::uint16_t files, std::uint64_t bytes) {
    m_files = std::min(files, QK_SENDER_WINDOW_FILES);
    m_bytes = bytes;
}

bool CQKInFlight::hasRoomFor(std::uint64_t size) const {
    return m_sent.empty() || (m_sent.size() < m_files && m_sent_bytes + size <= m_bytes);
}

void CQKInFlight::add(SQKSentFile file) {
    m_sent_bytes += file.size;
    m_sent.push_back(std::move(file));
    qk_sender_metrics().files_in_flight.add(1);
}

SQKSentFile CQKInFlight::takeOldest() {
    SQKSentFile file = std::move(m_sent.front());
    m_sent.pop_front();
    m_sent_bytes -= file.size;
    qk_sender_metrics().files_in_flight.add(-1);
    return file;
}

void CQKInFlight::forget() noexcept {
    qk_sender_metrics().files_in_flight.add(-static_cast<double>(m_sent.size()));
    m_sent.clear();
    m_sent_bytes = 0;
}
