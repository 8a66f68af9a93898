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
// it go on. Both modes share every step of a file: the checks of its header, the writing,
// the checksum and the placing (commitBatch). A windowed connection hands its finished files
// to a committer thread of its own and goes on receiving: the committer makes all the files
// that came while it committed the last ones durable together (their flushes started one
// after another, each directory synced once for all of them), and the connection's thread
// sends their statuses. At most QK_COMMIT_FILES files or QK_COMMIT_BYTES bytes wait for their
// statuses; beyond that the connection stops reading until some are answered.
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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/qk_log.h"
#include "protocol/CQKFrameReader.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKNameLock.h"
#include "transfer/CQKPieceWriter.h"

class CQKFileListener;
struct SQKReceivingDirs;

// What a windowed connection takes in flight, and what its frame announces: at most this many
// files and bytes sent but not yet answered.
constexpr std::uint16_t QK_WINDOW_FILES = 256;
constexpr std::uint64_t QK_WINDOW_BYTES = 256ull << 20;
// Files (and their bytes) a windowed connection holds between their finished frame and their
// status, at most: each holds its file, its directory and its name lock open until then.
constexpr std::size_t QK_COMMIT_FILES = 64;
// The longest a sender may keep an idle connection open (it asks for its own time).
constexpr std::uint16_t QK_KEEP_SECONDS = 600;
// How long a connection stays idle before it gives its thread up to connections that wait
// for one: a sender busy between two files keeps its connection.
constexpr std::chrono::milliseconds QK_IDLE_GRACE{1000};
// The whole TLS handshake, from the start of the connection.
constexpr std::chrono::seconds QK_HANDSHAKE_LIMIT{10};
constexpr std::uint64_t QK_COMMIT_BYTES = 256ull << 20;

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
    enum class Wait { Ready, TimedOut, Stopped, Answers, GiveUp };
    enum class Answers { None, One, All };
    // What a failure of the step under way refuses the file for, for the refusal counters.
    enum class Refusal { None, Checksum, Name, Receiving, Write };

    // A file from its header to its status.
    struct SQKReceivedFile {
        std::string file_name;
        std::string sub_dir;   // relative, "/"-separated
        std::string in_dir;    // target directory below the incoming directory
        std::string back_dir;  // backup directory of this file; empty for none
        std::uint64_t file_size = 0;
        std::string file_path;  // registered in the listener's registry while set
        CQKNameLock name_lock;  // the name on the shared store, while file_path is set
        CQKIncomingFile content;
        bool refused = false;        // its status is 0x7F
        bool replacing = false;      // a file stands under its name
        std::uint64_t held = 0;      // resumed: bytes of its content held before this transfer
        std::string partial_root;    // its content is partial content of this incoming root
        std::string partial_name;    // under this name in its store
        std::uint32_t sent_crc = 0;  // resumed: the sender's CRC-32 of the whole content
        std::uint32_t new_crc = 0;   // resumed: the CRC-32 of the bytes after those held
    };

    Wait waitReadable(bool answers = false);
    Wait pollUntil(std::chrono::steady_clock::time_point deadline, bool idle, int wake_fd);
    Wait handshake();
    void startSecure(const QKLogTag& tag);
    std::size_t readFrame(std::uint8_t* buffer);
    std::size_t readSome(std::uint8_t* buffer, std::size_t size);
    void handleRead(const std::uint8_t* data, std::size_t len);
    void handleHeader();
    void handleData(std::size_t len);
    void handleFinished();
    void handleFinishedAll();
    void handOverResumed(std::uint32_t received, std::uint32_t computed);
    void checkResumed(SQKReceivedFile& file);
    void handleWindow();
    std::uint64_t openContent(const SQKReceivingDirs& dirs);
    bool resumeGranted(const SQKReceivingDirs& dirs) const;
    bool openPartial(const SQKReceivingDirs& dirs, std::uint64_t& held);
    void startHeldRead();
    void sendOffset(std::uint64_t offset);
    static void notePartialStore(SQKReceivedFile& file) noexcept;
    bool isIdle();
    bool keptIdle();
    bool clientStillAccepted();
    void closeIdle(const QKLogTag& tag, bool for_waiting);
    bool readAhead(std::uint8_t* buffer, std::size_t size, std::size_t& n);
    std::size_t frameNeed(const std::uint8_t* data, std::size_t len) const;
    void sendBytesAll(const std::uint8_t* data, std::size_t length);
    void refuseInWindow(const Poco::Exception& error);
    using FileQueue = std::deque<std::unique_ptr<SQKReceivedFile>>;
    void finishFile(bool refused);
    void commitBatch(FileQueue& batch);
    void placeFinished(SQKReceivedFile& file);
    void syncDirectories(FileQueue& batch);
    void refuseFinished(SQKReceivedFile& file, const Poco::Exception& error);
    void releaseName(SQKReceivedFile& file) noexcept;
    void startCommitter();
    void committerLoop();
    void stopCommitter() noexcept;
    void handOver(std::unique_ptr<SQKReceivedFile> file);
    void answerCommitted(Answers wait);
    void answerWhileFull();
    void recycle(FileQueue& files) noexcept;
    void dropFinished() noexcept;
    void handlePeerGone();
    void refuseOwnNames() const;
    void createTargetDirectory();
    void announceFile();
    void lockName(const std::string& in_dir);
    static bool targetExists(const std::string& file_path);
    void backupReplaced(const SQKReceivedFile& file);
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
    // Windowed: bytes read beyond the frame being handled, taken by the next reads.
    std::vector<std::uint8_t> m_ahead;
    std::size_t m_ahead_begin = 0;
    std::size_t m_ahead_end = 0;
    bool m_first_frame = true;
    bool m_exact_frames = false;             // the sender opened with a window frame
    bool m_window = false;                   // the window frame has been answered
    std::unique_ptr<SQKReceivedFile> m_cur;  // the file being received
    FileQueue m_finished;                    // classic: the file committed at its finished frame
    // Windowed: files handed to the committer, and those it has committed (or refused),
    // waiting for their statuses, under m_commit_mutex; the counts are the connection's.
    std::thread m_committer;
    std::mutex m_commit_mutex;
    std::condition_variable m_commit_changed;
    FileQueue m_to_commit;
    FileQueue m_committed;
    bool m_committing = false;
    bool m_commit_stop = false;
    int m_wake_fd = -1;  // an eventfd the committer signals after each batch
    std::size_t m_unanswered = 0;
    std::uint16_t m_keep_seconds = 0;  // granted: the connection may idle that long
    std::chrono::steady_clock::time_point m_idle_since;  // zero while not idle
    std::uint64_t m_unanswered_bytes = 0;
    std::vector<std::unique_ptr<SQKReceivedFile>> m_spare;  // kept with their open directory
    bool m_is_receiving = false;
    bool m_dropping = false;    // a write failed: the rest of the content is read and dropped
    bool m_offset_due = false;  // a resumable header waits for its offset frame
    // The connection ends: readings of held bytes still under way end at once.
    std::atomic<bool> m_held_reads_ended{false};
    CQKPieceWriter m_writer;  // after the files: its thread writes into one until destroyed
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
