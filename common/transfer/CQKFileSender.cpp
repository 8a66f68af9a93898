// The machinery every sender shares: the attempts of a run, the connection and its
// conversation, and what a status does to a file.
#include "transfer/CQKFileSender.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Net/NetException.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/Timestamp.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/CQKReadLease.h"
#include "base/qk_console.h"
#include "base/qk_fs.h"
#include "base/qk_host_address.h"
#include "base/qk_name_filter.h"
#include "base/qk_path.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKClassicPeers.h"
#include "transfer/CQKSenderStop.h"
#include "transfer/CQKSourceWalk.h"
#include "transfer/CQKWindowedConversation.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_sender_files.h"
#include "transfer/qk_wrong_port.h"

namespace {

constexpr int QK_SEND_ATTEMPTS = 3;
// Thrown out of an attempt whose receiver turned out to speak only the classic conversation,
// or that ran on a kept connection the receiver had closed before answering: the attempt is
// made again at once (classically, or on a new connection) and does not count.
struct SQKRetryAtOnce {};

void log_date_time(const QKLogTag& tag, const char* which, const Poco::DateTime& time) {
    log_message(LOG_LEVEL_DEBUG, &tag, "%s Date: year = %d month = %d day = %d dayOfWeek = %d",
                which, time.year(), time.month(), time.day(), time.dayOfWeek());
    log_message(LOG_LEVEL_DEBUG, &tag,
                "%s Time: hour = %d minute = %d second = %d millisecond = %d microsecond = %d",
                which, time.hour(), time.minute(), time.second(), time.millisecond(),
                time.microsecond());
}

// QK_RELAY_DIR_GRACE_MS (0 to 60000) shortens the grace of empty directories for tests and
// trials, which send trees they have just made.
std::chrono::milliseconds dir_grace() {
    const char* text = std::getenv("QK_RELAY_DIR_GRACE_MS");
    int value = 0;
    if (text && Poco::NumberParser::tryParse(text, value) && value >= 0 && value <= 60000)
        return std::chrono::milliseconds(value);
    return QK_EMPTY_DIR_GRACE;
}

// QK_RELAY_FILES_IN_FLIGHT=off keeps the senders to the classic conversation, one file at a
// time: for a comparison, or a link whose middle box mangles the windowed one. Unset or
// "on": files in flight are offered. Any other value is said once and leaves them on.
bool files_in_flight_wanted(const QKLogTag& tag) {
    const char* text = std::getenv("QK_RELAY_FILES_IN_FLIGHT");
    if (text == nullptr || std::strcmp(text, "on") == 0)
        return true;
    if (std::strcmp(text, "off") == 0)
        return false;
    static std::once_flag said;
    std::call_once(said, [&] {
        log_message(LOG_LEVEL_WARN, &tag,
                    "QK_RELAY_FILES_IN_FLIGHT=%s is neither on nor off: files in flight stay on",
                    text);
    });
    return true;
}

// An acknowledged file: its bytes and the time of the last delivery.
void count_delivery(std::uint64_t bytes) {
    const SQKSenderMetrics& metrics = qk_sender_metrics();
    metrics.files.inc();
    metrics.bytes.inc(bytes);
    metrics.last_delivery_time.set(static_cast<double>(Poco::Timestamp().epochTime()));
}

}  // namespace

CQKFileSender::CQKFileSender(const char* class_name)
    : m_dir_grace(dir_grace()),
      m_class_name(class_name),
      m_socket(class_name),
      m_reader(m_socket, class_name,
               [this] {
                   m_heard = true;
                   noteAnswer();
               }),
      m_frames(m_socket, class_name, m_timeout) {
    endConversation();
    qk_ignore_sigpipe();
}

CQKFileSender::~CQKFileSender() {
    discardSocket();
}

QKLogTag CQKFileSender::makeTag(const char* operation) const {
    return qk_make_tag((std::string(m_class_name) + "::" + operation).c_str());
}

void CQKFileSender::prepareFile(const QKLogTag&, Poco::File&) {}

void CQKFileSender::reportSpent(const QKLogTag& tag, const char* label,
                                const Poco::Timespan& spent) {
    log_message(LOG_LEVEL_DEBUG, &tag,
                "%s: hour = %d minutes = %d seconds = %d milliseconds = %d microseconds = %d",
                label, spent.hours(), spent.minutes(), spent.seconds(), spent.milliseconds(),
                spent.microseconds());
}

