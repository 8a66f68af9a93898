// qk_relay_ctrl: starts, stops or reports one service of the operating system and ends,
// without waiting for the service to reach its new state.
//
// Usage: qk_relay_ctrl --start_service=NAME | --stop_service=NAME | --status_service=NAME
// Without a command the help is shown. One instance runs at a time per user.
//
// Exit codes: 0 after a completed command or the help; 74 when the command failed (not
// registered, already running or not running, refused by the service manager, a second
// instance); 1 when start-up failed (locale, log, configuration, options).
//
// SECURITY: the service name comes from the command line and is at most 127 bytes. Under
// systemd it names a unit that systemctl and polkit judge; without systemd only a plain
// program name beside this program is ever run (no "/", not ".."), as this user.
#include "CQKCtrlAppl.h"
#include "app/CQKConsoleAppl.h"

int main(int argc, char** argv) {
    SQKFrameSettings settings;
    settings.constants = {"orvane", "qk_relay_ctrl",
                          "log",    "keys",
                          "xml",
                          false,  // use_common
                          true,   // portable
                          "",     // no TLS files
                          "",       ""};
    settings.min_level = LOG_LEVEL_DEBUG;
    return qk_run_console_frame(argc, argv, settings,
                                [] { return std::make_unique<CQKCtrlAppl>(); });
}
