// The console application frame and the base of the console programs' application classes.
#include "app/CQKConsoleAppl.h"

#include <Poco/Path.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionSet.h>

#include <cctype>

#include "app/qk_frame.h"
#include "base/qk_console.h"
#include "protocol/qk_exceptions.h"

CQKConsoleAppl::CQKConsoleAppl(const std::string& instance_name, const std::string& class_name)
    : m_instance_lock(instance_name),
      m_program(instance_name),
      m_header_tag(class_name + "::printHeaderInfo()") {
    setUnixOptions(true);
}

CQKConsoleAppl::~CQKConsoleAppl() = default;

namespace {

constexpr const char* kInstanceRefusal =
    "Instance of this application has been launched already...";

}  // namespace

void CQKConsoleAppl::lockSingleInstance() {
    if (!m_instance_lock.tryLock())
        throw Poco::Exception(kInstanceRefusal);
}

void CQKConsoleAppl::lockPath(const std::string& what, const std::string& path) {
    takeLock(CQKInstanceLock::pathLockName(m_program, path),
             what + " " + CQKInstanceLock::canonicalPath(path));
}

void CQKConsoleAppl::lockPort(const std::string& what, int port) {
    takeLock(m_program + ".port" + std::to_string(port), what + " " + std::to_string(port));
}

void CQKConsoleAppl::takeLock(const std::string& name, const std::string& what) {
    auto lock = std::make_unique<CQKInstanceLock>(name, what);
    if (lock->tryLock()) {
        m_resource_locks.push_back(std::move(lock));
        return;
    }
    const long pid = lock->holderPid();
    const std::string holder = pid > 0 ? "process " + std::to_string(pid) : "another process";
    std::string line = what + " is in use by " + holder + " (lock " + lock->path() + ")";
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    throw Poco::Exception(std::string(kInstanceRefusal) + "\n" + line);
}

void CQKConsoleAppl::printHeaderInfo(bool echo) {
    QKLogTag tag = qk_make_tag(m_header_tag.c_str());
    qk_print_header_info(tag, echo);
}

void CQKConsoleAppl::applyVerbosity() const {
    if (m_verbosity.has_value())
        qk_set_console_verbosity(*m_verbosity);
}

void CQKConsoleAppl::defineOptions(Poco::Util::OptionSet& options) {
    Poco::Util::Application::defineOptions(options);
    options.addOption(qk_help_option());
    options.addOption(qk_version_option());
}

void CQKConsoleAppl::defineVerbosityOptions(Poco::Util::OptionSet& options) {
    using Poco::Util::Option;
    // One group: the option processor refuses both together as conflicting options.
    options.addOption(Option("quiet", "q", "errors and warnings only on the console...")
                          .required(false)
                          .repeatable(false)
                          .group("verbosity"));
    options.addOption(Option("verbose", "v", "every line the log gets on the console...")
                          .required(false)
                          .repeatable(false)
                          .group("verbosity"));
}

void CQKConsoleAppl::handleOption(const std::string& name, const std::string& value) {
    Poco::Util::Application::handleOption(name, value);
    if (name == "quiet")
        m_verbosity = QKConsoleVerbosity::Quiet;
    else if (name == "verbose")
        m_verbosity = QKConsoleVerbosity::Verbose;
}

void CQKConsoleAppl::displayHelp(const QKLogTag& tag) {
    qk_display_help(options(), commandName(), tag);
}

void CQKConsoleAppl::displayBareHelp(const std::string& command) {
    Poco::Util::OptionSet options;
    defineOptions(options);
    QKLogTag tag = qk_make_tag(m_header_tag.c_str());
    qk_display_help(options, command, tag);
}

namespace {

// --help and --version: what a user asks first, on a machine that may have no keys or
// configuration yet, so neither is looked at.
int answer_bare_request(QKBareRequest request, const char* argv0, const SQKFrameSettings& settings,
                        const std::function<std::unique_ptr<CQKConsoleAppl>()>& make_application) {
    if (!qk_frame_start_console(true))
        return QK_EXIT_FRAME_FAILED;
    if (request == QKBareRequest::version) {
        qk_print_version(settings.constants.application);
        return Poco::Util::Application::EXIT_OK;
    }
    try {
        std::unique_ptr<CQKConsoleAppl> application = make_application();
        application->printHeaderInfo();
        application->displayBareHelp(Poco::Path(argv0).getBaseName());
        return Poco::Util::Application::EXIT_OK;
    } catch (const Poco::Exception& e) {
        qk_report_exception(nullptr, e);
    } catch (const std::exception& e) {
        qk_report_exception(nullptr, e);
    }
    return QK_EXIT_FRAME_FAILED;
}

}  // namespace

int qk_run_console_frame(int argc, char** argv, const SQKFrameSettings& settings,
                         const std::function<std::unique_ptr<CQKConsoleAppl>()>& make_application) {
    const QKBareRequest request = qk_bare_request(argc, argv);
    if (request != QKBareRequest::none)
        return answer_bare_request(request, argv[0], settings, make_application);
    if (!qk_frame_start(settings, true))
        return QK_EXIT_FRAME_FAILED;
    QKLogTag tag = qk_make_tag("_tmain()");
    int exit_code = QK_EXIT_FRAME_FAILED;
    try {
        CQKBaseConfigs::instance().readConfC();
        CQKBaseConfigs::instance().readConfP();
        qk_frame_log_opening(tag);
        std::unique_ptr<CQKConsoleAppl> application = make_application();
        application->printHeaderInfo(false);
        application->init(argc, argv);
        application->applyVerbosity();
        qk_echo_header_info();
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
    qk_frame_log_closing(tag);
    return exit_code;
}