// A stop is no failure of the receiver's: it is not counted, and no attempt follows it.
void CQKFileSender::sendWithAttempts(const QKLogTag& tag, const std::function<void()>& exchange) {
    beginRun();
    CQKSenderStop& stop = qk_sender_stop();
    for (int attempt = 1; attempt <= QK_SEND_ATTEMPTS && !stop.requested(); ++attempt) {
        qk_print_console("Attempt: " + std::to_string(attempt));
        log_message(LOG_LEVEL_INFO, &tag, "Attempt: count = %d", attempt);
        try {
            runAttempt(tag, exchange);
        } catch (const SQKRetryAtOnce&) {
            --attempt;  // the receiver is remembered as classic: no second offer follows
            continue;
        } catch (const WrongPortException& e) {
            reportWrongPort(tag, e);
            break;  // no attempt at this port can succeed
        } catch (const Poco::Exception& e) {
            if (!stop.requested()) {
                qk_sender_metrics().failed_attempts.inc();
                qk_report_exception(&tag, e);
            }
        } catch (...) {
            qk_sender_metrics().failed_attempts.inc();
            qk_report_unknown_exception(&tag);
            throw;
        }
        if (m_curr_result != QK_SEND_FILE_FERROR || attempt == QK_SEND_ATTEMPTS)
            break;
        stop.sleepFor(m_retry_delay);
    }
    if (stop.requested() && m_curr_result == QK_SEND_FILE_FERROR)
        reportStop(tag);
    endRun(tag);
}

// The receiver was not reached: the port belongs to the other form of its listeners.
void CQKFileSender::reportWrongPort(const QKLogTag& tag, const WrongPortException& e) {
    m_wrong_port = true;
    qk_sender_metrics().failed_attempts.inc();
    const std::string text = qk_wrong_port_error(peerKey(), e.code() == 1, tlsSwitch());
    log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "Wrong port: %s", e.message().c_str());
    qk_print_error(text);
}

void CQKFileSender::reportStop(const QKLogTag& tag) {
    const char* text =
        "Sending stopped: the files whose status has not come stay in the outgoing directory.";
    log_message(LOG_LEVEL_INFO, &tag, "%s", text);
    qk_print_console(text);
}

void CQKFileSender::beginRun() {
    m_curr_result = QK_SEND_FILE_FERROR;  // until an attempt completes
    m_wrong_port = false;
    m_refusals.beginRun();
}

// Refused files, and files the account could not read, make the run's result a failure:
// they stay in the outgoing tree.
void CQKFileSender::endRun(const QKLogTag& tag) {
    if (m_refusals.endRun(tag))
        m_curr_result = QK_SEND_FILE_FERROR;
}

// The receiver ends the connection after a refusal; the next file goes on a new one. The
// flag is cleared first: when the new connection fails, the attempt fails and closes it.
void CQKFileSender::reconnectAfterRefusal(const QKLogTag& tag) {
    if (!m_connection_ended)
        return;
    m_connection_ended = false;
    log_message(LOG_LEVEL_DEBUG, &tag, "Opening a new connection after a refused file");
    openConnection();
    recvStatus(QK_SEND_FILE_FOK);
}

void CQKFileSender::fileRefused(const QKLogTag& tag, const SQKSentFile& file,
                                const std::string& reason, bool ends_connection) {
    if (ends_connection) {
        closeConnection();
        m_connection_ended = true;
    }
    m_refusals.noteRefusal(tag, file.path, reason);
    noteRefused(file);
}

