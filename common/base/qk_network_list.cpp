// Parsing and matching of source networks and listener addresses.
#include "base/qk_network_list.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/qk_name_filter.h"

namespace {

// A prefix length written as 1 to 3 decimal digits, 0 to max; false for anything else.
bool parse_prefix(const std::string& text, unsigned max, unsigned& prefix) {
    if (text.empty() || text.size() > 3)
        return false;
    prefix = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    return prefix <= max;
}

unsigned bits_of(const Poco::Net::IPAddress& address) {
    return address.family() == Poco::Net::IPAddress::IPv4 ? 32 : 128;
}

// True when the first prefix bits of a and b (of one family) agree.
bool same_prefix(const Poco::Net::IPAddress& a, const Poco::Net::IPAddress& b, unsigned prefix) {
    const auto* x = static_cast<const unsigned char*>(a.addr());
    const auto* y = static_cast<const unsigned char*>(b.addr());
    const unsigned whole = prefix / 8;
    if (std::memcmp(x, y, whole) != 0)
        return false;
    const unsigned rest = prefix % 8;
    if (rest == 0)
        return true;
    const unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return (x[whole] & mask) == (y[whole] & mask);
}

// True when no bit beyond prefix is set in address.
bool clear_beyond(const Poco::Net::IPAddress& address, unsigned prefix) {
    const auto* bytes = static_cast<const unsigned char*>(address.addr());
    for (unsigned bit = prefix; bit < bits_of(address); ++bit) {
        if (bytes[bit / 8] & (0x80u >> (bit % 8)))
            return false;
    }
    return true;
}

}  // namespace

bool qk_parse_ip_literal(const std::string& text, Poco::Net::IPAddress& address, bool brackets) {
    std::string bare = text;
    if (brackets && bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    if (bare.empty() || bare.find_first_of("%[] \t") != std::string::npos)
        return false;
    if (bare.find(':') != std::string::npos) {
        // inet_pton itself: Poco's parser takes the all-zero address "::" for a failure.
        in6_addr raw{};
        if (::inet_pton(AF_INET6, bare.c_str(), &raw) != 1)
            return false;
        address = Poco::Net::IPAddress(&raw, sizeof raw);
        return true;
    }
    // IPv4 parsed and written back: the resolver's other forms differ from what is written.
    Poco::Net::IPAddress parsed;
    if (text != bare || !Poco::Net::IPAddress::tryParse(bare, parsed) ||
        parsed.family() != Poco::Net::IPAddress::IPv4 || parsed.toString() != bare)
        return false;
    address = parsed;
    return true;
}

Poco::Net::IPAddress qk_unmapped_address(const Poco::Net::IPAddress& address) {
    if (address.family() != Poco::Net::IPAddress::IPv6 || !address.isIPv4Mapped())
        return address;
    const auto* bytes = static_cast<const unsigned char*>(address.addr());
    return Poco::Net::IPAddress(bytes + 12, 4);
}

std::string CQKNetworkList::assign(const std::string& value) {
    const std::vector<std::string> words = qk_split_list(value);
    if (words.size() > QK_NETWORKS_MAX)
        return "more than " + std::to_string(QK_NETWORKS_MAX) + " networks";
    std::vector<Network> networks;
    for (const std::string& word : words) {
        const std::size_t slash = word.find('/');
        Poco::Net::IPAddress base;
        if (!qk_parse_ip_literal(word.substr(0, slash), base, false))
            return word +
                   " is not a literal IPv4 or IPv6 address or network such as "
                   "192.168.1.0/24 or fd00::/8";
        unsigned prefix = bits_of(base);
        if (slash != std::string::npos &&
            !parse_prefix(word.substr(slash + 1), bits_of(base), prefix))
            return word + " has no prefix length of 0 to " + std::to_string(bits_of(base)) +
                   " after its /";
        if (!clear_beyond(base, prefix))
            return word + " has bits set beyond its prefix length";
        networks.push_back({base, prefix});
    }
    m_networks = std::move(networks);
    return "";
}

bool CQKNetworkList::allows(const Poco::Net::IPAddress& address) const {
    if (m_networks.empty())
        return true;
    const Poco::Net::IPAddress peer = qk_unmapped_address(address);
    for (const Network& network : m_networks) {
        if (peer.family() == network.base.family() &&
            same_prefix(peer, network.base, network.prefix))
            return true;
    }
    return false;
}

std::string CQKNetworkList::text() const {
    std::string text;
    for (const Network& network : m_networks) {
        if (!text.empty())
            text += ' ';
        text += network.base.toString() + "/" + std::to_string(network.prefix);
    }
    return text;
}
