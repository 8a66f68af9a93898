// What every sender shares, the console client's and the client service's alike: the socket
// and its connect (plain, or TLS with the server's name checked), the frames and statuses of
// the transfer protocol, the transfer of one file with its backup and removal, the attempts
// of a run, and the time limit of every wait.
//
// A file is backed up and removed only after the receiver has acknowledged it, and only when
// no process had it open for writing from its header to its removal (a read lease, or where
// the kernel refuses one, an unchanged identity, size and modification time): a file that a
// writer is still filling stays for a later run, so nothing appended to it is lost.
//
// A file the receiver refuses (status 0x7F to its header or its end) does not hold back the
// others: it stays in the outgoing tree, the receiver has ended the connection, and the next
// file goes on a new one. Within a run a refused file is not tried again; the next run tries
// it after the files that were not refused. A run stops sending after QK_REFUSALS_IN_A_ROW
// refusals with no delivery between them (a receiver that refuses everything, its disk full,
// is not sent the whole tree one connection per file). A run that leaves a file refused at
// QK_REFUSED_RUNS_REPORTED runs in a row says so in one ERROR line.
//
// The sender's account may lack rights on what producers drop. A file it cannot open for
// reading, or a sub-directory it cannot list, stays where it is with one ERROR line naming
// the missing permission (repeated at DEBUG while it is the same file), and the run's result
// is a failure; the other files go on. A delivered file that cannot be removed (a directory
// the account may not write, an immutable file, a read-only mount) is said once at ERROR and
// counted, fails nothing, and is not sent again while its identity (device, inode, size,
// modification time) stays the same: later runs only try its removal again. A changed file is
// sent again as any other.
//
// Files in flight: after the greeting the sender offers the windowed conversation (a window
// frame) and goes on without waiting. A receiver that has it answers with its bounds, and the
// sender then keeps sending the next files while the statuses of earlier ones are on their
// way, up to those bounds (QK_WINDOW_INITIAL_FILES until the answer has come); each status
// settles the oldest file in flight as one status settles one file classically. A refused
// file does not end the connection there. A receiver that refuses the offer the way older
// versions do (status 0x7F where the answer is due) speaks only the classic conversation: the
// attempt is made again at once without the offer (not counted as a failed attempt), and the
// receiver's address is remembered as classic for QK_CLASSIC_PEER_MEMORY, by every sender of
// the process. A connection that fails before the answer for any other reason (a cut, a
// close without that refusal, another byte, a time-out, a stop) is a failed attempt and
// nothing more: the next one offers again.
//
// Time limits: every wait has one. A connect, a TLS handshake, the greeting and each status
// wait at most the readiness time-out (a resumed file's status longer, in proportion to the
// bytes the receiver reads back); a send fails once the receiver has taken nothing for the
// readiness time-out, however the bytes were split into calls. A wait for the greeting or a
// status that lasts QK_SLOW_ANSWER is said once at INFO, naming the receiver.
//
// Stop: once the process asks its senders to stop (CQKSenderStop), a sender ends within a
// fraction of a second: its socket is shut down, the statuses that had already arrived settle
// their files (an acknowledged file is backed up and removed as usual), the files without a
// status stay in the outgoing tree, and no further attempt is made. The receiver sees a cut.
//
// A subclass says where its parameters come from (sendParams, asked at each use) and under
// which class name it logs; it opens and closes its connection with the helpers here. Every
// step that fails throws; sendWithAttempts turns a Poco::Exception into a failed attempt.
//
// Every send draws on the process's rate limit (CQKRateLimit), and every file's content is
// reported to the console's progress line (CQKProgress) when that is shown.
//
// Threads: an object is used by one thread at a time; it shares nothing but the console, the
// log, the rate limit and the progress line, which lock themselves.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKRefusalMemory.h"
#include "transfer/CQKInFlight.h"
#include "transfer/CQKSentFileDisposal.h"
#include "transfer/CQKSenderSocket.h"
#include "transfer/CQKStatusReader.h"

namespace Poco {
class File;
}
class CQKNameFilter;
class CQKReadLease;


// Default of the time an empty sub-directory is left alone after its last modification.
constexpr std::chrono::milliseconds QK_EMPTY_DIR_GRACE{2000};

// The parameters a transfer reads, whichever record they come from.
struct SQKSendParams {
    std::string out_dir;      // base of every file's sub-directory
    std::string back_dir;     // backups of sent files; empty for none
    std::string srv_address;  // receiver's address or host name
    std::int32_t srv_port = 0;
};

