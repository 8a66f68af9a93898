// The client service's scanner task.
#include "CQKClnSScan.h"

#include <Poco/NumberParser.h>
#include <Poco/Path.h>

#include <algorithm>
#include <cstdlib>

#include "CQKClnSControl.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
#include "transfer/CQKRateLimit.h"
#include "transfer/CQKSenderStop.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr std::int32_t kSendFiles = 1;
constexpr long kMinScanMs = 1000;
// The attempts of one run: a run with fewer failed ones ended with one that completed.
constexpr std::uint64_t kAttemptsPerRun = 3;

// QK_RELAY_SCAN_ONLY=1 keeps the tree unwatched, as where it cannot be watched: for trials
// and for comparing both ways in a benchmark.
bool scan_only() {
    const char* text = std::getenv("QK_RELAY_SCAN_ONLY");
    return text != nullptr && std::string(text) == "1";
}

// QK_RELAY_WATCH_LIMIT (1 to 1000000) caps the watched directories below the kernel's limit,
// to try the fallback to scans where watches cannot be set; absent: the kernel's limit only.
std::size_t watch_limit() {
    const char* text = std::getenv("QK_RELAY_WATCH_LIMIT");
    int value = 0;
    if (text && Poco::NumberParser::tryParse(text, value) && value >= 1 && value <= 1000000)
        return static_cast<std::size_t>(value);
    return 0;
}

}  // namespace

CQKClnSScan::CQKClnSScan(CQKClnSControl& control, SQKClnSParams* params)
    : CQKPassTask("CQKClnSScan"), m_control(control), m_params(params) {
    keepStreams(m_tcp_streams);
    keepStreams(m_ssl_streams);
    m_watcher.setWatchLimit(watch_limit());
}

CQKClnSScan::~CQKClnSScan() = default;

void CQKClnSScan::runTask() {
    QKLogTag tag = qk_make_tag("CQKClnSScan::runTask()");
    log_banner(&tag, "Scanner of files has been started.");
    CQKPassTask::runTask();
    log_banner(&tag, "Scanner of files has been stopped.");
}

// A refused file sends nothing in this pass; the control port it names is followed anyway.
void CQKClnSScan::pass() {
    if (qk_sender_stop().requested())
        return;  // the service is stopping: nothing more is sent
    std::exception_ptr refusal;
    {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        refusal = qk_take_checked_params(*m_params);
        if (m_control.isCtrlRestartNeeded())
            m_control.setRestartCtrl();
        m_in_force = *m_params;
    }
    if (refusal)
        std::rethrow_exception(refusal);
    traceParams();
    // A changed limit holds from this scan on, for every stream; the same one keeps its bucket.
    qk_rate_limit().setSchedule(m_in_force.m_bw_limit);
    if (m_in_force.m_op_code != kSendFiles) {
        m_watcher.stop();
        m_watched.clear();
        return;
    }
    m_watcher.ignoreFiles(m_in_force.m_exclude);
    keepWatching();  // before the listing: what completes during this scan wakes the next
    if (m_in_force.m_use_ssl != 0)
        sendAndNote(m_ssl_streams);
    else
        sendAndNote(m_tcp_streams);
}

// A refused file is offered again after a scan period, not at every file that lands.
template <class Sender>
void CQKClnSScan::keepStreams(CQKStreams<Sender>& streams) {
    const std::size_t count = static_cast<std::size_t>(std::max(m_in_force.m_streams, 1));
    if (streams.size() > count)
        streams.resize(count);
    while (streams.size() < count) {
        streams.push_back(std::make_unique<CQKContactSender<Sender>>());
        streams.back()->setParams(&m_in_force);
    }
    for (const auto& stream : streams) {
        stream->setRefusalPause(std::chrono::milliseconds(sleepMs()));
        stream->setKeepConnection(std::chrono::seconds(m_in_force.m_keep_alive));
    }
}

// The failed attempts are the senders' own count; the contacts say whether the receiver
// answered and the last error. Each stream that connected had three attempts: a stream
// whose attempts all failed has not reached the receiver, whatever its first attempts
// heard; one that ended with a completed attempt has, and then fewer than all the streams'
// attempts failed.
template <class Sender>
void CQKClnSScan::sendAndNote(CQKStreams<Sender>& streams) {
    keepStreams(streams);
    const CQKCounter& failures = qk_sender_metrics().failed_attempts;
    const std::uint64_t failed_before = failures.value();
    std::vector<CQKTcpClnS*> senders;
    for (const auto& stream : streams) {
        stream->contact() = SQKReceiverContact{};
        senders.push_back(stream.get());
    }
    CQKContactSender<Sender>& lead = *streams.front();
    lead.sendAllFiles(senders);
    if (qk_sender_stop().requested())
        return;  // a stop tells nothing of the receiver
    std::uint64_t failed = failures.value() - failed_before;
    SQKReceiverContact contact;
    for (const auto& stream : streams) {
        contact.answered = contact.answered || stream->contact().answered;
        if (contact.last_error.empty())
            contact.last_error = stream->contact().last_error;
    }
    const std::uint64_t attempts = kAttemptsPerRun * std::max<std::uint64_t>(lead.streamsRun(), 1);
    bool reached = failed < attempts && (failed > 0 || contact.answered);
    for (const auto& stream : streams)
        reached = reached && !stream->wentToWrongPort();  // its one attempt reached nobody
    if (failed == 0 && !contact.answered && !m_control.isReady()) {
        reached = reachReceiver(lead);
        failed = reached ? 0 : 1;
        contact.last_error = lead.contact().last_error;
    }
    const std::string receiver =
        m_in_force.m_srv_address + ":" + std::to_string(m_in_force.m_srv_port);
    m_control.noteScan(static_cast<unsigned>(failed), reached, contact.last_error, receiver);
}

