// Tests of the bounded memory and string family.
//
// Most cases run on an "arena": one heap block of exactly the given size, with dest and src
// pointing into it (or src pointing at a separate string, or either being null). After the
// call the whole arena is compared, so a case shows both what was written and what was left
// alone (unterminated results, bytes past dmax, sources clobbered before an overlap was
// seen). Exact-size heap blocks let a sanitizer build catch any access past the buffers.
// Every case also states the handler call it expects: the full message and the number, or
// none at all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/qk_bounded.h"

namespace {

// ---------------------------------------------------------------------------------------
// Recording handlers: one per slot, so a case also shows which slot was used.

struct HandlerCall {
    bool null_msg;
    std::string msg;
    bool null_ptr;
    qk_errno_t error;
};

std::vector<HandlerCall> g_mem_calls;
std::vector<HandlerCall> g_str_calls;

HandlerCall make_call(const char* msg, void* ptr, qk_errno_t error) {
    return HandlerCall{msg == nullptr, msg != nullptr ? msg : "", ptr == nullptr, error};
}
void record_mem(const char* msg, void* ptr, qk_errno_t error) {
    g_mem_calls.push_back(make_call(msg, ptr, error));
}
void record_str(const char* msg, void* ptr, qk_errno_t error) {
    g_str_calls.push_back(make_call(msg, ptr, error));
}

// Installs the recording handlers for one test and puts the default handler back after.
class Bounded : public ::testing::Test {
public:
    void SetUp() override {
        g_mem_calls.clear();
        g_str_calls.clear();
        qk_set_mem_constraint_handler(&record_mem);
        qk_set_str_constraint_handler(&record_str);
    }
    void TearDown() override {
        qk_set_mem_constraint_handler(nullptr);
        qk_set_str_constraint_handler(nullptr);
    }

    // Expects exactly one call of the given slot's handler (and none of the other), with
    // this message and number; or, with an empty message, no handler call at all.
    static void expect_handler(bool mem_slot, const std::string& msg, qk_errno_t error) {
        const auto& calls = mem_slot ? g_mem_calls : g_str_calls;
        const auto& other = mem_slot ? g_str_calls : g_mem_calls;
        EXPECT_TRUE(other.empty()) << "handler of the other slot was called";
        if (msg.empty()) {
            EXPECT_TRUE(calls.empty()) << "unexpected handler call: " << calls[0].msg;
            return;
        }
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_FALSE(calls[0].null_msg);
        EXPECT_EQ(calls[0].msg, msg);
        EXPECT_TRUE(calls[0].null_ptr);
        EXPECT_EQ(calls[0].error, error);
    }
    static void expect_str_handler(const std::string& msg, qk_errno_t error) {
        expect_handler(false, msg, error);
    }
    static void expect_mem_handler(const std::string& msg, qk_errno_t error) {
        expect_handler(true, msg, error);
    }
    static void reset_calls() {
        g_mem_calls.clear();
        g_str_calls.clear();
    }
};

// ---------------------------------------------------------------------------------------
// Arenas.

constexpr std::ptrdiff_t kNull = -1;  // the pointer is null
constexpr std::ptrdiff_t kExt = -2;   // src is the case's separate string

// Readable form of a unit sequence: printable ASCII as is, terminators as "\0", anything
// else as \uXXXX; so mismatches in gtest output are legible for both unit types.
template <typename CharT>
std::string show(const std::basic_string<CharT>& s) {
    std::string out;
    for (CharT c : s) {
        const auto u = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<CharT>>(c));
        if (u == 0) {
            out += "\\0";
        } else if (u >= 0x20 && u < 0x7F && u != '\\') {
            out += static_cast<char>(u);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof(buf), "\\u%04X", static_cast<unsigned>(u));
            out += buf;
        }
    }
    return out;
}

template <typename CharT>
class Arena {
public:
    explicit Arena(const std::basic_string<CharT>& initial)
        : m_size(initial.size()), m_data(new CharT[initial.size() > 0 ? initial.size() : 1]) {
        std::copy(initial.begin(), initial.end(), m_data.get());
    }
    CharT* at(std::ptrdiff_t offset) { return offset == kNull ? nullptr : m_data.get() + offset; }
    std::basic_string<CharT> contents() const {
        return std::basic_string<CharT>(m_data.get(), m_size);
    }

private:
    std::size_t m_size;
    std::unique_ptr<CharT[]> m_data;
};

template <typename CharT>
std::basic_string<CharT> repeat(CharT c, std::size_t n) {
    return std::basic_string<CharT>(n, c);
}