class CQKFileSender {
public:
    // class_name: the class under which the sender logs ("CQKTcpCln").
    explicit CQKFileSender(const char* class_name);
    virtual ~CQKFileSender();
    CQKFileSender(const CQKFileSender&) = delete;
    CQKFileSender& operator=(const CQKFileSender&) = delete;

    // Transfers one file: header, content, finished frame, each acknowledged. Never sends
    // more or fewer bytes than the header announces: a file that cannot be read completely
    // or whose size changes on the way fails the transfer before its finished frame. A
    // refusal of the receiver is passed on as FileRefusedException, saying which step it
    // refused; every other failure as a plain Poco::Exception.
    virtual void sendFile(std::string file_path, std::string sub_dir, std::uint64_t file_size);
    // Transfers file_path when it is a regular file, then backs it up (with a backup
    // directory) and removes it; passes over a path that is missing or not a regular file.
    // A file open for writing is passed over; one that a writer opened (or, without a lease,
    // that changed) before its backup or removal is neither backed up nor removed; each with
    // an INFO line saying so. A file the account may not read is passed over with an ERROR
    // line and fails the run's result; a file delivered earlier that could not be removed is
    // not sent again while it is unchanged, only its removal is tried again.
    virtual void sendFile(std::string file_path);
    // Sends the finished-all frame and waits for its acknowledgement; nothing when the
    // receiver ended the connection after refusing the last file.
    virtual void sendFinishSendFiles();
    // Waits at most the readiness time-out for one status; throws SockReadStatusException
    // on time-out, FileRefusedException for status 0x7F and ReceivingStatusException when it
    // is missing or another one; SendingStoppedException when the senders were stopped
    // before it came.
    virtual void recvStatus(qk_code_t expected);
    // Sends raw bytes (file content); a short send is continued until all bytes are out.
    // SendingDataException when the receiver takes none for the readiness time-out;
    // SendingStoppedException once the senders are stopped.
    virtual void sendData(const std::uint8_t* data, std::int32_t size);
    // Sends one frame: the code byte, then size payload bytes (none when size <= 0). With
    // poll_synch, first waits at most the readiness time-out for writability
    // (SockWriteStatusException). Poco::Exception when the payload exceeds 65535 bytes.
    virtual void sendData(qk_code_t code, const std::uint8_t* data, std::int32_t size,
                          bool poll_synch);
    virtual void openConnection() = 0;
    virtual void closeConnection() = 0;

    // Result of the last protocol step: QK_SEND_FILE_FOK or QK_SEND_FILE_FERROR.
    std::uint8_t currResult() const { return m_curr_result; }
    // Readiness time-out of every status wait, frame send, connect, TLS handshake and send
    // that makes no progress (default QK_READY_TIMEOUT).
    void setTimeout(const Poco::Timespan& timeout) { m_timeout = timeout; }
    // Pause between two attempts of a run (default 1000 ms).
    void setRetryDelay(std::chrono::milliseconds delay) { m_retry_delay = delay; }
    // How long an empty sub-directory must have stayed unmodified before a walk removes it
    // (QK_EMPTY_DIR_GRACE, or QK_RELAY_DIR_GRACE_MS from the environment): a producer's fresh
    // directory is about to receive a file.
    void setDirGrace(std::chrono::milliseconds grace) { m_dir_grace = grace; }
    // How long a refused file waits before it is offered again (default 0: at the next run),
    // and how often the removal of a delivered file that could not be removed is tried
    // again. The client service scans whenever a file lands: without a pause a refused file
    // would cost a connection and a refusal at each of those scans.
    void setRefusalPause(std::chrono::milliseconds pause) { m_refusals.setPause(pause); }
    // How long the connection may stay open and idle after a run (0, the default: closed at
    // the end of each run). A receiver that grants it keeps the connection for at most that
    // long; the next run sends on it without a new connection or handshake, and a kept
    // connection the receiver has closed meanwhile costs one reconnect, not a failed attempt.
    void setKeepConnection(std::chrono::seconds keep) { m_keep = keep; }
    // Closes a kept connection; the next run connects anew.
    void dropKeptConnection();