// One attempt. A failure closes the connection before it is passed on; when closing throws
// (a sender whose close needs a socket, and there is none), that exception is the one
// reported.
void CQKFileSender::runAttempt(const QKLogTag& tag, const std::function<void()>& exchange) {
    m_connection_ended = false;
    m_reusing = reuseKeptConnection();
    m_heard = false;
    try {
        if (m_reusing) {
            log_message(LOG_LEVEL_DEBUG, &tag, "Sending on the kept connection");
        } else {
            endConversation();
            openConnection();
            // The offer goes ahead of the greeting: at a TLS port it is what shows the
            // receiver a plain sender. Receivers greet at the accept, before they read.
            const bool offered = startConversation(tag);
            log_message(LOG_LEVEL_TRACE, &tag, "recvStatus: QK_FILE_SEND_FOK ------- >>");
            takeStatus(QK_SEND_FILE_FOK, !offered);
            noteGreeted();
            log_message(LOG_LEVEL_TRACE, &tag, "recvStatus: QK_FILE_SEND_FOK ------- <<");
        }
        exchange();
        settleSentFiles();
        if (keepsConnection()) {
            m_kept_until = std::chrono::steady_clock::now() + m_conversation->keptFor();
            m_kept_key = peerKey();
        } else if (!m_connection_ended) {
            closeConnection();
        }
        m_curr_result = QK_SEND_FILE_FOK;
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        const bool stopped = qk_sender_stop().requested();
        const bool classic = !stopped && !m_reusing && m_conversation->readRefusalOfOffer();
        const bool stale = !stopped && m_reusing && !m_heard;
        // Statuses that came before the failure settle their files; the files in flight
        // without one stay where they are, to be sent again.
        m_conversation->abandon(tag);
        endConversation();
        m_disposal.abandon();
        if (!m_connection_ended)
            closeConnection();
        if (classic) {
            rememberClassicPeer(tag);
            throw SQKRetryAtOnce{};
        }
        if (stale) {
            log_message(LOG_LEVEL_DEBUG, &tag,
                        "The kept connection was closed by the receiver: connecting again");
            throw SQKRetryAtOnce{};
        }
        throw;
    }
}

// A kept connection serves the next run while it is granted, not expired, to the receiver
// the parameters name now, and still open: a receiver that closed it (its keep time ran out,
// it restarted, it needed the thread) shows an end of stream, which poll reports as
// readable; so does anything else it might have sent unasked. Otherwise it is closed, and
// false says the attempt connects anew.
bool CQKFileSender::reuseKeptConnection() {
    if (!hasSocket() || m_conversation->keptFor().count() == 0)
        return false;
    const bool usable = std::chrono::steady_clock::now() < m_kept_until &&
                        m_kept_key == peerKey() && !m_socket.hasArrived();
    if (!usable)
        dropKeptConnection();
    return usable;
}

bool CQKFileSender::keepsConnection() const {
    return m_conversation->keptFor().count() > 0 && m_keep.count() > 0 && m_socket.isOpen();
}

void CQKFileSender::dropKeptConnection() {
    endConversation();
    if (hasSocket())
        closeConnection();
}

// The offer costs no wait: the first files follow it at once, and the answer is read with
// their statuses.
// The one place where the conversation of a connection is chosen: windowed, offered right
// after the connect, unless the receiver is remembered as classic or files in flight are
// switched off.
bool CQKFileSender::startConversation(const QKLogTag& tag) {
    m_reader.reset();
    m_socket.noteRoundTrip();
    if (!files_in_flight_wanted(tag) || qk_classic_peers().isClassic(peerKey())) {
        endConversation();
        return false;
    }
    auto windowed = std::make_unique<CQKWindowedConversation>(conversationParts());
    windowed->offer(tag);
    m_conversation = std::move(windowed);
    return true;
}

// Classic until a windowed conversation is offered: also a connection opened outside an
// attempt, or after a refusal ended the last one.
void CQKFileSender::endConversation() {
    m_conversation = std::make_unique<CQKClassicConversation>(conversationParts());
}

SQKConversationParts CQKFileSender::conversationParts() {
    return SQKConversationParts{*this, m_socket, m_reader, m_frames, m_timeout, m_keep};
}

std::string CQKFileSender::peerKey() const {
    const SQKSendParams params = sendParams();
    return params.srv_address + ":" + std::to_string(params.srv_port);
}

void CQKFileSender::rememberClassicPeer(const QKLogTag& tag) {
    const std::string key = peerKey();
    qk_classic_peers().remember(key);
    const std::string text = "The receiver " + key +
                             " takes one file at a time (it does not know files in flight); "
                             "sending to it that way.";
    log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
    qk_print_console(text);
}

// Acknowledged: the backup and the removal go on while the next files travel.
void CQKFileSender::fileAcknowledged(const QKLogTag& tag, const SQKSentFile& file) {
    m_refusals.noteDelivery(file.path);
    count_delivery(file.size);
    noteDelivered(file);
    m_disposal.dispose(tag, file.path, file.sub_dir, file.back_dir, file.lease);
}

