// Bounded memory and string routines.
//
// Each routine checks its arguments before it touches memory. A failed check calls the
// constraint handler of the routine's slot (memory or string) with a message and the error
// number, then returns that error number; nothing throws. 0 means success. The `_w`
// routines work on 16-bit units (char16_t); their limits count units.
#pragma once

#include <cstddef>
#include <cstdint>

using qk_errno_t = int;

constexpr qk_errno_t QK_EOK = 0;
constexpr qk_errno_t QK_ESNULLP = 400;   // a required pointer is null
constexpr qk_errno_t QK_ESZEROL = 401;   // a size or length is zero
constexpr qk_errno_t QK_ESLEMAX = 403;   // a size or length exceeds its maximum
constexpr qk_errno_t QK_ESOVRLP = 404;   // source and destination overlap
constexpr qk_errno_t QK_ESNOSPC = 406;   // the destination has no room for the source
constexpr qk_errno_t QK_ESUNTERM = 407;  // the destination has no terminator within its size

constexpr std::size_t QK_RSIZE_MAX_MEM = 0x10000000;  // 256 MiB, inclusive
constexpr std::size_t QK_RSIZE_MAX_STR = 4096;        // characters or units, inclusive

// A handler receives the message (may be null), a context pointer (always null) and the
// error number.
using qk_constraint_handler_t = void (*)(const char* msg, void* ptr, qk_errno_t error);

// The default handler: prints "IGNORE CONSTRAINT HANDLER: (%u) %s" and returns.
void qk_ignore_handler_s(const char* msg, void* ptr, qk_errno_t error);

// Install a handler (null installs the default one); return the previously stored handler.
// Called during single-threaded start-up.
qk_constraint_handler_t qk_set_mem_constraint_handler(qk_constraint_handler_t handler);
qk_constraint_handler_t qk_set_str_constraint_handler(qk_constraint_handler_t handler);

qk_errno_t qk_memcpy_s(void* dest, std::size_t dmax, const void* src, std::size_t smax);
// Fills len bytes with the low byte of value.
qk_errno_t qk_memset_s(void* dest, std::size_t len, std::uint32_t value);

qk_errno_t qk_strncpy_s_a(char* dest, std::size_t dmax, const char* src, std::size_t slen);
std::size_t qk_strnlen_s_a(const char* str, std::size_t dmax);

qk_errno_t qk_strncpy_s_w(char16_t* dest, std::size_t dmax, const char16_t* src,
                          std::size_t slen);
qk_errno_t qk_strncat_s_w(char16_t* dest, std::size_t dmax, const char16_t* src,
                          std::size_t slen);
std::size_t qk_strnlen_s_w(const char16_t* str, std::size_t dmax);
qk_errno_t qk_strncmp_s_w(const char16_t* dest, std::size_t dmax, const char16_t* src,
                          int* indicator);
