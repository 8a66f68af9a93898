// A peer at the wrong port: its first bytes, and the lines said of it.
#include "transfer/qk_wrong_port.h"

#include <typeinfo>

POCO_IMPLEMENT_EXCEPTION(WrongPortException, Poco::Net::NetException, "Wrong Port")

bool qk_begins_tls_handshake(const std::uint8_t* data, std::size_t length) {
    if (length == 0 || data[0] != 0x16)
        return false;
    // Bytes not yet arrived are not held against it: 0x16 is no frame code.
    return length < 2 || (data[1] == 0x03 && (length < 3 || data[2] <= 0x04));
}

bool qk_is_not_tls_failure(const std::string& text) {
    return text.find("wrong version number") != std::string::npos;
}

std::string qk_wrong_port_line(const std::string& peer, bool secure, int port, int other_port) {
    const std::string head = "Connection from " + peer + " to the " + (secure ? "TLS" : "plain") +
                             " port " + std::to_string(port);
    const std::string other = other_port > 0 ? " " + std::to_string(other_port) : "";
    if (secure)
        return head + " spoke without TLS: its sender needs --use_ssl, or the plain port" + other;
    return head + " began a TLS handshake: its sender needs the TLS port" + other +
           ", or to leave out --use_ssl";
}

// An option ("--use_ssl") is given or left out; a configuration key is set to 1 or 0.
std::string qk_wrong_port_error(const std::string& receiver, bool secure,
                                const std::string& tls_switch) {
    const bool option = tls_switch.compare(0, 2, "--") == 0;
    const std::string head = "The receiver at " + receiver;
    if (secure)
        return head + " did not answer with TLS: this looks like its plain port. " +
               (option ? "Leave out " + tls_switch : "Set " + tls_switch + " to 0") +
               ", or use its TLS port";
    return head + " answered with TLS: this is its TLS port. " +
           (option ? "Use " + tls_switch : "Set " + tls_switch + " to 1") + ", or its plain port";
}
