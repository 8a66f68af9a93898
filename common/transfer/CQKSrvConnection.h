// The receiving side of one accepted connection, and its connection factories.
//
// SECURITY: every byte from the peer is hostile. Frames are confined to the bytes read,
// file names and sub-directories may neither leave the incoming directory nor take a name
// the receiver keeps for itself (its lock file, its temporaries), every wait for the
// peer has a time limit, and a file appears under its name only when it is complete,
// checked and on stable storage; only then is status 0x00 sent for it, since the sender
// deletes its copy on that byte.
//
// A connection runs on one pool thread of its listener's TCPServer; run() ends the
// conversation and never lets an exception escape.
#pragma once

#include <Poco/Exception.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "protocol/CQKFrameReader.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKNameLock.h"
#include "transfer/CQKPieceWriter.h"

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
    enum class Wait { Ready, TimedOut, Stopped };
    // What a failure of the step under way refuses the file for, for the refusal counters.
    enum class Refusal { None, Checksum, Name, Receiving, Write };

    Wait waitReadable();
    std::size_t readFrame(std::uint8_t* buffer);
    std::size_t readSome(std::uint8_t* buffer, std::size_t size);
    void handleRead(const std::uint8_t* data, std::size_t len);
    void handleHeader();
    void handleData(std::size_t len);
    void handleFinished();
    void handleFinishedAll();
    void handlePeerGone();
    void refuseOwnNames() const;
    void createTargetDirectory();
    void announceFile();
    void lockName(const std::string& in_dir);
    bool targetExists() const;
    void placeFile();
    void backupReplaced();
    void releaseFile() noexcept;
    void sendErrorStatus() noexcept;
    void sendGreeting();
    std::uint8_t* writerBuffer();
    void dropContent(const Poco::Exception& error);
    void refuseDropped();
    void countRefusal() noexcept;

    CQKFileListener& m_listener;
    const bool m_is_secure;
    const std::string m_name;
    CQKFrameReader m_reader;
    std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(QK_BUFFER_SIZE);
    std::string m_file_name;
    std::string m_sub_dir;   // relative, "/"-separated
    std::string m_in_dir;    // target directory below the incoming directory
    std::string m_back_dir;  // backup directory of this file; empty for none
    std::uint64_t m_file_size = 0;
    std::string m_file_path;  // registered in the listener's registry while set
    CQKNameLock m_name_lock;  // the name on the shared store, while m_file_path is set
    bool m_is_receiving = false;
    bool m_dropping = false;  // a write failed: the rest of the content is read and dropped
    CQKIncomingFile m_file;
    CQKPieceWriter m_writer;  // after m_file: its thread writes into m_file until destroyed
    std::uint8_t m_status = 0x7F;
    bool m_status_owed = false;  // the last read was a frame that gets a status
    bool m_end = false;          // the conversation is over (finished-all, or the peer left)
    Refusal m_refusal = Refusal::None;
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