template <class Sender>
bool CQKClnSScan::reachReceiver(CQKContactSender<Sender>& sender) {
    try {
        sender.openConnection();
        sender.recvStatus(QK_SEND_FILE_FOK);
        sender.sendData(QK_SEND_FILE_FFINISHED_ALL, nullptr, 0, true);
        sender.recvStatus(QK_SEND_FILE_FOK);
        sender.closeConnection();
        return true;
    } catch (const Poco::Exception& e) {
        sender.contact().last_error = e.displayText();
        sender.closeConnection();
        return false;
    }
}

void CQKClnSScan::cancel() {
    CQKPassTask::cancel();
    m_watcher.wake();
}

// The first sender lists, so it knows when the next file is due.
const CQKTcpClnS& CQKClnSScan::senderInForce() const {
    if (m_in_force.m_use_ssl != 0)
        return *m_ssl_streams.front();
    return *m_tcp_streams.front();
}

// The watch follows the record: the directory of the single file, or the outgoing tree. It
// is set up again only when that changes, so a tree that cannot be watched is reported once.
void CQKClnSScan::keepWatching() {
    const bool single = !m_in_force.m_file_path.empty();
    const std::string root =
        single ? Poco::Path(m_in_force.m_file_path).parent().toString() : m_in_force.m_out_dir;
    const bool recursive = !single && m_in_force.m_sub_dirs != 0;
    const std::string watched = root + (recursive ? "|sub_dirs" : "|top");
    if (watched == m_watched)
        return;
    m_watched = watched;
    QKLogTag tag = qk_make_tag("CQKClnSScan::runTask()");
    if (scan_only()) {
        log_message(LOG_LEVEL_INFO, &tag, "%s is scanned every %ld ms only (QK_RELAY_SCAN_ONLY).",
                    root.c_str(), sleepMs());
        return;
    }
    if (m_watcher.start(root, recursive)) {
        log_message(LOG_LEVEL_INFO, &tag,
                    "Watching %s for completed files (%zu directories); a scan at least every "
                    "%ld ms.",
                    root.c_str(), m_watcher.watchedDirectories(), sleepMs());
        return;
    }
    log_message(LOG_LEVEL_WARN, &tag, "%s can't be watched: %s. It is scanned every %ld ms only.",
                root.c_str(), m_watcher.failure().c_str(), sleepMs());
}

// Until the next scan is due: scan_time, or earlier when a file comes of age or the tree
// changes. A watch lost on the way (the tree removed, the watch limit reached) is said, and
// set up once more at the next scan; the scans go on either way.
void CQKClnSScan::waitAfterPass() {
    long wait_ms = sleepMs();
    const long due_ms = senderInForce().msUntilNextDue();
    if (due_ms >= 0 && due_ms < wait_ms)
        wait_ms = due_ms;
    QKLogTag tag = qk_make_tag("CQKClnSScan::runTask()");
    switch (m_watcher.wait(std::chrono::milliseconds(wait_ms))) {
        case CQKTreeWatcher::Wake::Overflow:
            log_message(LOG_LEVEL_INFO, &tag,
                        "Events of the outgoing tree were lost (the queue overflowed): it is "
                        "scanned in full.");
            break;
        case CQKTreeWatcher::Wake::Lost:
            log_message(LOG_LEVEL_WARN, &tag,
                        "The outgoing tree can no longer be watched: %s. It is scanned every %ld "
                        "ms only.",
                        m_watcher.failure().c_str(), sleepMs());
            m_watched.clear();  // tried once more at the next scan: the tree may be back
            break;
        default:
            break;
    }
}

// "scan_time" taken as unsigned and raised to 1000; a negative value, which the unsigned
// reading would make a sleep of weeks, counts as 1000 too.
long CQKClnSScan::sleepMs() const {
    const std::int32_t scan_time = m_in_force.m_delay_sleep;
    return scan_time < kMinScanMs ? kMinScanMs : scan_time;
}

void CQKClnSScan::traceParams() const {
    QKLogTag tag = qk_make_tag("CQKClnSScan::runTask()");
    const SQKClnSParams& p = m_in_force;
    log_message(LOG_LEVEL_TRACE, &tag, "CQKClnSScan ------------------------ >>");
    log_message(LOG_LEVEL_TRACE, &tag, "m_op_code\t\t\t= %d", p.m_op_code);
    log_message(LOG_LEVEL_TRACE, &tag, "m_file_path\t\t= %s", p.m_file_path.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_out_dir\t\t= %s", p.m_out_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_back_dir\t\t= %s", p.m_back_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_srv_address\t= %s", p.m_srv_address.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_srv_port\t\t= %d", p.m_srv_port);
    log_message(LOG_LEVEL_TRACE, &tag, "m_sub_dirs\t\t= %d", p.m_sub_dirs);
    log_message(LOG_LEVEL_TRACE, &tag, "m_use_ssl\t\t= %d", p.m_use_ssl);
    log_message(LOG_LEVEL_TRACE, &tag, "m_delay_sleep\t= %d", p.m_delay_sleep);
    log_message(LOG_LEVEL_TRACE, &tag, "m_control_port\t= %d", p.m_control_port);
    log_message(LOG_LEVEL_TRACE, &tag, "m_exclude\t\t= %s", p.m_exclude.text().c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_streams\t\t= %d", p.m_streams);
    log_message(LOG_LEVEL_TRACE, &tag, "m_bw_limit\t\t= %s", p.m_bw_limit.text().c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "CQKClnSScan ------------------------ <<");
}
