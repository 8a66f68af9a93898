// What the receiver sends, read one byte at a time out of one buffer.
#include "transfer/CQKStatusReader.h"

#include <Poco/Exception.h>

#include <cstdio>
#include <string>
#include <utility>

#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKSenderSocket.h"
#include "transfer/CQKSenderStop.h"
#include "transfer/qk_wrong_port.h"

namespace {

constexpr const char* QK_NO_STATUS_TEXT = "Error receiving of the status...";

}  // namespace

std::string qk_status_text(qk_code_t status, qk_code_t expected) {
    char text[128];
    std::snprintf(text, sizeof(text),
                  "recv Error... received status = 0x%02X, expected status = 0x%02X", status,
                  expected);
    return text;
}

CQKStatusReader::CQKStatusReader(CQKSenderSocket& socket, const char* class_name,
                                 std::function<void()> on_bytes)
    : m_socket(socket),
      m_class_name(class_name),
      m_on_bytes(std::move(on_bytes)),
      m_buffer(QK_BUFFER_SIZE) {}

std::uint8_t CQKStatusReader::next(const Poco::Timespan& timeout, qk_code_t expected) {
    if (m_begin == m_end) {
        const int received =
            m_socket.receive(m_buffer.data(), static_cast<int>(m_buffer.size()), timeout);
        fill(received, expected);
    }
    return m_buffer[m_begin++];
}

bool CQKStatusReader::nextArrived(std::uint8_t& byte) {
    if (m_begin == m_end) {
        const int received =
            m_socket.receiveArrived(m_buffer.data(), static_cast<int>(m_buffer.size()));
        if (received < 0)
            return false;
        fill(received, QK_SEND_FILE_FOK);
    }
    byte = m_buffer[m_begin++];
    return true;
}

bool CQKStatusReader::peekArrived(std::uint8_t& byte) noexcept {
    try {
        if (m_begin == m_end) {
            const int received =
                m_socket.receiveArrived(m_buffer.data(), static_cast<int>(m_buffer.size()));
            if (received <= 0)
                return false;
            m_begin = 0;
            m_end = static_cast<std::size_t>(received);
        }
        byte = m_buffer[m_begin];
        return true;
    } catch (...) {
        return false;
    }
}

// A time-out (received < 0) or a closed connection (0) fails the take; a stop is no failure
// of the receiver's and is passed on as such.
void CQKStatusReader::fill(int received, qk_code_t expected) {
    if (received > 0) {
        m_begin = 0;
        m_end = static_cast<std::size_t>(received);
        const bool first = std::exchange(m_first, false);
        if (first && !m_socket.isSecure() && qk_is_tls_answer(m_buffer[0]))
            throw WrongPortException("a TLS record where the greeting is due", 0);
        if (m_on_bytes)
            m_on_bytes();
        return;
    }
    qk_sender_stop().check();
    const QKLogTag tag = qk_make_tag((std::string(m_class_name) + "::recvStatus()").c_str());
    if (received < 0) {
        log_message(LOG_LEVEL_ERROR, &tag, "%s", QK_NO_STATUS_TEXT);
        throw SockReadStatusException(QK_NO_STATUS_TEXT);
    }
    // A closed connection delivers no status; it is shown as "no status" (0x0F).
    const std::string text = qk_status_text(QK_FILE_SEND_FNO_STATUS, expected);
    log_message(LOG_LEVEL_ERROR, &tag, "%s", text.c_str());
    throw ReceivingStatusException(text);
}
