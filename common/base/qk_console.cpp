// Console output, locale set-up, local time and process identifiers.
#include "base/qk_console.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

namespace {

constexpr std::size_t kMessageSize = 2048;
constexpr std::size_t kLocaleNameSize = 2048;

std::atomic<bool> g_unicode_console{false};
std::atomic<bool> g_console_echo{true};
std::atomic<QKConsoleEcho> g_echo_mode{QKConsoleEcho::Printed};
std::atomic<QKConsoleVerbosity> g_verbosity{QKConsoleVerbosity::Normal};
std::atomic<bool> g_stdout_is_journal{false};
std::atomic<bool> g_stderr_is_journal{false};
char g_locale_name[kLocaleNameSize] = {};
// A transient line stands on the terminal; written and read under the console mutex.
bool g_transient_shown = false;

// Carriage return, then clear to the end of the line: the cursor is back at the start of
// an empty line. Call with the console mutex held.
void erase_transient() {
    if (!g_transient_shown)
        return;
    std::fputs("\r\033[K", stdout);
    g_transient_shown = false;
}

// Writes text (and a line end) to stream as one block under the console mutex. The transient
// line is erased first also for standard error: both usually share the terminal.
void write_stream(std::FILE* stream, const char* text, std::size_t len, bool newline) {
    std::lock_guard<std::recursive_mutex> lock(qk_console_mutex());
    erase_transient();
    if (stream != stdout)
        std::fflush(stdout);  // what came before stays before
    std::fwrite(text, 1, len, stream);
    if (newline) {
        std::fputc('\n', stream);
        std::fflush(stream);
    }
}

void write_stdout(const char* text, std::size_t len, bool newline) {
    write_stream(stdout, text, len, newline);
}

bool prints_own_texts() {
    return g_console_echo.load(std::memory_order_relaxed) &&
           g_echo_mode.load(std::memory_order_relaxed) == QKConsoleEcho::Printed;
}

// Converts a wide string to UTF-8 (the locale's multibyte code page after set-up).
std::string to_multibyte(const wchar_t* text) {
    std::mbstate_t state{};
    const wchar_t* src = text;
    std::size_t len = std::wcsrtombs(nullptr, &src, 0, &state);
    if (len == static_cast<std::size_t>(-1))
        return std::string();
    std::string out(len, '\0');
    src = text;
    state = std::mbstate_t{};
    std::wcsrtombs(out.data(), &src, len, &state);
    return out;
}

// systemd names the journal stream it connects as "JOURNAL_STREAM=<device>:<inode>"; a
// descriptor redirected elsewhere since (a pipe, a file) does not match it.
bool is_journal(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

std::recursive_mutex& qk_console_mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

void qk_show_transient_line(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(qk_console_mutex());
    std::fputc('\r', stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputs("\033[K", stdout);
    std::fflush(stdout);
    g_transient_shown = true;
}

void qk_clear_transient_line() {
    std::lock_guard<std::recursive_mutex> lock(qk_console_mutex());
    erase_transient();
    std::fflush(stdout);
}

qk_res_t qk_print_message(const char* format, ...) {
    if (format == nullptr)
        return QK_RES_ERROR;
    char buffer[kMessageSize];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (n < 0)
        return QK_RES_ERROR;
    std::size_t len = static_cast<std::size_t>(n) < sizeof(buffer) ? n : sizeof(buffer) - 1;
    write_stdout(buffer, len, true);
    return QK_RES_OK;
}

void qk_print_console(const std::string& text, bool newline) {
    if (!prints_own_texts() ||
        g_verbosity.load(std::memory_order_relaxed) == QKConsoleVerbosity::Quiet)
        return;
    write_stdout(text.data(), text.size(), newline);
}

void qk_print_error(const std::string& text) {
    if (prints_own_texts())
        write_stream(stderr, text.data(), text.size(), true);
}

qk_res_t qk_print_plain(const char* format, ...) {
    if (format == nullptr)
        return QK_RES_ERROR;
    va_list args;
    va_start(args, format);
    std::lock_guard<std::recursive_mutex> lock(qk_console_mutex());
    erase_transient();
    int n = std::vprintf(format, args);
    va_end(args);
    return n < 0 ? QK_RES_ERROR : QK_RES_OK;
}

qk_res_t qk_print_wide(const wchar_t* format, ...) {
    if (format == nullptr)
        return QK_RES_ERROR;
    wchar_t buffer[kMessageSize];
    va_list args;
    va_start(args, format);
    int n = std::vswprintf(buffer, kMessageSize, format, args);
    va_end(args);
    if (n < 0)
        return QK_RES_ERROR;
    std::string text = to_multibyte(buffer);
    write_stdout(text.data(), text.size(), false);
    return QK_RES_OK;
}

void qk_set_console_echo(bool on) {
    g_console_echo.store(on);
}

bool qk_is_console_echo() {
    return g_console_echo.load();
}

void qk_set_console_echo_mode(QKConsoleEcho mode) {
    g_stdout_is_journal.store(mode != QKConsoleEcho::Printed && is_journal(STDOUT_FILENO));
    g_stderr_is_journal.store(mode != QKConsoleEcho::Printed && is_journal(STDERR_FILENO));
    g_echo_mode.store(mode);
}

void qk_set_console_verbosity(QKConsoleVerbosity verbosity) {
    g_verbosity.store(verbosity);
    qk_set_console_echo_mode(verbosity == QKConsoleVerbosity::Verbose ? QKConsoleEcho::Logged
                                                                      : QKConsoleEcho::Printed);
}

QKConsoleVerbosity qk_console_verbosity() {
    return g_verbosity.load();
}

QKConsoleEcho qk_console_echo_mode() {
    return g_echo_mode.load(std::memory_order_relaxed);
}

QKConsoleEcho qk_service_console_echo() {
    return ::isatty(STDOUT_FILENO) == 1 ? QKConsoleEcho::Logged : QKConsoleEcho::Notable;
}

void qk_echo_log_line(int priority, const char* text, std::size_t len) {
    if (!g_console_echo.load(std::memory_order_relaxed))
        return;
    constexpr int kWarningPriority = 4;
    const bool error = priority <= kWarningPriority;
    std::string line;
    if ((error ? g_stderr_is_journal : g_stdout_is_journal).load(std::memory_order_relaxed))
        line = "<" + std::to_string(priority) + ">";
    line.append(text, len);
    write_stream(error ? stderr : stdout, line.data(), line.size(), true);
}

qk_res_t qk_set_english_locale() {
    // "C.UTF-8" comes last: every Debian system has it, so a program never refuses to
    // start because a locale was not generated.
    static const char* const kCandidates[] = {"English.utf8", "en_US.utf8", "en_US", "C.UTF-8"};
    for (const char* name : kCandidates) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            std::snprintf(g_locale_name, sizeof(g_locale_name), "%s", name);
            return QK_RES_TRUE;
        }
    }
    qk_print_error("Error of init of English UTF Encoding...");
    return QK_RES_FALSE;
}

qk_res_t qk_get_locale_name(char* buffer, std::size_t size) {
    std::size_t len = std::strlen(g_locale_name);
    if (buffer == nullptr || len == 0 || len >= size)
        return QK_RES_ERROR;
    std::memcpy(buffer, g_locale_name, len + 1);
    return QK_RES_OK;
}

qk_res_t qk_init_unicode_console(bool /*enable*/) {
    g_unicode_console.store(true);
    return QK_RES_TRUE;
}

qk_res_t qk_is_unicode_console() {
    return g_unicode_console.load() ? QK_RES_TRUE : QK_RES_FALSE;
}

qk_res_t qk_get_local_time(SQKLocalTime* out) {
    if (out == nullptr)
        return QK_RES_ERROR;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    out->year = local.tm_year + 1900;
    out->month = local.tm_mon + 1;
    out->day_of_week = local.tm_wday;
    out->day = local.tm_mday;
    out->hour = local.tm_hour;
    out->minute = local.tm_min;
    out->second = local.tm_sec;
    out->millisecond = static_cast<std::int32_t>(now.tv_nsec / 1000000);
    return QK_RES_OK;
}

namespace {

// Every log line carries both ids; asking the kernel costs two system calls per line, so
// they are asked once per process and thread. A forked child forgets them: its pid is new,
// and its one thread is a new kernel thread.
std::atomic<std::int32_t> g_process_id{0};
thread_local std::int64_t t_thread_id = 0;

void forget_ids_in_child() {
    g_process_id.store(0, std::memory_order_relaxed);
    t_thread_id = 0;
}

[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forget_ids_in_child);

}  // namespace

std::int32_t qk_get_process_id() {
    std::int32_t id = g_process_id.load(std::memory_order_relaxed);
    if (id == 0) {
        id = static_cast<std::int32_t>(getpid());
        g_process_id.store(id, std::memory_order_relaxed);
    }
    return id;
}

std::int64_t qk_get_thread_id() {
    if (t_thread_id == 0)
        t_thread_id = static_cast<std::int64_t>(syscall(SYS_gettid));
    return t_thread_id;
}

void qk_ignore_sigpipe() {
    std::signal(SIGPIPE, SIG_IGN);
}
