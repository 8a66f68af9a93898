// Parsing and matching of source networks.
#include "base/qk_network_list.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/qk_name_filter.h"

namespace {

std::uint32_t host_order(const Poco::Net::IPAddress& address) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, address.addr(), sizeof raw);
    return ntohl(raw);
}

// The mask of a prefix length (0 to 32).
std::uint32_t mask_of(unsigned prefix) {
    return prefix == 0 ? 0u : ~0u << (32 - prefix);
}

// A prefix length written as 1 or 2 decimal digits, 0 to 32; false for anything else.
bool parse_prefix(const std::string& text, unsigned& prefix) {
    if (text.empty() || text.size() > 2)
        return false;
    prefix = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    return prefix <= 32;
}

}  // namespace

std::string CQKNetworkList::assign(const std::string& value) {
    const std::vector<std::string> words = qk_split_list(value);
    if (words.size() > QK_NETWORKS_MAX)
        return "more than " + std::to_string(QK_NETWORKS_MAX) + " networks";
    std::vector<Network> networks;
    for (const std::string& word : words) {
        const std::size_t slash = word.find('/');
        const std::string address_text = word.substr(0, slash);
        unsigned prefix = 32;
        if (slash != std::string::npos && !parse_prefix(word.substr(slash + 1), prefix))
            return word + " has no prefix length of 0 to 32 after its /";
        // Parsed and written back: forms the resolver also takes ("10.1", "0x0a.0.0.1", a
        // leading zero) are refused.
        Poco::Net::IPAddress address;
        if (!Poco::Net::IPAddress::tryParse(address_text, address) ||
            address.family() != Poco::Net::IPAddress::IPv4 || address.toString() != address_text)
            return word + " is not a literal IPv4 address or network such as 192.168.1.0/24";
        const std::uint32_t base = host_order(address);
        const std::uint32_t mask = mask_of(prefix);
        if ((base & ~mask) != 0)
            return word + " has bits set beyond its prefix length";
        networks.push_back({base, mask, prefix});
    }
    m_networks = std::move(networks);
    return "";
}

bool CQKNetworkList::allows(const Poco::Net::IPAddress& address) const {
    if (m_networks.empty())
        return true;
    if (address.family() != Poco::Net::IPAddress::IPv4)
        return false;
    const std::uint32_t value = host_order(address);
    for (const Network& network : m_networks) {
        if ((value & network.mask) == network.base)
            return true;
    }
    return false;
}

std::string CQKNetworkList::text() const {
    std::string text;
    for (const Network& network : m_networks) {
        if (!text.empty())
            text += ' ';
        const std::uint32_t raw = htonl(network.base);
        text += Poco::Net::IPAddress(&raw, sizeof raw).toString() + "/" +
                std::to_string(network.prefix);
    }
    return text;
}
