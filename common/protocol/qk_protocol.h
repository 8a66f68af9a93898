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
constexpr qk_code_t QK_FILE_SEND_FWINDOW = 0x10;        // frame: files in flight, offered
constexpr qk_code_t QK_FILE_SEND_FRESUME = 0x11;        // frame: the receiver's resume terms
constexpr qk_code_t QK_FILE_SEND_FRHEADER = 0x12;       // frame: a resumable file's header
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

// Files in flight: an extension both sides must have. The sender offers it with the window
// frame as its first frame after the greeting, without waiting for an answer; a receiver
// that has it answers with its own window frame, the first bytes it sends after the
// greeting, and from then on the conversation is windowed (see the README of this folder):
// the sender sends the frames of later files before the statuses of earlier ones arrive,
// and the receiver answers each file with exactly one status, after its finished frame, in
// the order the files came. A receiver without it refuses the unknown code with 0x7F and
// ends the connection; the sender then speaks the classic conversation to it.
//
// Window frame, both ways, QK_WINDOW_FRAME_SIZE bytes: code 0x10, version (1), features
// (16 bits, bit 0: files in flight, bit 1: a kept connection), files (16 bits), keep (16
// bits: seconds an idle connection is kept; zero without bit 1), bytes (64 bits). From the sender:
// the most files and bytes it would keep in flight; from the receiver: the most it takes, which
// bind the sender. A sender keeps at most QK_WINDOW_INITIAL_FILES files in flight until the
// receiver's frame has arrived; every receiver that has the extension takes at least that many.
constexpr std::size_t QK_WINDOW_FRAME_SIZE = 16;
constexpr std::uint8_t QK_WINDOW_VERSION = 1;
constexpr std::uint16_t QK_WINDOW_FEATURE_FILES = 0x0001;
// The sender may leave the connection open and idle between its runs, for at most the keep
// seconds the receiver grants, and send the next files on it without a new handshake; a
// run then ends when its last status has come, without the finished-all frame.
constexpr std::uint16_t QK_WINDOW_FEATURE_KEEP = 0x0002;
// Resume: a file of at least the receiver's smallest resumable size goes with a resumable
// header, and the content the receiver already holds from a cut transfer of the same source
// is not sent again. The receiver that grants it sends its resume terms right after its
// window frame.
constexpr std::uint16_t QK_WINDOW_FEATURE_RESUME = 0x0004;
constexpr std::uint16_t QK_WINDOW_INITIAL_FILES = 16;

struct QKWindowFrame {
    std::uint8_t version = QK_WINDOW_VERSION;
    std::uint16_t features = QK_WINDOW_FEATURE_FILES;
    std::uint16_t files = 0;
    std::uint16_t keep = 0;  // seconds, with QK_WINDOW_FEATURE_KEEP
    std::uint64_t bytes = 0;
};

// Writes the frame (QK_WINDOW_FRAME_SIZE bytes, code included) into out.
void qk_build_window(std::uint8_t* out, const QKWindowFrame& frame);
// Reads a frame of length bytes (code included). False when it is not a window frame of
// the right size, or offers no files in flight or no bytes.
bool qk_read_window(const std::uint8_t* in, std::size_t length, QKWindowFrame& frame);

// Resume terms, receiver to sender, QK_RESUME_TERMS_SIZE bytes, right after its window frame
// when it grants QK_WINDOW_FEATURE_RESUME: code 0x11, version (1), six reserved bytes, and
// at offset 8 the smallest file size (64 bits, >= 1) it keeps partial content of.
constexpr std::size_t QK_RESUME_TERMS_SIZE = 16;
void qk_build_resume_terms(std::uint8_t* out, std::uint64_t min_size);
// False when it is not a terms frame of the right size, or names no size.
bool qk_read_resume_terms(const std::uint8_t* in, std::size_t length, std::uint64_t& min_size);

// Resumable header, sender to receiver: code 0x12, the source's tag (QK_SOURCE_TAG_SIZE
// bytes, which change whenever the source may have: its machine, device, inode, size,
// modification and change times), then the header record as in a header frame. The receiver
// answers at once, ahead of any status still owed, with its offset frame: code 0x12 and the
// bytes it holds (64 bits); the sender sends the content from there, and the finished frame
// carries the CRC-32 of the whole content. QK_RESUME_SKIP instead of an offset refuses the
// file at its header: no content follows, and its status is 0x7F.
constexpr std::size_t QK_SOURCE_TAG_SIZE = 32;
// The smallest resumable size a receiver may name: a sender waits for the receiver's answer
// to its offer before it sends the first file this big, to know whether it resumes.
constexpr std::uint64_t QK_RESUME_SIZE_FLOOR = 1ull << 20;
constexpr std::size_t QK_RESUMABLE_HEADER_PREFIX = 1 + QK_SOURCE_TAG_SIZE;
constexpr std::size_t QK_RESUME_OFFSET_SIZE = 9;
constexpr std::uint64_t QK_RESUME_SKIP = ~0ull;
void qk_build_resume_offset(std::uint8_t* out, std::uint64_t offset);
std::uint64_t qk_read_resume_offset(const std::uint8_t* in);

// Little-endian helpers for the frames.
void qk_put_u32(std::uint8_t* out, std::uint32_t value);
std::uint32_t qk_get_u32(const std::uint8_t* in);
