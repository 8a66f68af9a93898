// Source networks: IPv4 networks written "a.b.c.d/n" and IPv6 networks written "fd00::/8"
// (a bare address: the one address), for the listeners that let in only peers of the
// networks an operator lists; and the literal addresses a listener binds.
//
// A value holds several networks separated by whitespace and/or commas. Values come from
// configuration files and command lines, so each is checked whole before any of it is
// taken: at most QK_NETWORKS_MAX entries, each a literal address (qk_parse_ip_literal,
// without brackets) with a prefix length of 0 to 32 (IPv4) or 0 to 128 (IPv6) and no bits
// set beyond it (10.1.2.3/8 is refused rather than read as 10.0.0.0/8: it is more likely a
// typing error than a wish). A peer seen as an IPv4-mapped IPv6 address (::ffff:a.b.c.d, on
// a listener bound to "::") is matched as its IPv4 address. Nothing throws but
// std::bad_alloc.
#pragma once

#include <Poco/Net/IPAddress.h>

#include <cstddef>
#include <string>
#include <vector>

constexpr std::size_t QK_NETWORKS_MAX = 64;

// A literal IPv4 address as four decimal numbers of 0 to 255 (forms the resolver also takes,
// "10.1", "0x0a.0.0.1" or a leading zero, are refused), or a literal IPv6 address, in
// brackets when brackets is true ("[::1]" as well as "::1"). A zone ("fe80::1%eth0") is
// refused: it names an interface, not an address. True and address set when text is one.
bool qk_parse_ip_literal(const std::string& text, Poco::Net::IPAddress& address, bool brackets);
// The IPv4 address of an IPv4-mapped IPv6 address; any other address as it is.
Poco::Net::IPAddress qk_unmapped_address(const Poco::Net::IPAddress& address);

class CQKNetworkList {
public:
    // Takes the networks of value in place of the ones held (none for an empty or blank
    // value). Returns "" when it was taken, else why it was refused; a refused value
    // changes nothing.
    std::string assign(const std::string& value);
    // True when the list is empty (no restriction) or address lies in one of its networks.
    bool allows(const Poco::Net::IPAddress& address) const;

    bool empty() const { return m_networks.empty(); }
    // The networks separated by single spaces, for the logs.
    std::string text() const;

private:
    struct Network {
        Poco::Net::IPAddress base;
        unsigned prefix;
    };
    std::vector<Network> m_networks;
};
