#include "CQKSettingsDlg.h"

#include <QCheckBox>
#include <QLineEdit>

#include "CQKGuiLog.h"

CQKSettingsDlg::CQKSettingsDlg(CQKTabCtrl* tab_ctrl) : CQKTabDlg(tab_ctrl) {
    m_client_control_port = addEdit(1038, QStringLiteral("Client Control Port:"), 5,
                                    QStringLiteral("Client Control Port"));
    m_server_control_port = addEdit(1037, QStringLiteral("Server Control Port:"), 5,
                                    QStringLiteral("Server Control Port"));
    m_run_when_win_starts = addCheckBox(1039, QStringLiteral("Run When Windows Starts"),
                                        QStringLiteral("Run When Windows Starts"));
    m_start_mimimized =
        addCheckBox(1040, QStringLiteral("Start Minimized"), QStringLiteral("Start Minimized"));
    addButtons(1057, 1058);
}

bool CQKSettingsDlg::DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) {
    // A control port of 0 (or an empty field) turns that service's control port off.
    std::int32_t client_port = 0, server_port = 0;
    BeginChecks();
    bool valid = GetPortNumberFromEdit(m_client_control_port, client_port, true);
    valid = GetPortNumberFromEdit(m_server_control_port, server_port, true) && valid;
    if (!valid)
        return false;
    if (client_port != 0 && client_port == server_port) {
        ShowError(m_server_control_port,
                  QStringLiteral("Port Numbers Should Have Different Values"));
        return false;
    }

    SQKGuiParams params;
    params.client_control_port = client_port;
    params.server_control_port = server_port;
    params.run_when_win_starts = IsChecked(m_run_when_win_starts);
    params.start_mimimized = IsChecked(m_start_mimimized);
    payload = params;
    CQKGuiLog::instance().addLogMessage(
        "GUI Parameters have been updated by values from Common Settings Dialog Controls");
    return true;
}

void CQKSettingsDlg::CtrlToDlg(const SQKGuiParams& params) {
    SetEditText(m_client_control_port, QString::number(params.client_control_port));
    SetEditText(m_server_control_port, QString::number(params.server_control_port));
    SetCheck(m_run_when_win_starts, params.run_when_win_starts != 0);
    SetCheck(m_start_mimimized, params.start_mimimized != 0);
}
