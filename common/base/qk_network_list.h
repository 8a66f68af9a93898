// Source networks: IPv4 networks written "a.b.c.d/n" (or a bare address, "/32"), for the
// listeners that let in only peers of the networks an operator lists.
//
// A value holds several networks separated by whitespace and/or commas. Values come from
// configuration files and command lines, so each is checked whole before any of it is
// taken: at most QK_NETWORKS_MAX entries, each a literal IPv4 address as four decimal numbers
// with a prefix length of 0 to 32 and no bits set beyond it (10.1.2.3/8 is refused rather
// than read as 10.0.0.0/8: it is more likely a typing error than a wish). Nothing throws but
// std::bad_alloc.
#pragma once

#include <Poco/Net/IPAddress.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t QK_NETWORKS_MAX = 64;

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
        std::uint32_t base;  // host byte order
        std::uint32_t mask;
        unsigned prefix;
    };
    std::vector<Network> m_networks;
};
