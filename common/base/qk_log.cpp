// The process-wide rotating log file: line composition, filtering, writing and rotation.
#include "base/qk_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "base/qk_console.h"
#include "base/qk_fs.h"

namespace {

constexpr std::size_t kStreamBufferSize = 8192;
// Longest base name and extension, in UTF-16 units as every program counts them.
constexpr std::size_t kMaxBaseUnits = 64;
constexpr std::size_t kMaxExtUnits = 16;
constexpr std::size_t kMaxExtBytes = kMaxExtUnits * 4 + 1;

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

// Guarded by log_mutex(); the two atomics below let a filtered call and the composition of
// a line run without the lock. Plain data, zero-initialised before any code runs, so even
// a static constructor that logs finds a closed log.
struct LogContext {
    bool open;
    std::FILE* file;
    char stream_buffer[kStreamBufferSize];
    std::uint64_t running_size;
    std::uint64_t max_file_size;
    std::uint32_t max_files;
    char stem[QK_MAX_PATH];  // "<dir>/<base>": numbered names are "<stem>.NNN.<ext>"
    char ext[kMaxExtBytes];
    char file_name[QK_MAX_PATH];
};

LogContext g_log;
// Bit n set: level n is written. 0 while the log is closed.
std::atomic<std::uint32_t> g_enabled_levels{0};
std::atomic<std::uint32_t> g_mode{0};

// Always taken, also without LOG_MODE_LOCK: the stream and the running size are shared by
// every thread, and an unguarded write would tear lines and rotations apart.
std::recursive_mutex& log_mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

bool succeeded(qk_res_t code) {
    return !qk_res_is(code, QK_RES_ERROR);
}

bool is_valid_level(int level) {
    return level >= LOG_LEVEL_TRACE && level <= LOG_LEVEL_FATAL;
}

std::uint32_t level_mask(int min_level, int max_level) {
    std::uint32_t mask = 0;
    for (int level = min_level; level <= max_level; ++level)
        mask |= 1u << level;
    return mask;
}

// snprintf that reports whether the whole text fitted.
bool print_fits(char* dest, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool print_fits(char* dest, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(dest, size, format, args);
    va_end(args);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

// Length of the longest prefix of text[0..len) that does not end inside a UTF-8 sequence,
// so that truncation never leaves half a character in the file.
std::size_t whole_utf8_prefix(const char* text, std::size_t len) {
    std::size_t start = len;
    std::size_t continuation = 0;
    while (start > 0 && continuation < 4 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++continuation;
    }
    if (start == 0)
        return len;
    unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return continuation + 1 < needed ? start - 1 : len;
}

// Number of UTF-16 units the UTF-8 text takes.
std::size_t utf16_units(const std::string& text) {
    std::size_t units = 0;
    for (unsigned char byte : text) {
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

std::size_t encode_utf8(char32_t cp, char* out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Writes the wide text as UTF-8 into dest, whole characters only, at most room bytes.
// The file is UTF-8 whatever the locale, so the conversion does not go through it.
std::size_t append_wide_as_utf8(char* dest, std::size_t room, const wchar_t* text) {
    std::size_t used = 0;
    for (; *text != L'\0'; ++text) {
        char sequence[4];
        std::size_t len = encode_utf8(static_cast<char32_t>(*text), sequence);
        if (used + len > room)
            break;
        std::memcpy(dest + used, sequence, len);
        used += len;
    }
    return used;
}

// ---- line composition (no lock) ----

// A line under construction: at most LOG_LINE_SIZE - 1 bytes and a terminator.
struct Line {
    char text[LOG_LINE_SIZE];
    std::size_t len = 0;
    std::size_t message_at = 0;  // where the message starts, after the prefix

    std::size_t room() const { return LOG_LINE_SIZE - 1 - len; }

    void appendf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text + len, LOG_LINE_SIZE - len, format, args);
        va_end(args);
        if (n > 0)
            len += static_cast<std::size_t>(n) < room() ? n : room();
    }
};

void append_prefix(Line& line, int level, const QKLogTag* tag) {
    std::uint32_t mode = g_mode.load(std::memory_order_relaxed);
    if (mode & LOG_MODE_DATETIME) {
        SQKLocalTime now{};
        qk_get_local_time(&now);
        line.appendf("%02d/%02d/%04d %02d:%02d:%02d.%03d ", now.day, now.month, now.year, now.hour,
                     now.minute, now.second, now.millisecond);
    }
    if (mode & LOG_MODE_PROCESS_ID)
        line.appendf("[%d] ", qk_get_process_id());
    if (mode & LOG_MODE_THREAD_ID) {
        line.appendf("<%lld> ", static_cast<long long>(qk_get_thread_id()));
    }
    if (mode & LOG_MODE_LEVEL_NAME)
        line.appendf("%s ", kLevelNames[level]);
    if (tag != nullptr) {
        // The tag may come from a buffer nobody terminated; never read past it.
        int len = static_cast<int>(strnlen(tag->name, LOG_TAG_SIZE - 1));
        line.appendf("(%.*s) ", len, tag->name);
    }
    line.message_at = line.len;
}

qk_res_t append_message(Line& line, const char* format, va_list args) {
    char* start = line.text + line.len;
    int n = std::vsnprintf(start, LOG_LINE_SIZE - line.len, format, args);
    if (n < 0)
        return QK_RES_ERROR;
    std::size_t len = static_cast<std::size_t>(n);
    if (len > line.room())
        len = whole_utf8_prefix(start, line.room());
    line.len += len;
    line.text[line.len] = '\0';
    return QK_RES_OK;
}

qk_res_t append_message_w(Line& line, const wchar_t* format, va_list args) {
    // Zeroed so that a truncated result can be told from a failed one: vswprintf reports
    // both as -1, but only truncation fills the buffer to its end.
    wchar_t message[LOG_LINE_SIZE] = {};
    int n = std::vswprintf(message, LOG_LINE_SIZE, format, args);
    if (n < 0 && message[LOG_LINE_SIZE - 2] == L'\0')
        return QK_RES_ERROR;
    message[LOG_LINE_SIZE - 1] = L'\0';
    line.len += append_wide_as_utf8(line.text + line.len, line.room(), message);
    line.text[line.len] = '\0';
    return QK_RES_OK;
}

// ---- the file (caller holds log_mutex) ----

qk_res_t open_log_file() {
    g_log.running_size = 0;
    std::FILE* file = nullptr;
    // Appending, without a lock: a second copy of the program must get far enough to be
    // refused by its single-instance lock, and report that in this log. Each line leaves in
    // one write, so lines of two processes never mix.
    file = std::fopen(g_log.file_name, "ae+");
    if (file == nullptr)
        return QK_RES_ERROR;
    struct stat info {};
    if (std::setvbuf(file, g_log.stream_buffer, _IOFBF, kStreamBufferSize) != 0 ||
        fstat(fileno(file), &info) != 0) {
        std::fclose(file);
        return QK_RES_ERROR;
    }
    g_log.file = file;
    g_log.running_size = static_cast<std::uint64_t>(info.st_size);
    return QK_RES_OK;
}

qk_res_t close_log_file() {
    g_log.running_size = 0;
    if (g_log.file == nullptr)
        return QK_RES_OK;
    int rc = std::fclose(g_log.file);
    g_log.file = nullptr;
    return rc == 0 ? QK_RES_OK : QK_RES_ERROR;
}

// init_log made sure that every number up to the file count fits.
bool numbered_name(char* out, std::uint32_t number) {
    return print_fits(out, QK_MAX_PATH, "%s.%03u.%s", g_log.stem, number, g_log.ext);
}

// A directory under a log file's name is not one of our files: it is emptied and removed
// so that it cannot block the shifting for good.
bool remove_directory(const char* path) {
    return succeeded(qk_clear_dir(path, "*", true)) && succeeded(qk_remove_dir(path));
}

// Shifts base.NNN.ext up by one from the oldest down, dropping the last; stops at the first
// failure so that nothing is overwritten out of order.
void shift_numbered_files() {
    char from[QK_MAX_PATH];
    char to[QK_MAX_PATH];
    for (std::uint32_t i = g_log.max_files; i-- > 0;) {
        if (!numbered_name(from, i))
            return;
        qk_res_t kind = qk_is_file(from);
        if (qk_res_is(kind, QK_RES_ERROR))
            continue;  // missing
        if (qk_res_is(kind, QK_RES_FALSE)) {
            if (!remove_directory(from))
                return;
            continue;
        }
        if (i + 1 == g_log.max_files) {
            if (!succeeded(qk_delete_file(from)))
                return;
            continue;
        }
        if (!numbered_name(to, i + 1))
            return;
        if (!succeeded(qk_move_file(from, to)))
            return;
    }
}

qk_res_t rotate() {
    close_log_file();
    shift_numbered_files();
    return open_log_file();
}

// Rotates when the line would push the file past its maximum. An empty file is never
// rotated: that would only drop the oldest file for nothing. A line longer than the
// maximum is still written, into a file of its own; the error bits tell the caller.
qk_res_t make_room(std::size_t line_bytes) {
    qk_res_t res = line_bytes > g_log.max_file_size ? QK_RES_ERROR : QK_RES_OK;
    if (g_log.running_size > 0 && g_log.running_size + line_bytes > g_log.max_file_size) {
        res |= rotate();
    }
    return res;
}

qk_res_t write_to_file(const Line& line) {
    // A failed reopen during an earlier rotation is retried here rather than ending the log.
    if (g_log.file == nullptr && !succeeded(open_log_file()))
        return QK_RES_ERROR;
    std::size_t written = std::fwrite(line.text, 1, line.len, g_log.file);
    if (std::fputc('\n', g_log.file) != EOF)
        ++written;
    if (written == line.len + 1 && std::fflush(g_log.file) == 0) {
        g_log.running_size += written;
        return QK_RES_OK;
    }
    // Keep the running size honest after a short write, so rotation stays on schedule.
    std::clearerr(g_log.file);
    struct stat info {};
    if (fstat(fileno(g_log.file), &info) == 0) {
        g_log.running_size = static_cast<std::uint64_t>(info.st_size);
    }
    return QK_RES_ERROR;
}

void write_to_console(const Line& line) {
    std::lock_guard<std::recursive_mutex> lock(qk_console_mutex());
    std::fwrite(line.text, 1, line.len, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Which of its lines a program's log echoes on the console (QKConsoleEcho).
enum class Echo {
    ByLevel,  // when the console takes every line, or warnings and worse only
    Notable,  // a state change: whenever the log echoes at all
    Never,    // decoration around a state change
};

bool echoes(int level, Echo echo) {
    switch (qk_console_echo_mode()) {
        // A program that prints its own texts prints its errors itself (an exception's
        // report prints and logs it); its log's warnings would reach nobody else.
        case QKConsoleEcho::Printed:
            return echo != Echo::Never && level == LOG_LEVEL_WARN;
        case QKConsoleEcho::Logged:
            return echo != Echo::Never;
        case QKConsoleEcho::Notable:
            return echo == Echo::Notable || (echo == Echo::ByLevel && level >= LOG_LEVEL_WARN);
    }
    return false;
}

// The echo is "LEVEL message": the journal or the terminal dates it, and the tag and the
// ids are for the file. Syslog's priorities: debug 7, info 6, warning 4, error 3, crit 2.
void echo_line(int level, const Line& line) {
    static const int kPriorities[] = {7, 7, 6, 4, 3, 2};
    char text[LOG_LINE_SIZE + 8];
    const std::size_t name_len = std::strlen(kLevelNames[level]);
    std::memcpy(text, kLevelNames[level], name_len);
    text[name_len] = ' ';
    const std::size_t message_len = line.len - line.message_at;
    std::memcpy(text + name_len + 1, line.text + line.message_at, message_len);
    qk_echo_log_line(kPriorities[level], text, name_len + 1 + message_len);
}

qk_res_t output_line(int level, const Line& line, Echo echo = Echo::ByLevel) {
    qk_res_t res = QK_RES_OK;
    {
        std::lock_guard<std::recursive_mutex> lock(log_mutex());
        // The log may have been closed or reopened while the line was being composed.
        if (!g_log.open || !log_level_enabled(level))
            return QK_RES_FILTERED;
        std::uint32_t mode = g_mode.load(std::memory_order_relaxed);
        if (mode & LOG_MODE_CONSOLE)
            write_to_console(line);
        if (mode & LOG_MODE_ROTATE)
            res = make_room(line.len + 1);
        res |= write_to_file(line);
    }
    // Outside the log's lock: a console that stalls (a journal that does not read) holds up
    // no other thread's line to the file.
    if (echoes(level, echo))
        echo_line(level, line);
    return res;
}

qk_res_t log_line(int level, const QKLogTag* tag, Echo echo, const char* format, va_list args) {
    if (format == nullptr)
        return QK_RES_ERROR;
    Line line;
    append_prefix(line, level, tag);
    qk_res_t res = append_message(line, format, args);
    return succeeded(res) ? output_line(level, line, echo) : res;
}

// ---- opening and closing ----

bool has_embedded_nul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

bool valid_request(std::uint32_t mode, const std::string& log_dir, const std::string& base_name,
                   const std::string& ext, int min_level, int max_level,
                   std::uint64_t max_file_size, std::uint32_t max_files) {
    if (!(mode & LOG_MODE_FILE))
        return false;
    if ((mode & LOG_MODE_ROTATE) && (max_file_size == 0 || max_files == 0))
        return false;
    if (!is_valid_level(min_level) || !is_valid_level(max_level) || min_level > max_level) {
        return false;
    }
    if (log_dir.empty() || base_name.empty() || ext.empty())
        return false;
    if (has_embedded_nul(log_dir) || has_embedded_nul(base_name) || has_embedded_nul(ext)) {
        return false;
    }
    return utf16_units(base_name) <= kMaxBaseUnits && utf16_units(ext) <= kMaxExtUnits;
}

// Composes the stem and the file name; false when a name does not fit. The directory may
// end in a separator or not.
bool compose_names(std::uint32_t mode, const std::string& log_dir, const std::string& base_name,
                   const std::string& ext, std::uint32_t max_files) {
    std::size_t dir_len = log_dir.size();
    if (log_dir.back() == '/' || log_dir.back() == '\\')
        --dir_len;
    if (!print_fits(g_log.stem, sizeof(g_log.stem), "%.*s/%s", static_cast<int>(dir_len),
                    log_dir.c_str(), base_name.c_str()) ||
        !print_fits(g_log.ext, sizeof(g_log.ext), "%s", ext.c_str())) {
        return false;
    }
    if (!(mode & LOG_MODE_ROTATE)) {
        return print_fits(g_log.file_name, sizeof(g_log.file_name), "%s.%s", g_log.stem, g_log.ext);
    }
    // The highest number makes the longest name; if it fits, every rotated name fits.
    char longest[QK_MAX_PATH];
    if (!print_fits(longest, sizeof(longest), "%s.%03u.%s", g_log.stem, max_files - 1, g_log.ext)) {
        return false;
    }
    return numbered_name(g_log.file_name, 0);
}

void reset_context() {
    g_enabled_levels.store(0);
    g_mode.store(0);
    g_log.open = false;
    g_log.max_file_size = 0;
    g_log.max_files = 0;
    g_log.stem[0] = '\0';
    g_log.ext[0] = '\0';
    g_log.file_name[0] = '\0';
}

// Caller holds log_mutex.
qk_res_t shut_down() {
    g_enabled_levels.store(0);
    qk_res_t res = close_log_file();
    reset_context();
    return res;
}

void log_init_report(std::uint32_t mode, const std::string& log_dir, const std::string& base_name,
                     const std::string& ext, int min_level, int max_level) {
    QKLogTag tag;
    log_set_tag(&tag, "init_log()");
    log_message(LOG_LEVEL_DEBUG, &tag, "Log has been initialized:");
    log_message(LOG_LEVEL_DEBUG, &tag, "mode                 = %08X", mode);
    log_message(LOG_LEVEL_DEBUG, &tag, "min_level            = %d", min_level);
    log_message(LOG_LEVEL_DEBUG, &tag, "max_level            = %d", max_level);
    log_message(LOG_LEVEL_DEBUG, &tag, "log_path_w           = %s", log_dir.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "base_fname_w         = %s", base_name.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "ext_fname_w          = %s", ext.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "max_file_size        = %" PRIu64, g_log.max_file_size);
    log_message(LOG_LEVEL_DEBUG, &tag, "max_files_num        = %u", g_log.max_files);
}

}  // namespace

bool init_log(std::uint32_t mode, const std::string& log_dir, const std::string& base_name,
              const std::string& ext, int min_level, int max_level, std::uint64_t max_file_size,
              std::uint32_t max_files) {
    if (!valid_request(mode, log_dir, base_name, ext, min_level, max_level, max_file_size,
                       max_files)) {
        return false;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(log_mutex());
        // A second init replaces the log; the first file must not stay open and locked.
        shut_down();
        if (mode & LOG_MODE_ROTATE) {
            g_log.max_file_size = max_file_size;
            g_log.max_files = max_files;
        }
        if (!compose_names(mode, log_dir, base_name, ext, max_files) ||
            !succeeded(open_log_file())) {
            reset_context();
            return false;
        }
        g_log.open = true;
        g_mode.store(mode);
        g_enabled_levels.store(level_mask(min_level, max_level));
    }
    log_init_report(mode, log_dir, base_name, ext, min_level, max_level);
    return true;
}

qk_res_t close_log() {
    QKLogTag tag;
    log_set_tag(&tag, "close_log()");
    log_message(LOG_LEVEL_DEBUG, &tag, "Closing of the Log...");
    std::lock_guard<std::recursive_mutex> lock(log_mutex());
    return shut_down();
}

qk_res_t log_set_tag(QKLogTag* tag, const char* name) {
    if (tag == nullptr)
        return QK_RES_ERROR;
    tag->name[0] = '\0';
    if (name == nullptr)
        return QK_RES_ERROR;
    std::size_t len = strnlen(name, LOG_TAG_SIZE);
    if (len >= LOG_TAG_SIZE)
        len = whole_utf8_prefix(name, LOG_TAG_SIZE - 1);
    std::memcpy(tag->name, name, len);
    tag->name[len] = '\0';
    return QK_RES_OK;
}

bool log_set_min_level(int min_level) {
    std::lock_guard<std::recursive_mutex> lock(log_mutex());
    const std::uint32_t mask = g_enabled_levels.load();
    if (!g_log.open || mask == 0 || !is_valid_level(min_level))
        return false;
    int max_level = LOG_LEVEL_FATAL;
    while ((mask >> max_level & 1u) == 0)
        --max_level;
    if (min_level > max_level)
        return false;
    g_enabled_levels.store(level_mask(min_level, max_level));
    return true;
}

int log_min_level() {
    const std::uint32_t mask = g_enabled_levels.load(std::memory_order_acquire);
    for (int level = LOG_LEVEL_TRACE; level <= LOG_LEVEL_FATAL; ++level) {
        if ((mask >> level) & 1u)
            return level;
    }
    return -1;
}

int log_level_of(const std::string& name) {
    for (int level = LOG_LEVEL_TRACE; level <= LOG_LEVEL_FATAL; ++level) {
        if (name == kLevelNames[level])
            return level;
    }
    return -1;
}

bool log_level_enabled(int level) {
    if (!is_valid_level(level))
        return false;
    return (g_enabled_levels.load(std::memory_order_acquire) >> level) & 1u;
}

qk_res_t log_message(int level, const QKLogTag* tag, const char* format, ...) {
    // First and alone: a filtered call in a hot loop costs one atomic load.
    if (!log_level_enabled(level))
        return QK_RES_FILTERED;
    va_list args;
    va_start(args, format);
    const qk_res_t res = log_line(level, tag, Echo::ByLevel, format, args);
    va_end(args);
    return res;
}

qk_res_t log_notable(int level, const QKLogTag* tag, const char* format, ...) {
    if (!log_level_enabled(level))
        return QK_RES_FILTERED;
    va_list args;
    va_start(args, format);
    const qk_res_t res = log_line(level, tag, Echo::Notable, format, args);
    va_end(args);
    return res;
}

qk_res_t log_message_w(int level, const QKLogTag* tag, const wchar_t* format, ...) {
    if (!log_level_enabled(level))
        return QK_RES_FILTERED;
    if (format == nullptr)
        return QK_RES_ERROR;
    Line line;
    append_prefix(line, level, tag);
    va_list args;
    va_start(args, format);
    qk_res_t res = append_message_w(line, format, args);
    va_end(args);
    return succeeded(res) ? output_line(level, line) : res;
}

QKLogTag qk_make_tag(const char* name) {
    QKLogTag tag;
    log_set_tag(&tag, name);
    return tag;
}

namespace {

// A banner's rule line: in the file, never in a service's echo.
void log_rule(const QKLogTag* tag, const char* rule, ...) {
    if (!log_level_enabled(LOG_LEVEL_INFO))
        return;
    va_list args;
    va_start(args, rule);
    log_line(LOG_LEVEL_INFO, tag, Echo::Never, rule, args);
    va_end(args);
}

}  // namespace

void log_banner(const QKLogTag* tag, const std::string& text) {
    log_rule(tag, "=================================== >>");
    log_notable(LOG_LEVEL_INFO, tag, "%s", text.c_str());
    log_rule(tag, "=================================== <<");
    qk_print_console("-------------------- >>");
    qk_print_console(text);
    qk_print_console("-------------------- <<");
}
