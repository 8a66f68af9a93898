// qk_relay_cln: sends the files of one outgoing directory (or one named file) to a receiving
// server, plain or in TLS, and removes each file once the server has acknowledged it.
//
// Usage: qk_relay_cln --send_files --out_dir=DIR [--back_dir=DIR] [--sub_dirs]
//                     --server_address=HOST --server_port=PORT [--use_ssl] [--streams=N]
//                     [--bwlimit=RATE]
//        qk_relay_cln --send_files --file=FILE --server_address=HOST --server_port=PORT ...
// Without a command the help is shown. One instance runs at a time. --streams=N (1 to 16)
// spreads the files of a directory over N connections at once. --bwlimit=RATE caps the bytes
// per second of the whole run (K, M, G suffixes; a daily timetable "08:00,2M 18:00,off").
// On a terminal a progress line shows the file being sent, its bytes, rate and time left.
//
// At the end of a run one summary line (files and bytes sent, refused, left, bytes resumed,
// time and rate) goes to standard output, with --json as one JSON object instead.
// Exit codes: 0 after the help or a run that delivered every file it found; 1 when start-up
// failed (locale, log, configuration, options, conflicting options); 74 for a bad parameter,
// a second instance or another failure inside the run; 69 when the receiver was never
// reached; 75 when it was, yet files stay for another cause than a refusal; 65 when the
// receiver refused files and nothing else went wrong.
// SIGINT, SIGTERM or SIGHUP stops the run within a second: the file on its way stays in
// place (the receiver keeps what it got where resume applies), files already acknowledged
// are removed as usual; the program then ends by that signal. A second signal ends it at
// once.
//
// SECURITY: the command line and the configuration files are trusted only as far as their
// checks go: path values are limited to 260 bytes, the server address must be a dotted IPv4
// address or a host name of the expected form, the port must lie in 1..65535, the streams
// in 1..16. Every byte
// from the server is hostile: statuses are awaited with a time-out and only the expected
// code is accepted; in TLS the server must present a certificate of our CA carrying the
// server's name. A file is removed only after the server has acknowledged it. The files sent
// are read as they are; the outgoing and backup directories must be writable by this user
// only, since whatever lies there is sent and then deleted.
#include "CQKClnAppl.h"
#include "app/CQKConsoleAppl.h"
#include "app/CQKStopSignals.h"
#include "base/qk_console.h"
#include "transfer/CQKSenderStop.h"

int main(int argc, char** argv) {
    qk_ignore_sigpipe();
    CQKStopSignals stop_signals;  // before any thread exists
    stop_signals.start([](int signo) {
        const QKLogTag tag = qk_make_tag("main()");
        log_message(LOG_LEVEL_INFO, &tag, "Stop requested by signal %d", signo);
        CQKClnAppl::noteStopSignal(signo);
        qk_sender_stop().request();
    });
    SQKFrameSettings settings;
    settings.constants = {"orvane",
                          "qk_relay_cln",
                          "log",
                          "keys",
                          "xml",
                          false,  // use_common
                          true,   // portable
                          "cln.zx.orvane.key",
                          "cln.zx.orvane.cert",
                          "ca.zx.orvane.pem"};
    settings.min_level = LOG_LEVEL_DEBUG;
    const int exit_code =
        qk_run_console_frame(argc, argv, settings, [] { return std::make_unique<CQKClnAppl>(); });
    stop_signals.finish();
    return exit_code;
}
