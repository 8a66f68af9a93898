// One control exchange on an accepted socket, the part that both services share: the peer
// check, the registry entry, the greeting, the request byte, the statuses and the handling
// of failures. The record steps (sendConfig, receiveConfig) belong to the service's side.
//
// SECURITY: only a peer at 127.0.0.1 gets a byte; the request must come within the
// listener's request time, every later step moves its whole count within the step time
// limit, in as many pieces as the network splits it into, and the whole exchange ends within
// the listener's exchange time, so a peer that sends a byte now and then holds its thread no
// longer. Every wait ends as soon as the listener stops.
//
// run() executes on one of the listener's server threads. An exception that ends the exchange
// leaves run() for Poco's ErrorHandler, after the connection has left the registry.
#pragma once

#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/qk_protocol.h"

class CQKCtrlListener;
struct QKLogTag;

class CQKCtrlConnection : public Poco::Net::TCPServerConnection {
public:
    // name is the connection's class name, the prefix of its log tags.
    CQKCtrlConnection(const Poco::Net::StreamSocket& socket, CQKCtrlListener& listener,
                      const char* name);
    ~CQKCtrlConnection() override;

    void run() override;
    // Sends m_status.
    virtual void sendStatus();
    // Receives one byte into m_status.
    virtual void receiveStatus();
    // Receives one byte into m_code within the listener's request time.
    virtual void receiveCode();
    // Receives, verifies and applies a record.
    virtual void receiveConfig() = 0;
    // Builds, signs and sends a record.
    virtual void sendConfig() = 0;

    qk_code_t status() const { return m_status; }
    qk_code_t code() const { return m_code; }

    // The peer's address as "host:port" ("(unknown)" when the socket has none).
    std::string peer() const;

protected:
    std::string tag(const char* operation) const;
    const Poco::Timespan& stepTimeout() const;

    // Move size bytes, waiting for the socket before each piece, until all are moved, the
    // peer closes (fewer are returned) or the time limit (by default the step time limit)
    // ends: then m_status becomes 0x7F, timeout_text is logged and thrown as
    // SockWriteStatusException; when the exchange's time ends first, the same with the text
    // "The control exchange took too long". When the listener stops meanwhile, the same with
    // the text "The control listener stops".
    std::size_t sendWhole(const QKLogTag& log_tag, const void* data, std::size_t size,
                          const char* timeout_text);
    std::size_t receiveWhole(const QKLogTag& log_tag, void* data, std::size_t size,
                             const char* timeout_text);
    std::size_t receiveWhole(const QKLogTag& log_tag, void* data, std::size_t size,
                             const char* timeout_text, const Poco::Timespan& limit);
    // Sets m_status to 0x7F, logs text (formatted with value) and throws it as
    // SendingDataException.
    [[noreturn]] void failShortTransfer(const QKLogTag& log_tag, const char* format,
                                        unsigned value);

    qk_code_t m_status = QK_SEND_FILE_FERROR;
    qk_code_t m_code = 0;

private:
    void waitFor(const QKLogTag& log_tag, int mode, const Poco::Timespan& timeout,
                 const char* timeout_text);
    bool isLocalPeer(const QKLogTag& log_tag);
    void exchange(const QKLogTag& log_tag);
    void framedSendStatus(const QKLogTag& log_tag);

    CQKCtrlListener& m_listener;
    const std::string m_name;
    Poco::Timestamp m_exchange_start;  // when the greeting was sent
};
