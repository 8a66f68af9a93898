// Receiver addresses: the values a sender may be told to connect to.
//
// Accepted: a host name DNS may hold (labels of letters, digits and '-', 1 to 63 characters
// each, neither starting nor ending with '-', at most 253 characters in all, an optional
// final dot, any top-level label, a single label such as "localhost" too), a literal IPv4
// address as four decimal numbers of 0 to 255, and a literal IPv6 address, bare or in
// brackets ("::1", "[::1]"). A name whose last label is all digits must be an IPv4 address:
// resolvers would read "10.1" or "010.0.0.1" as addresses of their own choosing, so numbers
// with leading zeros are refused too.
#pragma once

#include <string>

// Says in words what qk_is_server_address accepts, for the message of a refused value.
extern const char* const QK_SERVER_ADDRESS_RULE;

bool qk_is_server_address(const std::string& value);
// The host to resolve: value without the brackets around an IPv6 address.
std::string qk_server_host(const std::string& value);