// ---------------------------------------------------------------------------------------
// qk_strncpy_s_a / qk_strncpy_s_w

template <typename CharT>
struct CopyCase {
    const char* name;
    std::basic_string<CharT> arena;  // initial contents of the arena
    std::ptrdiff_t dest;             // offset into the arena, or kNull
    std::size_t dmax;
    std::ptrdiff_t src;            // offset into the arena, kNull or kExt
    std::basic_string<CharT> ext;  // src when src == kExt (a terminator is added)
    std::size_t slen;
    qk_errno_t result;
    const char* msg;                 // without the routine's prefix; "" for no handler call
    std::basic_string<CharT> after;  // expected arena contents after the call
};

template <typename CharT, typename Fn>
void run_copy_cases(const std::vector<CopyCase<CharT>>& cases, const char* routine, Fn fn) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(routine) + " / " + c.name);
        Bounded::reset_calls();
        Arena<CharT> arena(c.arena);
        const std::basic_string<CharT> ext = c.ext;  // c_str() stays valid for the call
        const CharT* src = c.src == kExt ? ext.c_str() : arena.at(c.src);
        EXPECT_EQ(fn(arena.at(c.dest), c.dmax, src, c.slen), c.result);
        EXPECT_EQ(show(arena.contents()), show(c.after));
        const std::string msg = *c.msg ? std::string(routine) + ": " + c.msg : std::string();
        Bounded::expect_handler(false, msg, c.result);
    }
}

// The cases of qk_strncpy_s_a, written once for both unit types. `L` turns a narrow literal
// into the unit type's string (ASCII only).
template <typename CharT>
std::basic_string<CharT> L(const char* s, std::size_t n = std::string::npos) {
    std::string narrow = n == std::string::npos ? std::string(s) : std::string(s, n);
    return std::basic_string<CharT>(narrow.begin(), narrow.end());
}

