// The send rate limit of the process: a token bucket that every sender of the process (all
// the streams of a run, plain and TLS) draws from before each send, so that together they
// stay under the rate in force.
//
// The bucket holds at most a tenth of a second's worth of bytes; a send takes at most that
// much at once and waits for what the bucket lacks, outside the lock, so that the streams'
// waits line up one after the other; the senders' stop (CQKSenderStop) cuts a wait short. A
// timetable's rate is looked up again at each new minute of the wall clock, when a send takes
// tokens: a transfer that runs across a change of rate takes the new rate at its time.
//
// With no limit set the cost of a send is one relaxed atomic load (isOn).
//
// Threads: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/qk_rate_schedule.h"

class CQKRateLimit {
public:
    // Puts schedule in force for the sends that follow; the same schedule again changes
    // nothing (the bucket keeps its tokens).
    void setSchedule(const CQKRateSchedule& schedule);
    CQKRateSchedule schedule() const;
    // True while a schedule with a limit at some time of the day is set.
    bool isOn() const { return m_on.load(std::memory_order_relaxed); }
    // Waits until a piece of at most length bytes may be sent and returns its size (length
    // when no limit is in force now).
    std::size_t take(std::size_t length);

private:
    using Clock = std::chrono::steady_clock;
    void lookUpRate(Clock::time_point now);

    std::atomic<bool> m_on{false};
    mutable std::mutex m_mutex;
    CQKRateSchedule m_schedule;
    std::uint64_t m_rate = 0;     // bytes per second in force; 0: none now
    double m_tokens = 0;          // may be negative: bytes promised to senders that wait
    Clock::time_point m_filled;   // when m_tokens was last brought up to date
    Clock::time_point m_look_up;  // when the timetable is looked at again
};

// The limit shared by every sender of the process.
CQKRateLimit& qk_rate_limit();
