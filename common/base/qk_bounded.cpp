// Bounded memory and string routines.
//
// Every routine runs its checks in a fixed order, calls the handler of its slot
// with "<routine>: <message>" and the error number on the first failed check, and returns
// that number. Only qk_memcpy_s clears its destination on failure (after its first three
// checks); the string routines leave whatever they had already copied.
#include "base/qk_bounded.h"

#include <atomic>
#include <cstring>
#include <functional>

#include "base/qk_console.h"

namespace {

// The two handler slots. They start out holding the default handler, so a slot is never
// empty; a null read is still treated as the default to be safe.
std::atomic<qk_constraint_handler_t> g_mem_handler{&qk_ignore_handler_s};
std::atomic<qk_constraint_handler_t> g_str_handler{&qk_ignore_handler_s};

qk_errno_t raise(std::atomic<qk_constraint_handler_t>& slot, const char* msg, qk_errno_t error) {
    qk_constraint_handler_t handler = slot.load(std::memory_order_acquire);
    if (handler == nullptr)
        handler = &qk_ignore_handler_s;
    handler(msg, nullptr, error);
    return error;
}

qk_errno_t mem_error(const char* msg, qk_errno_t error) {
    return raise(g_mem_handler, msg, error);
}
qk_errno_t str_error(const char* msg, qk_errno_t error) {
    return raise(g_str_handler, msg, error);
}

// "a lies below b" for pointers that may point into unrelated objects: std::less gives a
// total order where the built-in < would be unspecified.
template <typename T>
bool lies_below(const T* a, const T* b) {
    return std::less<const T*>()(a, b);
}

// The message texts of one string routine. The scan-phase overlap message of strncat keeps
// its historical "_s" prefix, which handlers may match on.
struct CopyMessages {
    const char* overlap;
    const char* no_space;
};

// The copy step of qk_strncpy_s_a, shared by strncpy and the append of
// strncat. Copies unit by unit while dmax lasts, checking for overlap before every unit
// (including the terminator written after slen units). Overlap is detected only by
// comparing positions, never by looking past the buffers: when the destination object lies
// below src, the moving write position reaching the start of src is overlap; otherwise the
// moving read position reaching the start of the destination object (dest_start, which for
// strncat is the start of the string appended to, not its end) is overlap. Nothing outside
// dest[0, dmax) is written and no unit of src past the last one needed is read. On "not
// enough space" the units copied stay in dest, unterminated.
template <typename CharT>
qk_errno_t copy_bounded(CharT* dest, std::size_t dmax, const CharT* src, std::size_t slen,
                        const CharT* dest_start, const CopyMessages& messages) {
    const bool dest_below_src = lies_below<CharT>(dest_start, src);
    const CharT* const src_start = src;
    while (dmax > 0) {
        const bool overlap = dest_below_src ? dest == src_start : src == dest_start;
        if (overlap)
            return str_error(messages.overlap, QK_ESOVRLP);
        if (slen == 0) {
            *dest = CharT(0);
            return QK_EOK;
        }
        *dest = *src;
        if (*dest == CharT(0))
            return QK_EOK;
        --dmax;
        --slen;
        ++dest;
        ++src;
    }
    return str_error(messages.no_space, QK_ESNOSPC);
}

struct StrncpyMessages {
    const char* dest_null;
    const char* dmax_zero;
    const char* dmax_max;
    const char* src_null;
    const char* slen_zero;
    const char* slen_max;
    CopyMessages copy;
};

template <typename CharT>
qk_errno_t strncpy_bounded(CharT* dest, std::size_t dmax, const CharT* src, std::size_t slen,
                           const StrncpyMessages& m) {
    if (dest == nullptr)
        return str_error(m.dest_null, QK_ESNULLP);
    if (dmax == 0)
        return str_error(m.dmax_zero, QK_ESZEROL);
    if (dmax > QK_RSIZE_MAX_STR)
        return str_error(m.dmax_max, QK_ESLEMAX);
    if (src == nullptr)
        return str_error(m.src_null, QK_ESNULLP);
    if (slen == 0)
        return str_error(m.slen_zero, QK_ESZEROL);
    if (slen > QK_RSIZE_MAX_STR)
        return str_error(m.slen_max, QK_ESLEMAX);
    return copy_bounded(dest, dmax, src, slen, dest, m.copy);
}

template <typename CharT>
std::size_t strnlen_bounded(const CharT* str, std::size_t dmax, const char* dmax_zero,
                            const char* dmax_max) {
    if (str == nullptr)
        return 0;
    if (dmax == 0) {
        str_error(dmax_zero, QK_ESZEROL);
        return 0;
    }
    if (dmax > QK_RSIZE_MAX_STR) {
        str_error(dmax_max, QK_ESLEMAX);
        return 0;
    }
    std::size_t count = 0;
    while (count < dmax && str[count] != CharT(0))
        ++count;
    return count;
}

}  // namespace

