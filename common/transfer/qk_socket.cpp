// One-call readiness waits on sockets.
#include "transfer/qk_socket.h"

#include <poll.h>

#include <Poco/Net/SocketImpl.h>

#include <cerrno>
#include <chrono>

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

void qk_bind_listener(Poco::Net::ServerSocket& socket, const std::string& address, int port) {
    constexpr int kBacklog = 64;
    socket.bind(
        Poco::Net::SocketAddress(Poco::Net::IPAddress(address), static_cast<Poco::UInt16>(port)),
        true, false);
    socket.listen(kBacklog);
    socket.setNoDelay(true);
}