    // The file-system questions of a walk; none throws, a vanished entry answers false.
    static bool isRegularFile(const Poco::File& file);
    static bool isLink(const Poco::File& file);
    static bool isRealDirectory(const Poco::File& file);  // a directory, not a link to one
    static bool isDirectory(const Poco::File& file);      // a directory or a link to one
    // True when dir was last modified at least grace ago (always with no grace). One that
    // vanished, or dated in the future (its age is unknown), is not settled.
    static bool isSettled(const Poco::File& dir, std::chrono::milliseconds grace);
    // True, with a line at level, when the name of the file at path matches one of the
    // exclude patterns: such a file is neither sent nor removed, and keeps its directory.
    static bool isExcluded(const QKLogTag& tag, const CQKNameFilter& exclude,
                           const std::string& path, int level = LOG_LEVEL_DEBUG);

protected:
    virtual SQKSendParams sendParams() const = 0;
    // Called whenever bytes from the receiver arrive on a windowed connection (statuses);
    // the default does nothing.
    virtual void noteAnswer() {}
    // Called for an existing regular file before it is sent; the default does nothing.
    virtual void prepareFile(const QKLogTag& tag, Poco::File& file);
    // The memory of refused, unreadable and unremovable files (CQKRefusalMemory), asked by
    // the walks of a run.
    void putRefusedLast(std::vector<std::string>& paths) const { m_refusals.putRefusedLast(paths); }
    long msUntilOfferedAgain(const std::string& path) const {
        return m_refusals.msUntilOfferedAgain(path);
    }
    bool isHeldAfterDelivery(const QKLogTag& tag, const std::string& path) {
        return m_refusals.removeHeldAfterDelivery(tag, path);
    }
    bool canList(const QKLogTag& tag, const std::string& dir) {
        return m_refusals.checkListable(tag, dir);
    }
    void noteUnreadable(const QKLogTag& tag, const std::string& path, int error, bool directory) {
        m_refusals.noteUnreadable(tag, path, error, directory);
    }
    bool noteUnremovableDir(const QKLogTag& tag, const std::string& dir, int error) {
        return m_refusals.noteUnremovableDir(tag, dir, error);
    }
    bool takeUnreadable() { return m_refusals.takeUnreadable(); }
    void forgetGone() { m_refusals.forgetGone(); }

    // Waits for the statuses of every file in flight, then until every acknowledged file is
    // backed up and removed; throws the first error of that. Done at the end of each
    // attempt, and by a walk before it looks at what is left in a directory.
    void finishRemovals();
    // True while the conversation on the open connection is windowed (offered, and not
    // refused so far).
    bool isWindowed() const { return m_window; }

    // A tag "<class>::<operation>".
    QKLogTag makeTag(const char* operation) const;
    const char* className() const { return m_class_name; }

    // At most three attempts of openConnection, the greeting, exchange and closeConnection,
    // the retry delay apart, until one completes. A failure of an attempt sets the result to
    // 127 and closes the connection; a Poco::Exception is then reported and fails the
    // attempt, anything else is reported and passed on. A file refused by the receiver does
    // not fail the attempt, but the run's result is 127: not everything was delivered.
    void sendWithAttempts(const QKLogTag& tag, const std::function<void()>& exchange);
    // The server's address; Poco::InvalidArgumentException for a port outside 1..65535.
    static Poco::Net::SocketAddress serverAddress(const SQKSendParams& params);
    // Connects a plain socket to the server, at most the readiness time-out; the socket is
    // kept from the start of the connect, so that closeSocket can discard it when the connect
    // fails. Switches on TCP_NODELAY and bounds stalled I/O. SendingStoppedException once
    // the senders are asked to stop.
    void connectSocket(const QKLogTag& tag);
    // connectSocket with a TLS socket on context, then the handshake, which refuses a server
    // whose certificate does not carry the server's name; each step at most the readiness
    // time-out. Poco::InvalidAccessException without a context.
    void connectSecureSocket(const Poco::Net::Context::Ptr& context, const QKLogTag& tag);
    // Shuts down, closes and discards the socket, also one that never got connected; logs
    // the close. Needs a socket.
    void closeSocket(const QKLogTag& tag);
    // Discards the socket without a word (a close that must not fail).
    void discardSocket() noexcept;
    bool hasSocket() const { return m_socket.isOpen(); }

