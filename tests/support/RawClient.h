// A raw protocol peer for receiver tests: sends any bytes and reads status bytes, so that
// tests can speak valid, split and malformed frames to a real listener.
#pragma once

#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <cstdint>
#include <string>
#include <vector>

class RawClient {
public:
    static constexpr int kTimedOut = -1;
    static constexpr int kClosed = -2;

    // Connects to 127.0.0.1:port, from local_host when one is given (e.g. "127.0.0.2").
    explicit RawClient(std::uint16_t port, const std::string& local_host = "");

    void send(const std::vector<std::uint8_t>& bytes);
    void send(const std::string& bytes);
    // The default time limits are generous: a busy machine may be slow to answer, and a
    // passing test never waits them out.
    // The next status byte, or kTimedOut / kClosed.
    int readStatus(const Poco::Timespan& timeout = Poco::Timespan(30, 0));
    // Up to n bytes, fewer when the peer closes or nothing arrives within timeout.
    std::vector<std::uint8_t> readBytes(std::size_t n,
                                        const Poco::Timespan& timeout = Poco::Timespan(30, 0));
    // True when the peer has closed the connection (reads end of stream) within timeout.
    bool closedByPeer(const Poco::Timespan& timeout = Poco::Timespan(30, 0));
    void close();

    // Frames of the transfer protocol.
    static std::vector<std::uint8_t> headerFrame(const std::string& name,
                                                 const std::string& sub_dir, std::uint64_t size);
    static std::vector<std::uint8_t> finishedFrame(std::uint32_t crc);
    static std::vector<std::uint8_t> finishedAllFrame();
    static std::uint32_t crcOf(const std::string& content);

    // Greeting, header, content, finished: returns the status of the finished frame (or of
    // the header when that was not 0x00).
    int sendFile(const std::string& name, const std::string& sub_dir, const std::string& content);

private:
    Poco::Net::StreamSocket m_socket;
};
