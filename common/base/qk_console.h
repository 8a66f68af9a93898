// Console output, locale and process helpers shared by every program.
//
// Console state is process-wide: the Unicode-console flag, the console-echo flag and mode and
// the chosen locale name are set during start-up and read afterwards. Console
// writes take one console mutex, so lines from several threads never interleave. Output is
// UTF-8; the Unicode-console flag is still kept and reported.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/qk_result.h"

// Formats into a 2048-byte buffer (truncated to 2047 characters) and writes it with a line
// end to standard output. QK_RES_OK, or a code with the error bits when formatting fails.
qk_res_t qk_print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Echoes a UTF-8 text when the console-echo flag is on and the program echoes its own texts
// (QKConsoleEcho::Printed) and is not quiet; adds a line end and flushes when newline is set.
void qk_print_console(const std::string& text, bool newline = true);

// An error or warning line, echoed as qk_print_console does but on standard error and also
// when the console is quiet, so that a script reading standard output sees no error text
// and one reading standard error misses none.
void qk_print_error(const std::string& text);

// Formatted output without a line end: narrow, and wide (converted to UTF-8).
qk_res_t qk_print_plain(const char* format, ...) __attribute__((format(printf, 1, 2)));
qk_res_t qk_print_wide(const wchar_t* format, ...);

void qk_set_console_echo(bool on);
bool qk_is_console_echo();

// What reaches the console besides what a program prints outright. Process-wide; set once
// start-up is done and read by every thread.
enum class QKConsoleEcho {
    // The program's own texts (qk_print_console, qk_print_error) and the log's warnings as
    // "WARN message": the console programs, run on a terminal, and every program until its
    // log is open.
    Printed,
    // The log's lines at its level, as "LEVEL message"; qk_print_console is silent. A
    // service whose standard output is a terminal.
    Logged,
    // Of the log's lines at its level, only warnings, errors and the state changes an
    // operator must see (starts, stops, recoveries); qk_print_console is silent. A service
    // whose standard output is the journal, a pipe or a file: what lands there is kept for
    // good and read by people, so single files and scans stay in the log file.
    Notable,
};
void qk_set_console_echo_mode(QKConsoleEcho mode);

// How much a console program says: Quiet (errors and warnings only: qk_print_error),
// Normal (also qk_print_console), Verbose (every line the log writes, DEBUG included, as
// "LEVEL message", instead of the printed texts). The log file is the same in all three.
// Verbose switches the echo mode to Logged; the others to Printed.
enum class QKConsoleVerbosity { Quiet, Normal, Verbose };
void qk_set_console_verbosity(QKConsoleVerbosity verbosity);
QKConsoleVerbosity qk_console_verbosity();

QKConsoleEcho qk_console_echo_mode();
// The mode of a service: Logged when standard output is a terminal, else Notable.
QKConsoleEcho qk_service_console_echo();
// Writes one line of the log's echo (text, then a line end) when the console-echo flag is
// on: warnings and worse (priority 4 and below) to standard error, the rest to standard
// output. Into the journal the line goes with its syslog priority (0..7) as a "<p>" prefix,
// which the journal takes off and keeps as the line's priority.
void qk_echo_log_line(int priority, const char* text, std::size_t len);

// The process-wide console mutex; hold it to write several lines as one block.
std::recursive_mutex& qk_console_mutex();

// A line shown in place and rewritten as it changes (a transfer's progress on a terminal):
// a carriage return, the text, the rest of the terminal line cleared, no line end. Every
// later write to the console erases it first, so that no line is glued to it; the next
// show brings it back.
void qk_show_transient_line(const std::string& text);
// Erases the line qk_show_transient_line shows, if any.
void qk_clear_transient_line();

// Sets the process locale to the first accepted of "English.utf8", "en_US.utf8", "en_US"
// and "C.UTF-8". QK_RES_TRUE on success, QK_RES_FALSE (after printing an error) when none
// is accepted.
qk_res_t qk_set_english_locale();
// Copies the accepted locale name into buffer; QK_RES_ERROR when none is stored or it does
// not fit.
qk_res_t qk_get_locale_name(char* buffer, std::size_t size);

// Output is always UTF-8 here, so enabling cannot fail: sets the flag, QK_RES_TRUE.
qk_res_t qk_init_unicode_console(bool enable);
qk_res_t qk_is_unicode_console();

struct SQKLocalTime {
    std::int32_t year;
    std::int32_t month;
    std::int32_t day_of_week;
    std::int32_t day;
    std::int32_t hour;
    std::int32_t minute;
    std::int32_t second;
    std::int32_t millisecond;
};

// Local wall-clock time with milliseconds. QK_RES_ERROR when out is null.
qk_res_t qk_get_local_time(SQKLocalTime* out);

std::int32_t qk_get_process_id();

// Makes a write to a peer that has gone fail with EPIPE instead of ending the process.
// Every program with a socket calls it; repeated calls are harmless.
void qk_ignore_sigpipe();
std::int64_t qk_get_thread_id();
