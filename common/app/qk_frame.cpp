// Start-up, log framing, header line and help text shared by every program's frame.
#include "app/qk_frame.h"

#include <Poco/Util/HelpFormatter.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "base/qk_bounded.h"
#include "base/qk_console.h"
#include "protocol/qk_exceptions.h"

#ifndef QK_VERSION
#error "QK_VERSION comes from the build: the project version"
#endif
const char* const kQKVersion = QK_VERSION;

namespace {

constexpr std::uint64_t kMaxLogFileSize = 104857600;
constexpr std::uint32_t kMaxLogFiles = 10;
constexpr const char* kKeysMissing = "Error of initializing of Keys Info.";
constexpr const char* kKeysHint =
    "Make the keys with qk_relay_keys first (see qk_relay_keys --help).";
constexpr const char* kFrameLine =
    "#############################################################################################";

bool open_log(const SQKFrameSettings& settings, const std::string& log_dir) {
    return init_log(LOG_MODE_DEFAULT, log_dir, settings.constants.application, "log",
                    settings.min_level, LOG_LEVEL_FATAL, kMaxLogFileSize, kMaxLogFiles);
}

// The error that ended the start, followed by the places the configuration tried; into the
// log as well when its directory was found before the failure. Returns the same lines.
std::string report_start_failure(const SQKFrameSettings& settings, const Poco::Exception& e) {
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    std::string log_dir;
    try {
        log_dir = configs.view("appl").getString("appl_log_dpath", "");
    } catch (const Poco::Exception&) {
        // No paths yet: the console alone hears of it.
    }
    const bool logged = !log_dir.empty() && open_log(settings, log_dir);
    QKLogTag tag = qk_make_tag("_tmain()");
    qk_report_exception(logged ? &tag : nullptr, e);
    std::string text =
        "Exception: ClassName = " + qk_class_name(e) + " Message = " + e.displayText();
    std::vector<std::string> notes = configs.searchNotes();
    // Missing keys are what a fresh install meets first: say what makes them.
    if (e.message() == kKeysMissing)
        notes.push_back(kKeysHint);
    for (const std::string& note : notes) {
        if (logged)
            log_message(LOG_LEVEL_ERROR, &tag, "%s", note.c_str());
        qk_print_error(note);
        text += "\n" + note;
    }
    if (logged)
        close_log();
    return text;
}

bool fail_start(const std::string& text, std::string* failure) {
    qk_print_error(text);
    if (failure != nullptr)
        *failure = text;
    return false;
}

}  // namespace

bool qk_frame_start_console(bool echo, std::string* failure) {
    qk_set_mem_constraint_handler(nullptr);
    qk_set_str_constraint_handler(nullptr);
    qk_set_console_echo(echo);
    if (!qk_res_is(qk_set_english_locale(), QK_RES_TRUE))
        return fail_start("Error of initializing of Locale. Apllication will be closed...",
                          failure);
    if (!qk_res_is(qk_init_unicode_console(fileno(stdout) > 0), QK_RES_TRUE))
        return fail_start("Error of initializing of Unicode. Apllication will be closed...",
                          failure);
    return true;
}

bool qk_frame_start(const SQKFrameSettings& settings, bool echo, std::string* failure) {
    if (!qk_frame_start_console(echo, failure))
        return false;
    std::string log_dir;
    try {
        CQKBaseConfigs& configs = CQKBaseConfigs::instance();
        const SQKBuildConstants& constants = settings.constants;
        if (constants.key_file.empty()) {
            configs.initPaths(constants);
        } else {
            configs.initConfigs(constants);
            configs.view("ssl_keys");
        }
        configs.view("build");
        log_dir = configs.view("appl").getString("appl_log_dpath");
    } catch (const Poco::Exception& e) {
        const std::string text = report_start_failure(settings, e);
        if (failure != nullptr)
            *failure = text;
        return false;
    }
    if (!open_log(settings, log_dir))
        return fail_start("Error of initializing of the Log. Apllication will be closed...",
                          failure);
    return true;
}

void qk_frame_log_opening(const QKLogTag& tag) {
    log_message(LOG_LEVEL_INFO, &tag, "%s >>", kFrameLine);
    log_message(LOG_LEVEL_DEBUG, &tag, "Start of Logging...");
}

void qk_frame_log_closing(const QKLogTag& tag) {
    log_message(LOG_LEVEL_DEBUG, &tag, "Finish of Logging...");
    log_message(LOG_LEVEL_INFO, &tag, "%s <<", kFrameLine);
    close_log();
}

namespace {

std::string header_line() {
    return std::string(kQKProductName) + " " + kQKVersion + " " + kQKLegalNotice + ". " + __DATE__ +
           ".";
}

}  // namespace

void qk_print_header_info(const QKLogTag& tag, bool echo) {
    const std::string line = header_line();
    log_message(LOG_LEVEL_INFO, &tag, "\n%s", line.c_str());
    if (echo)
        qk_print_console(line);
}

void qk_echo_header_info() {
    qk_print_console(header_line());
}

Poco::Util::Option qk_help_option() {
    return Poco::Util::Option("help", "h", "display this help...")
        .required(false)
        .repeatable(false)
        .group("commands");
}

Poco::Util::Option qk_version_option() {
    return Poco::Util::Option("version", "V", "display the program's version...")
        .required(false)
        .repeatable(false)
        .group("commands");
}

QKBareRequest qk_bare_request(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return QKBareRequest::help;
        if (arg == "--version" || arg == "-V")
            return QKBareRequest::version;
    }
    return QKBareRequest::none;
}

void qk_print_version(const std::string& program) {
    std::printf("%s %s\n", program.c_str(), kQKVersion);
    std::fflush(stdout);
}

void qk_display_help(const Poco::Util::OptionSet& options, const std::string& command,
                     const QKLogTag& tag) {
    Poco::Util::HelpFormatter formatter(options);
    formatter.setCommand(command);
    formatter.setUsage("[OPTION]\n");
    formatter.setHeader("");
    formatter.setFooter("");
    formatter.setUnixStyle(true);
    formatter.setAutoIndent();
    formatter.setWidth(100);
    std::ostringstream text;
    formatter.format(text);
    log_message(LOG_LEVEL_INFO, &tag, "\n%s", text.str().c_str());
    qk_print_console(text.str(), false);
}
