// What the client service's control side copies and logs.
#include "control/CQKTcpCtrlClnS.h"

#include "base/qk_log.h"
#include "control/qk_ctrl_text.h"
#include "protocol/qk_ctrl_sign.h"

void CQKCtrlClnSTraits::fill(const Params& params, Record& ctrl) {
    qk_ctrl_set_string(ctrl.m_out_dir, params.m_out_dir);
    qk_ctrl_set_string(ctrl.m_back_dir, params.m_back_dir);
    qk_ctrl_set_string(ctrl.m_file_path, params.m_file_path);
    qk_ctrl_set_string(ctrl.m_srv_address, params.m_srv_address);
    ctrl.m_srv_port = params.m_srv_port;
    ctrl.m_use_ssl = params.m_use_ssl;
    ctrl.m_sub_dirs = params.m_sub_dirs;
}

void CQKCtrlClnSTraits::apply(const Record& ctrl, Params& params) {
    std::string out_dir = qk_ctrl_received_string(ctrl.m_out_dir, "m_out_dir");
    std::string back_dir = qk_ctrl_received_string(ctrl.m_back_dir, "m_back_dir");
    std::string file_path = qk_ctrl_received_string(ctrl.m_file_path, "m_file_path");
    std::string srv_address = qk_ctrl_received_string(ctrl.m_srv_address, "m_srv_address");
    params.m_out_dir = std::move(out_dir);
    params.m_back_dir = std::move(back_dir);
    params.m_file_path = std::move(file_path);
    params.m_srv_address = std::move(srv_address);
    params.m_srv_port = ctrl.m_srv_port;
    params.m_use_ssl = ctrl.m_use_ssl;
    params.m_sub_dirs = ctrl.m_sub_dirs;
}

// Checked as the scanner checks them once it runs: control code 2 would skip every check,
// and a stored record always has operation code 1.
void CQKCtrlClnSTraits::check(const Params& params) {
    Params checked = params;
    checked.m_control_code = 1;
    checked.m_op_code = 1;
    checked.checkParams();
}

void CQKCtrlClnSTraits::traceSent(const QKLogTag& tag, const Record& ctrl) {
    // Sent records are built here and always terminated.
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_out_dir\t\t= %s", ctrl.m_out_dir);
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_back_dir\t\t= %s", ctrl.m_back_dir);
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_file_path\t\t= %s", ctrl.m_file_path);
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_srv_address\t= %s", ctrl.m_srv_address);
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_srv_port\t\t= %d",
                static_cast<int>(ctrl.m_srv_port));
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_use_ssl\t\t= %d", static_cast<int>(ctrl.m_use_ssl));
    log_message(LOG_LEVEL_TRACE, &tag, "ctrl.m_sub_dirs\t\t= %d",
                static_cast<int>(ctrl.m_sub_dirs));
}

void CQKCtrlClnSTraits::traceApplied(const QKLogTag& tag, const Params& params) {
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_out_dir\t\t= %s", params.m_out_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_back_dir\t= %s", params.m_back_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_file_path\t= %s", params.m_file_path.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_srv_address\t= %s", params.m_srv_address.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_srv_port\t= %d",
                static_cast<int>(params.m_srv_port));
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_use_ssl\t\t= %d",
                static_cast<int>(params.m_use_ssl));
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_sub_dirs\t= %d",
                static_cast<int>(params.m_sub_dirs));
}

void CQKCtrlClnSTraits::traceSignKeys(const QKLogTag& tag, const std::string& cert_fpath,
                                      const std::string& key_fpath) {
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_cert_fpath\t= %s", cert_fpath.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_key_fpath\t= %s", key_fpath.c_str());
}

void CQKCtrlClnSTraits::traceVerifyCert(const QKLogTag& tag, const std::string& cert_fpath) {
    log_message(LOG_LEVEL_TRACE, &tag, "params.m_common_gui_cert_fpath\t= %s", cert_fpath.c_str());
}
