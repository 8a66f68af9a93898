// The machinery every sender shares: attempts, connection, frames, statuses and the
// transfer, backup and removal of one file.
#include "transfer/CQKFileSender.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/SHA2Engine.h>
#include <Poco/Timestamp.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "base/CQKReadLease.h"
#include "base/qk_bounded.h"
#include "base/qk_console.h"
#include "base/qk_fs.h"
#include "base/qk_name_filter.h"
#include "base/qk_path.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKProgress.h"
#include "transfer/CQKClassicPeers.h"
#include "transfer/CQKRateLimit.h"
#include "transfer/CQKSenderStop.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_sender_files.h"
#include "transfer/qk_socket.h"
#include "transfer/qk_tls.h"

namespace {

constexpr int QK_SEND_ATTEMPTS = 3;
constexpr const char* QK_NO_STATUS_TEXT = "Error receiving of the status...";
// What a refusal at each step of a file means; the status byte carries no more than that.
constexpr const char* QK_REFUSED_HEADER =
    "the receiver refused its header (its name, a directory of that name, another sender "
    "sending it, or a directory or file the receiver cannot create)";
constexpr const char* QK_REFUSED_CONTENT =
    "the receiver refused its content (a checksum mismatch or a failed write)";
// A windowed status tells only that the file was refused, not at which step.
constexpr const char* QK_REFUSED_IN_WINDOW =
    "the receiver refused it (its name, a directory of that name, another sender sending it, "
    "a directory or file the receiver cannot create, a checksum mismatch or a failed write)";

// Thrown out of an attempt whose receiver turned out to speak only the classic conversation,
// or that ran on a kept connection the receiver had closed before answering: the attempt is
// made again at once (classically, or on a new connection) and does not count.
struct SQKRetryAtOnce {};

// "recv Error... received status = 0x.., expected status = 0x..".
std::string status_text(qk_code_t status, qk_code_t expected) {
    char text[128];
    std::snprintf(text, sizeof(text),
                  "recv Error... received status = 0x%02X, expected status = 0x%02X", status,
                  expected);
    return text;
}

// On the wire sub-directory components are separated by "\\".
std::string wire_sub_dir(std::string sub_dir) {
    std::replace(sub_dir.begin(), sub_dir.end(), '/', '\\');
    return sub_dir;
}

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

// This machine, for source tags: the same device and inode numbers on two client machines
// name different files.
const std::string& machine_identity() {
    static const std::string identity = [] {
        std::string text;
        for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
            std::FILE* file = std::fopen(path, "r");
            if (file == nullptr)
                continue;
            char line[128] = {};
            if (std::fgets(line, sizeof(line), file) != nullptr)
                text = line;
            std::fclose(file);
            if (!text.empty())
                return text;
        }
        char host[256] = {};
        ::gethostname(host, sizeof(host) - 1);
        return std::string(host);
    }();
    return identity;
}

// The source tag of a resumable header: a SHA-256 of the machine and of the opened file's
// device, inode, size and modification and change times. Any write changes the times, a
// replaced file the inode; the change time cannot be set back from user space.
void source_tag(const struct stat& opened, std::uint8_t* out) {
    Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_256);
    engine.update(machine_identity());
    const std::int64_t fields[] = {static_cast<std::int64_t>(opened.st_dev),
                                   static_cast<std::int64_t>(opened.st_ino),
                                   static_cast<std::int64_t>(opened.st_size),
                                   static_cast<std::int64_t>(opened.st_mtim.tv_sec),
                                   static_cast<std::int64_t>(opened.st_mtim.tv_nsec),
                                   static_cast<std::int64_t>(opened.st_ctim.tv_sec),
                                   static_cast<std::int64_t>(opened.st_ctim.tv_nsec)};
    engine.update(fields, sizeof(fields));
    const Poco::DigestEngine::Digest& digest = engine.digest();
    std::copy(digest.begin(), digest.begin() + QK_SOURCE_TAG_SIZE, out);
}

}  // namespace

CQKFileSender::CQKFileSender(const char* class_name)
    : m_dir_grace(dir_grace()),
      m_class_name(class_name),
      m_frame_buffer(QK_BUFFER_SIZE),
      m_header_buffer(QK_BUFFER_SIZE),
      m_data_buffer(QK_BUFFER_SIZE),
      m_socket(class_name),
      m_reader(m_socket, class_name, [this] {
          m_heard = true;
          noteAnswer();
      }) {
    qk_ignore_sigpipe();
}

