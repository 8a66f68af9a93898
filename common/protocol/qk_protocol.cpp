// Code names, print_code and the header record of the transfer protocol.
#include "protocol/qk_protocol.h"

#include <Poco/Exception.h>

#include <cstring>

#include "base/qk_log.h"

namespace {

void put_u16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t get_u16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

void put_u64(std::uint8_t* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_u64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

// Length of the zero-terminated string at begin if its terminator lies before end.
bool terminated_length(const std::uint8_t* begin, const std::uint8_t* end, std::size_t& length) {
    const void* zero = std::memchr(begin, 0, static_cast<std::size_t>(end - begin));
    if (zero == nullptr)
        return false;
    length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - begin);
    return true;
}

}  // namespace

const char* qk_code_name(qk_code_t code) {
    switch (code) {
        case QK_SEND_FILE_FOK:
            return "QK_SEND_FILE_FOK";
        case QK_FILE_SEND_FHEADER:
            return "QK_FILE_SEND_FHEADER";
        case QK_SEND_FILE_FDATA:
            return "QK_SEND_FILE_FDATA";
        case QK_SEND_FILE_FFINISHED:
            return "QK_SEND_FILE_FFINISHED";
        case QK_SEND_FILE_FFINISHED_ALL:
            return "QK_SEND_FILE_FFINISHED_ALL";
        case QK_FILE_SEND_READ_CONFIG:
            return "QK_FILE_SEND_READ_CONFIG";
        case QK_FILE_SEND_APPLY_CONFIG:
            return "QK_FILE_SEND_APPLY_CONFIG";
        case QK_FILE_SEND_FWINDOW:
            return "QK_FILE_SEND_FWINDOW";
        case QK_FILE_SEND_FRESUME:
            return "QK_FILE_SEND_FRESUME";
        case QK_FILE_SEND_FRHEADER:
            return "QK_FILE_SEND_FRHEADER";
        case QK_FILE_SEND_FNO_STATUS:
            return "QK_FILE_SEND_FNO_STATUS";
        case QK_SEND_FILE_FERROR:
            return "QK_SEND_FILE_FERROR";
        default:
            return "UNKNOWN";
    }
}

void print_code(const qk_code_t* code, std::size_t /*length*/, int level) {
    if (!log_level_enabled(level))
        return;
    QKLogTag tag;
    log_set_tag(&tag, "print_code()");
    if (code == nullptr) {
        log_message(level, &tag, "error of data (NULL)");
        return;
    }
    log_message(level, &tag, "code of data: 0x%02X", *code);
    log_message(level, &tag, "value: %s", qk_code_name(*code));
}

std::size_t qk_build_header(std::uint8_t* buffer, std::size_t capacity,
                            const QKRelayHeader& header) {
    const std::size_t name_size = header.file_name.size() + 1;
    const std::size_t total_size = header.sub_dir.size() + name_size + QK_HEADER_FIXED_SIZE - 1;
    if (total_size > capacity || total_size > 0xFFFF) {
        throw Poco::Exception("Error size of buffer, allocated for QKRelayHeader: buff_size =  " +
                              std::to_string(capacity) +
                              " total_size = " + std::to_string(total_size));
    }
    std::memset(buffer, 0, total_size);
    put_u16(buffer, static_cast<std::uint16_t>(total_size));
    put_u64(buffer + 8, header.file_size);
    put_u16(buffer + 16, static_cast<std::uint16_t>(name_size));
    std::uint8_t* name = buffer + QK_HEADER_NAME_OFFSET;
    std::memcpy(name, header.file_name.data(), header.file_name.size());
    std::memcpy(name + name_size, header.sub_dir.data(), header.sub_dir.size());
    return total_size;
}

bool qk_read_header(const std::uint8_t* record, std::size_t length, QKRelayHeader& header) {
    if (record == nullptr || length < QK_HEADER_NAME_OFFSET)
        return false;
    const std::uint8_t* end = record + length;
    const std::uint8_t* name = record + QK_HEADER_NAME_OFFSET;
    const std::size_t name_size = get_u16(record + 16);
    if (name_size == 0 || name_size > static_cast<std::size_t>(end - name))
        return false;

    std::size_t name_length = 0;
    std::size_t sub_dir_length = 0;
    const std::uint8_t* sub_dir = name + name_size;
    if (!terminated_length(name, sub_dir, name_length))
        return false;
    if (!terminated_length(sub_dir, end, sub_dir_length))
        return false;

    header.file_size = get_u64(record + 8);
    header.file_name.assign(reinterpret_cast<const char*>(name), name_length);
    header.sub_dir.assign(reinterpret_cast<const char*>(sub_dir), sub_dir_length);
    return true;
}

void qk_put_u32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t qk_get_u32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
           (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}

void qk_build_window(std::uint8_t* out, const QKWindowFrame& frame) {
    std::memset(out, 0, QK_WINDOW_FRAME_SIZE);
    out[0] = QK_FILE_SEND_FWINDOW;
    out[1] = frame.version;
    put_u16(out + 2, frame.features);
    put_u16(out + 4, frame.files);
    put_u16(out + 6, frame.keep);
    put_u64(out + 8, frame.bytes);
}

bool qk_read_window(const std::uint8_t* in, std::size_t length, QKWindowFrame& frame) {
    if (length != QK_WINDOW_FRAME_SIZE || in[0] != QK_FILE_SEND_FWINDOW)
        return false;
    frame.version = in[1];
    frame.features = get_u16(in + 2);
    frame.files = get_u16(in + 4);
    frame.keep = get_u16(in + 6);
    frame.bytes = get_u64(in + 8);
    return frame.version >= 1 && (frame.features & QK_WINDOW_FEATURE_FILES) != 0 &&
           frame.files > 0 && frame.bytes > 0;
}

void qk_build_resume_terms(std::uint8_t* out, std::uint64_t min_size) {
    std::memset(out, 0, QK_RESUME_TERMS_SIZE);
    out[0] = QK_FILE_SEND_FRESUME;
    out[1] = 1;
    put_u64(out + 8, min_size);
}

bool qk_read_resume_terms(const std::uint8_t* in, std::size_t length, std::uint64_t& min_size) {
    if (length != QK_RESUME_TERMS_SIZE || in[0] != QK_FILE_SEND_FRESUME || in[1] < 1)
        return false;
    min_size = get_u64(in + 8);
    return min_size > 0;
}

void qk_build_resume_offset(std::uint8_t* out, std::uint64_t offset) {
    out[0] = QK_FILE_SEND_FRHEADER;
    put_u64(out + 1, offset);
}

std::uint64_t qk_read_resume_offset(const std::uint8_t* in) {
    return get_u64(in + 1);
}
