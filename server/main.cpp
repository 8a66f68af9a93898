// qk_relay_srv: the console receiving server. Started with --start_server, an incoming
// directory, an optional backup directory and two ports, it receives files over a plain and
// a TLS listener until Ctrl+C (SIGINT or SIGTERM), Ctrl+Break (SIGQUIT) or the closing of
// its console (SIGHUP) stops both. One instance runs at a time.
//
// SECURITY: every network byte is hostile. Connections are bounded by the listeners
// (10 running and 64 queued per listener, a time limit on every wait, bounded frames and
// names, received paths confined below the incoming directory); the TLS listener accepts
// only clients whose certificate comes from our CA and carries the client name. The
// command line and the configuration files are trusted as far as the local user is:
// directory arguments are limited to 260 bytes and ports to 1..65535, and the key file
// paths come from the program's own configuration tree.
#include <memory>

#include "CQKSrvAppl.h"
#include "app/CQKConsoleAppl.h"
#include "base/qk_console.h"

int main(int argc, char** argv) {
    qk_ignore_sigpipe();
    SQKFrameSettings settings;
    settings.constants.company = "orvane";
    settings.constants.application = "qk_relay_srv";
    settings.constants.log_dir = "log";
    settings.constants.keys_dir = "keys";
    settings.constants.conf_ext = "xml";
    settings.constants.use_common = false;
    settings.constants.portable = true;
    settings.constants.key_file = "srv.zx.orvane.key";
    settings.constants.cert_file = "srv.zx.orvane.cert";
    settings.constants.ca_file = "ca.zx.orvane.pem";
    return qk_run_console_frame(argc, argv, settings,
                                [] { return std::make_unique<CQKSrvAppl>(); });
}
