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
#include <Poco/Util/OptionSet.h>

#include <QApplication>

#include "CQKWApp.h"
#include "app/qk_frame.h"

namespace {

// --help and --version are answered on the console, before a display, key or configuration
// is looked at.
int answer_bare_request(QKBareRequest request) {
    if (!qk_frame_start_console(true))
        return 1;
    if (request == QKBareRequest::version) {
        qk_print_version("qk_relay_w");
        return 0;
    }
    const QKLogTag tag = qk_make_tag("main()");
    qk_print_header_info(tag);
    Poco::Util::OptionSet options;
    options.addOption(qk_help_option());
    options.addOption(qk_version_option());
    qk_display_help(options, "qk_relay_w", tag);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const QKBareRequest request = qk_bare_request(argc, argv);
    if (request != QKBareRequest::none)
        return answer_bare_request(request);
    QApplication application(argc, argv);
    CQKWApp app;
    if (!app.InitInstance())
        return 1;
    CQKWApp::quitOnTermination();
    return app.ExitInstance(QApplication::exec());
}
