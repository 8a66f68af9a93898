// The "Client" page: the client service's sending parameters (SQKClnSCtrl).
#pragma once

#include "CQKTabDlg.h"

class CQKClientDlg : public CQKTabDlg {
    Q_OBJECT
public:
    explicit CQKClientDlg(CQKTabCtrl* tab_ctrl);

    bool DlgToCtrl(SQKConfigCodeCtrl::Payload& payload) override;
    // Shows the record; throws Poco::DataFormatException for a string without terminator.
    void CtrlToDlg(const SQKClnSCtrl& ctrl);

private:
    QLineEdit* m_out_dir;
    QLineEdit* m_back_dir;
    QLineEdit* m_file_path;
    QLineEdit* m_srv_address;
    QLineEdit* m_srv_port;
    QCheckBox* m_use_ssl;
    QCheckBox* m_sub_dirs;
};