void CQKFileSender::sendFile(std::string file_path) {
    const QKLogTag tag = makeTag("sendFile()");
    log_message(LOG_LEVEL_INFO, &tag, "=================================== >>");
    log_message(LOG_LEVEL_INFO, &tag, "Sending file: file_path = %s", file_path.c_str());
    const Poco::DateTime start;
    log_date_time(tag, "Start", start);

    Poco::File file(file_path);
    if (!m_refusals.skipsInThisRun(tag, file_path) && CQKSourceWalk::isRegularFile(file)) {
        log_message(LOG_LEVEL_DEBUG, &tag, "File: file = %s exists...", file_path.c_str());
        prepareFile(tag, file);
        sendLeased(tag, file_path);
    }

    const Poco::DateTime end;
    log_date_time(tag, "End", end);
    reportSpent(tag, "Spent", end - start);
    log_message(LOG_LEVEL_INFO, &tag, "=================================== <<");
}

// The lease (or the fallback's snapshot) is taken before the header and looked at before the
// backup and right before the removal; the size announced is the one it saw. A file that a
// writer opened meanwhile has been delivered as it was and stays as it is now.
void CQKFileSender::sendLeased(const QKLogTag& tag, const std::string& file_path) {
    const auto lease = std::make_shared<CQKReadLease>(file_path);
    switch (lease->state()) {
        case CQKReadLease::State::Missing:
            return;  // gone since the listing
        case CQKReadLease::State::Writing:
            qk_report_left_file(
                tag, "File: " + file_path + " is open for writing. Left for a later run.");
            return;
        case CQKReadLease::State::Failed:
            if (qk_is_permission(lease->error())) {
                m_refusals.noteUnreadable(tag, file_path, lease->error(), false);
                return;
            }
            throw Poco::OpenFileException("File: " + file_path + " can't be opened for reading...");
        case CQKReadLease::State::Fallback:
            log_message(LOG_LEVEL_DEBUG, &tag,
                        "No read lease on %s (%s): its size and time are compared instead",
                        file_path.c_str(), std::strerror(lease->error()));
            break;
        case CQKReadLease::State::Held:
            break;
    }
    const SQKSendParams params = sendParams();
    const std::string out_dir = Poco::Path(params.out_dir).makeDirectory().toString();
    const std::string sub_dir = qk_get_sub_dir(out_dir, Poco::Path(file_path).parent().toString());
    reconnectAfterRefusal(tag);
    lease->readSequentially(params.back_dir.empty());
    m_conversation->send(tag,
                         SQKSentFile{file_path, sub_dir, params.back_dir, lease, lease->size()});
}

void CQKFileSender::settleSentFiles() {
    if (hasSocket())
        m_conversation->drain(makeTag("finishRemovals()"));
    m_disposal.finish();
}

void CQKFileSender::sendFinishSendFiles() {
    const QKLogTag tag = makeTag("sendFinishSendFiles()");
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFinishSendFiles Start...");
    if (m_connection_ended) {
        log_message(LOG_LEVEL_DEBUG, &tag, "The receiver ended the connection after a refusal");
        return;
    }
    bool finished = false;
    try {
        finished = m_conversation->finish(tag);
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        throw;
    }
    if (!finished) {
        // The connection stays for the next run: the files' statuses end this one.
        log_message(LOG_LEVEL_DEBUG, &tag, "sendFinishSendFiles End... (connection kept)");
        return;
    }
    m_curr_result = QK_SEND_FILE_FOK;
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFinishSendFiles End...");
}

void CQKFileSender::recvStatus(qk_code_t expected) {
    takeStatus(expected, true);
}

// drop_rest: a classic receiver sends nothing unasked, so what came with the status is
// dropped; the answer to an offer may come in one read with the greeting, and is kept.
void CQKFileSender::takeStatus(qk_code_t expected, bool drop_rest) {
    const QKLogTag tag = makeTag("recvStatus()");
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (recv). start...");
    qk_code_t status = QK_FILE_SEND_FNO_STATUS;
    try {
        status = m_reader.next(m_timeout, expected);
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        throw;
    }
    log_message(LOG_LEVEL_TRACE, &tag, "receiveBytes: bytes received = %d",
                static_cast<int>(m_reader.lastRead()));
    if (drop_rest)
        m_reader.dropBuffered();
    if (status != expected) {
        const std::string text = qk_status_text(status, expected);
        // A refusal is the receiver's answer, not a failure of the conversation: whoever
        // catches it decides how loudly to report it.
        if (status == QK_SEND_FILE_FERROR) {
            m_curr_result = QK_SEND_FILE_FERROR;
            log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
            throw FileRefusedException(text);
        }
        fail(tag, text.c_str());
        throw ReceivingStatusException(text);
    }
    m_curr_result = QK_SEND_FILE_FOK;
    m_socket.noteGreeted();  // the first status of a connection is its greeting
    log_message(LOG_LEVEL_TRACE, &tag, "recv Ok...");
    print_code(&status, 1, LOG_LEVEL_TRACE);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (recv). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_result = %d", m_curr_result);
}

