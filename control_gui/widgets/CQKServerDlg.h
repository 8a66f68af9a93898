// The "Server" page: the server service's listener parameters (SQKSrvSCtrl).
#pragma once

#include "CQKTabDlg.h"

class CQKServerDlg : public CQKTabDlg {
    Q_OBJECT
public:
    explicit CQKServerDlg(CQKTabCtrl* tab_ctrl);

    bool DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) override;
    // Shows the record; throws Poco::DataFormatException for a string without terminator.
    void CtrlToDlg(const SQKSrvSCtrl& ctrl);

private:
    QLineEdit* m_in_dir;
    QLineEdit* m_back_dir;
    QLineEdit* m_port;
    QLineEdit* m_ssl_port;
};
