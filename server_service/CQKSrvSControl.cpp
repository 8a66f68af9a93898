// The server service's control task: passes that keep the three listeners as configured.
#include "CQKSrvSControl.h"

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKIncomingFile.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr std::int32_t kControlRun = 1;
// The names the service's file connections log under, and their refusal of a finished-all
// frame followed by more bytes.
const CQKFileListener::ConnectionNames kConnectionNames{
    "CQKSrvSConnection", "CQKSrvSSslConnection",
    "Error of data, received from Client (QK_SEND_FILE_FFINISHED_ALL)"};
// How long a pass waits for the probes of its directories; a local disk answers in
// microseconds, and a probe that has not ended is asked again at the next pass.
constexpr std::chrono::seconds kProbeWait(1);

// Logs a directory's change of state once: state is what was last logged of it.
void note_change(const CQKDirProbe::Answer& answer, std::string& state, const char* what,
                 const std::string& dir, const char* refused) {
    const std::string now = answer.overdue ? "overdue" : answer.problem;
    if (now == state)
        return;
    state = now;
    QKLogTag tag = qk_make_tag("CQKSrvSControl::runTask()");
    if (now.empty())
        log_notable(LOG_LEVEL_INFO, &tag, "%s %s takes files again", what, dir.c_str());
    else
        log_message(LOG_LEVEL_WARN, &tag, "%s %s does not take files (health: 503): %s; %s", what,
                    dir.c_str(), answer.problem.c_str(), refused);
}

}  // namespace

CQKSrvSControl::CQKSrvSControl()
    : CQKServiceControlTask("CQKSrvSControl"),
      m_tcp_srv(m_listener_source, false, kConnectionNames, "CQKTcpSrvS"),
      m_ssl_srv(m_listener_source, true, kConnectionNames, "CQKTcpSslSrvS"),
      m_ctrl_srv(&m_params),
      m_in_dir_probe("incoming directory", CQKIncomingFile::writeProblem),
      m_back_dir_probe("backup directory", CQKDirProbe::backupProblem) {
    // A service's console is the journal, or a terminal: see QKConsoleEcho.
    qk_set_console_echo_mode(qk_service_console_echo());
    // One registry for both file listeners: a path can't be written over plain and TLS at once.
    m_ssl_srv.shareReceivingFiles(m_tcp_srv.receivingFilesPtr());
    // Rendered from the first scrape on, as 0 until their first event.
    qk_receiver_metrics();
    qk_control_metrics();
}

CQKSrvSControl::~CQKSrvSControl() {
    m_metrics.stop();
    m_tcp_srv.stop();
    m_ssl_srv.stop();
    m_ctrl_srv.stop();
}

// A refusal of the file ends the pass with its reason only after the listeners were kept:
// the control listener must follow its port whatever else the file holds.
void CQKSrvSControl::pass() {
    std::exception_ptr refusal;
    bool control_wanted = false;
    bool files_wanted = false;
    std::int32_t metrics_port = 0;
    std::string metrics_address;
    std::int32_t port = 0;
    std::int32_t ssl_port = 0;
    std::string in_dir;
    std::string back_dir;
    std::int32_t partial_hours = 0;
    {
        // Control connections change the record under this lock at any time.
        Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
        readConfig();
        refusal = qk_take_checked_params(m_params);
        askListeners();
        traceState();
        control_wanted = m_params.m_control_port != 0;
        files_wanted = m_params.m_control_code == kControlRun;
        metrics_port = m_params.m_metrics_port;
        metrics_address = m_params.m_metrics_address;
        port = m_params.m_port;
        ssl_port = m_params.m_ssl_port;
        in_dir = m_params.m_in_dir;
        back_dir = m_params.m_back_dir;
        partial_hours = m_params.m_partial_hours;
    }
    stopFlagged();
    startMissing(control_wanted, files_wanted);
    m_metrics.follow(metrics_port, metrics_address);
    const std::string store_problem = files_wanted ? probeStores(in_dir, back_dir) : "";
    if (files_wanted)  // partial content past its time goes even when no big file comes
        CQKPartialStore(in_dir).sweep(std::chrono::hours(partial_hours));
    m_metrics.setHealth(healthText(files_wanted, port, ssl_port, store_problem));
    if (refusal)
        std::rethrow_exception(refusal);
}

void CQKSrvSControl::readConfig() {
    qk_read_service_config("CQKSrvSControl::readConfig()", "in_dir", "srv_in", "srv_backups");
}

