// The console client's progress line.
#include "transfer/CQKProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "base/qk_console.h"

namespace {

// At most four lines a second: a terminal redrawn faster only flickers.
constexpr std::chrono::milliseconds kShowEvery{250};
// Weight of the newest measure in the smoothed rate.
constexpr double kRateWeight = 0.3;

std::size_t terminal_width() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

}  // namespace

std::string qk_bytes_text(std::uint64_t bytes) {
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), value < 10.0 ? "%.2f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string qk_time_left_text(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 359999.0)
        return "--:--";
    const long total = std::lround(std::ceil(seconds));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
    return text;
}

std::string qk_progress_line(const SQKProgressView& view, std::size_t width) {
    const double left =
        view.rate > 0 ? static_cast<double>(view.size - std::min(view.sent, view.size)) / view.rate
                      : -1;
    std::string tail = "  " + qk_bytes_text(view.sent) + " / " + qk_bytes_text(view.size) + "  " +
                       (view.rate > 0 ? qk_bytes_text(static_cast<std::uint64_t>(view.rate)) + "/s"
                                      : std::string("-- B/s")) +
                       "  " + qk_time_left_text(left) + " left";
    if (view.others > 0)
        tail += "  (+" + std::to_string(view.others) + " more)";
    std::string name = view.name;
    const std::size_t room = width > tail.size() ? width - tail.size() : 0;
    if (name.size() > room)
        name = room > 3 ? "..." + name.substr(name.size() - (room - 3)) : std::string();
    return (name + tail).substr(0, width);
}

CQKProgress& qk_progress() {
    static CQKProgress progress;
    return progress;
}

void CQKProgress::enable(bool on) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_width = terminal_width();
        // The cursor stays after the line: one column fewer keeps the terminal from wrapping.
        m_width = m_width > 1 ? m_width - 1 : m_width;
    }
    m_on.store(on, std::memory_order_relaxed);
    if (!on)
        qk_clear_transient_line();
}

std::uint64_t CQKProgress::begin(const std::string& path, std::uint64_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uint64_t ticket = m_next_ticket++;
    m_files[ticket] = SQKFile{path, size, 0};
    return ticket;
}

void CQKProgress::add(std::uint64_t ticket, std::uint64_t bytes) {
    count(ticket, bytes, true);
}

void CQKProgress::skip(std::uint64_t ticket, std::uint64_t bytes) {
    count(ticket, bytes, false);
}

void CQKProgress::count(std::uint64_t ticket, std::uint64_t bytes, bool in_rate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_files.find(ticket);
    if (found == m_files.end())
        return;
    found->second.sent += bytes;
    if (!in_rate) {
        if (ticket == m_followed)
            m_followed_sent += bytes;
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now >= m_next_show && isOn())
        show(now);
}

void CQKProgress::end(std::uint64_t ticket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files.erase(ticket);
}

void CQKProgress::finish() {
    qk_clear_transient_line();
}

// The rate of the followed file, smoothed over the shows; starts afresh with another file.
double CQKProgress::followRate(std::uint64_t ticket, std::uint64_t sent, Clock::time_point now) {
    if (ticket != m_followed) {
        m_followed = ticket;
        m_rate = 0;
    } else {
        const std::chrono::duration<double> spent = now - m_followed_at;
        if (spent.count() > 0) {
            const double measured = static_cast<double>(sent - m_followed_sent) / spent.count();
            m_rate = m_rate > 0 ? m_rate + kRateWeight * (measured - m_rate) : measured;
        }
    }
    m_followed_sent = sent;
    m_followed_at = now;
    return m_rate;
}

void CQKProgress::show(Clock::time_point now) {
    m_next_show = now + kShowEvery;
    const auto& [ticket, file] = *m_files.begin();
    SQKProgressView view;
    view.name = file.name;
    view.sent = file.sent;
    view.size = file.size;
    view.rate = followRate(ticket, file.sent, now);
    view.others = m_files.size() - 1;
    qk_show_transient_line(qk_progress_line(view, m_width));
}
