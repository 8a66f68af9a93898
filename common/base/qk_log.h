// The process-wide log: one rotating text file per program.
//
// init_log opens it, close_log closes it; every thread writes through log_message. A line
// reads "06/12/2026 18:05:09.042 [1234] <5678> INFO (tag) message". Lines are composed in
// fixed stack buffers, written under one lock and flushed at once, so a line is whole and
// on disk when its call returns. A call whose level lies outside the log's range returns
// QK_RES_FILTERED before it formats anything. Nothing here throws.
//
// A service echoes its log on the console (qk_console.h, QKConsoleEcho): every line written,
// or only warnings, errors and the lines of log_banner and log_notable, as "LEVEL message";
// a console program its warnings only. Warnings and errors go to standard error.
// What the level keeps out of the file never reaches the console either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/qk_result.h"

constexpr std::uint32_t LOG_MODE_CONSOLE = 0x1;
constexpr std::uint32_t LOG_MODE_FILE = 0x2;
constexpr std::uint32_t LOG_MODE_LOCK = 0x20;
constexpr std::uint32_t LOG_MODE_ROTATE = 0x40;
constexpr std::uint32_t LOG_MODE_DATETIME = 0x400;
constexpr std::uint32_t LOG_MODE_THREAD_ID = 0x800;
constexpr std::uint32_t LOG_MODE_PROCESS_ID = 0x1000;
constexpr std::uint32_t LOG_MODE_LEVEL_NAME = 0x2000;

// File, lock, rotation, date and time, thread, process and level name: every program's mode.
constexpr std::uint32_t LOG_MODE_DEFAULT = 0x3C62;

constexpr int LOG_LEVEL_TRACE = 0;
constexpr int LOG_LEVEL_DEBUG = 1;
constexpr int LOG_LEVEL_INFO = 2;
constexpr int LOG_LEVEL_WARN = 3;
constexpr int LOG_LEVEL_ERROR = 4;
constexpr int LOG_LEVEL_FATAL = 5;

constexpr std::size_t LOG_LINE_SIZE = 2048;
constexpr std::size_t LOG_TAG_SIZE = 128;

// The name of the operation that writes, printed as "(name)" in each of its lines. Each
// operation keeps its own tag, so tags need no lock.
struct QKLogTag {
    char name[LOG_TAG_SIZE] = {};
};

// A tag holding name, for an operation that logs.
QKLogTag qk_make_tag(const char* name);

// Opens the log file in log_dir (with or without a trailing "/") as "<base>.000.<ext>"
// (rotation) or "<base>.<ext>", appending to what is there, and writes its settings at
// DEBUG. Returns false when the mode lacks LOG_MODE_FILE, rotation is asked for with a zero
// size or file count, a level is outside 0..5 or min_level > max_level, a name is empty or
// does not fit, or the file cannot be opened or is held by another writer. Called again, it
// closes the current file first. One lock serialises all writing, with or without
// LOG_MODE_LOCK.
bool init_log(std::uint32_t mode, const std::string& log_dir, const std::string& base_name,
              const std::string& ext, int min_level, int max_level, std::uint64_t max_file_size,
              std::uint32_t max_files);

// Flushes and closes the file and clears the log; later calls write nothing.
qk_res_t close_log();

// Stores the operation's name (UTF-8, cut to at most 127 bytes at a whole character).
qk_res_t log_set_tag(QKLogTag* tag, const char* name);

// Writes one line at the given level; any thread may call. tag may be null. QK_RES_OK when
// written, QK_RES_FILTERED when the level is out of range or the log is closed (checked
// before anything is formatted), a code with the error bits when formatting or writing
// failed or the line alone exceeds the maximum file size (it is still written). An
// over-long message is cut to the line buffer at a whole UTF-8 character.
qk_res_t log_message(int level, const QKLogTag* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The same with a wide format; the line is written as UTF-8.
qk_res_t log_message_w(int level, const QKLogTag* tag, const wchar_t* format, ...);

// A state change worth seeing: text logged at INFO between "=== >>" and "=== <<" lines and
// echoed on the console between "--- >>" and "--- <<" lines; a service's log echoes the text
// alone, as log_notable does.
void log_banner(const QKLogTag* tag, const std::string& text);

// log_message for a change of state an operator must see (a recovery, a start or stop): a
// service echoes it on its console also where only warnings and errors go there
// (QKConsoleEcho::Notable), as long as the log's level writes it.
qk_res_t log_notable(int level, const QKLogTag* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// True when a line of this level would be written; lets a caller skip costly arguments.
bool log_level_enabled(int level);

// Writes from min_level on, up to the highest level init_log set, for an operator who wants
// a smaller log. False, changing nothing, when the log is closed or min_level is outside
// 0..5 or above that highest level.
bool log_set_min_level(int min_level);
// The lowest level written; -1 while the log is closed.
int log_min_level();

// The level named "TRACE", "DEBUG", "INFO", "WARN", "ERROR" or "FATAL"; -1 for any other text.
int log_level_of(const std::string& name);
