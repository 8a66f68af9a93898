// The console application frame and the base of the console programs' application classes.
#include "app/CQKConsoleAppl.h"

#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionSet.h>

#include <cstdio>
#include <sstream>

#include "base/qk_bounded.h"
#include "base/qk_console.h"
#include "protocol/qk_exceptions.h"

namespace {

constexpr const char* kProductName = "QK Relay";
constexpr const char* kVersion = "0.0.11.11";
constexpr const char* kLegalNotice = "Copyright (C) 2026 the QK Relay developers";
constexpr std::uint64_t kMaxLogFileSize = 104857600;
constexpr std::uint32_t kMaxLogFiles = 10;

bool open_log(const SQKFrameSettings& settings, const std::string& log_dir) {
    return init_log(LOG_MODE_DEFAULT, log_dir, settings.constants.application, "log",
                    settings.min_level, LOG_LEVEL_FATAL, kMaxLogFileSize, kMaxLogFiles);
}

// The error that ended the start, followed by the places the configuration tried; into the
// log as well when its directory was found before the failure.
void report_start_failure(const SQKFrameSettings& settings, const Poco::Exception& e) {
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
    for (const std::string& note : configs.searchNotes()) {
        if (logged)
            log_message(LOG_LEVEL_ERROR, &tag, "%s", note.c_str());
        qk_print_console(note);
    }
    if (logged)
        close_log();
}

// Frame steps up to the open log; false (after echoing why) when the program can't start.
bool start_frame(const SQKFrameSettings& settings) {
    qk_set_mem_constraint_handler(nullptr);
    qk_set_str_constraint_handler(nullptr);
    qk_set_console_echo(true);
    if (!qk_res_is(qk_set_english_locale(), QK_RES_TRUE)) {
        qk_print_console("Error of initializing of Locale. Apllication will be closed...");
        return false;
    }
    if (!qk_res_is(qk_init_unicode_console(fileno(stdout) > 0), QK_RES_TRUE)) {
        qk_print_console("Error of initializing of Unicode. Apllication will be closed...");
        return false;
    }
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
        report_start_failure(settings, e);
        return false;
    }
    if (!open_log(settings, log_dir)) {
        qk_print_console("Error of initializing of the Log. Apllication will be closed...");
        return false;
    }
    return true;
}

}  // namespace

CQKConsoleAppl::CQKConsoleAppl(const std::string& instance_name, const std::string& class_name)
    : m_instance_lock(instance_name), m_header_tag(class_name + "::printHeaderInfo()") {
    setUnixOptions(true);
}

CQKConsoleAppl::~CQKConsoleAppl() = default;

void CQKConsoleAppl::lockSingleInstance() {
    if (!m_instance_lock.tryLock())
        throw Poco::Exception("Instance of this application has been launched already...");
}

void CQKConsoleAppl::printHeaderInfo() {
    QKLogTag tag = qk_make_tag(m_header_tag.c_str());
    const std::string line =
        std::string(kProductName) + " " + kVersion + " " + kLegalNotice + ". " + __DATE__ + ".";
    log_message(LOG_LEVEL_INFO, &tag, "\n%s", line.c_str());
    qk_print_console(line);
}

void CQKConsoleAppl::defineOptions(Poco::Util::OptionSet& options) {
    Poco::Util::Application::defineOptions(options);
    options.addOption(Poco::Util::Option("help", "h", "display this help...")
                          .required(false)
                          .repeatable(false)
                          .group("commands"));
}

void CQKConsoleAppl::displayHelp(const QKLogTag& tag) {
    Poco::Util::HelpFormatter formatter(options());
    formatter.setCommand(commandName());
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

int qk_run_console_frame(int argc, char** argv, const SQKFrameSettings& settings,
                         const std::function<std::unique_ptr<CQKConsoleAppl>()>& make_application) {
    if (!start_frame(settings))
        return QK_EXIT_FRAME_FAILED;
    QKLogTag tag = qk_make_tag("_tmain()");
    int exit_code = QK_EXIT_FRAME_FAILED;
    try {
        CQKBaseConfigs::instance().readConfC();
        CQKBaseConfigs::instance().readConfP();
        log_message(LOG_LEVEL_INFO, &tag,
                    "############################################################################"
                    "################# >>");
        log_message(LOG_LEVEL_DEBUG, &tag, "Start of Logging...");
        std::unique_ptr<CQKConsoleAppl> application = make_application();
        application->printHeaderInfo();
        application->init(argc, argv);
        exit_code = application->run();
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        exit_code = QK_EXIT_FRAME_FAILED;
    } catch (const std::exception& e) {
        qk_report_exception(&tag, e);
        exit_code = QK_EXIT_FRAME_FAILED;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        exit_code = QK_EXIT_FRAME_FAILED;
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "Finish of Logging...");
    log_message(LOG_LEVEL_INFO, &tag,
                "############################################################################"
                "################# <<");
    close_log();
    return exit_code;
}
