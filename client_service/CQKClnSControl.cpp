// The client service's control task.
#include "CQKClnSControl.h"

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
#include "protocol/qk_exceptions.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr std::int32_t kSendFiles = 1;
constexpr std::int32_t kStopScan = 2;
constexpr int kPoolMin = 2;
constexpr int kPoolMax = 16;
constexpr int kPoolIdleSeconds = 60;
// Failed attempts in a row after which the service is not ready: one scan's three.
constexpr unsigned kNotReadyAfter = 3;

bool is_active(const Poco::Task& task) {
    const Poco::Task::TaskState state = task.state();
    return state == Poco::Task::TASK_STARTING || state == Poco::Task::TASK_RUNNING;
}

}  // namespace

CQKClnSControl::CQKClnSControl()
    : CQKServiceControlTask("CQKClnSControl"),
      m_pool(kPoolMin, kPoolMax, kPoolIdleSeconds),
      m_scan_tasks(m_pool),
      m_ctrl_srv(&m_params) {
    // A service's console is the journal, or a terminal: see QKConsoleEcho.
    qk_set_console_echo_mode(qk_service_console_echo());
    // Rendered from the first scrape on, as 0 until their first event.
    qk_sender_metrics();
    qk_scan_metrics();
    qk_control_metrics();
    // /ready asks the readiness itself, on the endpoint's thread: it is guarded by its lock.
    m_metrics.setReadiness([this] { return readiness(); });
}

CQKClnSControl::~CQKClnSControl() {
    m_metrics.stop();
    m_ctrl_srv.stop();
    endScanner();
}

bool CQKClnSControl::isCtrlRestartNeeded() const {
    return m_ctrl_srv.isStarted() && m_ctrl_srv.isRestartNeeded();
}

void CQKClnSControl::pass() {
    firstRead();
    std::int32_t control_code = 0;
    {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        readConfig();
        control_code = m_scan ? m_params.m_control_code : fileControlCode();
    }
    traceState();
    keepControlListener();
    followControlCode(control_code);
    keepMetrics(control_code);
}

// Once, before the first pass. A refused file still gives the control code and port: the
// scanner checks again at each of its passes and sends once the file is mended.
void CQKClnSControl::firstRead() {
    if (m_first_read_done)
        return;
    m_first_read_done = true;
    QKLogTag tag = qk_make_tag("CQKClnSControl::runTask()");
    try {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        readConfig();
        if (const std::exception_ptr refusal = qk_take_checked_params(m_params))
            std::rethrow_exception(refusal);
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
    }
}

// The record's control code changes only at the scanner's checked reads; while no scanner
// runs, the file's own value is what can start one again.
std::int32_t CQKClnSControl::fileControlCode() const {
    try {
        return CQKBaseConfigs::instance().view("conf_c").getInt("control_code", kSendFiles);
    } catch (const Poco::Exception&) {
        return m_params.m_control_code;
    }
}

void CQKClnSControl::readConfig() {
    qk_read_service_config("CQKClnSControl::readConfig()", "out_dir", "cln_out", "cln_backups");
}

void CQKClnSControl::traceState() {
    QKLogTag tag = qk_make_tag("CQKClnSControl::runTask()");
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    log_message(LOG_LEVEL_TRACE, &tag, "CQKClnSControl ------------------------ >>");
    log_message(LOG_LEVEL_TRACE, &tag, "m_out_dir\t\t= %s", m_params.m_out_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_back_dir\t\t= %s", m_params.m_back_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_control_code\t= %d", m_params.m_control_code);
    log_message(LOG_LEVEL_TRACE, &tag, "CQKClnSControl ------------------------ <<");
}

// A control listener that cannot start is reported and tried again at the next pass; it
// keeps the scanner from nothing.
void CQKClnSControl::keepControlListener() {
    if (m_restart_ctrl.load() && m_ctrl_srv.isStarted()) {
        m_ctrl_srv.stop();
        m_restart_ctrl.store(false);
    }
    std::int32_t port = 0;
    {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        port = m_params.m_control_port;
    }
    if (port == 0 || m_ctrl_srv.isStarted())
        return;
    try {
        m_ctrl_srv.start();
    } catch (const Poco::Exception& e) {
        QKLogTag tag = qk_make_tag("CQKClnSControl::runTask()");
        qk_report_exception(&tag, e);
    }
}

