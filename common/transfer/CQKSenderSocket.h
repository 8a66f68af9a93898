// A sender's connection to its receiver: the socket (plain, or TLS with the server's name
// checked), its connect and handshake, and every send and receive with its time limit.
//
// Every wait has a limit, given with the call: a connect, a handshake and a receive wait at
// most that long; a send fails once the receiver has taken nothing for that long, however the
// bytes were split into calls (no call blocks for more than a slice of 200 ms, so that a stop
// is seen). A wait for the greeting or a status that lasts QK_SLOW_ANSWER is said once at
// INFO, naming the receiver (once per connection for what leads to the greeting).
//
// Stop: the socket is enlisted with the process's stop (CQKSenderStop) from its connect to
// its close; the stop shuts it down, which ends every wait at once, and every send and
// connect then throws SendingStoppedException.
//
// Threads: one sender's thread uses the object; the stop reaches it only through the
// shutdown of the descriptor.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How long a wait for the receiver's greeting or a status lasts before it is said at INFO.
constexpr std::chrono::seconds QK_SLOW_ANSWER{5};

class CQKSenderSocket {
public:
    // class_name: the class under which the waits are said to be slow ("CQKTcpCln").
    explicit CQKSenderSocket(const char* class_name) : m_class_name(class_name) {}
    ~CQKSenderSocket() { discard(); }
    CQKSenderSocket(const CQKSenderSocket&) = delete;
    CQKSenderSocket& operator=(const CQKSenderSocket&) = delete;

    // Connects to the first of addresses (not empty) that takes the connection, trying each
    // in turn, each at most timeout ("receiver" names them in the log); then, with TLS on
    // context when given, shakes hands at most timeout (the handshake refuses a server whose
    // certificate does not carry QK_TLS_SERVER_NAME). The socket is kept from the start of
    // the connect, so that close or discard can release it when the connect fails. Switches
    // on TCP_NODELAY. Poco's network exceptions on failure, the last address's when none
    // connects; WrongPortException (code 1) when the handshake finds a server that does not
    // speak TLS; SendingStoppedException once stopped.
    void connect(const std::vector<Poco::Net::SocketAddress>& addresses,
                 const std::string& receiver, const Poco::Net::Context::Ptr& context,
                 const Poco::Timespan& timeout);
    // Shuts down, closes and releases the socket; never throws. Needs a socket.
    void close() noexcept;
    // Releases the socket, if any, without shutting it down first.
    void discard() noexcept;
    bool isOpen() const { return m_socket != nullptr; }
    bool isSecure() const { return m_secure; }

    // The greeting has come: later slow waits are said of statuses.
    void noteGreeted() { m_greeted = true; }
    // Sends until everything is out, drawing on the process's rate limit; returns the bytes
    // sent, fewer when the receiver took nothing for timeout (0 when TLS records gathered for
    // the socket could not leave). Throws when the socket fails.
    std::size_t sendAll(const std::uint8_t* data, std::size_t length,
                        const Poco::Timespan& timeout);
    // Waits at most timeout for the socket to take bytes.
    bool awaitWritable(const Poco::Timespan& timeout);
    // Receives what has come, waiting at most timeout for it: the bytes received, 0 when the
    // receiver closed the connection, -1 when nothing came in time.
    int receive(std::uint8_t* buffer, int size, const Poco::Timespan& timeout);
    // Receives what has come without waiting; -1 when nothing has.
    int receiveArrived(std::uint8_t* buffer, int size);
    // True when bytes, or the end of the stream, wait to be read.
    bool hasArrived();
    // The kernel's smoothed round trip of the connection, into the sender metrics.
    void noteRoundTrip() const;

private:
    // A wait for the receiver: its time limit, and whether it was said to be slow.
    struct SQKWait {
        explicit SQKWait(const Poco::Timespan& timeout);
        std::chrono::steady_clock::time_point start;
        std::chrono::steady_clock::time_point deadline;
        bool said = false;
    };
    bool awaitReady(SQKWait& wait, int mode);
    void noteSlowAnswer(const SQKWait& wait);
    // Creates the socket and connects it to address, at most timeout.
    void connectTo(const Poco::Net::SocketAddress& address, const Poco::Net::Context::Ptr& context,
                   const Poco::Timespan& timeout);
    void awaitConnect(const Poco::Net::SocketAddress& address, const Poco::Timespan& timeout);
    void shakeHands(const Poco::Timespan& timeout);
    std::size_t sendSome(const std::uint8_t* data, std::size_t length);
    bool flushGathered(std::chrono::steady_clock::time_point give_up_at);
    int receiveSome(std::uint8_t* buffer, int size);
    Poco::Net::StreamSocket& socket();

    const char* m_class_name;
    std::unique_ptr<Poco::Net::StreamSocket> m_socket;  // null while no connection exists
    int m_fd = -1;                                      // enlisted for the stop
    bool m_secure = false;                              // m_socket is a TLS socket
    SSL* m_session = nullptr;  // its session once the handshake is done; it gathers records
    std::string m_receiver;    // "address:port", for the log
    bool m_greeted = false;    // the receiver's greeting has come on the open connection
    bool m_slow_said = false;  // the wait for the greeting was said to be slow
};
