// Parsing and looking up send rate limits.
#include "base/qk_rate_schedule.h"

#include <cctype>
#include <cstdio>
#include <limits>
#include <sstream>

namespace {

constexpr int kMinutesPerDay = 24 * 60;

// "" when text is a rate (0 for "0" and "off"), else why not.
std::string parse_rate(const std::string& text, std::uint64_t& rate) {
    if (text.empty())
        return "a rate is missing";
    const std::string problem = qk_parse_bytes(text, "rate", "bytes per second", rate);
    if (!problem.empty())
        return problem;
    if (rate != 0 && rate < QK_RATE_MIN)
        return "rate " + text + " is below 1K per second";
    return "";
}

// "" when text is "HH:MM" (hour 0..23, minute 0..59, one or two digits of hour), else why.
std::string parse_time(const std::string& text, int& minute_of_day) {
    const std::size_t colon = text.find(':');
    const auto all_digits = [](const std::string& part) {
        for (char c : part)
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return false;
        return true;
    };
    if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() != colon + 3)
        return "time " + text + " is not HH:MM";
    const std::string hours = text.substr(0, colon);
    const std::string minutes = text.substr(colon + 1);
    if (!all_digits(hours) || !all_digits(minutes))
        return "time " + text + " is not HH:MM";
    const int hour = std::stoi(hours);
    const int minute = std::stoi(minutes);
    if (hour > 23 || minute > 59)
        return "time " + text + " is not a time of the day";
    minute_of_day = hour * 60 + minute;
    return "";
}

std::string time_text(int minute_of_day) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d", minute_of_day / 60, minute_of_day % 60);
    return text;
}

}  // namespace

std::string qk_parse_bytes(const std::string& text, const char* what, const char* unit_name,
                           std::uint64_t& bytes) {
    if (text == "off" || text == "0") {
        bytes = 0;
        return "";
    }
    const std::string named = std::string(what) + " " + text;
    std::size_t digits = 0;
    std::uint64_t value = 0;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[digits] - '0');
        if (value > (max - digit) / 10)
            return named + " is too large";
        value = value * 10 + digit;
        ++digits;
    }
    if (digits == 0)
        return named + " is not a number of " + unit_name;
    std::uint64_t unit = 1;
    const std::string suffix = text.substr(digits);
    if (suffix == "K" || suffix == "k")
        unit = 1ull << 10;
    else if (suffix == "M" || suffix == "m")
        unit = 1ull << 20;
    else if (suffix == "G" || suffix == "g")
        unit = 1ull << 30;
    else if (!suffix.empty())
        return named + " has an unknown suffix (K, M or G)";
    if (value > max / unit)
        return named + " is too large";
    bytes = value * unit;
    return "";
}

std::string qk_rate_text(std::uint64_t bytes_per_second) {
    if (bytes_per_second == 0)
        return "off";
    const char* const suffixes[] = {"G", "M", "K"};
    const unsigned shifts[] = {30, 20, 10};
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t unit = 1ull << shifts[i];
        if (bytes_per_second % unit == 0)
            return std::to_string(bytes_per_second / unit) + suffixes[i];
    }
    return std::to_string(bytes_per_second);
}

std::string CQKRateSchedule::parse(const std::string& value) {
    std::istringstream words(value);
    std::vector<std::string> entries;
    for (std::string word; words >> word;)
        entries.push_back(word);
    if (entries.empty())
        return "the value is empty";
    std::vector<SQKEntry> parsed;
    if (entries.size() == 1 && entries.front().find(',') == std::string::npos &&
        entries.front().find(':') == std::string::npos) {
        SQKEntry whole_day;
        const std::string problem = parse_rate(entries.front(), whole_day.rate);
        if (!problem.empty())
            return problem;
        parsed.push_back(whole_day);
    } else {
        for (const std::string& entry : entries) {
            const std::size_t comma = entry.find(',');
            if (comma == std::string::npos)
                return "entry " + entry + " is not HH:MM,RATE";
            SQKEntry next;
            std::string problem = parse_time(entry.substr(0, comma), next.minute);
            if (problem.empty())
                problem = parse_rate(entry.substr(comma + 1), next.rate);
            if (!problem.empty())
                return "entry " + entry + ": " + problem;
            if (!parsed.empty() && next.minute <= parsed.back().minute)
                return "entry " + entry + " does not come after " + time_text(parsed.back().minute);
            parsed.push_back(next);
        }
    }
    m_entries = parsed;
    m_text = text();
    return "";
}

bool CQKRateSchedule::isLimited() const {
    for (const SQKEntry& entry : m_entries)
        if (entry.rate != 0)
            return true;
    return false;
}

// The last entry that has begun by minute_of_day; before the first one, the day's last.
std::uint64_t CQKRateSchedule::rateAt(int minute_of_day) const {
    if (m_entries.empty())
        return 0;
    std::uint64_t rate = m_entries.back().rate;
    for (const SQKEntry& entry : m_entries) {
        if (entry.minute > minute_of_day % kMinutesPerDay)
            break;
        rate = entry.rate;
    }
    return rate;
}

std::string CQKRateSchedule::text() const {
    if (m_entries.empty())
        return "off";
    if (m_entries.size() == 1 && m_entries.front().minute == 0)
        return qk_rate_text(m_entries.front().rate);
    std::string text;
    for (const SQKEntry& entry : m_entries) {
        if (!text.empty())
            text += ' ';
        text += time_text(entry.minute) + "," + qk_rate_text(entry.rate);
    }
    return text;
}