template <typename CharT>
std::vector<CopyCase<CharT>> strncpy_cases() {
    using S = std::basic_string<CharT>;
    const S big = repeat<CharT>('#', 4096);
    S big_after = big;
    big_after.replace(0, 4, L<CharT>("abc", 4));
    S full_after = repeat<CharT>('s', 4095) + S(1, CharT(0));
    const S long_src = repeat<CharT>('s', 4095);
    return {
        // Argument checks, each in its place in the order; nothing is written.
        {"dest null", L<CharT>("####"), kNull, 4, kExt, L<CharT>("abc"), 3, QK_ESNULLP,
         "dest is null", L<CharT>("####")},
        {"dest null beats dmax 0",
         L<CharT>("####"),
         kNull,
         0,
         kNull,
         {},
         0,
         QK_ESNULLP,
         "dest is null",
         L<CharT>("####")},
        {"dmax 0", L<CharT>("####"), 0, 0, kExt, L<CharT>("abc"), 3, QK_ESZEROL, "dmax is 0",
         L<CharT>("####")},
        {"dmax 4097 (checked before src)",
         L<CharT>("####"),
         0,
         4097,
         kNull,
         {},
         0,
         QK_ESLEMAX,
         "dmax exceeds max",
         L<CharT>("####")},
        {"dmax 4096 accepted", big, 0, 4096, kExt, L<CharT>("abc"), 3, QK_EOK, "", big_after},
        {"src null",
         L<CharT>("####"),
         0,
         4,
         kNull,
         {},
         3,
         QK_ESNULLP,
         "src is null",
         L<CharT>("####")},
        {"slen 0", L<CharT>("####"), 0, 4, kExt, L<CharT>("abc"), 0, QK_ESZEROL, "slen is zero",
         L<CharT>("####")},
        {"slen 4097", L<CharT>("####"), 0, 4, kExt, L<CharT>("abc"), 4097, QK_ESLEMAX,
         "slen exceeds max", L<CharT>("####")},
        {"slen 4096 accepted", L<CharT>("####"), 0, 4, kExt, L<CharT>("abc"), 4096, QK_EOK, "",
         L<CharT>("abc", 4)},
        {"4095 units and terminator fill dmax 4096", big, 0, 4096, kExt, long_src, 4096, QK_EOK, "",
         full_after},

        // Copy.
        {"copy stops at the terminator", L<CharT>("########"), 0, 8, kExt, L<CharT>("ab"), 6,
         QK_EOK, "", L<CharT>("ab\0#####", 8)},
        {"slen cuts the source and terminates", L<CharT>("########"), 0, 8, kExt,
         L<CharT>("abcdef"), 3, QK_EOK, "", L<CharT>("abc\0####", 8)},
        {"empty source", L<CharT>("####"), 0, 4, kExt, L<CharT>(""), 5, QK_EOK, "",
         L<CharT>("\0###", 4)},
        {"terminator takes the last unit", L<CharT>("####"), 0, 4, kExt, L<CharT>("abc"), 9, QK_EOK,
         "", L<CharT>("abc", 4)},

        // Not enough space: what was copied stays, unterminated; nothing past dmax changes.
        {"dmax equals source length", L<CharT>("#####"), 0, 4, kExt, L<CharT>("abcd"), 9,
         QK_ESNOSPC, "not enough space for src", L<CharT>("abcd#")},
        {"slen equals dmax leaves no room", L<CharT>("####"), 0, 4, kExt, L<CharT>("abcdefgh"), 4,
         QK_ESNOSPC, "not enough space for src", L<CharT>("abcd")},
        {"longer source than dmax", L<CharT>("####"), 0, 2, kExt, L<CharT>("abcdef"), 6, QK_ESNOSPC,
         "not enough space for src", L<CharT>("ab##")},

        // Overlap, dest below src: the write position runs into src.
        {"dest below src, runs into it",
         L<CharT>("....abcdef\0", 11),
         0,
         8,
         4,
         {},
         8,
         QK_ESOVRLP,
         "overlapping objects",
         L<CharT>("abcdabcdef\0", 11)},
        {"dest below src, terminator would land on src",
         L<CharT>("...abc\0", 7),
         0,
         6,
         3,
         {},
         3,
         QK_ESOVRLP,
         "overlapping objects",
         L<CharT>("abcabc\0", 7)},
        {"dest below src, dmax ends before src",
         L<CharT>("....ab\0", 7),
         0,
         4,
         4,
         {},
         4,
         QK_EOK,
         "",
         L<CharT>("ab\0.ab\0", 7)},
        // Overlap, src below dest: the read position runs into dest.
        {"src below dest, reads into it",
         L<CharT>("abcdefgh", 8),
         3,
         5,
         0,
         {},
         8,
         QK_ESOVRLP,
         "overlapping objects",
         L<CharT>("abcabcgh")},
        {"src below dest, source ends before dest",
         L<CharT>("ab\0#####", 8),
         3,
         5,
         0,
         {},
         8,
         QK_EOK,
         "",
         L<CharT>("ab\0ab\0##", 8)},
        {"same object",
         L<CharT>("abc\0", 4),
         0,
         4,
         0,
         {},
         4,
         QK_ESOVRLP,
         "overlapping objects",
         L<CharT>("abc\0", 4)},
    };
}

TEST_F(Bounded, StrncpyNarrowTable) {
    run_copy_cases(strncpy_cases<char>(), "qk_strncpy_s_a", &qk_strncpy_s_a);
}

TEST_F(Bounded, StrncpyWideTable) {
    run_copy_cases(strncpy_cases<char16_t>(), "qk_strncpy_s_w", &qk_strncpy_s_w);
}

TEST_F(Bounded, StrncpyWideCopiesUnitsAboveAscii) {
    char16_t dest[4] = {u'#', u'#', u'#', u'#'};
    const char16_t src[] = {0x00E9, 0xD83D, 0xDE00, 0};  // é and a surrogate pair
    EXPECT_EQ(qk_strncpy_s_w(dest, 4, src, 3), QK_EOK);
    EXPECT_EQ(std::u16string(dest, 4), std::u16string(src, 4));
    expect_str_handler("", 0);
}

// ---------------------------------------------------------------------------------------
// qk_strncat_s_w