CQKFileSender::~CQKFileSender() {
    discardSocket();
}

QKLogTag CQKFileSender::makeTag(const char* operation) const {
    return qk_make_tag((std::string(m_class_name) + "::" + operation).c_str());
}

void CQKFileSender::prepareFile(const QKLogTag&, Poco::File&) {}

bool CQKFileSender::isRegularFile(const Poco::File& file) {
    try {
        return file.exists() && file.isFile();
    } catch (const Poco::FileNotFoundException&) {
        return false;
    }
}

// Entries of a walk that are symbolic links are not followed: a link could lead out of the
// outgoing tree (to files that anyone able to write the tree could have sent, and whose
// directories would be emptied after sending) or back into it (an endless walk).
bool CQKFileSender::isLink(const Poco::File& file) {
    try {
        return file.isLink();
    } catch (const Poco::FileException&) {
        return false;
    }
}

bool CQKFileSender::isRealDirectory(const Poco::File& file) {
    try {
        return file.exists() && !file.isLink() && file.isDirectory();
    } catch (const Poco::FileNotFoundException&) {
        return false;
    }
}

// The root of a walk is what the operator named: it may be a link to a directory.
bool CQKFileSender::isDirectory(const Poco::File& file) {
    try {
        return file.exists() && file.isDirectory();
    } catch (const Poco::FileNotFoundException&) {
        return false;
    }
}

// DEBUG by default: an excluded file stays where it is, and a scan would log it each time.
bool CQKFileSender::isExcluded(const QKLogTag& tag, const CQKNameFilter& exclude,
                               const std::string& path, int level) {
    if (!exclude.excludes(path))
        return false;
    log_message(level, &tag, "File: %s matches an exclude pattern. Not sent.", path.c_str());
    return true;
}

bool CQKFileSender::isSettled(const Poco::File& dir, std::chrono::milliseconds grace) {
    if (grace.count() <= 0)
        return true;
    std::int64_t age_us = 0;
    return qk_res_is(qk_get_modified_age(dir.path().c_str(), &age_us), QK_RES_OK) &&
           age_us >= static_cast<std::int64_t>(grace.count()) * 1000;
}

