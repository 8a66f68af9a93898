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
// Both slots hold the default handler from the start, so the result is never null. Meant
// for single-threaded start-up; the slots are atomics, so the routines may read them from
// any thread.
qk_constraint_handler_t qk_set_mem_constraint_handler(qk_constraint_handler_t handler);
qk_constraint_handler_t qk_set_str_constraint_handler(qk_constraint_handler_t handler);

// Copies smax bytes. Once dest, dmax (1..QK_RSIZE_MAX_MEM) are valid, every later failure
// (smax 0, smax > dmax, src null, [dest, dest+dmax) and [src, src+smax) intersecting)
// first fills all dmax bytes of dest with 0.
qk_errno_t qk_memcpy_s(void* dest, std::size_t dmax, const void* src, std::size_t smax);
// Fills len bytes with the low byte of value.
qk_errno_t qk_memset_s(void* dest, std::size_t len, std::uint32_t value);

// Copies at most slen units of src and a terminator into dest[0, dmax). On failure dest is
// not cleared; "not enough space" (QK_ESNOSPC) leaves the dmax copied units unterminated.
// Overlap is found by positions only: with dest below src when the write position reaches
// src, otherwise when the read position reaches dest.
qk_errno_t qk_strncpy_s_a(char* dest, std::size_t dmax, const char* src, std::size_t slen);
// Units before the first terminator, at most dmax. A null str gives 0 without a handler
// call; a bad dmax calls the handler and gives 0.
std::size_t qk_strnlen_s_a(const char* str, std::size_t dmax);

qk_errno_t qk_strncpy_s_w(char16_t* dest, std::size_t dmax, const char16_t* src, std::size_t slen);
// Appends at most slen units of src and a terminator to the string in dest[0, dmax).
// No terminator in dest[0, dmax): QK_ESUNTERM. slen 0 appends nothing. The append checks
// overlap against the start of dest (not the end of its text).
qk_errno_t qk_strncat_s_w(char16_t* dest, std::size_t dmax, const char16_t* src, std::size_t slen);
std::size_t qk_strnlen_s_w(const char16_t* str, std::size_t dmax);
// Compares up to dmax units; result 0 after valid arguments. *indicator is the difference
// (dest unit - src unit, as unsigned 16-bit values) where the walk stopped at a difference
// or a terminator, and 0 when the first dmax units are equal (units at dmax are not read).
qk_errno_t qk_strncmp_s_w(const char16_t* dest, std::size_t dmax, const char16_t* src,
                          int* indicator);
