// The services' frame around their control task.
#include "app/CQKServiceAppl.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <Poco/Net/SSLManager.h>
#include <Poco/TaskManager.h>
#include <Poco/ThreadPool.h>

#include "base/qk_console.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKSenderStop.h"

namespace {

constexpr int kServiceFailed = 1;
// The control task, up to 20 file connections and the senders of a service share the
// default pool, which holds 16 threads.
constexpr int kExtraThreads = 32;
constexpr const char* kMainLine =
    "main(): -------------------------------------------------------- ";

// Blocked before any thread exists, so that every thread inherits the mask and the
// termination request reaches the main thread's wait instead of killing the process.
void block_termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGINT, SIGQUIT, SIGTERM})
        sigaddset(&set, signo);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

CQKServiceAppl::CQKServiceAppl(const SQKFrameSettings& settings, const std::string& class_name,
                               const std::string& handler_name)
    : m_settings(settings),
      m_class_name(class_name),
      m_instance_lock(settings.constants.application),
      m_error_handler(class_name + "::" + handler_name + "::exception()") {
    setUnixOptions(true);
    // Taken before run() detaches a daemon, which points its standard streams at /dev/null.
    m_start_report = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

CQKServiceAppl::~CQKServiceAppl() {
    if (m_start_report >= 0)
        ::close(m_start_report);
}

void CQKServiceAppl::defineOptions(Poco::Util::OptionSet& options) {
    Poco::Util::ServerApplication::defineOptions(options);
    options.addOption(qk_help_option());
    options.addOption(qk_version_option());
}

void CQKServiceAppl::handleOption(const std::string& name, const std::string& value) {
    Poco::Util::ServerApplication::handleOption(name, value);
    if (name == "help" || name == "version") {
        m_bare_request = name == "help" ? QKBareRequest::help : QKBareRequest::version;
        stopOptionsProcessing();
    }
}

int CQKServiceAppl::main(const ArgVec&) {
    block_termination_signals();
    qk_ignore_sigpipe();
    openStartReport();
    if (m_bare_request != QKBareRequest::none)
        return answerBareRequest();
    m_settings.constants.use_common = !isInteractive();
    if (!qk_frame_start(m_settings, true))
        return kServiceFailed;
    QKLogTag tag = qk_make_tag("main()");
    try {
        // After the log has opened (it appends without a lock), so that a refused second
        // instance leaves its reason there.
        if (!m_instance_lock.tryLock())
            throw Poco::Exception("Instance of this application has been launched already...");
        CQKBaseConfigs::instance().readConfC();
        CQKBaseConfigs::instance().readConfP();
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        close_log();
        return kServiceFailed;
    }
    qk_frame_log_opening(tag);
    const int result = runFramed();
    qk_frame_log_closing(tag);
    return result;
}

int CQKServiceAppl::answerBareRequest() {
    if (!qk_frame_start_console(true))
        return kServiceFailed;
    if (m_bare_request == QKBareRequest::version) {
        qk_print_version(m_settings.constants.application);
        return EXIT_OK;
    }
    QKLogTag header = qk_make_tag((m_class_name + "::printHeaderInfo()").c_str());
    qk_print_header_info(header);
    QKLogTag help = qk_make_tag((m_class_name + "::displayHelp()").c_str());
    qk_display_help(options(), commandName(), help);
    return EXIT_OK;
}

void CQKServiceAppl::openStartReport() {
    if (!isInteractive() && m_start_report >= 0) {
        std::fflush(stdout);
        ::dup2(m_start_report, STDOUT_FILENO);
        ::dup2(m_start_report, STDERR_FILENO);
    }
}

void CQKServiceAppl::closeStartReport() {
    if (!isInteractive()) {
        qk_set_console_echo(false);
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::close(null);
        }
    }
    if (m_start_report >= 0)
        ::close(m_start_report);
    m_start_report = -1;
}

int CQKServiceAppl::runFramed() {
    QKLogTag tag = qk_make_tag("main()");
    Poco::ErrorHandler* previous = nullptr;
    int result = EXIT_OK;
    try {
        Poco::Net::initializeSSL();
        previous = Poco::ErrorHandler::set(&m_error_handler);
        log_message(LOG_LEVEL_DEBUG, &tag, "%s>>", kMainLine);
        runBody();
        log_message(LOG_LEVEL_DEBUG, &tag, "%s<<", kMainLine);
        log_message(LOG_LEVEL_DEBUG, &tag, "End of main()...");
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        result = kServiceFailed;
    } catch (const std::exception& e) {
        qk_report_exception(&tag, e);
        result = kServiceFailed;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        result = kServiceFailed;
    }
    if (previous)
        Poco::ErrorHandler::set(previous);
    Poco::Net::uninitializeSSL();
    return result;
}

void CQKServiceAppl::runBody() {
    QKLogTag header = qk_make_tag((m_class_name + "::printHeaderInfo()").c_str());
    qk_print_header_info(header);
    runService();
}

void CQKServiceAppl::runService() {
    // Not before main: a daemon forks after construction, and pool threads made before the
    // fork would not exist in the child.
    Poco::ThreadPool::defaultPool().addCapacity(kExtraThreads);
    // The task's own pool: joining the task manager joins its pool, and the default pool
    // also runs the listeners' dispatchers, which end only when the task is destroyed.
    Poco::ThreadPool task_pool(1, 1);
    Poco::TaskManager tasks(task_pool);
    Poco::AutoPtr<CQKServiceControlTask> control = createControlTask();
    control->duplicate();  // the task manager takes a reference of its own
    tasks.start(control.get());
    closeStartReport();
    waitForTerminationRequest();
    // First the senders: a file on its way is cut at once and stays for the next start.
    qk_sender_stop().request();
    tasks.cancelAll();
    tasks.joinAll();
    // Leaving the scope destroys the task, which stops its listeners.
}

void CQKServiceAppl::ErrorHandler::report(const std::string& echo, const std::string& line) {
    QKLogTag tag = qk_make_tag(m_tag_name.c_str());
    qk_print_error(echo);
    log_message(LOG_LEVEL_ERROR, &tag, "%s", line.c_str());
}

void CQKServiceAppl::ErrorHandler::exception(const Poco::Exception& e) {
    const std::string text =
        "Exception: ClassName = " + qk_class_name(e) + " Message = " + e.displayText();
    report(text, text);
}

void CQKServiceAppl::ErrorHandler::exception(const std::exception& e) {
    const std::string text = std::string("Exception: Message = ") + e.what();
    report(text, text);
}

void CQKServiceAppl::ErrorHandler::exception() {
    report("Exception...", "Exception...");
}
