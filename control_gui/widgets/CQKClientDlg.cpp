#include "CQKClientDlg.h"

#include <QCheckBox>
#include <QLineEdit>

#include <cstring>

#include "CQKGuiLog.h"
#include "protocol/qk_ctrl_sign.h"

CQKClientDlg::CQKClientDlg(CQKTabCtrl* tab_ctrl) : CQKTabDlg(tab_ctrl) {
    m_out_dir = addEdit(
        1027, QStringLiteral("Output Directory:"), 260,
        QStringLiteral("Client Output Directory (Where Output Files Should be Saved By User)"),
        1028, Picker::folder, QStringLiteral("Select Client Output Directory"));
    m_back_dir = addEdit(
        1029, QStringLiteral("Backups Directory:"), 260,
        QStringLiteral("Client Backups Directory (Where Files Will Be Backed Up (After Copying))"),
        1030, Picker::folder, QStringLiteral("Select Client Backups Directory"));
    m_file_path = addEdit(1031, QStringLiteral("File:"), 260,
                          QStringLiteral("File, That Should Be Sent To Server"), 1032, Picker::file,
                          QStringLiteral("Select File, That Should Be Sent To Server"));
    m_srv_address =
        addEdit(1033, QStringLiteral("Server Address:"), 128, QStringLiteral("Address Of Server"));
    m_srv_port = addEdit(1034, QStringLiteral("Server Port:"), 5, QStringLiteral("Port of Server"));
    m_use_ssl =
        addCheckBox(1035, QStringLiteral("Use SSL"), QStringLiteral("Use Secure (SSL) Connection"));
    m_sub_dirs = addCheckBox(1036, QStringLiteral("Scan Subdirectories"),
                             QStringLiteral("Scan Subdirectories Of Client Output Directory"));
    addButtons(1053, 1054);
}

bool CQKClientDlg::DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) {
    std::string out_dir, back_dir, file_path, address;
    std::int32_t port = 0;
    // Every check runs; the first wrong field shows its tip.
    BeginChecks();
    bool valid = GetDirPathFromEdit(m_out_dir, out_dir);
    valid = GetDirPathFromEdit(m_back_dir, back_dir) && valid;
    valid = GetFilePathFromEdit(m_file_path, file_path) && valid;
    valid = GetAddressFromEdit(m_srv_address, address) && valid;
    valid =
        GetPortNumberFromEdit(m_srv_port, port, false) && NotControlPort(m_srv_port, port) && valid;
    if (!valid)
        return false;

    SQKClnSCtrl ctrl;
    std::memset(&ctrl, 0, sizeof(ctrl));
    qk_ctrl_set_string(ctrl.m_out_dir, out_dir);
    qk_ctrl_set_string(ctrl.m_back_dir, back_dir);
    qk_ctrl_set_string(ctrl.m_file_path, file_path);
    qk_ctrl_set_string(ctrl.m_srv_address, address);
    ctrl.m_srv_port = port;
    ctrl.m_use_ssl = IsChecked(m_use_ssl);
    ctrl.m_sub_dirs = IsChecked(m_sub_dirs);
    payload = ctrl;
    CQKGuiLog::instance().addLogMessage(
        "Client Parameters have been updated by values from Client Dialog Controls");
    return true;
}

void CQKClientDlg::CtrlToDlg(const SQKClnSCtrl& ctrl) {
    const QString out_dir = QString::fromStdString(qk_ctrl_get_string(ctrl.m_out_dir, "m_out_dir"));
    const QString back_dir =
        QString::fromStdString(qk_ctrl_get_string(ctrl.m_back_dir, "m_back_dir"));
    const QString file_path =
        QString::fromStdString(qk_ctrl_get_string(ctrl.m_file_path, "m_file_path"));
    const QString address =
        QString::fromStdString(qk_ctrl_get_string(ctrl.m_srv_address, "m_srv_address"));
    SetEditText(m_out_dir, out_dir);
    SetEditText(m_back_dir, back_dir);
    SetEditText(m_file_path, file_path);
    SetEditText(m_srv_address, address);
    SetEditText(m_srv_port, QString::number(ctrl.m_srv_port));
    SetCheck(m_use_ssl, ctrl.m_use_ssl != 0);
    SetCheck(m_sub_dirs, ctrl.m_sub_dirs != 0);
}
