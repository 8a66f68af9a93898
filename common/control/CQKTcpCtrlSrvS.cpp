// What the server service's control side copies and logs.
#include "control/CQKTcpCtrlSrvS.h"

#include "base/qk_log.h"
#include "control/qk_ctrl_text.h"
#include "protocol/qk_ctrl_sign.h"

void CQKCtrlSrvSTraits::fill(const Params& params, Record& ctrl) {
    qk_ctrl_set_string(ctrl.m_in_dir, params.m_in_dir);
    qk_ctrl_set_string(ctrl.m_back_dir, params.m_back_dir);
    ctrl.m_port = params.m_port;
    ctrl.m_ssl_port = params.m_ssl_port;
}

void CQKCtrlSrvSTraits::apply(const Record& ctrl, Params& params) {
    std::string in_dir = qk_ctrl_received_string(ctrl.m_in_dir, "m_in_dir");
    std::string back_dir = qk_ctrl_received_string(ctrl.m_back_dir, "m_back_dir");
    params.m_in_dir = std::move(in_dir);
    params.m_back_dir = std::move(back_dir);
    params.m_port = ctrl.m_port;
    params.m_ssl_port = ctrl.m_ssl_port;
}

void CQKCtrlSrvSTraits::check(const Params& params) {
    Params checked = params;
    checked.checkParams();
}

void CQKCtrlSrvSTraits::traceSent(const QKLogTag&, const Record&) {}

void CQKCtrlSrvSTraits::traceApplied(const QKLogTag& tag, const Params& params) {
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_in_dir\t= %s", params.m_in_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_back_dir\t= %s", params.m_back_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_port\t\t= %d", static_cast<int>(params.m_port));
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_ssl_port\t= %d",
                static_cast<int>(params.m_ssl_port));
}

void CQKCtrlSrvSTraits::traceSignKeys(const QKLogTag&, const std::string&, const std::string&) {}

void CQKCtrlSrvSTraits::traceVerifyCert(const QKLogTag&, const std::string&) {}
