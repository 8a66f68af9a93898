// The client service's plain TCP sender: the list, the run and the connection.
#include "CQKTcpClnS.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Timestamp.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <functional>

#include "base/CQKReadLease.h"
#include "base/qk_console.h"
#include "base/qk_fs.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKSourceWalk.h"
#include "transfer/CQKStreamRunner.h"
#include "transfer/qk_relay_metrics.h"

namespace {

// The single file is sent when it is there as a regular file. Whether the account may write
// it does not matter: its removal asks its directory, and a producer's file that the account
// may only read must not turn the run into one of the whole outgoing tree.
bool is_present_file(const Poco::File& file) {
    try {
        return file.exists() && file.isFile();
    } catch (const Poco::FileException&) {
        return false;  // gone meanwhile
    }
}

// The backlog as the listing found it: how many files wait, their bytes and the age of the
// oldest. One stat per listed file, once per scan.
void publish_backlog(const std::vector<std::string>& paths) {
    std::uint64_t bytes = 0;
    std::time_t oldest = std::time(nullptr);
    for (const std::string& path : paths) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            continue;  // gone since the listing
        bytes += static_cast<std::uint64_t>(info.st_size);
        oldest = std::min(oldest, info.st_mtime);
    }
    const SQKScanMetrics& metrics = qk_scan_metrics();
    metrics.backlog_files.set(static_cast<double>(paths.size()));
    metrics.backlog_bytes.set(static_cast<double>(bytes));
    metrics.backlog_oldest_age.set(
        static_cast<double>(std::max<std::time_t>(std::time(nullptr) - oldest, 0)));
}

}  // namespace

CQKTcpClnS::CQKTcpClnS() : CQKFileSender("CQKTcpClnS") {
    const QKLogTag tag = qk_make_tag("CQKTcpClnS::CQKTcpClnS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpClnS::CQKTcpClnS()");
}

CQKTcpClnS::~CQKTcpClnS() {
    const QKLogTag tag = qk_make_tag("CQKTcpClnS::~QKRelayTcpCln()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpClnS::~QKRelayTcpCln()");
}

void CQKTcpClnS::setParams(SQKClnSParams* params) {
    m_params = params;
}

const SQKClnSParams& CQKTcpClnS::params() const {
    if (!m_params)
        throw Poco::NullPointerException("The sender has no parameters");
    return *m_params;
}

SQKSendParams CQKTcpClnS::sendParams() const {
    const SQKClnSParams& record = params();
    return {record.m_out_dir, record.m_back_dir, record.m_srv_address, record.m_srv_port};
}

void CQKTcpClnS::sendAllFiles() {
    sendAllFiles({this});
}

void CQKTcpClnS::sendAllFiles(const std::vector<CQKTcpClnS*>& streams) {
    const QKLogTag tag = makeTag("sendAllFiles()");
    log_message(LOG_LEVEL_TRACE, &tag, "sendAllFiles Start...");
    m_curr_result = QK_SEND_FILE_FOK;
    m_streams = streams;
    m_streams_run = 0;
    const Poco::DateTime start;
    bool failed = false;
    try {
        const std::vector<CQKTcpClnS*> sending = buildList(tag);
        failed = m_curr_result == QK_SEND_FILE_FERROR;
        m_streams_run = sending.size();
        if (!sending.empty() && !runStreams(sending))
            failed = true;
    } catch (...) {
        // Reported by the attempt, or a thread that could not be started; a scan's run
        // never throws.
        failed = true;
    }
    // Files or directories the account could not read stay: also when no run was made.
    for (CQKTcpClnS* sender : runSenders())
        failed = sender->takeUnreadable() || failed;
    m_streams.clear();
    m_curr_result = failed ? QK_SEND_FILE_FERROR : QK_SEND_FILE_FOK;
    const Poco::DateTime end;
    const Poco::Timespan spent = end - start;
    qk_scan_metrics().last_scan_duration.set(static_cast<double>(spent.totalMicroseconds()) / 1e6);
    qk_scan_metrics().scans.inc();
    reportSpent(tag, "Total Spent", spent);
    log_message(LOG_LEVEL_TRACE, &tag, "sendAllFiles End...");
}

// The streams with a file of their share to send; none when there is nothing to send or the
// list could not be built (reported here, with the result a failure).
std::vector<CQKTcpClnS*> CQKTcpClnS::buildList(const QKLogTag& tag) {
    try {
        for (CQKTcpClnS* sender : runSenders())
            sender->forgetGone();
        const SQKClnSParams& record = params();
        if (!record.m_file_path.empty() && is_present_file(Poco::File(record.m_file_path)))
            fillList(record.m_file_path);
        else
            fillList(record.m_out_dir);
        for (CQKTcpClnS* sender : runSenders())
            sender->putRefusedLast(sender->m_part);
        publish_backlog(m_file_list);
    } catch (const Poco::Exception& e) {
        m_curr_result = QK_SEND_FILE_FERROR;
        qk_report_exception(&tag, e);
    } catch (const std::exception& e) {
        m_curr_result = QK_SEND_FILE_FERROR;
        qk_report_exception(&tag, e);
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;
        qk_report_unknown_exception(&tag);
    }
    std::vector<CQKTcpClnS*> sending;
    if (m_curr_result == QK_SEND_FILE_FERROR || m_file_list.empty())
        return sending;
    for (CQKTcpClnS* sender : runSenders()) {
        if (!sender->m_part.empty() && sender->anySendable(tag))
            sending.push_back(sender);
    }
    if (sending.empty())
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "Every listed file is open for writing or unreadable: no connection.");
    return sending;
}

