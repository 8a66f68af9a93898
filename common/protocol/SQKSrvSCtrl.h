// The server service's control record: its file listeners' parameters as they travel
// between the control program and the service, as one raw 628-byte image.
//
// Integers are 32-bit little-endian; strings are UTF-8, zero-terminated inside their field,
// and every byte after the terminator is zero. Build a record zero-filled, padding included
// (std::memset), then fill it with qk_ctrl_set_string (protocol/qk_ctrl_sign.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

struct SQKSrvSCtrl {
    unsigned char m_sign[90];  // DER signature in the first m_sign_size bytes, then zeros
                               // 90: 2 padding bytes
    std::int32_t m_sign_size;
    char m_in_dir[261];    // incoming directory
    char m_back_dir[261];  // backup directory, may be empty
                           // 618: 2 padding bytes
    std::int32_t m_port;
    std::int32_t m_ssl_port;
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record is sent as its raw image");
static_assert(std::is_trivially_copyable<SQKSrvSCtrl>::value &&
                  std::is_standard_layout<SQKSrvSCtrl>::value,
              "the record is copied as bytes");
static_assert(offsetof(SQKSrvSCtrl, m_sign) == 0 && sizeof(SQKSrvSCtrl::m_sign) == 90, "");
static_assert(offsetof(SQKSrvSCtrl, m_sign_size) == 92 && sizeof(SQKSrvSCtrl::m_sign_size) == 4,
              "");
static_assert(offsetof(SQKSrvSCtrl, m_in_dir) == 96 && sizeof(SQKSrvSCtrl::m_in_dir) == 261, "");
static_assert(offsetof(SQKSrvSCtrl, m_back_dir) == 357 && sizeof(SQKSrvSCtrl::m_back_dir) == 261,
              "");
static_assert(offsetof(SQKSrvSCtrl, m_port) == 620 && sizeof(SQKSrvSCtrl::m_port) == 4, "");
static_assert(offsetof(SQKSrvSCtrl, m_ssl_port) == 624 && sizeof(SQKSrvSCtrl::m_ssl_port) == 4, "");
static_assert(sizeof(SQKSrvSCtrl) == 628, "");
