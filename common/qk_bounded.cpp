// STUB: replaced by the real bounded routines.
#include "qk_bounded.h"

#include <cstring>

void qk_ignore_handler_s(const char*, void*, qk_errno_t) {}
qk_constraint_handler_t qk_set_mem_constraint_handler(qk_constraint_handler_t) { return nullptr; }
qk_constraint_handler_t qk_set_str_constraint_handler(qk_constraint_handler_t) { return nullptr; }
qk_errno_t qk_memcpy_s(void* dest, std::size_t, const void* src, std::size_t smax) {
    std::memmove(dest, src, smax);
    return 0;
}
qk_errno_t qk_memset_s(void* dest, std::size_t len, std::uint32_t value) {
    std::memset(dest, static_cast<int>(value & 0xFF), len);
    return 0;
}
qk_errno_t qk_strncpy_s_a(char*, std::size_t, const char*, std::size_t) { return 0; }
std::size_t qk_strnlen_s_a(const char* str, std::size_t dmax) { return strnlen(str, dmax); }
qk_errno_t qk_strncpy_s_w(char16_t*, std::size_t, const char16_t*, std::size_t) { return 0; }
qk_errno_t qk_strncat_s_w(char16_t*, std::size_t, const char16_t*, std::size_t) { return 0; }
std::size_t qk_strnlen_s_w(const char16_t*, std::size_t) { return 0; }
qk_errno_t qk_strncmp_s_w(const char16_t*, std::size_t, const char16_t*, int*) { return 0; }
