// The client service's control record: its sending parameters as they travel between the
// control program and the service, as one raw 1020-byte image.
//
// Integers are 32-bit little-endian; strings are UTF-8, zero-terminated inside their field,
// and every byte after the terminator is zero. Build a record zero-filled, padding included
// (std::memset), then fill it with qk_ctrl_set_string (protocol/qk_ctrl_sign.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

struct SQKClnSCtrl {
    unsigned char m_sign[90];  // DER signature in the first m_sign_size bytes, then zeros
                               // 90: 2 padding bytes
    std::int32_t m_sign_size;
    char m_out_dir[261];      // outgoing directory
    char m_back_dir[261];     // backup directory, may be empty
    char m_file_path[261];    // single file to send, may be empty
    char m_srv_address[129];  // IPv4 address or host name of the receiver
    std::int32_t m_srv_port;
    std::int32_t m_use_ssl;   // 1: TLS, 0: plain
    std::int32_t m_sub_dirs;  // 1: walk sub-directories
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record is sent as its raw image");
static_assert(std::is_trivially_copyable<SQKClnSCtrl>::value &&
                  std::is_standard_layout<SQKClnSCtrl>::value,
              "the record is copied as bytes");
static_assert(offsetof(SQKClnSCtrl, m_sign) == 0 && sizeof(SQKClnSCtrl::m_sign) == 90, "");
static_assert(offsetof(SQKClnSCtrl, m_sign_size) == 92 && sizeof(SQKClnSCtrl::m_sign_size) == 4,
              "");
static_assert(offsetof(SQKClnSCtrl, m_out_dir) == 96 && sizeof(SQKClnSCtrl::m_out_dir) == 261, "");
static_assert(offsetof(SQKClnSCtrl, m_back_dir) == 357 && sizeof(SQKClnSCtrl::m_back_dir) == 261,
              "");
static_assert(offsetof(SQKClnSCtrl, m_file_path) == 618 && sizeof(SQKClnSCtrl::m_file_path) == 261,
              "");
static_assert(offsetof(SQKClnSCtrl, m_srv_address) == 879 &&
                  sizeof(SQKClnSCtrl::m_srv_address) == 129,
              "");
static_assert(offsetof(SQKClnSCtrl, m_srv_port) == 1008 && sizeof(SQKClnSCtrl::m_srv_port) == 4,
              "");
static_assert(offsetof(SQKClnSCtrl, m_use_ssl) == 1012 && sizeof(SQKClnSCtrl::m_use_ssl) == 4, "");
static_assert(offsetof(SQKClnSCtrl, m_sub_dirs) == 1016 && sizeof(SQKClnSCtrl::m_sub_dirs) == 4,
              "");
static_assert(sizeof(SQKClnSCtrl) == 1020, "");