void qk_ignore_handler_s(const char* msg, void* /*ptr*/, qk_errno_t error) {
    qk_print_message("IGNORE CONSTRAINT HANDLER: (%u) %s", static_cast<unsigned>(error),
                     msg != nullptr ? msg : "Null message");
}

qk_constraint_handler_t qk_set_mem_constraint_handler(qk_constraint_handler_t handler) {
    return g_mem_handler.exchange(handler != nullptr ? handler : &qk_ignore_handler_s,
                                  std::memory_order_acq_rel);
}

qk_constraint_handler_t qk_set_str_constraint_handler(qk_constraint_handler_t handler) {
    return g_str_handler.exchange(handler != nullptr ? handler : &qk_ignore_handler_s,
                                  std::memory_order_acq_rel);
}

qk_errno_t qk_memcpy_s(void* dest, std::size_t dmax, const void* src, std::size_t smax) {
    if (dest == nullptr)
        return mem_error("qk_memcpy_s: dest is NULL", QK_ESNULLP);
    if (dmax == 0)
        return mem_error("qk_memcpy_s: dmax is 0", QK_ESZEROL);
    if (dmax > QK_RSIZE_MAX_MEM)
        return mem_error("qk_memcpy_s: dmax exceeds max", QK_ESLEMAX);

    // From here on every failure clears all dmax bytes of dest first.
    auto fail = [dest, dmax](const char* msg, qk_errno_t error) {
        std::memset(dest, 0, dmax);
        return mem_error(msg, error);
    };
    if (smax == 0)
        return fail("qk_memcpy_s: smax is 0", QK_ESZEROL);
    if (smax > dmax)
        return fail("qk_memcpy_s: smax exceeds dmax", QK_ESLEMAX);
    if (src == nullptr)
        return fail("qk_memcpy_s: src is NULL", QK_ESNULLP);

    // The ranges [dest, dest + dmax) and [src, src + smax) intersect. Computed on the
    // addresses as differences, so nothing is dereferenced and no end address overflows.
    const auto d = reinterpret_cast<std::uintptr_t>(dest);
    const auto s = reinterpret_cast<std::uintptr_t>(src);
    const bool overlap = d >= s ? (d - s) < smax : (s - d) < dmax;
    if (overlap)
        return fail("qk_memcpy_s: overlap undefined", QK_ESOVRLP);

    std::memmove(dest, src, smax);
    return QK_EOK;
}

qk_errno_t qk_memset_s(void* dest, std::size_t len, std::uint32_t value) {
    if (dest == nullptr)
        return mem_error("qk_memset_s: dest is null", QK_ESNULLP);
    if (len == 0)
        return mem_error("qk_memset_s: len is 0", QK_ESZEROL);
    if (len > QK_RSIZE_MAX_MEM)
        return mem_error("qk_memset_s: len exceeds max", QK_ESLEMAX);
    std::memset(dest, static_cast<int>(value & 0xFFu), len);
    return QK_EOK;
}

qk_errno_t qk_strncpy_s_a(char* dest, std::size_t dmax, const char* src, std::size_t slen) {
    static const StrncpyMessages messages = {
        "qk_strncpy_s_a: dest is null",
        "qk_strncpy_s_a: dmax is 0",
        "qk_strncpy_s_a: dmax exceeds max",
        "qk_strncpy_s_a: src is null",
        "qk_strncpy_s_a: slen is zero",
        "qk_strncpy_s_a: slen exceeds max",
        {"qk_strncpy_s_a: overlapping objects", "qk_strncpy_s_a: not enough space for src"},
    };
    return strncpy_bounded(dest, dmax, src, slen, messages);
}

