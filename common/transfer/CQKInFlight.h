// The files a windowed sender has sent whose statuses have not come yet, oldest first, and
// the bounds within which it may send more: the receiver's answer (files and bytes in
// flight, QK_WINDOW_INITIAL_FILES until it has come), never beyond the sender's own
// QK_SENDER_WINDOW_FILES. One file always fits, however big. Each file in flight is counted
// in the sender metric files_in_flight while it is here.
//
// Threads: one sender's thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "protocol/qk_protocol.h"

class CQKReadLease;

// The most files a sender keeps in flight, whatever the receiver takes.
constexpr std::uint16_t QK_SENDER_WINDOW_FILES = 256;
constexpr std::uint64_t QK_SENDER_WINDOW_BYTES = 1ull << 30;

// A file sent whose status has not come yet.
struct SQKSentFile {
    std::string path;
    std::string sub_dir;
    std::string back_dir;
    std::shared_ptr<CQKReadLease> lease;
    std::uint64_t size = 0;
    std::uint64_t held = 0;  // bytes the receiver held already (resumed)
};

class CQKInFlight {
public:
    ~CQKInFlight() { forget(); }

    // The bounds of a new offer, before the receiver has answered.
    void offered();
    // The receiver's bounds (files are capped at QK_SENDER_WINDOW_FILES).
    void answered(std::uint16_t files, std::uint64_t bytes);
    std::uint16_t files() const { return m_files; }
    std::uint64_t bytes() const { return m_bytes; }

    // True when a file of size bytes may be sent now.
    bool hasRoomFor(std::uint64_t size) const;
    void add(SQKSentFile file);
    // The oldest file in flight, taken out; needs one.
    SQKSentFile takeOldest();
    // Forgets every file in flight (they stay in the outgoing tree, to be sent again).
    void forget() noexcept;
    bool empty() const { return m_sent.empty(); }
    // Bytes the receiver reads back from its disk before the oldest file's status (0 when
    // none is in flight).
    std::uint64_t oldestHeld() const { return m_sent.empty() ? 0 : m_sent.front().held; }

private:
    std::deque<SQKSentFile> m_sent;
    std::uint64_t m_sent_bytes = 0;
    std::uint16_t m_files = QK_WINDOW_INITIAL_FILES;
    std::uint64_t m_bytes = 0;
};
