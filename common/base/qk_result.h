// Result codes of the common system routines.
//
// A code is a bit set over the base 0x1000. Callers test a code with qk_res_is(code, wanted):
// all bits of the wanted code must be set. Never compare a code with zero: a routine that
// combines several steps ORs their codes, so a combined code carrying the bits of
// QK_RES_ERROR is a failure even when other bits are set too.
#pragma once

#include <cstdint>

using qk_res_t = std::uint32_t;

constexpr qk_res_t QK_RES_OK = 0x1001;
constexpr qk_res_t QK_RES_ERROR = 0x1002;
constexpr qk_res_t QK_RES_TRUE = 0x1005;
constexpr qk_res_t QK_RES_FALSE = 0x1009;
// Returned by the log writers when the level lies outside the log's range.
constexpr qk_res_t QK_RES_FILTERED = 0x1011;

inline bool qk_res_is(qk_res_t code, qk_res_t wanted) {
    return (code & wanted) == wanted;
}