std::size_t qk_strnlen_s_a(const char* str, std::size_t dmax) {
    return strnlen_bounded(str, dmax, "qk_strnlen_s_a: dmax is 0",
                           "qk_strnlen_s_a: dmax exceeds max");
}

qk_errno_t qk_strncpy_s_w(char16_t* dest, std::size_t dmax, const char16_t* src, std::size_t slen) {
    static const StrncpyMessages messages = {
        "qk_strncpy_s_w: dest is null",
        "qk_strncpy_s_w: dmax is 0",
        "qk_strncpy_s_w: dmax exceeds max",
        "qk_strncpy_s_w: src is null",
        "qk_strncpy_s_w: slen is zero",
        "qk_strncpy_s_w: slen exceeds max",
        {"qk_strncpy_s_w: overlapping objects", "qk_strncpy_s_w: not enough space for src"},
    };
    return strncpy_bounded(dest, dmax, src, slen, messages);
}

qk_errno_t qk_strncat_s_w(char16_t* dest, std::size_t dmax, const char16_t* src, std::size_t slen) {
    if (dest == nullptr)
        return str_error("qk_strncat_s_w: dest is null", QK_ESNULLP);
    if (src == nullptr)
        return str_error("qk_strncat_s_w: src is null", QK_ESNULLP);
    if (slen > QK_RSIZE_MAX_STR)
        return str_error("qk_strncat_s_w: slen exceeds max", QK_ESLEMAX);
    if (dmax == 0)
        return str_error("qk_strncat_s_w: dmax is 0", QK_ESZEROL);
    if (dmax > QK_RSIZE_MAX_STR)
        return str_error("qk_strncat_s_w: dmax exceeds max", QK_ESLEMAX);

    // Find the end of dest within dmax. When dest lies below src the scan must not run into
    // src; that overlap carries the historical "_s" prefix. Only dest[0, dmax) is read.
    char16_t* const dest_start = dest;
    const bool dest_below_src = lies_below<char16_t>(dest, src);
    while (*dest != u'\0') {
        if (dest_below_src && dest == src)
            return str_error("qk_strncat_s_w_s: overlapping objects", QK_ESOVRLP);
        ++dest;
        --dmax;
        if (dmax == 0)
            return str_error("qk_strncat_s_w: dest unterminated", QK_ESUNTERM);
    }

    // Append into the room left. An slen of 0 just rewrites the terminator found above.
    static const CopyMessages messages = {"qk_strncat_s_w: overlapping objects",
                                          "qk_strncat_s_w: not enough space for src"};
    return copy_bounded(dest, dmax, src, slen, dest_start, messages);
}

std::size_t qk_strnlen_s_w(const char16_t* str, std::size_t dmax) {
    return strnlen_bounded(str, dmax, "qk_strnlen_s_w: dmax is 0",
                           "qk_strnlen_s_w: dmax exceeds max");
}

qk_errno_t qk_strncmp_s_w(const char16_t* dest, std::size_t dmax, const char16_t* src,
                          int* indicator) {
    if (indicator == nullptr)
        return str_error("qk_strncmp_s_w: indicator is null", QK_ESNULLP);
    *indicator = 0;
    if (dest == nullptr)
        return str_error("qk_strncmp_s_w: dest is null", QK_ESNULLP);
    if (src == nullptr)
        return str_error("qk_strncmp_s_w: src is null", QK_ESNULLP);
    if (dmax == 0)
        return str_error("qk_strncmp_s_w: dmax is 0", QK_ESZEROL);
    if (dmax > QK_RSIZE_MAX_STR)
        return str_error("qk_strncmp_s_w: dmax exceeds max", QK_ESLEMAX);

    // Walk while both units are non-zero and equal. Stopping at a difference or at a
    // terminator, the indicator is the difference of the two units there. When dmax runs
    // out first the strings are equal within dmax and the indicator stays 0: the units at
    // position dmax lie outside the bound and are not read.
    for (std::size_t i = 0; i < dmax; ++i) {
        const char16_t d = dest[i];
        const char16_t s = src[i];
        if (d == u'\0' || s == u'\0' || d != s) {
            *indicator = static_cast<int>(d) - static_cast<int>(s);
            break;
        }
    }
    return QK_EOK;
}
