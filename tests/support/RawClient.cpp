#include "RawClient.h"

#include <Poco/Checksum.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/SocketImpl.h>

#include "protocol/qk_protocol.h"

RawClient::RawClient(std::uint16_t port, const std::string& local_host) {
    if (!local_host.empty())
        m_socket.impl()->bind(Poco::Net::SocketAddress(local_host, 0), false);
    m_socket.connect(Poco::Net::SocketAddress("127.0.0.1", port), Poco::Timespan(5, 0));
    m_socket.setNoDelay(true);
}

void RawClient::send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        sent += m_socket.sendBytes(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    }
}

void RawClient::send(const std::string& bytes) {
    send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

int RawClient::readStatus(const Poco::Timespan& timeout) {
    if (!m_socket.poll(timeout, Poco::Net::Socket::SELECT_READ))
        return kTimedOut;
    std::uint8_t status = 0;
    try {
        if (m_socket.receiveBytes(&status, 1) != 1)
            return kClosed;
    } catch (const Poco::Net::NetException&) {
        return kClosed;
    }
    return status;
}

std::vector<std::uint8_t> RawClient::readBytes(std::size_t n, const Poco::Timespan& timeout) {
    std::vector<std::uint8_t> bytes(n);
    std::size_t got = 0;
    try {
        while (got < n && m_socket.poll(timeout, Poco::Net::Socket::SELECT_READ)) {
            const int r = m_socket.receiveBytes(bytes.data() + got, static_cast<int>(n - got));
            if (r <= 0)
                break;
            got += static_cast<std::size_t>(r);
        }
    } catch (const Poco::Net::NetException&) {
        // A reset ends the bytes like a close.
    }
    bytes.resize(got);
    return bytes;
}

bool RawClient::closedByPeer(const Poco::Timespan& timeout) {
    return readStatus(timeout) == kClosed;
}

void RawClient::close() {
    m_socket.close();
}

std::vector<std::uint8_t> RawClient::headerFrame(const std::string& name,
                                                 const std::string& sub_dir, std::uint64_t size) {
    std::vector<std::uint8_t> frame(QK_BUFFER_SIZE);
    frame[0] = QK_FILE_SEND_FHEADER;
    QKRelayHeader header{size, name, sub_dir};
    frame.resize(1 + qk_build_header(frame.data() + 1, frame.size() - 1, header));
    return frame;
}

std::vector<std::uint8_t> RawClient::finishedFrame(std::uint32_t crc) {
    std::vector<std::uint8_t> frame(QK_FINISHED_FRAME_SIZE);
    frame[0] = QK_SEND_FILE_FFINISHED;
    qk_put_u32(frame.data() + 1, crc);
    return frame;
}

std::vector<std::uint8_t> RawClient::finishedAllFrame() {
    return {QK_SEND_FILE_FFINISHED_ALL};
}

std::uint32_t RawClient::crcOf(const std::string& content) {
    Poco::Checksum crc(Poco::Checksum::TYPE_CRC32);
    if (!content.empty())
        crc.update(content.data(), static_cast<unsigned>(content.size()));
    return crc.checksum();
}

int RawClient::sendFile(const std::string& name, const std::string& sub_dir,
                        const std::string& content) {
    send(headerFrame(name, sub_dir, content.size()));
    int status = readStatus();
    if (status != QK_SEND_FILE_FOK)
        return status;
    if (!content.empty())
        send(content);
    send(finishedFrame(crcOf(content)));
    return readStatus();
}
