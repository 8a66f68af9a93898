// The process's token bucket for sends.
#include "transfer/CQKRateLimit.h"

#include <algorithm>
#include <ctime>

#include "transfer/CQKSenderStop.h"

namespace {

// A tenth of a second's worth of bytes at rate: the bucket's size and the largest piece.
double slice_of(std::uint64_t rate) {
    return std::max(1.0, static_cast<double>(rate) / 10.0);
}

}  // namespace

CQKRateLimit& qk_rate_limit() {
    static CQKRateLimit limit;
    return limit;
}

void CQKRateLimit::setSchedule(const CQKRateSchedule& schedule) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (schedule == m_schedule)
        return;
    m_schedule = schedule;
    m_look_up = Clock::time_point();  // look the rate up at the next send
    m_on.store(schedule.isLimited(), std::memory_order_relaxed);
}

CQKRateSchedule CQKRateLimit::schedule() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_schedule;
}

// The rate of the current minute of local time; looked up again at the next minute. The
// bucket starts full when the rate changes.
void CQKRateLimit::lookUpRate(Clock::time_point now) {
    const std::time_t wall = std::time(nullptr);
    std::tm local{};
    localtime_r(&wall, &local);
    const std::uint64_t rate = m_schedule.rateAt(local.tm_hour * 60 + local.tm_min);
    if (rate != m_rate) {
        m_rate = rate;
        m_tokens = slice_of(rate);
        m_filled = now;
    }
    m_look_up = now + std::chrono::seconds(60 - std::min(local.tm_sec, 59));
}

std::size_t CQKRateLimit::take(std::size_t length) {
    std::chrono::duration<double> wait{0};
    std::size_t piece = length;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        if (now >= m_look_up)
            lookUpRate(now);
        if (m_rate == 0)
            return length;
        const double rate = static_cast<double>(m_rate);
        const double slice = slice_of(m_rate);
        const std::chrono::duration<double> elapsed = now - m_filled;
        m_tokens = std::min(slice, m_tokens + elapsed.count() * rate);
        m_filled = now;
        piece = std::min(length, static_cast<std::size_t>(slice));
        m_tokens -= static_cast<double>(piece);
        if (m_tokens < 0)
            wait = std::chrono::duration<double>(-m_tokens / rate);
    }
    if (wait.count() > 0)
        qk_sender_stop().sleepFor(std::chrono::duration_cast<std::chrono::nanoseconds>(wait));
    return piece;
}
