// qk_relay_w: the desktop control program of the QK Relay services. Shows whether the two
// services are registered and running, starts and stops them through qk_relay_ctrl, edits
// their parameters and its own settings, and keeps a pane of recent activity. One instance
// runs per user. Ends when the window is closed, or on SIGTERM, SIGINT, SIGQUIT or SIGHUP.
//
// Exit codes: 0 after a normal end, 1 when the start failed (after an error box).
//
// SECURITY: the parameters read back from the services are signed and verified before they
// are shown; what the user types is validated before it leaves a page. qk_relay_ctrl is the
// file beside this program, run directly with one fixed argument (no shell).
#include <QApplication>

#include "CQKWApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CQKWApp app;
    if (!app.InitInstance())
        return 1;
    CQKWApp::quitOnTermination();
    return app.ExitInstance(QApplication::exec());
}
