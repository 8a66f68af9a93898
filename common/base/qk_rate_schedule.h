// A send rate limit as operators write it: one rate for the whole day, or a daily timetable
// of local times and rates.
//
// A rate is a whole number of bytes per second with an optional suffix K, M or G (upper or
// lower case) meaning 1024, 1024^2 or 1024^3: "512K", "2M". "0" and "off" mean no limit. A
// rate below 1K per second is refused: sends are paced in slices of a tenth of a second, and
// a slower pace would starve the receiver's readiness time-outs.
//
// A timetable is a list of entries "HH:MM,RATE" separated by blanks, times strictly
// increasing: "08:00,2M 18:00,off" limits to 2 MiB/s from 08:00 and lifts the limit from
// 18:00. Before the first time of the day the last entry is in force: the table wraps round
// midnight. Nothing throws but std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The lowest rate a limit may have, in bytes per second.
constexpr std::uint64_t QK_RATE_MIN = 1024;

class CQKRateSchedule {
public:
    // Replaces the schedule with the one value describes. Returns "" when it was taken,
    // else why it was refused; a refused value leaves the schedule as it was.
    std::string parse(const std::string& value);

    // True when some time of the day has a limit.
    bool isLimited() const;
    // Bytes per second in force at minute_of_day (0..1439) of local time; 0: no limit.
    std::uint64_t rateAt(int minute_of_day) const;
    // The schedule written back in the accepted syntax ("off" for none), for the logs.
    std::string text() const;

    bool operator==(const CQKRateSchedule& other) const { return m_text == other.m_text; }
    bool operator!=(const CQKRateSchedule& other) const { return !(*this == other); }

private:
    struct SQKEntry {
        int minute = 0;          // of the day, local time
        std::uint64_t rate = 0;  // bytes per second; 0: no limit
    };
    std::vector<SQKEntry> m_entries;  // one entry at minute 0 for a whole-day rate
    std::string m_text = "off";
};

// "" when text is a number of bytes with an optional suffix K, M or G (upper or lower case,
// powers of 1024), or "0" or "off" (bytes is then 0); else why not, naming the value as
// "<what> <text>" and its unit as unit_name. A refused text leaves bytes as it was.
std::string qk_parse_bytes(const std::string& text, const char* what, const char* unit_name,
                           std::uint64_t& bytes);

// The text of a byte count per second with the largest suffix that divides it ("2M",
// "1536K", "off" for 0).
std::string qk_rate_text(std::uint64_t bytes_per_second);