std::vector<CopyCase<char16_t>> strncat_cases() {
    using S = std::u16string;
    const S big = u"ab" + S(1, 0) + repeat<char16_t>('#', 4093);
    S big_after = big;
    big_after.replace(2, 3, S(u"cd\0", 3));
    return {
        // Argument checks in their fixed order: both pointers, then slen, then dmax.
        {"dest null", u"##", kNull, 2, kExt, u"a", 1, QK_ESNULLP, "dest is null", u"##"},
        {"src null", S(u"\0#", 2), 0, 2, kNull, {}, 1, QK_ESNULLP, "src is null", S(u"\0#", 2)},
        {"slen 4097 is checked before dmax", S(u"\0#", 2), 0, 0, kExt, u"a", 4097, QK_ESLEMAX,
         "slen exceeds max", S(u"\0#", 2)},
        {"dmax 0", S(u"\0#", 2), 0, 0, kExt, u"a", 1, QK_ESZEROL, "dmax is 0", S(u"\0#", 2)},
        {"dmax 4097", S(u"\0#", 2), 0, 4097, kExt, u"a", 1, QK_ESLEMAX, "dmax exceeds max",
         S(u"\0#", 2)},
        {"dmax 4096 accepted", big, 0, 4096, kExt, u"cd", 2, QK_EOK, "", big_after},
        {"slen 4096 accepted", S(u"ab\0###", 6), 0, 6, kExt, u"c", 4096, QK_EOK, "",
         S(u"abc\0##", 6)},

        // Append.
        {"append", S(u"ab\0#####", 8), 0, 8, kExt, u"cd", 5, QK_EOK, "", S(u"abcd\0###", 8)},
        {"slen cuts the source", S(u"ab\0#####", 8), 0, 8, kExt, u"cdef", 2, QK_EOK, "",
         S(u"abcd\0###", 8)},
        {"slen 0 appends nothing", S(u"ab\0#", 4), 0, 4, kExt, u"cd", 0, QK_EOK, "",
         S(u"ab\0#", 4)},
        {"onto an empty dest", S(u"\0###", 4), 0, 4, kExt, u"xyz", 3, QK_EOK, "", S(u"xyz\0", 4)},
        {"terminator in the last unit, slen 0", S(u"abc\0", 4), 0, 4, kExt, u"d", 0, QK_EOK, "",
         S(u"abc\0", 4)},

        // Unterminated dest: no terminator in dest[0, dmax); nothing is written.
        {"dest unterminated", u"abcd", 0, 4, kExt, u"x", 1, QK_ESUNTERM, "dest unterminated",
         u"abcd"},
        {"dest unterminated within dmax", S(u"abcd\0", 5), 0, 4, kExt, u"x", 1, QK_ESUNTERM,
         "dest unterminated", S(u"abcd\0", 5)},
        {"dest unterminated, slen 0", u"abcd", 0, 4, kExt, u"x", 0, QK_ESUNTERM,
         "dest unterminated", u"abcd"},

        // Not enough space: appended units stay, unterminated.
        {"no room for the source", S(u"ab\0#", 4), 0, 4, kExt, u"cdef", 4, QK_ESNOSPC,
         "not enough space for src", u"abcd"},
        {"terminator in the last unit, one unit to append", S(u"abc\0", 4), 0, 4, kExt, u"d", 1,
         QK_ESNOSPC, "not enough space for src", u"abcd"},
        {"no room for the terminator", S(u"ab\0#", 4), 0, 4, kExt, u"cd", 2, QK_ESNOSPC,
         "not enough space for src", u"abcd"},

        // Overlap. Found while scanning dest (dest below src): the odd "_s" prefix.
        {"scan of dest runs into src",
         S(u"abcdef\0", 7),
         0,
         7,
         3,
         {},
         3,
         QK_ESOVRLP,
         "\x01qk_strncat_s_w_s: overlapping objects",
         S(u"abcdef\0", 7)},
        // Found while appending.
        {"append runs into src above",
         S(u"ab\0..wxyz\0", 10),
         0,
         10,
         5,
         {},
         4,
         QK_ESOVRLP,
         "overlapping objects",
         S(u"abwxywxyz\0", 10)},
        {"src is the empty string at the end of dest",
         S(u"ab\0#", 4),
         0,
         4,
         2,
         {},
         1,
         QK_ESOVRLP,
         "overlapping objects",
         S(u"ab\0#", 4)},
        {"src below dest reads into dest",
         S(u"xyz\0###", 7),
         3,
         4,
         0,
         {},
         4,
         QK_ESOVRLP,
         "overlapping objects",
         S(u"xyzxyz#", 7)},
        {"src below dest reads into dest's text",
         S(u"abcd\0###", 8),
         2,
         6,
         0,
         {},
         6,
         QK_ESOVRLP,
         "overlapping objects",
         S(u"abcdab##", 8)},
        {"src below dest, ends before it",
         S(u"xy\0ab\0##", 8),
         3,
         5,
         0,
         {},
         4,
         QK_EOK,
         "",
         S(u"xy\0abxy\0", 8)},
    };
}

