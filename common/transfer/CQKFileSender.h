// What every sender shares, the console client's and the client service's alike: the
// attempts of a run, the connection and its conversation, and what becomes of each file. The
// parts live in classes of their own, which this one puts together: CQKSenderSocket (connect,
// TLS, every wait with its time limit), CQKStatusReader (every byte the receiver sends),
// CQKSenderFrames (the frames), CQKConversation (classic or windowed, chosen in
// startConversation), CQKRefusalMemory (refused, unreadable and unremovable files) and
// CQKSentFileDisposal (backup and removal of acknowledged files).
//
// A file is backed up and removed only after the receiver has acknowledged it, and only when
// no process had it open for writing from its header to its removal (a read lease, or where
// the kernel refuses one, an unchanged identity, size and modification time): a file that a
// writer is still filling stays for a later run, so nothing appended to it is lost.
//
// A file the receiver refuses does not hold back the others: it stays in the outgoing tree
// (classically the receiver has ended the connection, and the next file goes on a new one).
// The refusal memory decides what a run skips and in which order it offers its files, and
// says what stays and why.
//
// Files in flight: right after the connect the sender offers the windowed conversation. A
// receiver that refuses the offer the way older versions do (status 0x7F where the answer is
// due) speaks only the classic conversation: the attempt is made again at once without the
// offer (not counted as a failed attempt), and the receiver's address is remembered as
// classic for QK_CLASSIC_PEER_MEMORY, by every sender of the process (CQKClassicPeers). A
// connection that fails before the answer for any other reason (a cut, a close without that
// refusal, another byte, a time-out, a stop) is a failed attempt and nothing more: the next
// one offers again. A kept connection (setKeepConnection) serves the next run while the
// receiver grants it; one the receiver closed meanwhile costs one reconnect, not an attempt.
//
// A receiver's other port (TLS at its plain port, plain at its TLS port) is recognised in the
// first exchange; it fails the run at once, without further attempts (wentToWrongPort).
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
// Threads: an object is used by one thread at a time. Besides the console, the log, the rate
// limit, the progress line and the memory of classic receivers, which lock themselves, it
// shares one thing: its removal queue's thread notes delivered files it cannot remove into
// the refusal memory (under the memory's own mutex) while the sender's thread goes on.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/qk_log.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKConversation.h"
#include "transfer/CQKRefusalMemory.h"
#include "transfer/CQKSenderFrames.h"
#include "transfer/CQKSenderSocket.h"
#include "transfer/CQKSentFileDisposal.h"
#include "transfer/CQKStatusReader.h"

namespace Poco {
class File;
}
class CQKReadLease;
class WrongPortException;

// Default of the time an empty sub-directory is left alone after its last modification.
constexpr std::chrono::milliseconds QK_EMPTY_DIR_GRACE{2000};

// The parameters a transfer reads, whichever record they come from.
struct SQKSendParams {
    std::string out_dir;      // base of every file's sub-directory
    std::string back_dir;     // backups of sent files; empty for none
    std::string srv_address;  // receiver's address or host name
    std::int32_t srv_port = 0;
};

