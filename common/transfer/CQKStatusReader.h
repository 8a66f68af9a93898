// The one reader of what a receiver sends a sender: statuses, and the window, resume-terms
// and offset frames of the windowed conversation, byte by byte out of one buffer. What one
// read brought beyond the byte taken waits for the next take (statuses of files in flight
// come several at a time); the classic conversation drops it (dropBuffered), as a classic
// receiver sends nothing unasked.
//
// Failures: a plain connection whose first byte begins a TLS record is at a receiver's TLS
// port (WrongPortException, code 0, before the byte counts as an answer); a receiver that
// sends nothing in time, or closes the connection, fails the take
// with the status texts of the log ("Error receiving of the status...", or "recv Error...
// received status = 0x0F, expected status = 0x.."), said at ERROR; a stop of the senders
// before it came throws SendingStoppedException.
//
// Threads: one sender's thread, with the socket it reads.
#pragma once

#include <Poco/Timespan.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/qk_protocol.h"

class CQKSenderSocket;

// "recv Error... received status = 0x.., expected status = 0x..": a status that was not the
// one due.
std::string qk_status_text(qk_code_t status, qk_code_t expected);

class CQKStatusReader {
public:
    // class_name: the class under which failures are said. on_bytes: called whenever bytes
    // from the receiver arrive.
    CQKStatusReader(CQKSenderSocket& socket, const char* class_name,
                    std::function<void()> on_bytes);

    // A new connection, or a new conversation on it: nothing read is kept.
    void reset() {
        m_begin = m_end = 0;
        m_first = true;
    }
    void dropBuffered() { m_begin = m_end; }
    // The next byte, waiting at most timeout for it; expected names the status the close text
    // says was due. Throws as said above.
    std::uint8_t next(const Poco::Timespan& timeout, qk_code_t expected = QK_SEND_FILE_FOK);
    // The next byte when it has arrived already; false when none has (a closed connection
    // throws as next does).
    bool nextArrived(std::uint8_t& byte);
    // The byte that has arrived next, left to be taken; false when none has, the connection
    // has ended, or it cannot be read. Never throws.
    bool peekArrived(std::uint8_t& byte) noexcept;
    // Bytes the last read from the socket brought.
    std::size_t lastRead() const { return m_end; }

private:
    void fill(int received, qk_code_t expected);

    CQKSenderSocket& m_socket;
    const char* m_class_name;
    std::function<void()> m_on_bytes;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    bool m_first = true;  // nothing has come on this connection yet
};
