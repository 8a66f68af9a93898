// qk_relay_srvsvc: the receiving server as a service. It takes its parameters from its
// configuration files, which its control task re-reads every few seconds, and from the
// control program over a local control port; it receives files on a plain and a TLS
// listener until SIGTERM, SIGINT or SIGQUIT. In the foreground from a console, or detached
// with --daemon --pidfile=FILE. One instance runs at a time per user.
//
// SECURITY: every network byte is hostile; the file listeners and the control listener
// bound and confine what they receive, the TLS listener accepts only clients of our CA with
// the client name, and the control listener answers only 127.0.0.1 and applies only records
// signed by the control program.
#include "CQKSrvSAppl.h"

int main(int argc, char** argv) {
    CQKSrvSAppl application;
    return application.run(argc, argv);
}