TEST_F(Bounded, StrncatWideTable) {
    // Messages starting with \x01 are given in full (the "_s" one); the others get the
    // routine's prefix.
    auto cases = strncat_cases();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("qk_strncat_s_w / ") + c.name);
        reset_calls();
        Arena<char16_t> arena(c.arena);
        const std::u16string ext = c.ext;
        const char16_t* src = c.src == kExt ? ext.c_str() : arena.at(c.src);
        EXPECT_EQ(qk_strncat_s_w(arena.at(c.dest), c.dmax, src, c.slen), c.result);
        EXPECT_EQ(show(arena.contents()), show(c.after));
        std::string msg;
        if (c.msg[0] == '\x01')
            msg = c.msg + 1;
        else if (c.msg[0] != '\0')
            msg = std::string("qk_strncat_s_w: ") + c.msg;
        expect_str_handler(msg, c.result);
    }
}

// ---------------------------------------------------------------------------------------
// qk_strnlen_s_a / qk_strnlen_s_w

template <typename CharT>
struct LenCase {
    const char* name;
    std::basic_string<CharT> arena;  // exact-size block; kNull passes a null pointer
    bool null_str;
    std::size_t dmax;
    std::size_t length;
    const char* msg;  // without prefix; "" for no handler call
    qk_errno_t error;
};

template <typename CharT>
std::vector<LenCase<CharT>> strnlen_cases() {
    using S = std::basic_string<CharT>;
    const S long_text = repeat<CharT>('x', 5000);
    const S text_4096 = repeat<CharT>('x', 4096);
    return {
        {"null string: 0, no handler call", {}, true, 10, 0, "", 0},
        {"null string with a bad dmax: still no handler call", {}, true, 0, 0, "", 0},
        {"dmax 0", L<CharT>("abc", 4), false, 0, 0, "dmax is 0", QK_ESZEROL},
        {"dmax 4097", L<CharT>("abc", 4), false, 4097, 0, "dmax exceeds max", QK_ESLEMAX},
        {"dmax 4096 caps a longer text", long_text, false, 4096, 4096, "", 0},
        {"unterminated block of exactly dmax", text_4096, false, 4096, 4096, "", 0},
        {"terminated text", L<CharT>("abc\0##", 6), false, 6, 3, "", 0},
        {"dmax shorter than text", L<CharT>("abc", 3), false, 2, 2, "", 0},
        {"empty text", L<CharT>("\0", 1), false, 1, 0, "", 0},
        {"terminator at dmax is not read", L<CharT>("ab", 2), false, 2, 2, "", 0},
    };
}

template <typename CharT, typename Fn>
void run_len_cases(const std::vector<LenCase<CharT>>& cases, const char* routine, Fn fn) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(routine) + " / " + c.name);
        Bounded::reset_calls();
        Arena<CharT> arena(c.arena);
        EXPECT_EQ(fn(c.null_str ? nullptr : arena.at(0), c.dmax), c.length);
        const std::string msg = *c.msg ? std::string(routine) + ": " + c.msg : std::string();
        Bounded::expect_handler(false, msg, c.error);
    }
}

TEST_F(Bounded, StrnlenNarrowTable) {
    run_len_cases(strnlen_cases<char>(), "qk_strnlen_s_a", &qk_strnlen_s_a);
}

TEST_F(Bounded, StrnlenWideTable) {
    run_len_cases(strnlen_cases<char16_t>(), "qk_strnlen_s_w", &qk_strnlen_s_w);
}

// ---------------------------------------------------------------------------------------
// qk_strncmp_s_w

struct CmpCase {
    const char* name;
    std::u16string dest;  // exact-size blocks
    bool null_dest;
    std::size_t dmax;
    std::u16string src;
    bool null_src;
    qk_errno_t result;
    const char* msg;
    int indicator;  // expected value; compared by sign when sign_only is set
    bool sign_only;
};