void CQKFileSender::sendData(const std::uint8_t* data, std::int32_t size) {
    try {
        m_frames.sendRaw(data, size);
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        throw;
    }
    m_curr_result = QK_SEND_FILE_FOK;
}

void CQKFileSender::sendData(qk_code_t code, const std::uint8_t* data, std::int32_t size,
                             bool poll_synch) {
    try {
        m_frames.sendFrame(code, data, size, poll_synch);
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        throw;
    }
    m_curr_result = QK_SEND_FILE_FOK;
}

// getaddrinfo without AI_ADDRCONFIG: a machine whose only addresses are its loopback ones
// still reaches "localhost" and "::1".
std::vector<Poco::Net::SocketAddress> CQKFileSender::serverAddresses(const SQKSendParams& params) {
    if (params.srv_port < 1 || params.srv_port > 65535)
        throw Poco::InvalidArgumentException("Wrong value of port number: " +
                                             std::to_string(params.srv_port));
    const std::string host = qk_server_host(params.srv_address);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int error =
        ::getaddrinfo(host.c_str(), std::to_string(params.srv_port).c_str(), &hints, &found);
    if (error != 0)
        throw Poco::Net::HostNotFoundException(host, ::gai_strerror(error));
    std::vector<Poco::Net::SocketAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6)
            addresses.emplace_back(entry->ai_addr, static_cast<poco_socklen_t>(entry->ai_addrlen));
    }
    ::freeaddrinfo(found);
    if (addresses.empty())
        throw Poco::Net::HostNotFoundException(host, "no IPv4 or IPv6 address");
    return addresses;
}

void CQKFileSender::connectSocket(const QKLogTag& tag) {
    openSocket(nullptr, tag);
}

void CQKFileSender::connectSecureSocket(const Poco::Net::Context::Ptr& context,
                                        const QKLogTag& tag) {
    if (context.isNull())
        throw Poco::InvalidAccessException("TLS context isn't initialized...");
    openSocket(context, tag);
}

// The address is resolved first: when that fails no socket exists, and the close of the
// failed attempt reports "Stream Socket isn't created yet...". So that the operator learns
// why, the real cause is logged and echoed first, with the address and port.
void CQKFileSender::openSocket(const Poco::Net::Context::Ptr& context, const QKLogTag& tag) {
    const SQKSendParams params = sendParams();
    try {
        qk_sender_stop().check();
        const std::vector<Poco::Net::SocketAddress> addresses = serverAddresses(params);
        m_reader.reset();
        m_socket.connect(addresses, peerKey(), context, m_timeout);
    } catch (const WrongPortException&) {
        throw;  // said once, by the attempts
    } catch (const Poco::Exception& e) {
        if (qk_sender_stop().requested())
            throw SendingStoppedException();
        const std::string text = "Connection to " + params.srv_address + ":" +
                                 std::to_string(params.srv_port) + " failed: " + e.displayText();
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
        qk_print_error(text);
        throw;
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection: address = %s port = %d is opened",
                params.srv_address.c_str(), params.srv_port);
}

void CQKFileSender::closeSocket(const QKLogTag& tag) {
    if (!m_socket.isOpen())
        throw Poco::Exception("Stream Socket isn't created yet...");
    m_socket.close();
    const SQKSendParams params = sendParams();
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection: address = %s port = %d is closed",
                params.srv_address.c_str(), params.srv_port);
}

void CQKFileSender::discardSocket() noexcept {
    m_socket.discard();
}

void CQKFileSender::fail(const QKLogTag& tag, const char* text) {
    m_curr_result = QK_SEND_FILE_FERROR;
    log_message(LOG_LEVEL_ERROR, &tag, "%s", text);
}