void CQKClnSControl::keepMetrics(std::int32_t control_code) {
    std::int32_t port = 0;
    std::string address;
    {
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        port = m_params.m_metrics_port;
        address = m_params.m_metrics_address;
    }
    m_metrics.follow(port, address);
    std::string health;
    if (m_scan && is_active(*m_scan))
        health.clear();
    else if (control_code == kStopScan)
        health = "scanner stopped: control_code 2";
    else
        health = "scanner not running";
    m_metrics.setHealth(health);
    std::lock_guard<std::mutex> lock(m_ready_mutex);
    m_not_running = health;
}

void CQKClnSControl::noteScan(unsigned failed_attempts, bool reached, const std::string& last_error,
                              const std::string& receiver) {
    std::lock_guard<std::mutex> lock(m_ready_mutex);
    const bool was_ready = m_failures_in_row < kNotReadyAfter;
    m_receiver = receiver;
    if (reached) {
        m_failures_in_row = 0;
        m_last_error.clear();
    } else if (failed_attempts > 0) {
        m_failures_in_row += failed_attempts;
        // An attempt can fail after the receiver answered, in a step that says nothing of it
        // (the backup of a sent file): the log has the reason then.
        m_last_error = last_error.empty() ? "the log says why" : last_error;
    }
    const bool ready = m_failures_in_row < kNotReadyAfter;
    if (ready == was_ready)
        return;
    QKLogTag tag = qk_make_tag("CQKClnSControl::noteScan()");
    if (ready)
        log_notable(LOG_LEVEL_INFO, &tag, "Ready again: the receiver %s has been reached",
                    receiver.c_str());
    else
        log_message(LOG_LEVEL_WARN, &tag,
                    "Not ready (ready: 503): %u attempts in a row failed to reach the receiver "
                    "%s, the last: %s",
                    m_failures_in_row, receiver.c_str(), m_last_error.c_str());
}

bool CQKClnSControl::isReady() const {
    std::lock_guard<std::mutex> lock(m_ready_mutex);
    return m_failures_in_row < kNotReadyAfter;
}

std::string CQKClnSControl::readiness() const {
    std::lock_guard<std::mutex> lock(m_ready_mutex);
    if (!m_not_running.empty())
        return m_not_running;
    if (m_failures_in_row < kNotReadyAfter)
        return "";
    return std::to_string(m_failures_in_row) + " attempts in a row failed to reach the receiver " +
           m_receiver + ", the last: " + m_last_error;
}

void CQKClnSControl::endScanner() {
    m_scan_tasks.cancelAll();
    m_scan_tasks.joinAll();
    m_scan = nullptr;
}

void CQKClnSControl::followControlCode(std::int32_t control_code) {
    QKLogTag tag = qk_make_tag("CQKClnSControl::runTask()");
    if (control_code == kSendFiles) {
        log_message(LOG_LEVEL_TRACE, &tag, "control_code == send_files");
        if (m_scan && m_scan->state() == Poco::Task::TASK_FINISHED)
            m_scan = nullptr;
        if (!m_scan) {
            // A scanner cancelled by an earlier pass ends its current scan first: two must
            // never send the same files at once.
            m_scan_tasks.joinAll();
            m_scan = new CQKClnSScan(*this, &m_params);
        }
        if (m_scan->state() == Poco::Task::TASK_IDLE) {
            m_scan->duplicate();  // the task manager takes a reference of its own
            m_scan_tasks.start(m_scan.get());
        }
    } else if (control_code == kStopScan) {
        log_message(LOG_LEVEL_TRACE, &tag, "control_code == stop_scan");
        if (m_scan && is_active(*m_scan)) {
            m_scan->cancel();
            m_scan = nullptr;
        }
    } else {
        log_message(LOG_LEVEL_TRACE, &tag, "default (break_scan)");
    }
}
