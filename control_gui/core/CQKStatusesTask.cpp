#include "CQKStatusesTask.h"

#include "CQKGuiMailbox.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"

namespace {

constexpr const char* kClnService = "qk_relay_clnsvc";
constexpr const char* kSrvService = "qk_relay_srvsvc";

void banner(const QKLogTag* tag, const char* text) {
    log_message(LOG_LEVEL_INFO, tag, "=================================== >>");
    log_message(LOG_LEVEL_INFO, tag, "%s", text);
    log_message(LOG_LEVEL_INFO, tag, "=================================== <<");
}

}  // namespace

CQKStatusesTask::CQKStatusesTask(CQKGuiMailbox* window, long period_ms,
                                 ManagerFactory manager_factory)
    : Poco::Task("CQKStatusesTask"),
      m_window(window),
      m_period_ms(period_ms),
      m_manager_factory(std::move(manager_factory)) {}

const char* CQKStatusesTask::stateText(std::uint32_t state) {
    switch (state) {
        case QK_SERVICE_STOPPED:
            return "Stopped";
        case QK_SERVICE_STARTING:
            return "Starting";
        case QK_SERVICE_STOPPING:
            return "Stopping";
        case QK_SERVICE_RUNNING:
            return "Running";
        case QK_SERVICE_CONTINUING:
            return "Continue is pending";
        case QK_SERVICE_PAUSING:
            return "Pause is pending";
        case QK_SERVICE_PAUSED:
            return "Paused";
        default:
            return "";
    }
}

bool CQKStatusesTask::getServiceStatus(const std::string& name, std::uint8_t& registered,
                                       std::uint32_t& state) {
    QKLogTag tag = qk_make_tag("CQKStatusesTask::getServiceStatus()");
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", tag.name);
    registered = 0;
    state = QK_SERVICE_NO_STATE;
    std::unique_ptr<CQKServiceManager> manager;
    try {
        manager = m_manager_factory(name);
    } catch (...) {
        return false;
    }
    try {
        if (!manager || !manager->isRegistered())
            return manager != nullptr;
        registered = 1;
        state = manager->state();
    } catch (...) {
        // a failed query leaves the state unknown
    }
    return true;
}

void CQKStatusesTask::poll() {
    {
        Poco::Mutex::ScopedLock lock(m_mutex);
        getServiceStatus(kClnService, m_statuses.cln_registered, m_statuses.cln_state);
        getServiceStatus(kSrvService, m_statuses.srv_registered, m_statuses.srv_state);
    }
    if (m_window != nullptr) {
        SQKGuiMessage message;
        message.code = WM_SERVICES_STATUSES;
        message.statuses = this;
        m_window->post(std::move(message));
    }
}

void CQKStatusesTask::runTask() {
    QKLogTag tag = qk_make_tag("CQKStatusesTask::runTask()");
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", tag.name);
    banner(&tag, "Scanner of services has been started.");
    for (;;) {
        poll();
        if (isCancelled())
            break;
        bool cancelled = false;
        qk_run_reporting(&tag, [&] { cancelled = sleep(m_period_ms); });
        if (cancelled)
            break;
    }
    banner(&tag, "Scanner of services has been stopped.");
}
