// qk_relay_clnsvc: the sending client as a service. Its scanner looks at the outgoing
// directory (or one named file) again and again and sends what it finds to the receiving
// server; parameters come from its configuration files and from the control program over a
// local control port. Runs until SIGTERM, SIGINT or SIGQUIT, in the foreground from a
// console or detached with --daemon --pidfile=FILE. One instance runs at a time per user.
//
// SECURITY: the TLS sender accepts only a server of our CA with the server name; the
// control listener answers only 127.0.0.1 and applies only records signed by the control
// program; every byte from the receiver is checked against what the protocol allows.
#include "CQKClnSAppl.h"

int main(int argc, char** argv) {
    CQKClnSAppl application;
    return application.run(argc, argv);
}
