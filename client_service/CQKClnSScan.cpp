// The client service's scanner task.
#include "CQKClnSScan.h"

#include "CQKClnSControl.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"

namespace {

constexpr std::int32_t kSendFiles = 1;
constexpr long kMinScanMs = 1000;

}  // namespace

CQKClnSScan::CQKClnSScan(CQKClnSControl& control, SQKClnSParams* params)
    : CQKPassTask("CQKClnSScan"), m_control(control), m_params(params) {
    m_tcp_cln.setParams(&m_in_force);
    m_ssl_cln.setParams(&m_in_force);
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
    if (m_in_force.m_op_code != kSendFiles)
        return;
    if (m_in_force.m_use_ssl != 0)
        m_ssl_cln.sendAllFiles();
    else
        m_tcp_cln.sendAllFiles();
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
    log_message(LOG_LEVEL_TRACE, &tag, "CQKClnSScan ------------------------ <<");
}
