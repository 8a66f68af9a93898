// One-call readiness waits on sockets.
#include "transfer/qk_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Net/SocketImpl.h>

#include <cerrno>
#include <chrono>

#include "base/qk_log.h"
#include "base/qk_network_list.h"

bool qk_poll_socket(const Poco::Net::Socket& socket, const Poco::Timespan& timeout, int mode) {
    pollfd entry{};
    entry.fd = socket.impl()->sockfd();
    if (mode & Poco::Net::Socket::SELECT_READ)
        entry.events |= POLLIN;
    if (mode & Poco::Net::Socket::SELECT_WRITE)
        entry.events |= POLLOUT;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(timeout.totalMicroseconds());
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // Round up, so that a short positive wait is not turned into a busy loop.
        const int wait_ms = left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
        const int rc = ::poll(&entry, 1, wait_ms);
        if (rc > 0)
            return true;  // requested events, POLLERR or POLLHUP
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return true;  // let the next read or write report the error
    }
}

void qk_bind_listener(Poco::Net::ServerSocket& socket, int port) {
    qk_bind_listener(socket, "0.0.0.0", port);
}

namespace {

// False when this system makes no IPv6 sockets at all (IPv6 left out of the kernel or
// switched off at its boot).
bool ipv6_sockets_exist() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno != EAFNOSUPPORT;
    ::close(fd);
    return true;
}

}  // namespace

void qk_bind_listener(Poco::Net::ServerSocket& socket, const std::string& address, int port) {
    constexpr int kBacklog = 64;
    Poco::Net::IPAddress host;
    if (!qk_parse_ip_literal(address, host, true))
        throw Poco::InvalidArgumentException("Not a listener address: " + address);
    const auto port16 = static_cast<Poco::UInt16>(port);
    if (host.family() == Poco::Net::IPAddress::IPv6 && host.isWildcard() && !ipv6_sockets_exist()) {
        QKLogTag tag = qk_make_tag("qk_bind_listener()");
        log_message(LOG_LEVEL_INFO, &tag,
                    "This system has no IPv6: the listener on [::]:%d takes every IPv4 address "
                    "(0.0.0.0) instead",
                    port);
        host = Poco::Net::IPAddress(Poco::Net::IPAddress::IPv4);
    }
    if (host.family() == Poco::Net::IPAddress::IPv6)
        socket.bind6(Poco::Net::SocketAddress(host, port16), true, false, !host.isWildcard());
    else
        socket.bind(Poco::Net::SocketAddress(host, port16), true, false);
    socket.listen(kBacklog);
    socket.setNoDelay(true);
}

std::string qk_endpoint_text(const std::string& address, int port) {
    Poco::Net::IPAddress host;
    if (!qk_parse_ip_literal(address, host, true))
        return address + ":" + std::to_string(port);
    return Poco::Net::SocketAddress(host, static_cast<Poco::UInt16>(port)).toString();
}
