// The progress line of the console client: one line on the terminal, rewritten in place at
// most four times a second, showing the file being sent, its bytes sent of its size, the
// rate and the time left.
//
// With several streams the line follows one file: the one that began first of those still
// being sent (the longest transfer of the moment, with one stream simply the file being
// sent), its own rate and time left, and how many other files are on their way beside it.
//
// The line is shown only when enable(true) was called, which the console client does when
// its standard output is a terminal; it never reaches the log. The console erases it before
// any other line (qk_show_transient_line), and finish() erases it at the end of a run.
// Senders report through CQKProgressFile, which costs one relaxed atomic load a piece when
// the line is off.
//
// Threads: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// What one progress line shows.
struct SQKProgressView {
    std::string name;        // the file, as the sender named it
    std::uint64_t sent = 0;  // bytes of it sent
    std::uint64_t size = 0;  // its size
    double rate = 0;         // bytes per second; 0: not known yet
    std::size_t others = 0;  // other files being sent at the same time
};

// A byte count for people: "512 B", "1.5 KiB", "20.0 MiB", "1.25 GiB".
std::string qk_bytes_text(std::uint64_t bytes);
// A time left: "0:07", "12:34", "1:02:03"; "--:--" when it is not known (no rate yet).
std::string qk_time_left_text(double seconds);
// The line for view, at most width characters: a long name loses its beginning ("...").
std::string qk_progress_line(const SQKProgressView& view, std::size_t width);

class CQKProgress {
public:
    // Shows the line from now on (on) or never again (off, erasing it).
    void enable(bool on);
    bool isOn() const { return m_on.load(std::memory_order_relaxed); }
    // A file begins; returns its ticket for add and end.
    std::uint64_t begin(const std::string& path, std::uint64_t size);
    // bytes more of the file were sent; shows the line when it is due.
    void add(std::uint64_t ticket, std::uint64_t bytes);
    // bytes more of the file need not be sent (the receiver holds them from a cut transfer):
    // counted as sent, but not in the rate.
    void skip(std::uint64_t ticket, std::uint64_t bytes);
    void end(std::uint64_t ticket);
    // Erases the line: the run is over, or other output follows.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    struct SQKFile {
        std::string name;
        std::uint64_t size = 0;
        std::uint64_t sent = 0;
    };
    void count(std::uint64_t ticket, std::uint64_t bytes, bool in_rate);
    void show(Clock::time_point now);
    double followRate(std::uint64_t ticket, std::uint64_t sent, Clock::time_point now);

    std::atomic<bool> m_on{false};
    std::mutex m_mutex;
    std::map<std::uint64_t, SQKFile> m_files;  // by ticket: the first began first
    std::uint64_t m_next_ticket = 1;
    std::size_t m_width = 80;  // of the terminal, when the line was enabled
    Clock::time_point m_next_show;
    // The file the line follows, and its smoothed rate.
    std::uint64_t m_followed = 0;
    std::uint64_t m_followed_sent = 0;
    Clock::time_point m_followed_at;
    double m_rate = 0;
};

// The progress of the process.
CQKProgress& qk_progress();

// One file's progress, ended when the object goes (also when its transfer throws).
class CQKProgressFile {
public:
    CQKProgressFile(const std::string& path, std::uint64_t size)
        : m_ticket(qk_progress().isOn() ? qk_progress().begin(path, size) : 0) {}
    ~CQKProgressFile() {
        if (m_ticket != 0)
            qk_progress().end(m_ticket);
    }
    CQKProgressFile(const CQKProgressFile&) = delete;
    CQKProgressFile& operator=(const CQKProgressFile&) = delete;
    void add(std::uint64_t bytes) {
        if (m_ticket != 0)
            qk_progress().add(m_ticket, bytes);
    }
    void skip(std::uint64_t bytes) {
        if (m_ticket != 0)
            qk_progress().skip(m_ticket, bytes);
    }

private:
    const std::uint64_t m_ticket;  // 0: the line is off
};
