// The receiving side of one accepted connection, and its connection factories.
//
// SECURITY: every byte from the peer is hostile. Frames are confined to the bytes read,
// file names and sub-directories may neither leave the incoming directory nor take a name
// the receiver keeps for itself (its lock file, its temporaries), every wait for the
// peer has a time limit, and a file appears under its name only when it is complete,
// checked and on stable storage; only then is status 0x00 sent for it, since the sender
// deletes its copy on that byte.
//
// Two modes, chosen by the sender's first frame. Classic: a status after each header and
// each finished frame, and a refused file ends the connection. Windowed (the sender opened
// with a window frame, which is answered with the receiver's): one status per file, sent in
// the files' order once the file is durable or refused; a refused file (its header, its
// content or its checksum) has the rest of its content read and dropped, and the files after
// it go on. The mode is chosen once, by the first read (CQKFrameChannel::mode()). Both modes
// share every step of a file: the checks of its header (CQKHeaderPolicy), the writing
// (CQKPieceWriter), the checksum and the placing (CQKCommitter::commitBatch). A windowed
// connection hands its finished files to its committer and goes on receiving, and sends
// their statuses from its own thread. At most QK_COMMIT_FILES files or QK_COMMIT_BYTES bytes
// wait for their statuses; beyond that the connection stops reading until some are answered.
//
// The connection itself is the state machine of the conversation: which frame comes, what
// the file in progress is, when a status is owed, idling and its end.
//
// A connection runs on one pool thread of its listener's TCPServer; run() ends the
// conversation and never lets an exception escape. An idle connection (between files, before
// its first frame, kept between runs, or in a TLS handshake not yet finished) gives its thread
// up once it has been idle for QK_IDLE_GRACE while other accepted connections wait for one: it
// is closed, and its sender, who still has every file not answered, connects again. A TLS
// handshake has QK_HANDSHAKE_LIMIT from the start of the connection, however slowly the client
// sends.
#pragma once

#include <Poco/Exception.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "protocol/CQKFrameReader.h"
#include "transfer/CQKCommitter.h"
#include "transfer/CQKFrameChannel.h"
#include "transfer/CQKHeaderPolicy.h"
#include "transfer/CQKPieceWriter.h"
#include "transfer/CQKReceivedFile.h"
#include "transfer/CQKWindowTerms.h"

class CQKFileListener;

class CQKSrvConnection : public Poco::Net::TCPServerConnection {
public:
    CQKSrvConnection(const Poco::Net::StreamSocket& socket, CQKFileListener& listener,
                     bool is_secure = false);
    ~CQKSrvConnection() override;

    void run() override;
    // Sends m_status after waiting for writability; throws SockWriteStatusException or
    // SendingDataException.
    virtual void sendStatus();
    // Reads once (gathering a frame split by the network) and handles what it read.
    virtual void receiveData();

protected:
    bool isSecure() const { return m_is_secure; }
    // The peer's address as "host:port", for log lines.
    std::string peer() const;
    // "<connection class>::<operation>", the connection class named by the listener.
    QKLogTag tagOf(const char* operation) const;

private:
    using Wait = CQKFrameChannel::Wait;
    using Refusal = SQKReceivedFile::Refusal;

    Wait waitForPeer();
    void startSecure(const QKLogTag& tag);
    void handleRead(const std::uint8_t* data, std::size_t len);
    void handleHeader();
    void handleData(std::size_t len);
    void handleFinished();
    void handleFinishedAll();
    void handOverResumed(std::uint32_t received, std::uint32_t computed);
    void handleWindow();
    void startHeldRead();
    void sendOffset(std::uint64_t offset);
    bool isIdle();
    bool keptIdle();
    void closeIdle(const QKLogTag& tag, bool for_waiting);
    void refuseInWindow(const Poco::Exception& error);
    void refuseInProgress() noexcept;
    bool finishFile();
    void answerCommitted(CQKCommitter::Wait wait);
    void answerWhileFull();
    void dropFinished() noexcept;
    void handlePeerGone();
    void releaseFile() noexcept;
    void sendErrorStatus() noexcept;
    std::uint8_t* writerBuffer();
    void dropContent(const Poco::Exception& error);
    void refuseDropped();

    CQKFileListener& m_listener;
    const bool m_is_secure;
    const std::string m_name;
    CQKFrameReader m_reader;
    CQKFrameChannel m_channel;
    CQKHeaderPolicy m_policy;
    CQKCommitter m_committer;  // windowed: its worker; classic: the placing of each file
    std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(QK_BUFFER_SIZE);
    std::unique_ptr<SQKReceivedFile> m_cur;  // the file being received
    std::uint16_t m_keep_seconds = 0;        // granted: the connection may idle that long
    std::chrono::steady_clock::time_point m_idle_since;  // zero while not idle
    bool m_is_receiving = false;
    bool m_dropping = false;    // the rest of the file's content is read and dropped
    bool m_offset_due = false;  // a resumable header waits for its offset frame
    CQKPieceWriter m_writer;    // after the files: its thread writes into one until destroyed
    std::uint8_t m_status = 0x7F;
    bool m_status_owed = false;  // the last read was a frame that gets a status
    bool m_end = false;          // the conversation is over (finished-all, or the peer left)
};

class CQKSrvSSslConnection : public virtual CQKSrvConnection {
public:
    CQKSrvSSslConnection(const Poco::Net::StreamSocket& socket, CQKFileListener& listener);
    ~CQKSrvSSslConnection() override;

private:
    const std::string m_name_secure;
};

class CQKSrvConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    explicit CQKSrvConnectionFactory(CQKFileListener& listener);
    ~CQKSrvConnectionFactory() override;
    Poco::Net::TCPServerConnection* createConnection(
        const Poco::Net::StreamSocket& socket) override;

private:
    CQKFileListener& m_listener;
    const std::string m_name;
};

class CQKSrvSSslConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    explicit CQKSrvSSslConnectionFactory(CQKFileListener& listener);
    ~CQKSrvSSslConnectionFactory() override;
    Poco::Net::TCPServerConnection* createConnection(
        const Poco::Net::StreamSocket& socket) override;

private:
    CQKFileListener& m_listener;
    const std::string m_name;
};