// Under the configuration lock: a running listener whose port changed must restart.
void CQKSrvSControl::askListeners() {
    if (!m_restart_ctrl.load() && m_ctrl_srv.isStarted())
        m_restart_ctrl.store(m_ctrl_srv.isRestartNeeded());
    if (!m_restart.load() && m_tcp_srv.isStarted())
        m_restart.store(m_tcp_srv.isRestartNeeded());
    if (!m_restart_ssl.load() && m_ssl_srv.isStarted())
        m_restart_ssl.store(m_ssl_srv.isRestartNeeded());
}

void CQKSrvSControl::traceState() {
    QKLogTag tag = qk_make_tag("CQKSrvSControl::runTask()");
    log_message(LOG_LEVEL_TRACE, &tag, "CQKSrvSControl ------------------------ >>");
    log_message(LOG_LEVEL_TRACE, &tag, "m_in_dir\t\t= %s", m_params.m_in_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_back_dir\t= %s", m_params.m_back_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "m_control_code = %d", m_params.m_control_code);
    log_message(LOG_LEVEL_TRACE, &tag, "CQKSrvSControl ------------------------ <<");
    log_message(LOG_LEVEL_TRACE, &tag, "m_restart_ctrl\t= %d", m_restart_ctrl.load() ? 1 : 0);
    log_message(LOG_LEVEL_TRACE, &tag, "m_restart\t\t= %d", m_restart.load() ? 1 : 0);
    log_message(LOG_LEVEL_TRACE, &tag, "m_restart_ssl\t= %d", m_restart_ssl.load() ? 1 : 0);
}

void CQKSrvSControl::stopFlagged() {
    if (m_restart_ctrl.exchange(false) && m_ctrl_srv.isStarted())
        m_ctrl_srv.stop();
    if (m_restart.exchange(false) && m_tcp_srv.isStarted())
        m_tcp_srv.stop();
    if (m_restart_ssl.exchange(false) && m_ssl_srv.isStarted())
        m_ssl_srv.stop();
}

// Both probes run at once and are waited for together. Logs a change only: the health
// endpoint tells the rest at every request.
std::string CQKSrvSControl::probeStores(const std::string& in_dir, const std::string& back_dir) {
    m_in_dir_probe.begin(in_dir);
    if (!back_dir.empty())
        m_back_dir_probe.begin(back_dir);
    const auto deadline = std::chrono::steady_clock::now() + kProbeWait;
    const CQKDirProbe::Answer in = m_in_dir_probe.end(deadline);
    note_change(in, m_in_dir_state, "Incoming directory", in_dir, "the files sent are refused");
    std::string problem;
    if (!in.problem.empty())
        problem = "incoming tree not writable: " + in.problem;
    if (back_dir.empty()) {
        m_back_dir_state.clear();  // no backups made, none refused
        return problem;
    }
    const CQKDirProbe::Answer back = m_back_dir_probe.end(deadline);
    note_change(back, m_back_dir_state, "Backup directory", back_dir,
                "a file that replaces one is refused");
    if (!back.problem.empty())
        problem += (problem.empty() ? "" : "; ") + std::string("backup directory not writable: ") +
                   back.problem;
    return problem;
}

std::string CQKSrvSControl::healthText(bool files_wanted, std::int32_t port, std::int32_t ssl_port,
                                       const std::string& store_problem) const {
    if (!files_wanted)
        return "file listeners not running: no parameters have passed the check";
    std::string down;
    // A listener switched off is as configured, not down.
    if (!m_tcp_srv.isStarted() && !m_tcp_srv.isSwitchedOff())
        down = "plain listener (port " + std::to_string(port) + ")";
    if (!m_ssl_srv.isStarted() && !m_ssl_srv.isSwitchedOff()) {
        down += (down.empty() ? "" : " and ");
        down += "TLS listener (port " + std::to_string(ssl_port) + ")";
    }
    if (!down.empty())
        down += " not running";
    if (!store_problem.empty())
        down += (down.empty() ? "" : "; ") + store_problem;
    return down;
}

// Each listener is started on its own: one whose port is taken, or whose keys are missing,
// keeps none of the others down. Its failure is reported, and the next pass tries again.
void CQKSrvSControl::startMissing(bool control_wanted, bool files_wanted) {
    QKLogTag tag = qk_make_tag("CQKSrvSControl::runTask()");
    auto start = [&tag](auto& listener) {
        if (listener.isStarted())
            return;
        try {
            listener.start();
        } catch (const Poco::Exception& e) {
            qk_report_exception(&tag, e);
        }
    };
    if (control_wanted)
        start(m_ctrl_srv);
    if (!files_wanted)
        return;
    start(m_tcp_srv);
    start(m_ssl_srv);
}
