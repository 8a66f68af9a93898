// State transitions and frame checks of the receiving side of the transfer protocol.
#include "protocol/CQKFrameReader.h"

#include <algorithm>
#include <cstdio>

#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"

const char* const QK_ERROR_MALFORMED_FILE_FRAME =
    "Error of data, received from Client "
    "(QK_SEND_FILE_FNAME,QK_SEND_FILE_FSUBDIR,QK_SEND_FILE_FSIZE,...)";
const char* const QK_ERROR_MALFORMED_FINISHED_ALL =
    "Error of data, received from Client (QK_SEND_FILE_FSTOP_SERVER,QK_SEND_FILE_FFINISHED_ALL)";

namespace {

[[noreturn]] void throw_unknown_code(qk_code_t code) {
    char text[128];
    std::snprintf(text, sizeof(text), "UNKNOWN value of code: (%02X). Error", code);
    QKLogTag tag;
    log_set_tag(&tag, "QKRelaySrvConnection::receiveData()");
    log_message(LOG_LEVEL_ERROR, &tag, "%s", text);
    throw ReceivingStatusException(text);
}

}  // namespace

bool CQKFrameReader::expectsFrame() const {
    const bool data_due =
        (m_recv_data == QK_FILE_SEND_FHEADER || m_recv_data == QK_SEND_FILE_FDATA) &&
        m_curr_size < m_header.file_size;
    return !data_due;
}

std::size_t CQKFrameReader::readSize(std::size_t capacity) const {
    if (expectsFrame())
        return QK_BUFFER_SIZE;
    const std::uint64_t remaining = m_header.file_size - m_curr_size;
    return static_cast<std::size_t>(std::min<std::uint64_t>(remaining, capacity));
}

std::size_t CQKFrameReader::frameLength(const std::uint8_t* data, std::size_t len,
                                        Framing framing) {
    if (len == 0)
        return 1;
    const bool exact = framing == Framing::Exact;
    std::size_t need = len;
    switch (data[0]) {
        case QK_FILE_SEND_FHEADER:
            need = len < 3 ? 3 : 1 + static_cast<std::size_t>(data[1] | (data[2] << 8));
            break;
        case QK_FILE_SEND_FRHEADER: {
            // Only a windowed sender sends one; from a classic one it is an unknown code.
            constexpr std::size_t at = QK_RESUMABLE_HEADER_PREFIX;
            if (exact)
                need = len < at + 2 ? at + 2
                                    : at + static_cast<std::size_t>(data[at] | (data[at + 1] << 8));
            break;
        }
        case QK_SEND_FILE_FFINISHED:
            need = QK_FINISHED_FRAME_SIZE;
            break;
        case QK_SEND_FILE_FFINISHED_ALL:
            need = 1;
            break;
        case QK_FILE_SEND_FWINDOW:
            need = QK_WINDOW_FRAME_SIZE;
            break;
        default:
            break;
    }
    // A gathered read is one frame whole, however long: what came with it belongs to it.
    return exact ? need : std::max(len, need);
}

CQKFrameReader::Event CQKFrameReader::consume(const std::uint8_t* data, std::size_t len) {
    QKLogTag tag;
    log_set_tag(&tag, "QKRelaySrvConnection::receiveData()");
    log_message(LOG_LEVEL_TRACE, &tag, "m_recv_data (1) = %02X", m_recv_data);
    if (!expectsFrame()) {
        m_recv_data = QK_SEND_FILE_FDATA;
        log_message(LOG_LEVEL_TRACE, &tag, "m_recv_data (2) = %02X", m_recv_data);
        return consumeData(len);
    }
    // After a header of an empty file the finished frame must follow at once.
    const bool finished_due = m_recv_data == QK_FILE_SEND_FHEADER;
    m_recv_data = data[0];
    log_message(LOG_LEVEL_TRACE, &tag, "m_recv_data (2) = %02X", m_recv_data);
    print_code(&m_recv_data, 1, LOG_LEVEL_TRACE);
    if (finished_due && m_recv_data != QK_SEND_FILE_FFINISHED)
        throw_unknown_code(m_recv_data);
    return consumeFrame(data, len);
}

CQKFrameReader::Event CQKFrameReader::consumeFrame(const std::uint8_t* data, std::size_t len) {
    const bool first_frame = m_first_frame;
    m_first_frame = false;
    switch (m_recv_data) {
        case QK_FILE_SEND_FWINDOW:
            // Only as the opening frame: later the conversation's mode is settled.
            if (!first_frame || !qk_read_window(data, len, m_window))
                throw_unknown_code(m_recv_data);
            m_recv_data = QK_FILE_SEND_FNO_STATUS;
            return Event::Window;
        case QK_FILE_SEND_FHEADER:
            if (len == 1 || m_file_in_progress || !qk_read_header(data + 1, len - 1, m_header)) {
                throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
            }
            m_curr_size = 0;
            m_file_in_progress = true;
            m_resumable = false;
            return Event::Header;
        case QK_FILE_SEND_FRHEADER: {
            constexpr std::size_t at = QK_RESUMABLE_HEADER_PREFIX;
            if (!m_resume)
                throw_unknown_code(m_recv_data);
            if (len <= at || m_file_in_progress || !qk_read_header(data + at, len - at, m_header)) {
                throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
            }
            std::copy(data + 1, data + at, m_source_tag);
            m_curr_size = 0;
            m_file_in_progress = true;
            m_resumable = true;
            // The state stays at the header's: its finished frame must follow when no content
            // is due.
            m_recv_data = QK_FILE_SEND_FHEADER;
            return Event::Header;
        }
        case QK_SEND_FILE_FFINISHED:
            if (len < QK_FINISHED_FRAME_SIZE || !m_file_in_progress || !dataComplete()) {
                throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
            }
            m_check_sum = qk_get_u32(data + 1);
            m_file_in_progress = false;
            return Event::Finished;
        case QK_SEND_FILE_FFINISHED_ALL:
            if (len > 1)
                throw ReceivingStatusException(m_finished_all_error);
            if (m_file_in_progress)
                throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
            return Event::FinishedAll;
        case QK_SEND_FILE_FDATA:
            if (len == 1)
                throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
            // A data frame while no content is due carries nothing to write.
            m_recv_data = QK_FILE_SEND_FNO_STATUS;
            return Event::StrayData;
        default:
            throw_unknown_code(m_recv_data);
    }
}

void CQKFrameReader::startContentAt(std::uint64_t offset) {
    m_curr_size = std::min(offset, m_header.file_size);
}

CQKFrameReader::Event CQKFrameReader::consumeData(std::size_t len) {
    m_curr_size += len;
    // A read never takes more than is due (readSize), so the sum cannot pass file_size
    // unless a caller read more than it was told to.
    if (m_curr_size > m_header.file_size)
        throw ReceivingStatusException(QK_ERROR_MALFORMED_FILE_FRAME);
    if (dataComplete())
        m_recv_data = QK_FILE_SEND_FNO_STATUS;
    return Event::Data;
}

bool qk_is_safe_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool qk_normalise_sub_dir(const std::string& sub_dir, std::string& normalised) {
    normalised.clear();
    if (!sub_dir.empty() && (sub_dir[0] == '/' || sub_dir[0] == '\\'))
        return false;
    std::size_t start = 0;
    while (start <= sub_dir.size()) {
        std::size_t end = sub_dir.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = sub_dir.size();
        const std::string component = sub_dir.substr(start, end - start);
        if (component == "..")
            return false;
        if (!component.empty() && component != ".") {
            if (!normalised.empty())
                normalised += '/';
            normalised += component;
        }
        start = end + 1;
    }
    return true;
}