// A file a writer holds open, or one the account may not read, would only be passed over
// after a connection (a TLS handshake) was made for it; the first file of the share that is
// neither decides. An unreadable one is reported here, as the run would.
bool CQKTcpClnS::anySendable(const QKLogTag& tag) {
    for (const std::string& path : m_part) {
        const CQKReadLease probe(path);
        switch (probe.state()) {
            case CQKReadLease::State::Writing:
            case CQKReadLease::State::Missing:
                break;
            case CQKReadLease::State::Failed:
                if (probe.error() != EACCES && probe.error() != EPERM)
                    return true;  // the run reports it
                noteUnreadable(tag, path, probe.error(), false);
                break;
            default:
                return true;
        }
    }
    return false;
}

// The senders of the run: its streams and this one, which lists, each once.
std::vector<CQKTcpClnS*> CQKTcpClnS::runSenders() {
    std::vector<CQKTcpClnS*> senders = m_streams;
    if (std::find(senders.begin(), senders.end(), this) == senders.end())
        senders.push_back(this);
    return senders;
}

// The stream that sends path. A hash of the path and not a balance of sizes: the same file
// must go to the same stream at every scan, for the stream that was refused it (or could
// not remove it) to remember it, offer it last and say so once. When the number of streams
// changes, files may change streams and their memories start afresh.
CQKTcpClnS& CQKTcpClnS::streamOf(const std::string& path) {
    if (m_streams.empty())
        return *this;
    return *m_streams[std::hash<std::string>{}(path) % m_streams.size()];
}

// One stream sends on the scanner's thread, as a single sender always has; more each on a
// thread of their own, all joined before the scan goes on.
bool CQKTcpClnS::runStreams(const std::vector<CQKTcpClnS*>& sending) {
    return CQKStreamRunner::run(
        sending.size(), [&sending](std::size_t index) { return sending[index]->sendPart(); });
}

// This stream's share in at most three attempts; true when it was all delivered.
bool CQKTcpClnS::sendPart() {
    const QKLogTag tag = makeTag("sendAllFiles()");
    try {
        sendWithAttempts(tag, [this, &tag] { sendList(tag); });
    } catch (...) {
        m_curr_result = QK_SEND_FILE_FERROR;  // reported by the attempt
    }
    return m_curr_result == QK_SEND_FILE_FOK;
}

// One attempt's exchange after the greeting. A file that has gone since the listing, also
// one an earlier attempt removed, is passed over by sendFile.
void CQKTcpClnS::sendList(const QKLogTag& tag) {
    const std::string single = params().m_file_path;
    log_message(LOG_LEVEL_DEBUG, &tag, "Sending one file: %s", single.c_str());
    for (const std::string& path : m_part)
        sendFile(path);
    sendFinishSendFiles();
    log_message(LOG_LEVEL_DEBUG, &tag, "Sending file: %s finished", single.c_str());
}

void CQKTcpClnS::fillList(const std::string& path) {
    const QKLogTag tag = makeTag("fillList()");
    m_file_list.clear();
    for (CQKTcpClnS* sender : runSenders())
        sender->m_part.clear();
    m_next_due_ms = -1;
    const Poco::File entry(path);
    if (CQKSourceWalk::isRegularFile(entry)) {
        if (!CQKSourceWalk::isExcluded(tag, params().m_exclude, path))
            listFile(tag, entry);
    } else if (CQKSourceWalk::isDirectory(entry))
        fillListSubDirs(path);
}

// An empty sub-directory modified within the grace period (min_age, or the sender's own
// grace when that is 0) may be a producer's fresh directory about to receive a file: it
// stays, and counts like a file so that its parents stay too.
std::uint32_t CQKTcpClnS::fillListSubDirs(const std::string& dir) {
    const QKLogTag tag = makeTag("fillListSubDirs()");
    const std::int32_t min_age = params().m_min_age;
    const std::chrono::milliseconds grace =
        min_age > 0 ? std::chrono::milliseconds(min_age) : m_dir_grace;
    CQKSourceWalk::Steps steps;
    steps.take = [this, &tag](const Poco::File& file) { listFile(tag, file); };
    steps.mayEnter = [this, &tag](const Poco::File& sub) { return checkListable(tag, sub.path()); };
    steps.walked = [this, &tag, grace](const Poco::File& sub, bool settled, std::uint32_t found) {
        return found > 0 ? found : leaveOrRemove(tag, sub, settled, grace);
    };
    return CQKSourceWalk(tag, params().m_exclude, params().m_sub_dirs != 0, grace).walk(dir, steps);
}

