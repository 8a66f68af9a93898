// What one sending run of the console client did with the files it found: delivered (with
// their bytes, and the bytes a resume spared), refused by the receiver, or left in the
// outgoing tree for any other cause; and whether the receiver answered at all. The lead
// sender of a run and its streams share one tally.
//
// Threads: any; every call locks.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

struct SQKRunCounts {
    std::uint64_t files_sent = 0;
    std::uint64_t bytes_sent = 0;  // the files' sizes, resumed bytes included
    std::uint64_t files_refused = 0;
    std::uint64_t files_left = 0;  // found, neither delivered nor refused
    std::uint64_t bytes_resumed = 0;
    bool receiver_reached = false;  // a status of the receiver came: its greeting at least
};

class CQKRunTally {
public:
    // A regular file the run set out to send; found again by a later attempt, it counts once.
    void noteFound(const std::string& path);
    void noteDelivered(const std::string& path, std::uint64_t bytes, std::uint64_t resumed);
    void noteRefused(const std::string& path);
    void noteReached();
    SQKRunCounts counts() const;

private:
    mutable std::mutex m_mutex;
    std::set<std::string> m_found;
    std::set<std::string> m_settled;  // delivered or refused
    SQKRunCounts m_counts;
};