class CQKFileSender : public CQKConversationOwner {
public:
    // class_name: the class under which the sender logs ("CQKTcpCln").
    explicit CQKFileSender(const char* class_name);
    virtual ~CQKFileSender();
    CQKFileSender(const CQKFileSender&) = delete;
    CQKFileSender& operator=(const CQKFileSender&) = delete;

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
    void recvStatus(qk_code_t expected) override;
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
    // The last run found the receiver's other port (plain at its TLS port, TLS at its plain
    // one): like a connect that failed, the receiver was not reached. Said at ERROR once, and
    // no attempt followed.
    bool wentToWrongPort() const { return m_wrong_port; }
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

protected:
    virtual SQKSendParams sendParams() const = 0;
    // How the user of this sender switches TLS on, named when it found the wrong port.
    virtual const char* tlsSwitch() const { return "--use_ssl"; }
    // Called whenever bytes from the receiver arrive (its greeting, statuses and frames, in
    // either conversation: they come through the one reader); the default does nothing.
    virtual void noteAnswer() {}
    // Called when the receiver's greeting came as expected on a new connection: the receiver
    // was reached (a wrong port, a stranger's bytes or a failed handshake never get here).
    virtual void noteGreeted() {}
    // Called when the receiver has acknowledged file, and when it has refused it; the
    // defaults do nothing. A run's tally of what it delivered and what stays is built on them.
    virtual void noteDelivered(const SQKSentFile& /*file*/) {}
    virtual void noteRefused(const SQKSentFile& /*file*/) {}
    // Called for an existing regular file before it is sent; the default does nothing.
    virtual void prepareFile(const QKLogTag& tag, Poco::File& file);
    // The memory of refused, unreadable and unremovable files (CQKRefusalMemory), asked by
    // the walks of a run.
    void putRefusedLast(std::vector<std::string>& paths) const { m_refusals.putRefusedLast(paths); }
    long msUntilOfferedAgain(const std::string& path) const {
        return m_refusals.msUntilOfferedAgain(path);
    }
    bool retryRemovalIfDelivered(const QKLogTag& tag, const std::string& path) {
        return m_refusals.retryRemovalIfDelivered(tag, path);
    }
    bool checkListable(const QKLogTag& tag, const std::string& dir) {
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
    void settleSentFiles();

    // A tag "<class>::<operation>".
    QKLogTag makeTag(const char* operation) const;
    const char* className() const { return m_class_name; }

    // At most three attempts of openConnection, the greeting, exchange and closeConnection,
    // the retry delay apart, until one completes. A failure of an attempt sets the result to
    // 127 and closes the connection; a Poco::Exception is then reported and fails the
    // attempt, anything else is reported and passed on. A file refused by the receiver does
    // not fail the attempt, but the run's result is 127: not everything was delivered. The
    // receiver's other port (WrongPortException) ends the attempts at once: wentToWrongPort.
    void sendWithAttempts(const QKLogTag& tag, const std::function<void()>& exchange);
    // Every address the server's name resolves to, IPv6 and IPv4, in the resolver's order of
    // preference; Poco::InvalidArgumentException for a port outside 1..65535,
    // Poco::Net::HostNotFoundException for a name that resolves to none.
    static std::vector<Poco::Net::SocketAddress> serverAddresses(const SQKSendParams& params);
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
    // What the conversations ask of the sender: a classic status, and where a status takes
    // its file.
    void fileAcknowledged(const QKLogTag& tag, const SQKSentFile& file) override;
    void fileRefused(const QKLogTag& tag, const SQKSentFile& file, const std::string& reason,
                     bool ends_connection) override;

    void runAttempt(const QKLogTag& tag, const std::function<void()>& exchange);
    void reportStop(const QKLogTag& tag);
    void openSocket(const Poco::Net::Context::Ptr& context, const QKLogTag& tag);
    void beginRun();
    void endRun(const QKLogTag& tag);
    void reconnectAfterRefusal(const QKLogTag& tag);
    bool startConversation(const QKLogTag& tag);
    void takeStatus(qk_code_t expected, bool drop_rest);
    void reportWrongPort(const QKLogTag& tag, const WrongPortException& e);
    void endConversation();
    SQKConversationParts conversationParts();
    bool reuseKeptConnection();
    bool keepsConnection() const;
    std::string peerKey() const;
    void rememberClassicPeer(const QKLogTag& tag);
    void sendLeased(const QKLogTag& tag, const std::string& file_path);
    void fail(const QKLogTag& tag, const char* text);

    const char* m_class_name;
    std::chrono::milliseconds m_retry_delay{1000};
    CQKSenderSocket m_socket;
    CQKStatusReader m_reader;  // every byte the receiver sends, in either conversation
    CQKSenderFrames m_frames;
    // The conversation of the open connection; replaced only between its calls (at the start
    // of an attempt, after a failed one, when a kept connection is dropped), never from a
    // call it makes into the sender.
    std::unique_ptr<CQKConversation> m_conversation;
    // A kept connection: asked for (m_keep), usable until m_kept_until to the receiver
    // m_kept_key; m_reusing while an attempt runs on it, and m_heard once the receiver
    // answered on it in that attempt.
    std::chrono::seconds m_keep{0};
    std::chrono::steady_clock::time_point m_kept_until;
    std::string m_kept_key;
    bool m_reusing = false;
    bool m_heard = false;
    CQKRefusalMemory m_refusals;      // its unremovable files are noted by the removal thread
    bool m_connection_ended = false;  // the receiver ended the connection after a refusal
    bool m_wrong_port = false;        // the last run found the wrong port
    // Last: destroyed first, finishing its work while the rest of the sender (the memory it
    // notes into) still exists.
    CQKSentFileDisposal m_disposal{m_refusals};
};
