// The frames a sender writes: a frame of code and payload, the header record (classic, or
// resumable with the source's tag), a file's content with its CRC-32, the finished frame,
// and the window frame that offers files in flight. The bytes are those of the transfer
// protocol; every send goes through the sender's socket within the time limit the sender
// holds (read at each send, so a change of it takes effect at once). A file's content is
// reported to the console's progress line (CQKProgress) when that is shown.
//
// Failures throw: SockWriteStatusException when the socket takes no frame within the time
// limit, SendingDataException when the receiver stops taking bytes, a Poco::Exception for a
// payload over 65535 bytes, Poco's file exceptions for a file that cannot be read whole or
// changes on the way.
//
// Threads: one sender's thread.
#pragma once

#include <Poco/Timespan.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKPieceReader.h"

class CQKReadLease;
class CQKSenderSocket;

class CQKSenderFrames {
public:
    // class_name: the class under which the frames are logged; timeout: the sender's.
    CQKSenderFrames(CQKSenderSocket& socket, const char* class_name, const Poco::Timespan& timeout);

    // The code byte, then size payload bytes (none when size <= 0). With poll_synch, first
    // waits at most the time limit for the socket to be writable.
    void sendFrame(qk_code_t code, const std::uint8_t* data, std::int32_t size, bool poll_synch);
    // Raw bytes (file content).
    void sendRaw(const std::uint8_t* data, std::int32_t size);
    // The header of file_path (its name) in sub_dir ("/" separated; "\\" on the wire).
    void sendHeader(const QKLogTag& tag, const std::string& file_path, const std::string& sub_dir,
                    std::uint64_t file_size);
    // The resumable header: the source's tag, taken from the descriptor the content is read
    // through, then the header record.
    void sendResumableHeader(const QKLogTag& tag, const CQKReadLease& source,
                             const std::string& file_path, const std::string& sub_dir,
                             std::uint64_t file_size);
    // Sends exactly file_size bytes of source but the first held ones (the receiver holds
    // them), read ahead on a thread of its own, and returns the CRC-32 of all of them.
    std::uint32_t sendContent(const QKLogTag& tag, const CQKReadLease& source,
                              const std::string& file_path, std::uint64_t file_size,
                              std::uint64_t held = 0);
    // The finished frame with crc; a file without content waits for writability first.
    void sendFinished(const QKLogTag& tag, std::uint32_t crc, std::uint64_t file_size);
    // The window frame that offers files in flight.
    void sendWindowOffer(const QKWindowFrame& offer);

private:
    std::size_t buildHeader(const QKLogTag& tag, std::uint8_t* buffer, std::size_t capacity,
                            const std::string& file_path, const std::string& sub_dir,
                            std::uint64_t file_size);
    QKLogTag makeTag(const char* operation) const;

    CQKSenderSocket& m_socket;
    const char* m_class_name;
    const Poco::Timespan& m_timeout;
    std::vector<std::uint8_t> m_frame_buffer;   // code byte + at most 65535 payload bytes
    std::vector<std::uint8_t> m_header_buffer;  // the header record is built here
    CQKPieceReader m_reader;                    // a file's content, read ahead
};