void CQKFileSender::reportSpent(const QKLogTag& tag, const char* label,
                                const Poco::Timespan& spent) {
    log_message(LOG_LEVEL_DEBUG, &tag,
                "%s: hour = %d minutes = %d seconds = %d milliseconds = %d microseconds = %d",
                label, spent.hours(), spent.minutes(), spent.seconds(), spent.milliseconds(),
                spent.microseconds());
    qk_print_console(std::string(label) + ": " + " hour = " + std::to_string(spent.hours()) +
                     " minutes = " + std::to_string(spent.minutes()) +
                     " seconds = " + std::to_string(spent.seconds()) +
                     " milliseconds = " + std::to_string(spent.milliseconds()) +
                     " microseconds = " + std::to_string(spent.microseconds()));
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

void CQKFileSender::reportStop(const QKLogTag& tag) {
    const char* text =
        "Sending stopped: the files whose status has not come stay in the outgoing directory.";
    log_message(LOG_LEVEL_INFO, &tag, "%s", text);
    qk_print_console(text);
}

void CQKFileSender::beginRun() {
    m_curr_result = QK_SEND_FILE_FERROR;  // until an attempt completes
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

void CQKFileSender::noteRefusal(const QKLogTag& tag, const std::string& file_path,
                                const std::string& reason) {
    if (!m_window) {
        closeConnection();
        m_connection_ended = true;
    }
    m_refusals.noteRefusal(tag, file_path, reason);
}

// One attempt. A failure closes the connection before it is passed on; when closing throws
// (a sender whose close needs a socket, and there is none), that exception is the one
// reported.
void CQKFileSender::runAttempt(const QKLogTag& tag, const std::function<void()>& exchange) {
    m_connection_ended = false;
    m_reusing = keptConnectionUsable();
    m_heard = false;
    try {
        if (m_reusing) {
            log_message(LOG_LEVEL_DEBUG, &tag, "Sending on the kept connection");
        } else {
            m_window = false;
            openConnection();
            log_message(LOG_LEVEL_TRACE, &tag, "recvStatus: QK_FILE_SEND_FOK ------- >>");
            recvStatus(QK_SEND_FILE_FOK);
            log_message(LOG_LEVEL_TRACE, &tag, "recvStatus: QK_FILE_SEND_FOK ------- <<");
            offerWindow(tag);
        }
        exchange();
        finishRemovals();
        if (keepsConnection()) {
            m_kept_until = std::chrono::steady_clock::now() + m_keep_granted;
            m_kept_key = peerKey();
        } else if (!m_connection_ended) {
            closeConnection();
        }
        m_curr_result = QK_SEND_FILE_FOK;
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        const bool stopped = qk_sender_stop().requested();
        const bool classic = !stopped && !m_reusing && m_window && refusedByOlderReceiver();
        const bool stale = !stopped && m_reusing && !m_heard;
        // Statuses that came before the failure settle their files; the files in flight
        // without one stay where they are, to be sent again.
        settleArrived(tag);
        m_in_flight.forget();
        m_window = false;
        m_keep_granted = std::chrono::seconds(0);
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
// readable; so does anything else it might have sent unasked. Otherwise it is closed.
bool CQKFileSender::keptConnectionUsable() {
    if (!hasSocket() || m_keep_granted.count() == 0)
        return false;
    const bool usable = std::chrono::steady_clock::now() < m_kept_until &&
                        m_kept_key == peerKey() && !m_socket.hasArrived();
    if (!usable)
        dropKeptConnection();
    return usable;
}

bool CQKFileSender::keepsConnection() const {
    return m_window && m_window_answered && m_keep_granted.count() > 0 && m_keep.count() > 0 &&
           m_socket.isOpen();
}

void CQKFileSender::dropKeptConnection() {
    m_keep_granted = std::chrono::seconds(0);
    m_window = false;
    if (hasSocket())
        closeConnection();
}

// The offer costs no wait: the first files follow it at once, and the answer is read with
// their statuses.
void CQKFileSender::offerWindow(const QKLogTag& tag) {
    m_window = false;
    m_window_answered = false;
    m_window_heard = false;
    m_window_refused = false;
    m_reader.reset();
    m_socket.noteRoundTrip();
    if (!files_in_flight_wanted(tag) || qk_classic_peers().isClassic(peerKey()))
        return;
    QKWindowFrame offer;
    offer.files = QK_SENDER_WINDOW_FILES;
    offer.bytes = QK_SENDER_WINDOW_BYTES;
    offer.features |= QK_WINDOW_FEATURE_RESUME;
    m_resume_min_size = 0;
    m_keep_granted = std::chrono::seconds(0);
    if (m_keep.count() > 0) {
        offer.features |= QK_WINDOW_FEATURE_KEEP;
        offer.keep = static_cast<std::uint16_t>(std::min<long long>(m_keep.count(), 65535));
    }
    std::uint8_t frame[QK_WINDOW_FRAME_SIZE];
    qk_build_window(frame, offer);
    sendData(frame[0], frame + 1, static_cast<std::int32_t>(sizeof(frame) - 1), true);
    m_window = true;
    m_in_flight.offered();
    log_message(LOG_LEVEL_DEBUG, &tag, "Files in flight offered to the receiver");
}

// Whether the receiver of a failed attempt refused the offer the way older versions do: its
// first byte after the greeting is 0x7F, read already or arrived by now. Such a receiver
// closes the connection right after that byte, often while the sender is still sending the
// files behind the offer, and the kernel keeps the byte readable after the reset. Nothing
// else marks a receiver classic: a close or a cut without that byte, another byte, silence
// or a stop may come from a current receiver that was stopped or cut off.
bool CQKFileSender::refusedByOlderReceiver() {
    if (m_window_heard)
        return m_window_refused;
    std::uint8_t first = 0;
    return m_reader.peekArrived(first) && first == QK_SEND_FILE_FERROR;
}

// Without waiting: what has arrived is read, and every status in it settles its file (an
// acknowledged one is backed up and removed as usual). A connection that has ended, or bytes
// that are no status, end it quietly: the attempt has failed already.
void CQKFileSender::settleArrived(const QKLogTag& tag) noexcept {
    if (!m_window || !m_window_answered || !hasSocket())
        return;
    try {
        std::uint8_t status = 0;
        while (!m_in_flight.empty() && m_reader.nextArrived(status))
            settleOldest(tag, status);
    } catch (...) {
        // What has no status stays in the outgoing tree.
    }
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

// Room for one more file of size bytes: waits for statuses while the receiver's bounds are
// reached. One file is always let through, however big.
void CQKFileSender::makeRoom(const QKLogTag& tag, std::uint64_t size) {
    takeAnswers(tag, false);
    while (!m_in_flight.hasRoomFor(size))
        takeAnswers(tag, true);
}

// Takes the answers that have come (with wait, waits up to the time limit for at least one
// status) and settles the files they answer. True when a file was settled.
bool CQKFileSender::takeAnswers(const QKLogTag& tag, bool wait) {
    bool settled = false;
    std::uint8_t byte = 0;
    while (!m_in_flight.empty() && nextAnswerByte(byte, wait && !settled)) {
        if (!m_window_answered) {
            readWindowAnswer(tag, byte);
            continue;
        }
        settleOldest(tag, byte);
        settled = true;
    }
    m_socket.noteRoundTrip();
    return settled;
}

// The next byte the receiver sent; false when none has come and wait is false. A closed
// connection or a time-out fails as a missing status does.
bool CQKFileSender::nextAnswerByte(std::uint8_t& byte, bool wait) {
    if (!wait)
        return m_reader.nextArrived(byte);
    byte = m_reader.next(answerTimeout());
    return true;
}

// A resumed file's status comes only after the receiver has read the bytes it held back from
// its disk, which may take longer than the usual limit when few bytes followed many: its
// wait grows with them, at a pessimistic 16 MiB/s.
Poco::Timespan CQKFileSender::answerTimeout() const {
    constexpr std::uint64_t kHeldReadRate = 16u << 20;
    const std::uint64_t seconds = m_in_flight.oldestHeld() / kHeldReadRate;
    if (m_in_flight.oldestHeld() == 0)
        return m_timeout;
    return m_timeout + Poco::Timespan(static_cast<long>(seconds), 0);
}

// The receiver's window frame, whose first byte is first. Anything else where it is due is
// a receiver that refused the offer.
void CQKFileSender::readWindowAnswer(const QKLogTag& tag, std::uint8_t first) {
    m_window_heard = true;
    if (first != QK_FILE_SEND_FWINDOW) {
        m_window_refused = first == QK_SEND_FILE_FERROR;
        throw ReceivingStatusException(status_text(first, QK_FILE_SEND_FWINDOW));
    }
    std::uint8_t frame[QK_WINDOW_FRAME_SIZE] = {first};
    for (std::size_t i = 1; i < sizeof(frame); ++i)
        nextAnswerByte(frame[i], true);
    QKWindowFrame answer;
    if (!qk_read_window(frame, sizeof(frame), answer))
        throw ReceivingStatusException("The receiver's answer to files in flight is malformed");
    m_window_answered = true;
    if ((answer.features & QK_WINDOW_FEATURE_RESUME) != 0)
        readResumeTerms();
    if ((answer.features & QK_WINDOW_FEATURE_KEEP) != 0 && answer.keep > 0)
        m_keep_granted = std::min(m_keep, std::chrono::seconds(answer.keep));
    m_in_flight.answered(answer.files, answer.bytes);
    log_message(LOG_LEVEL_DEBUG, &tag, "The receiver takes %u files and %llu bytes in flight",
                static_cast<unsigned>(m_in_flight.files()),
                static_cast<unsigned long long>(m_in_flight.bytes()));
}

// The receiver's resume terms, right after its window frame.
void CQKFileSender::readResumeTerms() {
    std::uint8_t frame[QK_RESUME_TERMS_SIZE];
    for (std::uint8_t& byte : frame)
        nextAnswerByte(byte, true);
    if (!qk_read_resume_terms(frame, sizeof(frame), m_resume_min_size))
        throw ReceivingStatusException("The receiver's resume terms are malformed");
}

void CQKFileSender::awaitWindowAnswer(const QKLogTag& tag) {
    if (m_window_answered)
        return;
    std::uint8_t first = 0;
    nextAnswerByte(first, true);
    readWindowAnswer(tag, first);
}

void CQKFileSender::drainWindow(const QKLogTag& tag) {
    while (m_window && !m_in_flight.empty())
        takeAnswers(tag, true);
}

// One status settles the oldest file in flight, as a status settles a file classically.
void CQKFileSender::settleOldest(const QKLogTag& tag, std::uint8_t status) {
    const SQKSentFile file = m_in_flight.takeOldest();
    print_code(&status, 1, LOG_LEVEL_TRACE);
    if (status == QK_SEND_FILE_FOK) {
        acknowledge(tag, file);
        return;
    }
    const std::string text = status_text(status, QK_SEND_FILE_FOK);
    if (status != QK_SEND_FILE_FERROR) {
        fail(tag, text.c_str());
        throw ReceivingStatusException(text);
    }
    log_message(LOG_LEVEL_INFO, &tag, "%s", text.c_str());
    noteRefusal(tag, file.path, QK_REFUSED_IN_WINDOW);
}

// Acknowledged: the backup and the removal go on while the next files travel.
void CQKFileSender::acknowledge(const QKLogTag& tag, const SQKSentFile& file) {
    m_refusals.noteDelivery(file.path);
    count_delivery(file.size);
    m_disposal.dispose(tag, file.path, file.sub_dir, file.back_dir, file.lease);
}

void CQKFileSender::sendFile(std::string file_path) {
    const QKLogTag tag = makeTag("sendFile()");
    log_message(LOG_LEVEL_INFO, &tag, "=================================== >>");
    log_message(LOG_LEVEL_INFO, &tag, "Sending file: file_path = %s", file_path.c_str());
    qk_print_console("-------------------- >>");
    qk_print_console("Sending file : " + file_path);
    const Poco::DateTime start;
    log_date_time(tag, "Start", start);

    Poco::File file(file_path);
    if (!m_refusals.skipsInThisRun(tag, file_path) && isRegularFile(file)) {
        log_message(LOG_LEVEL_DEBUG, &tag, "File: file = %s exists...", file_path.c_str());
        prepareFile(tag, file);
        sendLeased(tag, file_path);
    }

    const Poco::DateTime end;
    log_date_time(tag, "End", end);
    reportSpent(tag, "Spent", end - start);
    qk_print_console("-------------------- <<");
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
            qk_report_left_file(tag,
                           "File: " + file_path + " is open for writing. Left for a later run.");
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
    SQKSentFile sent{file_path, sub_dir, params.back_dir, lease, lease->size()};
    if (!m_window) {
        try {
            sendThrough(tag, *lease, file_path, sub_dir, sent.size);
        } catch (const FileRefusedException& e) {
            noteRefusal(tag, file_path, e.message());
            return;
        }
        acknowledge(tag, sent);
        return;
    }
    makeRoom(tag, sent.size);
    sendThrough(tag, *lease, file_path, sub_dir, sent.size, false);
    sent.held = m_last_held;
    m_in_flight.add(std::move(sent));
    takeAnswers(tag, false);
}

void CQKFileSender::finishRemovals() {
    if (m_window && hasSocket() && !m_in_flight.empty())
        drainWindow(makeTag("finishRemovals()"));
    m_disposal.finish();
}

void CQKFileSender::sendFile(std::string file_path, std::string sub_dir, std::uint64_t file_size) {
    const QKLogTag tag = makeTag("sendFile()");
    const CQKReadLease source(file_path);
    sendThrough(tag, source, file_path, sub_dir, file_size);
}

void CQKFileSender::sendThrough(const QKLogTag& tag, const CQKReadLease& source,
                                const std::string& file_path, const std::string& sub_dir,
                                std::uint64_t file_size, bool await) {
    try {
        transferFile(tag, source, file_path, sub_dir, file_size, await);
    } catch (const FileRefusedException&) {
        throw;
    } catch (const Poco::Exception& e) {
        // Passed on as a plain exception; a message-less network exception keeps its name.
        throw Poco::Exception(e.message().empty() ? e.displayText() : e.message());
    }
}

// The content is read through the descriptor opened before the header, not from the path
// again: a producer may rename the file while it travels, and the receiver still gets the
// content of the file the header named.
void CQKFileSender::transferFile(const QKLogTag& tag, const CQKReadLease& source,
                                 const std::string& file_path, const std::string& sub_dir,
                                 std::uint64_t file_size, bool await) {
    log_message(LOG_LEVEL_DEBUG, &tag,
                "%s::sendFile() file_path = %s sub_dir = %s file_size = %" PRIu64, m_class_name,
                file_path.c_str(), sub_dir.c_str(), file_size);
    std::uint64_t opened_size = 0;
    if (!source.currentSize(opened_size))
        throw Poco::OpenFileException("File: " + file_path + " can't be opened for reading...");
    std::uint64_t offset = 0;
    m_last_held = 0;
    if (isResumable(tag, file_size)) {
        sendResumableHeader(tag, source, file_path, sub_dir, file_size);
        offset = awaitResumeOffset(tag, file_size);
        m_last_held = offset == QK_RESUME_SKIP ? 0 : offset;
    } else {
        sendHeader(tag, file_path, sub_dir, file_size);
    }
    if (await)
        awaitAcceptance(QK_REFUSED_HEADER);

    std::uint8_t check_sum[4];
    // Refused at its header: no content, and the file's status says 0x7F.
    const std::uint32_t crc =
        offset == QK_RESUME_SKIP ? 0 : sendContent(tag, source, file_path, file_size, offset);
    log_message(LOG_LEVEL_TRACE, &tag, "check_sum: %08X", crc);
    qk_put_u32(check_sum, crc);
    sendData(QK_SEND_FILE_FFINISHED, check_sum, sizeof(check_sum), file_size == 0);
    if (await)
        awaitAcceptance(QK_REFUSED_CONTENT);
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFile End...");
}

// The refusal of one step of a file names the step; its message is the reason a sender
// reports.
void CQKFileSender::awaitAcceptance(const char* refused_step) {
    try {
        recvStatus(QK_SEND_FILE_FOK);
    } catch (const FileRefusedException&) {
        throw FileRefusedException(refused_step);
    }
}

// A file of at least the size the receiver named in its resume terms goes with a resumable
// header. Before the receiver's answer to the offer has come, a file that might qualify
// waits for it.
bool CQKFileSender::isResumable(const QKLogTag& tag, std::uint64_t file_size) {
    if (!m_window || file_size < QK_RESUME_SIZE_FLOOR)
        return false;
    awaitWindowAnswer(tag);
    return m_resume_min_size > 0 && file_size >= m_resume_min_size;
}

// The source's tag: a digest of what changes whenever the content may have, taken from the
// descriptor the content is read through. A receiver holding partial content under another
// tag starts the file from its first byte.
void CQKFileSender::sendResumableHeader(const QKLogTag& tag, const CQKReadLease& source,
                                        const std::string& file_path, const std::string& sub_dir,
                                        std::uint64_t file_size) {
    std::uint8_t* const frame = m_header_buffer.data();
    source_tag(source.opened(), frame);
    const std::size_t record_size =
        buildHeader(tag, frame + QK_SOURCE_TAG_SIZE, m_header_buffer.size() - QK_SOURCE_TAG_SIZE,
                    file_path, sub_dir, file_size);
    sendData(QK_FILE_SEND_FRHEADER, frame,
             static_cast<std::int32_t>(QK_SOURCE_TAG_SIZE + record_size), true);
}

// The receiver's offset frame comes ahead of the statuses it still owes; those that come
// before it settle their files as usual.
std::uint64_t CQKFileSender::awaitResumeOffset(const QKLogTag& tag, std::uint64_t file_size) {
    std::uint8_t byte = 0;
    for (;;) {
        nextAnswerByte(byte, true);
        if (byte == QK_FILE_SEND_FRHEADER)
            break;
        if (m_in_flight.empty())
            throw ReceivingStatusException(status_text(byte, QK_FILE_SEND_FRHEADER));
        settleOldest(tag, byte);
    }
    std::uint8_t frame[QK_RESUME_OFFSET_SIZE] = {byte};
    for (std::size_t i = 1; i < sizeof(frame); ++i)
        nextAnswerByte(frame[i], true);
    const std::uint64_t offset = qk_read_resume_offset(frame);
    if (offset != QK_RESUME_SKIP && offset > file_size)
        throw ReceivingStatusException("The receiver's resume offset is beyond the file");
    if (offset != QK_RESUME_SKIP && offset > 0) {
        log_message(LOG_LEVEL_INFO, &tag,
                    "The receiver holds %" PRIu64 " of its %" PRIu64 " bytes: sending the rest",
                    offset, file_size);
    }
    return offset;
}

void CQKFileSender::sendHeader(const QKLogTag& tag, const std::string& file_path,
                               const std::string& sub_dir, std::uint64_t file_size) {
    const std::size_t record_size = buildHeader(tag, m_header_buffer.data(), m_header_buffer.size(),
                                                file_path, sub_dir, file_size);
    sendData(QK_FILE_SEND_FHEADER, m_header_buffer.data(), static_cast<std::int32_t>(record_size),
             true);
}

std::size_t CQKFileSender::buildHeader(const QKLogTag& tag, std::uint8_t* buffer,
                                       std::size_t capacity, const std::string& file_path,
                                       const std::string& sub_dir, std::uint64_t file_size) {
    QKRelayHeader header;
    header.file_size = file_size;
    header.file_name = Poco::Path(file_path).getFileName();
    header.sub_dir = wire_sub_dir(sub_dir);
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FNAME file_name = %s",
                header.file_name.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FSUBDIR sub_dir = %s", sub_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FSIZE file_size = %" PRIu64, file_size);
    return qk_build_header(buffer, capacity, header);
}

// Sends exactly file_size bytes in pieces of at most 65536 and returns their CRC-32. The
// file must deliver every announced byte and nothing beyond: a shorter, failing or grown
// file throws before the finished frame, so the receiver never confirms a partial copy
// and the file stays to be sent again.
std::uint32_t CQKFileSender::sendContent(const QKLogTag& tag, const CQKReadLease& source,
                                         const std::string& file_path, std::uint64_t file_size,
                                         std::uint64_t held) {
    CQKProgressFile progress(file_path, file_size);  // the console's progress line, if shown
    std::uint64_t offset = 0;
    uLong check_sum = ::crc32(0L, Z_NULL, 0);
    while (offset < file_size) {
        const std::size_t length = static_cast<std::size_t>(
            std::min<std::uint64_t>(file_size - offset, m_data_buffer.size()));
        if (source.readAt(m_data_buffer.data(), length, offset) != static_cast<long>(length))
            throw Poco::ReadFileException("File: " + file_path + " can't be read. Error...");
        check_sum = ::crc32(check_sum, m_data_buffer.data(), static_cast<uInt>(length));
        // What the receiver holds already counts in the checksum only; it ends anywhere in
        // a piece.
        const std::size_t held_here =
            offset >= held
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(held - offset, length));
        progress.skip(held_here);
        offset += length;
        if (held_here == length)
            continue;
        log_message(LOG_LEVEL_TRACE, &tag, "send ---------------------------- >>");
        log_message(LOG_LEVEL_TRACE, &tag, "sendData: QK_SEND_FILE_FDATA ------- >>");
        sendData(m_data_buffer.data() + held_here, static_cast<std::int32_t>(length - held_here));
        log_message(LOG_LEVEL_TRACE, &tag, "sendData: QK_SEND_FILE_FDATA ------- <<");
        log_message(LOG_LEVEL_TRACE, &tag, "sendData: res = %d", m_curr_result);
        log_message(LOG_LEVEL_TRACE, &tag, "send ---------------------------- <<");
        progress.add(length - held_here);
    }
    std::uint8_t beyond = 0;
    const long more = source.readAt(&beyond, 1, file_size);
    if (more < 0)
        throw Poco::ReadFileException("File: " + file_path + " can't be read. Error...");
    std::uint64_t size_now = 0;
    if (more > 0 || !source.currentSize(size_now) || size_now != file_size)
        throw Poco::IOException("File: " + file_path + " has been changed while sending. Error...");
    return static_cast<std::uint32_t>(check_sum);  // 0 for no content
}

void CQKFileSender::sendFinishSendFiles() {
    const QKLogTag tag = makeTag("sendFinishSendFiles()");
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFinishSendFiles Start...");
    if (m_connection_ended) {
        log_message(LOG_LEVEL_DEBUG, &tag, "The receiver ended the connection after a refusal");
        return;
    }
    if (m_window && m_keep.count() > 0) {
        // Whether the receiver keeps the connection is in its window answer, which may still
        // be on its way with the statuses: both come before the choice.
        drainWindow(tag);
        awaitWindowAnswer(tag);
    }
    if (keepsConnection()) {
        // The connection stays for the next run: the files' statuses end this one.
        log_message(LOG_LEVEL_DEBUG, &tag, "sendFinishSendFiles End... (connection kept)");
        return;
    }
    sendData(QK_SEND_FILE_FFINISHED_ALL, nullptr, 0, true);
    if (m_window)
        awaitWindowEnd(tag);
    else
        recvStatus(QK_SEND_FILE_FOK);
    log_message(LOG_LEVEL_DEBUG, &tag, "sendFinishSendFiles End...");
}

// Windowed end: the statuses of the files still in flight, then the one of the finished-all
// frame (after the window answer, when no file was sent at all).
void CQKFileSender::awaitWindowEnd(const QKLogTag& tag) {
    drainWindow(tag);
    awaitWindowAnswer(tag);
    std::uint8_t status = 0;
    nextAnswerByte(status, true);
    if (status != QK_SEND_FILE_FOK) {
        const std::string text = status_text(status, QK_SEND_FILE_FOK);
        fail(tag, text.c_str());
        throw ReceivingStatusException(text);
    }
    m_curr_result = QK_SEND_FILE_FOK;
}

void CQKFileSender::recvStatus(qk_code_t expected) {
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
    m_reader.dropBuffered();  // a classic receiver sends nothing unasked
    if (status != expected) {
        const std::string text = status_text(status, expected);
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
    const QKLogTag tag = makeTag("sendData()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s::sendData() size = %d", m_class_name, size);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). start...");
    log_message(LOG_LEVEL_TRACE, &tag, "no poll_synch");
    const std::size_t length = size > 0 ? static_cast<std::size_t>(size) : 0;
    const std::size_t sent = m_socket.sendAll(data, length, m_timeout);
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d size = %d",
                static_cast<int>(sent), size);
    if (sent != length) {
        m_curr_result = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "sendBytes Error: bytes = %d size = %d",
                    static_cast<int>(sent), size);
        throw SendingDataException("sendBytes Error: bytes = " + std::to_string(sent) +
                                   " size = " + std::to_string(size));
    }
    m_curr_result = QK_SEND_FILE_FOK;
    log_message(LOG_LEVEL_TRACE, &tag, "send Ok...");
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_result = %d", m_curr_result);
}

void CQKFileSender::sendData(qk_code_t code, const std::uint8_t* data, std::int32_t size,
                             bool poll_synch) {
    const QKLogTag tag = makeTag("sendData()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s::sendData() code = %02X size = %d", m_class_name, code,
                size);
    m_frame_buffer[0] = code;
    std::size_t length = 1;
    if (size > 0) {
        if (qk_memcpy_s(m_frame_buffer.data() + 1, m_frame_buffer.size() - 1, data,
                        static_cast<std::size_t>(size)) != QK_EOK) {
            m_curr_result = QK_SEND_FILE_FERROR;
            log_message(LOG_LEVEL_ERROR, &tag, "sendData Error: size = %d", size);
            throw Poco::Exception("sendData Error: size = " + std::to_string(size));
        }
        length += static_cast<std::size_t>(size);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). start...");
    log_message(LOG_LEVEL_TRACE, &tag, "poll_synch = %d", poll_synch ? 1 : 0);
    if (poll_synch && !m_socket.awaitWritable(m_timeout)) {
        fail(tag, QK_NO_STATUS_TEXT);
        throw SockWriteStatusException(QK_NO_STATUS_TEXT);
    }
    const std::size_t sent = m_socket.sendAll(m_frame_buffer.data(), length, m_timeout);
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d length = %d",
                static_cast<int>(sent), static_cast<int>(length));
    if (sent != length) {
        m_curr_result = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "sendBytes Error: bytes = %d length = %d",
                    static_cast<int>(sent), static_cast<int>(length));
        throw SendingDataException("sendBytes Error: bytes = " + std::to_string(sent) +
                                   " length = " + std::to_string(length));
    }
    m_curr_result = QK_SEND_FILE_FOK;
    log_message(LOG_LEVEL_TRACE, &tag, "send Ok...");
    print_code(&code, 1, LOG_LEVEL_TRACE);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_result = %d", m_curr_result);
}

Poco::Net::SocketAddress CQKFileSender::serverAddress(const SQKSendParams& params) {
    if (params.srv_port < 1 || params.srv_port > 65535)
        throw Poco::InvalidArgumentException("Wrong value of port number: " +
                                             std::to_string(params.srv_port));
    return Poco::Net::SocketAddress(params.srv_address, static_cast<Poco::UInt16>(params.srv_port));
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
        const Poco::Net::SocketAddress address = serverAddress(params);
        m_reader.reset();
        m_socket.connect(address, peerKey(), context, m_timeout);
    } catch (const Poco::Exception& e) {
        if (qk_sender_stop().requested())
            throw SendingStoppedException();
        const std::string text = "Connection to " + params.srv_address + ":" +
                                 std::to_string(params.srv_port) + " failed: " + e.displayText();
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
        qk_print_console(text);
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
