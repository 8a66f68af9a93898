// A peer sent to the wrong one of a receiver's two ports, recognised by the first bytes it
// sends, and the answer that makes it fail at once instead of waiting out its time limits.
//
// Which side speaks first: a TLS client opens with a handshake record (0x16, then version
// 0x03 0x0X); a plain sender that offers files in flight opens with its offer (0x10) right
// after the connect, and a plain receiver greets at the accept (0x00). No frame code and no
// status is 0x15 or 0x16, so neither port can take a right peer for a wrong one.
//
// - Plain port, first bytes a TLS handshake: the receiver answers with a TLS alert record
//   after its greeting. The client's TLS layer reads the greeting as the start of a record
//   whose version is not TLS and fails with "wrong version number".
// - TLS port, first byte not a handshake record (or nothing within the handshake's limit: a
//   plain sender waiting for its greeting): the receiver answers with the same alert record
//   in plain bytes. A plain sender reads its first byte, 0x15, where the greeting is due.
//
// Both are said by the receiver once per connection at WARN and counted in
// qk_relay_receiver_refused_connections_total{reason="wrong_port"}.
#pragma once

#include <Poco/Net/NetException.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Thrown by a sender that found itself at the wrong port; code() is 1 when it spoke TLS. No
// attempt after it can succeed.
POCO_DECLARE_EXCEPTION(, WrongPortException, Poco::Net::NetException)

// A fatal TLS alert (protocol_version) as one TLS 1.2 record.
constexpr std::uint8_t QK_TLS_ALERT_RECORD[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46};

// Whether the first bytes of a connection begin a TLS handshake record; at least one byte.
bool qk_begins_tls_handshake(const std::uint8_t* data, std::size_t length);

// Whether byte, received where a plain receiver's greeting is due, begins a TLS record: the
// sender reached a TLS port.
inline bool qk_is_tls_answer(std::uint8_t byte) {
    return byte == QK_TLS_ALERT_RECORD[0];
}

// Whether the text of a failed TLS handshake says that the server did not speak TLS.
bool qk_is_not_tls_failure(const std::string& text);

// The receiver's line for a peer at the wrong port. secure: the connection came to the TLS
// port; other_port: the listener's counterpart, 0 when none runs.
std::string qk_wrong_port_line(const std::string& peer, bool secure, int port, int other_port);

// The sender's line. secure: the sender speaks TLS; tls_switch: how its user asks for TLS,
// an option ("--use_ssl") or a configuration key ("use_ssl").
std::string qk_wrong_port_error(const std::string& receiver, bool secure,
                                const std::string& tls_switch);
