// The "Common Settings" page: the control program's own settings (the two control ports and
// two flags of SQKGuiParams).
#pragma once

#include "CQKTabDlg.h"

class CQKSettingsDlg : public CQKTabDlg {
    Q_OBJECT
public:
    explicit CQKSettingsDlg(CQKTabCtrl* tab_ctrl);

    // Only the two ports and the two flags of the payload are filled.
    bool DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) override;
    void CtrlToDlg(const SQKGuiParams& params);

private:
    QLineEdit* m_client_control_port;
    QLineEdit* m_server_control_port;
    QCheckBox* m_run_when_win_starts;
    QCheckBox* m_start_mimimized;
};
