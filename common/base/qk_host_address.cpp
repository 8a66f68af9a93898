// The check of receiver addresses.
#include "base/qk_host_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstddef>

const char* const QK_SERVER_ADDRESS_RULE =
    "It must be a host name such as localhost or relay.example.org, an IPv4 address such as "
    "192.0.2.1, or an IPv6 address such as ::1 or [::1].";

namespace {

constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool is_digits(const std::string& text) {
    if (text.empty())
        return false;
    for (const char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool is_label(const std::string& label) {
    if (label.empty() || label.size() > kMaxLabelLength || label.front() == '-' ||
        label.back() == '-')
        return false;
    for (const char c : label)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
            return false;
    return true;
}

// Four decimal numbers of 0 to 255, without leading zeros.
bool is_ipv4(const std::string& text) {
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos)
            return false;
        const std::string number = text.substr(start, end - start);
        if (!is_digits(number) || number.size() > 3 || (number.size() > 1 && number[0] == '0') ||
            std::stoi(number) > 255)
            return false;
        start = end + 1;
    }
    return true;
}

bool is_ipv6(const std::string& text) {
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

bool is_bracketed(const std::string& value) {
    return value.size() > 2 && value.front() == '[' && value.back() == ']';
}

// Labels separated by dots, an optional final dot; a last label of digits only must belong
// to an IPv4 address.
bool is_host_name(const std::string& value) {
    std::string name = value;
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    std::size_t start = 0;
    std::string label;
    for (;;) {
        const std::size_t end = name.find('.', start);
        label = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!is_label(label))
            return false;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return !is_digits(label) || is_ipv4(value);
}

}  // namespace

bool qk_is_server_address(const std::string& value) {
    // inet_pton would read only up to a NUL.
    if (value.find('\0') != std::string::npos)
        return false;
    if (is_bracketed(value))
        return is_ipv6(value.substr(1, value.size() - 2));
    return is_ipv6(value) || is_host_name(value);
}

std::string qk_server_host(const std::string& value) {
    return is_bracketed(value) ? value.substr(1, value.size() - 2) : value;
}
