// The socket side of a receiving connection: waits, frames in, statuses out, the TLS handshake.
//
// The sender's first read settles the mode of the conversation, once (mode()): a sender that
// opens with a window frame is windowed, any other classic. That decides how frames are read.
// A classic sender waits for a status after each frame, so a frame is what one read brings,
// gathered to its length when the network split it. A windowed sender's frames follow one
// another without a pause, so each frame is read to its exact length, and what a read took
// beyond it waits in a read-ahead buffer for the next reads; a large piece of content is read
// from the socket itself, as it never runs past its file.
//
// A peer at the wrong port is recognised by its first bytes before they are taken as a frame
// or a handshake (qk_wrong_port.h): it is said once, answered so that it fails at once, and
// its connection ends.
//
// Every wait for the peer has a time limit and is cut into short slices, so that a stop of
// the listener is seen at once; an idle connection gives its thread up once it has been idle
// for QK_IDLE_GRACE while other accepted connections wait for one.
//
// Threads: the connection's thread only.
#pragma once

#include <Poco/Net/StreamSocket.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "protocol/CQKFrameReader.h"

class CQKFileListener;

// How long a connection stays idle before it gives its thread up to connections that wait
// for one: a sender busy between two files keeps its connection.
constexpr std::chrono::milliseconds QK_IDLE_GRACE{1000};
// The whole TLS handshake, from the start of the connection.
constexpr std::chrono::seconds QK_HANDSHAKE_LIMIT{10};

// The mode of a conversation, chosen once by the sender's first frame.
enum class QKConversationMode {
    Classic,   // a status after each header and each finished frame; a refusal ends it
    Windowed,  // files in flight: one status per file, in order; a refusal refuses one file
};

class CQKFrameChannel {
public:
    // WrongPort: the peer came to the wrong port, was answered, and the connection ends.
    enum class Wait { Ready, TimedOut, Stopped, Answers, GiveUp, WrongPort };
    using Clock = std::chrono::steady_clock;

    // log_name: the connection class, for the log tags.
    CQKFrameChannel(Poco::Net::StreamSocket& socket, CQKFileListener& listener,
                    std::string log_name);

    QKConversationMode mode() const { return m_mode; }
    bool windowed() const { return m_mode == QKConversationMode::Windowed; }

    // Waits for the peer's next bytes within the listener's time limit (or until deadline,
    // when one is given). wake_fd (when >= 0) also ends the wait (Wait::Answers); idle_since
    // (when given) lets the connection give its thread up (Wait::GiveUp).
    Wait waitReadable(int wake_fd = -1, const Clock::time_point* idle_since = nullptr,
                      const Clock::time_point* deadline = nullptr);
    // Reads one frame into buffer (QK_BUFFER_SIZE bytes), gathering the rest of a frame that
    // the network split; 0 when the peer closed, or when its first bytes were a TLS handshake
    // (answered as a peer at the wrong port). A frame still incomplete after the time
    // limit is malformed (ReceivingStatusException).
    std::size_t readFrame(std::uint8_t* buffer);
    // Reads up to size bytes of content; 0 when the peer closed.
    std::size_t readSome(std::uint8_t* buffer, std::size_t size);
    // Reads content until size bytes are in, so that a piece of a big file goes to the disk
    // whole rather than in the bits the network delivers (a TLS record each). Returns what it
    // has when the peer pauses past a wait, closes, or wake_fd (when >= 0) wakes; 0 when the
    // peer closed before any byte.
    std::size_t readContent(std::uint8_t* buffer, std::size_t size, int wake_fd = -1);

    // Sends one status byte; throws SockWriteStatusException or SendingDataException.
    void sendStatus(std::uint8_t status);
    // Sends all bytes, each run in one send when the socket takes it.
    void sendBytesAll(const std::uint8_t* data, std::size_t length);

    // A TLS client speaks first: runs the handshake within QK_HANDSHAKE_LIMIT from now, then
    // checks the client's certificate. Throws on a refused handshake; one that does not finish
    // in time is said under tag. Both count as refused. A first byte that is no handshake
    // record is a plain sender at the TLS port (Wait::WrongPort); a peer silent for the whole
    // limit gets the same answer, in case it is a plain sender waiting for its greeting.
    Wait handshake(const Clock::time_point& idle_since, const QKLogTag& tag);
    // For a kept TLS connection: whether its client is still accepted by the revocation list
    // in force now. True for a plain connection.
    bool clientStillAccepted(bool secure);
    // The peer's address as "host:port", for log lines.
    std::string peer() const;

private:
    Wait completeHandshake(const Clock::time_point& idle_since, Clock::time_point deadline);
    bool firstByteIsHandshake();
    void answerWrongPort(bool secure);
    void sendRawAnswer() noexcept;
    Wait pollUntil(Clock::time_point deadline, const Clock::time_point* idle_since, int wake_fd);
    bool readAhead(std::uint8_t* buffer, std::size_t size, std::size_t& n);
    std::size_t frameNeed(const std::uint8_t* data, std::size_t len) const;
    bool readOpening();

    Poco::Net::StreamSocket& m_socket;
    CQKFileListener& m_listener;
    const std::string m_log_name;
    QKConversationMode m_mode = QKConversationMode::Classic;
    bool m_opened = false;  // the first read was made, and the mode chosen
    // Windowed: bytes read beyond the frame being handled, taken by the next reads.
    std::vector<std::uint8_t> m_ahead;
    // The TLS session once its handshake is done: it reads ahead, so it may hold what the
    // socket no longer shows.
    SSL* m_session = nullptr;
    bool m_secure = false;  // the handshake is done
    std::size_t m_ahead_begin = 0;
    std::size_t m_ahead_end = 0;
};
