#include "CQKServerDlg.h"

#include <QLineEdit>

#include <cstring>

#include "CQKGuiLog.h"
#include "protocol/qk_ctrl_sign.h"

CQKServerDlg::CQKServerDlg(CQKTabCtrl* tab_ctrl) : CQKTabDlg(tab_ctrl) {
    m_in_dir = addEdit(1042, QStringLiteral("Input Directory:"), 260,
                       QStringLiteral("Server Input Directory (Where Input Files Will Be Saved)"),
                       1046, Picker::folder, QStringLiteral("Select Server Input Directory"));
    m_back_dir = addEdit(1043, QStringLiteral("Backups Directory:"), 260,
                         QStringLiteral("Server Backups Directory (Where Files Will Be Backed Up)"),
                         1047, Picker::folder, QStringLiteral("Select Server Backups Directory"));
    m_port =
        addEdit(1044, QStringLiteral("Port:"), 5,
                QStringLiteral(
                    "Server Port (Clients Should Connect To This Port, Using Open Connections)"));
    m_ssl_port = addEdit(1045, QStringLiteral("SSL Port:"), 5,
                         QStringLiteral("Server SSL Port (Clients Should Connect To This Port, "
                                        "Using Secure (SSL) Connections)"));
    addButtons(1055, 1056);
}

bool CQKServerDlg::DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) {
    std::string in_dir, back_dir;
    std::int32_t port = 0, ssl_port = 0;
    BeginChecks();
    bool valid = GetDirPathFromEdit(m_in_dir, in_dir);
    valid = GetDirPathFromEdit(m_back_dir, back_dir) && valid;
    bool ports_valid = GetPortNumberFromEdit(m_port, port, false) && NotControlPort(m_port, port);
    ports_valid = GetPortNumberFromEdit(m_ssl_port, ssl_port, false) &&
                  NotControlPort(m_ssl_port, ssl_port) && ports_valid;
    if (ports_valid && port == ssl_port) {
        ShowError(m_ssl_port, QStringLiteral("Port Numbers Should Have Different Values"));
        return false;
    }
    if (!valid || !ports_valid)
        return false;

    SQKSrvSCtrl ctrl;
    std::memset(&ctrl, 0, sizeof(ctrl));
    qk_ctrl_set_string(ctrl.m_in_dir, in_dir);
    qk_ctrl_set_string(ctrl.m_back_dir, back_dir);
    ctrl.m_port = port;
    ctrl.m_ssl_port = ssl_port;
    payload = ctrl;
    CQKGuiLog::instance().addLogMessage(
        "Server Parameters have been updated by values from Server Dialog Controls");
    return true;
}

void CQKServerDlg::CtrlToDlg(const SQKSrvSCtrl& ctrl) {
    const QString in_dir = QString::fromStdString(qk_ctrl_get_string(ctrl.m_in_dir, "m_in_dir"));
    const QString back_dir =
        QString::fromStdString(qk_ctrl_get_string(ctrl.m_back_dir, "m_back_dir"));
    SetEditText(m_in_dir, in_dir);
    SetEditText(m_back_dir, back_dir);
    SetEditText(m_port, QString::number(ctrl.m_port));
    SetEditText(m_ssl_port, QString::number(ctrl.m_ssl_port));
}