    // Logs and echoes a duration as "<label>: hour = ... microseconds = ...".
    static void reportSpent(const QKLogTag& tag, const char* label, const Poco::Timespan& spent);
    std::uint8_t m_curr_result = QK_SEND_FILE_FERROR;
    Poco::Timespan m_timeout = QK_READY_TIMEOUT;
    std::chrono::milliseconds m_dir_grace;

private:
    void runAttempt(const QKLogTag& tag, const std::function<void()>& exchange);
    void endAttempt(const QKLogTag& tag);
    void reportStop(const QKLogTag& tag);
    void openSocket(const Poco::Net::Context::Ptr& context, const QKLogTag& tag);
    void beginRun();
    void endRun(const QKLogTag& tag);
    void reconnectAfterRefusal(const QKLogTag& tag);
    void noteRefusal(const QKLogTag& tag, const std::string& file_path, const std::string& reason);
    void awaitAcceptance(const char* refused_step);
    void offerWindow(const QKLogTag& tag);
    bool refusedByOlderReceiver();
    void settleArrived(const QKLogTag& tag) noexcept;
    void makeRoom(const QKLogTag& tag, std::uint64_t size);
    bool takeAnswers(const QKLogTag& tag, bool wait);
    bool nextAnswerByte(std::uint8_t& byte, bool wait);
    Poco::Timespan answerTimeout() const;
    void readWindowAnswer(const QKLogTag& tag, std::uint8_t first);
    void awaitWindowAnswer(const QKLogTag& tag);
    void drainWindow(const QKLogTag& tag);
    void awaitWindowEnd(const QKLogTag& tag);
    void settleOldest(const QKLogTag& tag, std::uint8_t status);
    void acknowledge(const QKLogTag& tag, const SQKSentFile& file);
    bool keptConnectionUsable();
    bool keepsConnection() const;
    std::string peerKey() const;
    void rememberClassicPeer(const QKLogTag& tag);
    void sendLeased(const QKLogTag& tag, const std::string& file_path);
    void sendThrough(const QKLogTag& tag, const CQKReadLease& source, const std::string& file_path,
                     const std::string& sub_dir, std::uint64_t file_size, bool await = true);
    void transferFile(const QKLogTag& tag, const CQKReadLease& source, const std::string& file_path,
                      const std::string& sub_dir, std::uint64_t file_size, bool await);
    std::uint32_t sendContent(const QKLogTag& tag, const CQKReadLease& source,
                              const std::string& file_path, std::uint64_t file_size,
                              std::uint64_t held = 0);
    void sendHeader(const QKLogTag& tag, const std::string& file_path, const std::string& sub_dir,
                    std::uint64_t file_size);
    std::size_t buildHeader(const QKLogTag& tag, std::uint8_t* buffer, std::size_t capacity,
                            const std::string& file_path, const std::string& sub_dir,
                            std::uint64_t file_size);
    bool isResumable(const QKLogTag& tag, std::uint64_t file_size);
    void sendResumableHeader(const QKLogTag& tag, const CQKReadLease& source,
                             const std::string& file_path, const std::string& sub_dir,
                             std::uint64_t file_size);
    std::uint64_t awaitResumeOffset(const QKLogTag& tag, std::uint64_t file_size);
    void readResumeTerms();
    void fail(const QKLogTag& tag, const char* text);

    const char* m_class_name;
    std::chrono::milliseconds m_retry_delay{1000};
    std::vector<std::uint8_t> m_frame_buffer;   // code byte + at most 65535 payload bytes
    std::vector<std::uint8_t> m_header_buffer;  // the header record is built here
    std::vector<std::uint8_t> m_data_buffer;    // one piece of file content
    CQKSenderSocket m_socket;
    CQKStatusReader m_reader;  // every byte the receiver sends
    bool m_window = false;                // offered on the open connection
    bool m_window_answered = false;       // and answered by the receiver
    bool m_window_heard = false;          // the first byte where the answer is due has come
    bool m_window_refused = false;        // and it refused the offer the way older receivers do
    std::uint64_t m_resume_min_size = 0;  // resume granted: files this big go resumable
    std::uint64_t m_last_held = 0;        // of the file transferred last
    // A kept connection: asked for (m_keep), granted for m_keep_granted, usable until
    // m_kept_until to the receiver m_kept_key; m_reusing while an attempt runs on it, and
    // m_heard once the receiver answered on it in that attempt.
    std::chrono::seconds m_keep{0};
    std::chrono::seconds m_keep_granted{0};
    std::chrono::steady_clock::time_point m_kept_until;
    std::string m_kept_key;
    bool m_reusing = false;
    bool m_heard = false;
    CQKInFlight m_in_flight;
    CQKRefusalMemory m_refusals;  // its unremovable files are noted by the removal thread
    bool m_connection_ended = false;
    // Last: destroyed first, finishing its work while the rest of the sender (the memory it
    // notes into) still exists.
    CQKSentFileDisposal m_disposal{m_refusals};
};