TEST_F(Bounded, StrncmpWideTable) {
    using S = std::u16string;
    const std::vector<CmpCase> cases = {
        // Argument checks; after the indicator check the indicator is reset to 0.
        {"dest null", S(u"a\0", 2), true, 4, S(u"a\0", 2), false, QK_ESNULLP, "dest is null", 0,
         false},
        {"src null", S(u"a\0", 2), false, 4, S(u"a\0", 2), true, QK_ESNULLP, "src is null", 0,
         false},
        {"dest null beats src null", S(u"a\0", 2), true, 4, S(u"a\0", 2), true, QK_ESNULLP,
         "dest is null", 0, false},
        {"src null beats dmax 0", S(u"a\0", 2), false, 0, S(u"a\0", 2), true, QK_ESNULLP,
         "src is null", 0, false},
        {"dmax 0", S(u"a\0", 2), false, 0, S(u"b\0", 2), false, QK_ESZEROL, "dmax is 0", 0, false},
        {"dmax 4097", S(u"a\0", 2), false, 4097, S(u"b\0", 2), false, QK_ESLEMAX,
         "dmax exceeds max", 0, false},
        {"dmax 4096 accepted", S(u"a\0", 2), false, 4096, S(u"b\0", 2), false, QK_EOK, "",
         'a' - 'b', false},

        // Comparison: result 0, the difference in the indicator.
        {"\".\" against \"..\"", S(u".\0", 2), false, 10, S(u"..\0", 3), false, QK_EOK, "", -'.',
         false},
        {"\"..\" against \".\"", S(u"..\0", 3), false, 10, S(u".\0", 2), false, QK_EOK, "", '.',
         false},
        {"equal strings", S(u"abc\0", 4), false, 10, S(u"abc\0", 4), false, QK_EOK, "", 0, false},
        {"first difference decides", S(u"abcz\0", 5), false, 10, S(u"abda\0", 5), false, QK_EOK, "",
         'c' - 'd', false},
        {"empty strings", S(u"\0", 1), false, 1, S(u"\0", 1), false, QK_EOK, "", 0, false},
        {"units above 0x7FFF compare as unsigned", S(u"\xFFFF\0", 2), false, 2, S(u"a\0", 2), false,
         QK_EOK, "", 1, true},
        {"equal within dmax", S(u"abc", 3), false, 2, S(u"abd", 3), false, QK_EOK, "", 0, false},
        {"unterminated blocks equal up to dmax", S(u"abcd", 4), false, 4, S(u"abcd", 4), false,
         QK_EOK, "", 0, false},
        {"difference at the last unit of dmax", S(u"abc", 3), false, 3, S(u"abd", 3), false, QK_EOK,
         "", 'c' - 'd', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("qk_strncmp_s_w / ") + c.name);
        reset_calls();
        Arena<char16_t> dest(c.dest);
        Arena<char16_t> src(c.src);
        int indicator = 12345;
        EXPECT_EQ(qk_strncmp_s_w(c.null_dest ? nullptr : dest.at(0), c.dmax,
                                 c.null_src ? nullptr : src.at(0), &indicator),
                  c.result);
        if (c.sign_only)
            EXPECT_EQ((indicator > 0) - (indicator < 0), c.indicator);
        else
            EXPECT_EQ(indicator, c.indicator);
        expect_str_handler(*c.msg ? std::string("qk_strncmp_s_w: ") + c.msg : std::string(),
                           c.result);
    }
}

TEST_F(Bounded, StrncmpWideNullIndicator) {
    const char16_t a[] = u"a";
    EXPECT_EQ(qk_strncmp_s_w(a, 2, a, nullptr), QK_ESNULLP);
    expect_str_handler("qk_strncmp_s_w: indicator is null", QK_ESNULLP);
    // The indicator check comes first.
    reset_calls();
    EXPECT_EQ(qk_strncmp_s_w(nullptr, 0, nullptr, nullptr), QK_ESNULLP);
    expect_str_handler("qk_strncmp_s_w: indicator is null", QK_ESNULLP);
}

// ---------------------------------------------------------------------------------------
// qk_memcpy_s

struct MemCase {
    const char* name;
    std::string arena;  // bytes
    std::ptrdiff_t dest;
    std::size_t dmax;
    std::ptrdiff_t src;  // offset, kNull or kExt (then "ABCDEFGHIJKLMNOP")
    std::size_t smax;
    qk_errno_t result;
    const char* msg;
    std::string after;
};