// A sub-directory whose walk found nothing that keeps it: removed when settled; otherwise it
// stays and counts for its parent.
std::uint32_t CQKTcpClnS::leaveOrRemove(const QKLogTag& tag, const Poco::File& dir, bool settled,
                                        std::chrono::milliseconds grace) {
    if (!settled) {
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "Directory: %s is empty but was modified less than %lld ms ago. Left for a "
                    "later scan.",
                    dir.path().c_str(), static_cast<long long>(grace.count()));
        return 1;
    }
    removeEmptyDir(tag, dir.path());
    return 0;
}

// A file modified too recently, or refused and still in its pause, is counted (its
// directory stays) but not listed; when it is due is kept, so that the scanner looks again
// then. A file delivered earlier that could not be removed is neither listed nor due: it
// waits for a change, and the scanner wakes for that. What is remembered of the file is asked
// of the stream that sends it.
void CQKTcpClnS::listFile(const QKLogTag& tag, const Poco::File& file) {
    CQKTcpClnS& stream = streamOf(file.path());
    if (stream.retryRemovalIfDelivered(tag, file.path()))
        return;
    const std::int32_t min_age = params().m_min_age;
    long due_ms = stream.msUntilOfferedAgain(file.path());
    if (due_ms > 0) {
        noteDue(due_ms);
        log_message(LOG_LEVEL_DEBUG, &tag, "File: %s was refused; offered again in %ld ms.",
                    file.path().c_str(), due_ms);
        return;
    }
    if (min_age > 0 && isFresh(file, min_age, due_ms)) {
        noteDue(due_ms);
        log_message(LOG_LEVEL_INFO, &tag,
                    "File: %s was modified less than min_age = %d ms ago. Left for a later scan.",
                    file.path().c_str(), min_age);
        return;
    }
    m_file_list.push_back(file.path());
    stream.m_part.push_back(file.path());
}

void CQKTcpClnS::noteDue(long due_ms) {
    if (m_next_due_ms < 0 || due_ms < m_next_due_ms)
        m_next_due_ms = due_ms;
}

// The age is taken to the nanosecond the file system keeps: whole seconds would take a
// file up to a second early. A modification time in the future counts as fresh (its age is
// unknown) and is looked at again after min_age. due_ms: how long until a fresh file comes
// of age.
bool CQKTcpClnS::isFresh(const Poco::File& file, std::int32_t min_age, long& due_ms) {
    std::int64_t age_us = 0;
    if (!qk_res_is(qk_get_modified_age(file.path().c_str(), &age_us), QK_RES_OK))
        return false;  // gone meanwhile; sendFile passes it over
    const std::int64_t min_us = static_cast<std::int64_t>(min_age) * 1000;
    if (age_us >= min_us)
        return false;
    due_ms = age_us < 0 ? min_age : static_cast<long>((min_us - age_us) / 1000 + 1);
    return true;
}

// The removal fails, and is logged, when anything has arrived in the directory meanwhile; one
// the account may not remove is said once.
void CQKTcpClnS::removeEmptyDir(const QKLogTag& tag, const std::string& dir) {
    try {
        Poco::File directory(dir);
        if (!directory.canWrite())
            directory.setWriteable(true);
    } catch (const Poco::FileException&) {
        // The removal below tells whether it mattered.
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "Delete empty directory: %s", dir.c_str());
    const int error = CQKSourceWalk::removeEmptyDir(dir);
    const bool removed = error == 0;
    if (removed && !Poco::File(dir).exists())
        return;
    if (!noteUnremovableDir(tag, dir, error))
        log_message(LOG_LEVEL_ERROR, &tag, "Error deleting of the empty directory: %s",
                    dir.c_str());
}

void CQKTcpClnS::prepareFile(const QKLogTag& tag, Poco::File& file) {
    try {
        if (!file.canWrite()) {
            log_message(LOG_LEVEL_DEBUG, &tag, "File: %s is read-only. Making it writable...",
                        file.path().c_str());
            file.setWriteable(true);
        }
    } catch (const Poco::FileException&) {
        // Gone since the listing (passed over by the transfer), or not ours to change: the
        // removal tells whether that matters.
    }
}

void CQKTcpClnS::openConnection() {
    const QKLogTag tag = makeTag("openConnection()");
    if (hasSocket())
        closeSocket(tag);
    connectSocket(tag);
}

void CQKTcpClnS::closeConnection() {
    const QKLogTag tag = makeTag("closeConnection()");
    try {
        if (hasSocket()) {
            closeSocket(tag);  // logs the close
            return;
        }
        const SQKSendParams target = sendParams();
        log_message(LOG_LEVEL_DEBUG, &tag, "Connection: address = %s port = %d is closed",
                    target.srv_address.c_str(), target.srv_port);
    } catch (...) {
        discardSocket();  // a close never fails
    }
}
