// qk_relay_w: the desktop control program of the QK Relay services.
#include <QApplication>

#include "CQKTabCtrl.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CQKTabCtrl tabs;
    tabs.create();
    tabs.show();
    return application.exec();
}