TEST_F(Bounded, MemcpyTable) {
    const std::string zeros8(8, '\0');
    const std::vector<MemCase> cases = {
        // The first three checks leave dest alone (dmax may not even be its real size).
        {"dest null", "########", kNull, 8, kExt, 4, QK_ESNULLP, "dest is NULL", "########"},
        {"dmax 0", "########", 0, 0, kExt, 4, QK_ESZEROL, "dmax is 0", "########"},
        {"dmax 0x10000001", "########", 0, 0x10000001, kExt, 4, QK_ESLEMAX, "dmax exceeds max",
         "########"},
        {"dmax 0x10000001 beats smax 0 and src null", "########", 0, 0x10000001, kNull, 0,
         QK_ESLEMAX, "dmax exceeds max", "########"},
        // Every later failure zeroes exactly dmax bytes of dest first.
        {"smax 0", "########", 0, 6, kExt, 0, QK_ESZEROL, "smax is 0", std::string(6, '\0') + "##"},
        {"smax 0 beats src null", "########", 0, 6, kNull, 0, QK_ESZEROL, "smax is 0",
         std::string(6, '\0') + "##"},
        {"smax exceeds dmax", "########", 2, 4, kExt, 5, QK_ESLEMAX, "smax exceeds dmax",
         "##" + std::string(4, '\0') + "##"},
        {"smax exceeds dmax beats src null", "########", 0, 4, kNull, 5, QK_ESLEMAX,
         "smax exceeds dmax", std::string(4, '\0') + "####"},
        {"src null", "########", 0, 8, kNull, 4, QK_ESNULLP, "src is NULL", zeros8},
        // Overlap: the ranges [dest, dest+dmax) and [src, src+smax) intersect.
        {"src runs into dest", "abcdefgh", 4, 4, 1, 4, QK_ESOVRLP, "overlap undefined",
         "abcd" + std::string(4, '\0')},
        {"dest runs into src", "abcdefgh", 0, 5, 4, 4, QK_ESOVRLP, "overlap undefined",
         std::string(5, '\0') + "fgh"},
        {"same start", "abcdefgh", 0, 8, 0, 8, QK_ESOVRLP, "overlap undefined", zeros8},
        {"src inside dest", "abcdefgh", 0, 8, 3, 2, QK_ESOVRLP, "overlap undefined", zeros8},
        {"last byte of dest is first of src", "abcdefgh", 0, 4, 3, 2, QK_ESOVRLP,
         "overlap undefined", std::string(4, '\0') + "efgh"},
        // Adjacent ranges do not overlap.
        {"src just below dest", "abcdefgh", 4, 4, 0, 4, QK_EOK, "", "abcdabcd"},
        {"src just above dest", "abcdefgh", 0, 4, 4, 4, QK_EOK, "", "efghefgh"},
        {"dest range ends at src, smax smaller", "abcdefgh", 0, 4, 4, 2, QK_EOK, "", "efcdefgh"},
        // Copy: smax bytes, the rest of dest untouched.
        {"copy smax bytes", "########", 1, 6, kExt, 3, QK_EOK, "", "#ABC####"},
        {"smax equals dmax", "########", 0, 8, kExt, 8, QK_EOK, "", "ABCDEFGH"},
    };
    const std::string ext = "ABCDEFGHIJKLMNOP";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("qk_memcpy_s / ") + c.name);
        reset_calls();
        Arena<char> arena(c.arena);
        const void* src = c.src == kExt ? ext.data() : arena.at(c.src);
        EXPECT_EQ(qk_memcpy_s(arena.at(c.dest), c.dmax, src, c.smax), c.result);
        EXPECT_EQ(show(arena.contents()), show(c.after));
        expect_mem_handler(*c.msg ? std::string("qk_memcpy_s: ") + c.msg : std::string(), c.result);
    }
}

TEST_F(Bounded, MemcpyCopiesBinaryData) {
    unsigned char src[5] = {0x00, 0xFF, 0x80, 0x00, 0x7F};
    unsigned char dest[5] = {1, 1, 1, 1, 1};
    EXPECT_EQ(qk_memcpy_s(dest, sizeof(dest), src, sizeof(src)), QK_EOK);
    EXPECT_EQ(std::memcmp(dest, src, sizeof(src)), 0);
    expect_mem_handler("", 0);
}

TEST_F(Bounded, MemcpyAcceptsDmaxOfExactly0x10000000) {
    // Only the first bytes are touched on success, so the block is never filled.
    std::unique_ptr<unsigned char[]> dest(new unsigned char[0x10000000]);
    const unsigned char src[4] = {1, 2, 3, 4};
    EXPECT_EQ(qk_memcpy_s(dest.get(), 0x10000000, src, 4), QK_EOK);
    EXPECT_EQ(std::memcmp(dest.get(), src, 4), 0);
    expect_mem_handler("", 0);
}

// ---------------------------------------------------------------------------------------
// qk_memset_s

