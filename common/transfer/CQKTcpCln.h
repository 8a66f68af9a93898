// The sending side of the transfer protocol over plain TCP: one sending run of the console
// client.
//
// A run connects, waits for the receiver's greeting, sends one named file or every file of
// the outgoing directory (optionally with its sub-directories), announces the end and
// closes; a failed attempt is retried, three attempts in all. A file is backed up and
// removed only after the receiver has acknowledged it, so every file is either still in the
// outgoing directory or delivered. Every step that fails throws; sendFiles alone catches.
//
// Threads: an object is used by one thread at a time; it shares nothing but the console
// and the log, which lock themselves.
#pragma once

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "config/SQKClnParams.h"
#include "protocol/qk_protocol.h"

class CQKTcpCln {
public:
    CQKTcpCln();
    virtual ~CQKTcpCln();
    CQKTcpCln(const CQKTcpCln&) = delete;
    CQKTcpCln& operator=(const CQKTcpCln&) = delete;

    // Copies the parameters; takes effect at the next run.
    virtual void setParams(const SQKClnParams& params);
    // Connects to m_srv_address:m_srv_port (TCP_NODELAY on), waiting at most the readiness
    // time-out. Throws Poco::Exception "Stream Socket already is created and connected..."
    // while a connection exists, and Poco's network exceptions when resolving or connecting
    // fails; a socket whose connect failed stays until closeConnection discards it.
    virtual void openConnection();
    // Shuts down, closes and discards the socket, also one that never got connected.
    // Throws Poco::Exception "Stream Socket isn't created yet..." when there is none.
    virtual void closeConnection();
    // One sending run of at most three attempts, a retry delay apart. Failures of an attempt
    // are echoed and logged; a Poco::Exception fails the attempt, anything else ends the run
    // and is passed on. currResult() is 0 after a completed attempt, 127 when all failed.
    virtual void sendFiles();
    // Sends every regular file of dir_path and, with m_sub_dirs, of its sub-directories;
    // removes a sub-directory once no file remains beneath it, never dir_path itself.
    // Throws Poco::IOException when dir_path is not a directory or a sub-directory cannot
    // be removed, and whatever a file's transfer throws.
    virtual void sendFilesFromDir(std::string dir_path);
    // Transfers one file: header, content, finished frame, each acknowledged. Never sends
    // more or fewer bytes than the header announces: a file that cannot be read completely
    // or whose size changes on the way fails the transfer before its finished frame. Every
    // failure is passed on as a plain Poco::Exception.
    virtual void sendFile(std::string file_path, std::string sub_dir, std::uint64_t file_size);
    // Transfers file_path when it is a regular file, then backs it up (with m_back_dir) and
    // removes it; passes over a path that is missing or not a regular file.
    virtual void sendFile(std::string file_path);
    // Sends the finished-all frame and waits for its acknowledgement.
    virtual void sendFinishSendFiles();
    // Waits at most the readiness time-out for one status; throws SockReadStatusException
    // on time-out and ReceivingStatusException when it is missing or not the expected one.
    virtual void recvStatus(qk_code_t expected);
    // Sends raw bytes (file content) without waiting for writability; a short send is
    // continued until all bytes are out. SendingDataException when the socket takes none.
    virtual void sendData(const std::uint8_t* data, std::int32_t size);
    // Sends one frame: the code byte, then size payload bytes (none when size <= 0). With
    // poll_synch, first waits at most the readiness time-out for writability
    // (SockWriteStatusException). Poco::Exception when the payload exceeds 65535 bytes.
    virtual void sendData(qk_code_t code, const std::uint8_t* data, std::int32_t size,
                          bool poll_synch);

    // Result of the last protocol step: QK_SEND_FILE_FOK or QK_SEND_FILE_FERROR.
    std::uint8_t currResult() const { return m_curr_result; }
    // Readiness time-out of every status wait, frame send, connect and stalled send
    // (default QK_READY_TIMEOUT).
    void setTimeout(const Poco::Timespan& timeout) { m_timeout = timeout; }
    // Pause between two attempts of a run (default 1000 ms).
    void setRetryDelay(std::chrono::milliseconds delay) { m_retry_delay = delay; }

protected:
    // Throws Poco::Exception "Stream Socket already is created and connected..." when a
    // socket exists.
    void checkNoSocket() const;
    // The server's address; Poco::InvalidArgumentException for a port outside 1..65535.
    Poco::Net::SocketAddress serverAddress() const;
    // Stores the new socket before connecting it, so that closeConnection can discard it
    // when the connect fails; then switches on TCP_NODELAY and bounds stalled I/O.
    void connectSocket(std::unique_ptr<Poco::Net::StreamSocket> socket, const QKLogTag& tag);

    SQKClnParams m_params;
    std::unique_ptr<Poco::Net::StreamSocket> m_socket;  // null while no connection exists
    std::uint8_t m_curr_result = QK_SEND_FILE_FERROR;
    Poco::Timespan m_timeout = QK_READY_TIMEOUT;

private:
    void runAttempt(const QKLogTag& tag);
    void sendSelected(const QKLogTag& tag);
    bool oneFileMode();
    void removeIfNoFiles(const QKLogTag& tag, const std::string& dir_path);
    void backupAndRemove(const QKLogTag& tag, const std::string& file_path,
                         const std::string& sub_dir);
    void transferFile(const QKLogTag& tag, const std::string& file_path, const std::string& sub_dir,
                      std::uint64_t file_size);
    std::uint32_t sendContent(const QKLogTag& tag, std::istream& in, const std::string& file_path,
                              std::uint64_t file_size);
    void sendHeader(const QKLogTag& tag, const std::string& file_path, const std::string& sub_dir,
                    std::uint64_t file_size);
    std::size_t sendAll(const std::uint8_t* data, std::size_t length);
    Poco::Net::StreamSocket& socket();
    void fail(const QKLogTag& tag, const char* text);

    std::chrono::milliseconds m_retry_delay{1000};
    bool m_one_file = false;  // one-file mode, once chosen, holds for the rest of the run
    std::vector<std::uint8_t> m_frame_buffer;   // code byte + at most 65535 payload bytes
    std::vector<std::uint8_t> m_header_buffer;  // the header record is built here
    std::vector<std::uint8_t> m_data_buffer;    // one piece of file content
    std::vector<std::uint8_t> m_recv_buffer;    // one read of statuses
};
