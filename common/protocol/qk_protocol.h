// The transfer protocol between sender and receiver: code bytes, the file header record,
// the frame limits and the readiness time-out.
//
// The receiver speaks only in one-byte statuses; the sender sends a header frame, the raw
// file content and a finished frame per file, then one finished-all frame. All integers on
// the wire are little-endian.
#pragma once

#include <Poco/Timespan.h>

#include <cstddef>
#include <cstdint>
#include <string>

using qk_code_t = std::uint8_t;

constexpr qk_code_t QK_SEND_FILE_FOK = 0x00;            // status: the step succeeded
constexpr qk_code_t QK_FILE_SEND_FHEADER = 0x01;        // frame: header of one file
constexpr qk_code_t QK_SEND_FILE_FDATA = 0x02;          // state: raw file bytes are due
constexpr qk_code_t QK_SEND_FILE_FFINISHED = 0x03;      // frame: end of a file, with CRC-32
constexpr qk_code_t QK_SEND_FILE_FFINISHED_ALL = 0x04;  // frame: end of the conversation
constexpr qk_code_t QK_FILE_SEND_READ_CONFIG = 0x05;    // control protocol only
constexpr qk_code_t QK_FILE_SEND_APPLY_CONFIG = 0x06;   // control protocol only
constexpr qk_code_t QK_FILE_SEND_FNO_STATUS = 0x0F;     // state: no status owed
constexpr qk_code_t QK_SEND_FILE_FERROR = 0x7F;         // status: the step failed

// Size of every read and send buffer; a header frame (code + record) fits one read.
constexpr std::size_t QK_BUFFER_SIZE = 65536;
// Largest header record, and largest payload of one frame after its code byte.
constexpr std::size_t QK_MAX_RECORD_SIZE = 65535;
// Bytes of a finished frame: code + CRC-32.
constexpr std::size_t QK_FINISHED_FRAME_SIZE = 5;

// Every wait for socket readiness.
const Poco::Timespan QK_READY_TIMEOUT(30, 0);

// The name of a code ("QK_SEND_FILE_FOK", ...), or "UNKNOWN".
const char* qk_code_name(qk_code_t code);

// Logs "code of data: 0x%02X" and "value: <name>" at the given level, or "error of data
// (NULL)" for a null code. The length is not used.
void print_code(const qk_code_t* code, std::size_t length, int level);

// The fields of a file header record.
struct QKRelayHeader {
    std::uint64_t file_size = 0;
    std::string file_name;  // no directory part
    std::string sub_dir;    // relative to the sender's outgoing directory, "\\"-separated
};

// Layout of the record: total_size at 0 (16 bits), file_size at 8 (64 bits), name_size at
// 16 (16 bits), file_name with its terminator at 18, sub_dir with its terminator right
// after it, then six bytes of padding.
constexpr std::size_t QK_HEADER_FIXED_SIZE = 26;
constexpr std::size_t QK_HEADER_NAME_OFFSET = 18;

// Writes the record for header into buffer (capacity bytes, padding zeroed) and returns its
// total size. Throws Poco::Exception "Error size of buffer, allocated for QKRelayHeader:
// buff_size =  <capacity> total_size = <size>" when it does not fit the buffer or 16 bits.
std::size_t qk_build_header(std::uint8_t* buffer, std::size_t capacity,
                            const QKRelayHeader& header);

// Reads a record of length bytes (the bytes after the code byte). Returns false for a
// malformed record: too short for its fixed fields, or a file_name or sub_dir whose
// terminator lies outside its field or outside the record. Reads nothing beyond length.
bool qk_read_header(const std::uint8_t* record, std::size_t length, QKRelayHeader& header);

// Little-endian helpers for the frames.
void qk_put_u32(std::uint8_t* out, std::uint32_t value);
std::uint32_t qk_get_u32(const std::uint8_t* in);
