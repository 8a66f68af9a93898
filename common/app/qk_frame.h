// The steps every program's frame shares, console programs and services alike: start-up up
// to the open log, the opening and closing lines of the log, the header line and the help
// text.
#pragma once

#include <Poco/Util/Option.h>
#include <Poco/Util/OptionSet.h>

#include <string>

#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"

// The product's build constants: the header line, --version, and the control program's
// About box and tray tip. The version is the build's project version, which the packages
// carry as well.
inline constexpr const char* kQKProductName = "QK Relay";
extern const char* const kQKVersion;
inline constexpr const char* kQKMakerName = "The QK Relay developers";
inline constexpr const char* kQKLegalNotice = "Copyright (C) 2026 the QK Relay developers";

struct SQKFrameSettings {
    SQKBuildConstants constants;
    int min_level = LOG_LEVEL_DEBUG;  // services and the control program log from TRACE
};

// Constraint handlers, console echo (on when echo), locale and Unicode console: all a program
// needs to print. False, after echoing why, when one of them failed; then failure (when
// given) receives the same text.
bool qk_frame_start_console(bool echo, std::string* failure = nullptr);

// qk_frame_start_console, then the base
// configuration with the program's build constants and the log. False, after echoing why
// (and logging it where the log's directory was found), when the program can't start; then
// failure (when given) receives the same text, for a program that shows it in a box.
bool qk_frame_start(const SQKFrameSettings& settings, bool echo, std::string* failure = nullptr);

// The log's first lines after the start ("#...# >>", "Start of Logging..."), and its last
// ones before it is closed ("Finish of Logging...", "#...# <<").
void qk_frame_log_opening(const QKLogTag& tag);
void qk_frame_log_closing(const QKLogTag& tag);

// "QK Relay <version> <legal notice>. <build date>.", logged at INFO and, when echo, echoed.
void qk_print_header_info(const QKLogTag& tag, bool echo = true);
// The same line, echoed only.
void qk_echo_header_info();

// The option every program has: --help (-h), in the group "commands", so that it excludes
// the program's own command.
Poco::Util::Option qk_help_option();

// The option beside it: --version (-V), in the same group.
Poco::Util::Option qk_version_option();

// What a command line asks that the program answers from itself alone, before any key,
// configuration or install tree is looked at: the first "--help"/"-h" or
// "--version"/"-V" among the arguments, whatever else they hold.
enum class QKBareRequest { none, help, version };
QKBareRequest qk_bare_request(int argc, const char* const* argv);

// "<program> <version>" on the standard output.
void qk_print_version(const std::string& program);

// The options formatted with usage "[OPTION]\n", logged at INFO and echoed.
void qk_display_help(const Poco::Util::OptionSet& options, const std::string& command,
                     const QKLogTag& tag);
