// The About box of the control program: the program's icon, the product's display name, the
// program's name, the version, the maker and the maker's notice; "OK" closes it. Modal.
#pragma once

#include <QDialog>

class CQKAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CQKAboutDlg(QWidget* parent = nullptr);
};