TEST_F(Bounded, MemsetTable) {
    struct Case {
        const char* name;
        std::ptrdiff_t dest;
        std::size_t len;
        std::uint32_t value;
        qk_errno_t result;
        const char* msg;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"dest null", kNull, 4, 'x', QK_ESNULLP, "dest is null", "########"},
        {"dest null beats len 0", kNull, 0, 'x', QK_ESNULLP, "dest is null", "########"},
        {"len 0", 0, 0, 'x', QK_ESZEROL, "len is 0", "########"},
        {"len 0x10000001", 0, 0x10000001, 'x', QK_ESLEMAX, "len exceeds max", "########"},
        {"fills len bytes", 2, 3, 'x', QK_EOK, "", "##xxx###"},
        {"only the low byte of value", 0, 8, 0x12345678u, QK_EOK, "", std::string(8, '\x78')},
        {"value 0x100 fills zeros", 0, 2, 0x100u, QK_EOK, "", std::string(2, '\0') + "######"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("qk_memset_s / ") + c.name);
        reset_calls();
        Arena<char> arena("########");
        EXPECT_EQ(qk_memset_s(arena.at(c.dest), c.len, c.value), c.result);
        EXPECT_EQ(show(arena.contents()), show(c.after));
        expect_mem_handler(*c.msg ? std::string("qk_memset_s: ") + c.msg : std::string(), c.result);
    }
}

TEST_F(Bounded, MemsetAcceptsLenOfExactly0x10000000) {
    constexpr std::size_t kMax = 0x10000000;
    std::unique_ptr<unsigned char[]> dest(new unsigned char[kMax + 1]);
    dest[kMax] = 0x11;
    EXPECT_EQ(qk_memset_s(dest.get(), kMax, 0xAB), QK_EOK);
    EXPECT_EQ(dest[0], 0xAB);
    EXPECT_EQ(dest[kMax / 2], 0xAB);
    EXPECT_EQ(dest[kMax - 1], 0xAB);
    EXPECT_EQ(dest[kMax], 0x11);
    expect_mem_handler("", 0);
}

// ---------------------------------------------------------------------------------------
// Handler slots and the default handler.

TEST_F(Bounded, SettersReturnThePreviousHandlerAndNullStoresTheDefault) {
    EXPECT_EQ(qk_set_str_constraint_handler(nullptr), &record_str);
    EXPECT_EQ(qk_set_str_constraint_handler(&record_str), &qk_ignore_handler_s);
    EXPECT_EQ(qk_set_mem_constraint_handler(nullptr), &record_mem);
    EXPECT_EQ(qk_set_mem_constraint_handler(&record_mem), &qk_ignore_handler_s);
}

TEST_F(Bounded, SlotsAreIndependent) {
    // Only the string slot is replaced: a memory failure must reach the memory handler and
    // a string failure the string handler.
    qk_set_mem_constraint_handler(nullptr);
    char buf[4];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(qk_memset_s(buf, 0, 0), QK_ESZEROL);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "IGNORE CONSTRAINT HANDLER: (401) qk_memset_s: len is 0\n");
    EXPECT_TRUE(g_str_calls.empty());

    EXPECT_EQ(qk_strncpy_s_a(buf, 4, nullptr, 1), QK_ESNULLP);
    expect_str_handler("qk_strncpy_s_a: src is null", QK_ESNULLP);
}

TEST_F(Bounded, DefaultHandlerPrintsNumberAndMessage) {
    qk_set_str_constraint_handler(nullptr);
    char buf[4];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(qk_strncpy_s_a(buf, 4097, "a", 1), QK_ESLEMAX);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "IGNORE CONSTRAINT HANDLER: (403) qk_strncpy_s_a: dmax exceeds max\n");
}

TEST_F(Bounded, DefaultHandlerPrintsNullMessage) {
    ::testing::internal::CaptureStdout();
    qk_ignore_handler_s(nullptr, nullptr, QK_ESUNTERM);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "IGNORE CONSTRAINT HANDLER: (407) Null message\n");
}

// Many threads raising constraints at once all reach the installed handler (the slots are
// read concurrently; run under -fsanitize=thread to check the reads are race-free).
std::atomic<int> g_concurrent_calls{0};
void count_call(const char*, void*, qk_errno_t) {
    g_concurrent_calls.fetch_add(1);
}

TEST_F(Bounded, HandlersAreReadSafelyFromManyThreads) {
    qk_set_str_constraint_handler(&count_call);
    qk_set_mem_constraint_handler(&count_call);
    g_concurrent_calls = 0;
    constexpr int kThreads = 8;
    constexpr int kCalls = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            char buf[2];
            for (int i = 0; i < kCalls; ++i) {
                qk_strncpy_s_a(buf, 0, "a", 1);
                qk_memset_s(nullptr, 1, 0);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(g_concurrent_calls.load(), kThreads * kCalls * 2);
}

}  // namespace
