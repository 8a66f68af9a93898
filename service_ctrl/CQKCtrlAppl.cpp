// qk_relay_ctrl's application: options, the check of the command and the command itself.
#include "CQKCtrlAppl.h"

#include <Poco/Exception.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionException.h>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"

namespace {

using OperationCode = SQKCtrlParams::OperationCode;

constexpr const char* kInstanceName = "qk_relay_ctrl";
constexpr const char* kNamePattern = "^.{1,128}$";
// The validator lets 128 characters pass; the command takes at most 127.
constexpr std::size_t kMaxNameLength = 127;
const std::string kBannerLine(85, '-');

int code_of(OperationCode op_code) {
    return static_cast<int>(op_code);
}

std::string state_figure(bool state) {
    return state ? "1" : "0";
}

}  // namespace

CQKCtrlAppl::CQKCtrlAppl()
    : CQKConsoleAppl(kInstanceName, "CQKCtrlAppl"),
      m_name_validator(new Poco::Util::RegExpValidator(kNamePattern)) {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::CQKCtrlAppl()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::CQKCtrlAppl()");
    setUnixOptions(true);
}

CQKCtrlAppl::~CQKCtrlAppl() {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::~CQKCtrlAppl()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::~CQKCtrlAppl()");
}

void CQKCtrlAppl::initialize(Poco::Util::Application& self) {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::initialize()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::initialize()");
    CQKConsoleAppl::initialize(self);
}

void CQKCtrlAppl::uninitialize() {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::uninitialize()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::uninitialize()");
    CQKConsoleAppl::uninitialize();
}

void CQKCtrlAppl::defineOptions(Poco::Util::OptionSet& options) {
    using Poco::Util::Option;
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::defineOptions()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::defineOptions()");
    CQKConsoleAppl::defineOptions(options);  // help, in the same group

    // One group: at most one command per run. Each option holds its own reference to the
    // shared validator.
    const struct {
        const char* name;
        const char* letter;
        const char* description;
    } commands[] = {{"start_service", "s", "start service..."},
                    {"stop_service", "t", "stop service..."},
                    {"status_service", "u", "status of service..."}};
    for (const auto& command : commands) {
        options.addOption(Option(command.name, command.letter, command.description)
                              .required(false)
                              .repeatable(false)
                              .argument("<service_name>", true)
                              .validator(m_name_validator.duplicate())
                              .group("commands"));
    }
}

void CQKCtrlAppl::handleOption(const std::string& name, const std::string& value) {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::handleOption()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::handleOption()");
    // The base runs the validator first; a refused value ends here with its exception.
    CQKConsoleAppl::handleOption(name, value);

    const char* option = name.c_str();
    if (name == "help") {
        m_params.m_op_code = OperationCode::help;
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "name = %s m_params.m_op_code = %d (OperationCode::help)", option,
                    code_of(m_params.m_op_code));
        return;
    }
    OperationCode op_code = OperationCode::none;
    if (name == "start_service")
        op_code = OperationCode::start_service;
    else if (name == "stop_service")
        op_code = OperationCode::stop_service;
    else if (name == "status_service")
        op_code = OperationCode::status_service;
    else
        return;
    if (value.size() > kMaxNameLength) {
        log_message(LOG_LEVEL_ERROR, &tag, "name = %s wrong length of value (too long): %zu",
                    option, value.size());
        return;
    }
    m_params.m_op_code = op_code;
    m_params.m_service_name = value;
    log_message(LOG_LEVEL_DEBUG, &tag,
                "name = %s m_params.m_op_code = %d (OperationCode::%s) "
                "m_params.m_service_name = %s",
                option, code_of(op_code), option, m_params.m_service_name.c_str());
}

void CQKCtrlAppl::displayHelp() {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::displayHelp()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::displayHelp()");
    CQKConsoleAppl::displayHelp(tag);
}

void CQKCtrlAppl::checkParams() {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::checkParams()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::checkParams()");
    const int op_code = code_of(m_params.m_op_code);
    if (op_code < code_of(OperationCode::start_service) || op_code > code_of(OperationCode::help))
        throw Poco::Util::OptionException(
            "Error of checking of params: Unknown value m_params.m_op_code");
}

int CQKCtrlAppl::main(const std::vector<std::string>& /*args*/) {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::main()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKCtrlAppl::main()");
    log_message(LOG_LEVEL_DEBUG, &tag, "Start of main()...");

    int exit_code = EXIT_OK;
    try {
        lockSingleInstance();
        switch (m_params.m_op_code) {
            case OperationCode::start_service:
                runCommand("Start Service");
                break;
            case OperationCode::stop_service:
                runCommand("Stop Service");
                break;
            case OperationCode::status_service:
                runCommand("Status of Service");
                break;
            default:
                displayHelp();
                break;
        }
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        exit_code = QK_EXIT_MAIN_FAILED;
    } catch (const Poco::Exception* e) {
        if (e != nullptr)
            qk_report_exception(&tag, *e);
        else
            qk_report_unknown_exception(&tag);
        exit_code = QK_EXIT_MAIN_FAILED;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        exit_code = QK_EXIT_MAIN_FAILED;
    }

    log_message(LOG_LEVEL_DEBUG, &tag, "End of main()...");
    return exit_code;
}

void CQKCtrlAppl::runCommand(const char* title) {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::main()");
    const int op_code = code_of(m_params.m_op_code);
    const char* service_name = m_params.m_service_name.c_str();
    qk_print_console(std::string(title) + "...");
    log_message(LOG_LEVEL_INFO, &tag, "%s: %s >>", title, kBannerLine.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "Parameters:");
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_op_code\t\t= %d", op_code);
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_service_name\t\t= %s", service_name);
    checkParams();

    const std::unique_ptr<CQKServiceManager> service =
        CQKServiceManager::create(m_params.m_service_name);
    if (m_params.m_op_code == OperationCode::start_service)
        startService(*service);
    else if (m_params.m_op_code == OperationCode::stop_service)
        stopService(*service);
    reportState(*service, title);
}

void CQKCtrlAppl::startService(CQKServiceManager& service) {
    const std::string& name = m_params.m_service_name;
    // Asking whether an unregistered service runs would fail before its own message.
    const bool registered = service.isRegistered();
    const bool running = registered && service.isRunning();
    if (!registered)
        throw Poco::Exception("Service: " + name + " has not been registered.");
    if (running)
        throw Poco::Exception("Service: " + name + " already has been launched.");
    qk_print_console("");
    qk_print_console("Service: " + name + ". Start Launching.");
    service.start();
    qk_print_console("Service: " + name + ". Has been Launched.");
}

void CQKCtrlAppl::stopService(CQKServiceManager& service) {
    const std::string& name = m_params.m_service_name;
    const bool registered = service.isRegistered();
    const bool running = registered && service.isRunning();
    if (!registered)
        throw Poco::Exception("Service: " + name + " has not been registered...");
    if (!running)
        throw Poco::Exception("Service: " + name + " hasn't been launched...");
    qk_print_console("");
    qk_print_console("Service: " + name + ". Stopping...");
    service.stop();
    qk_print_console("Service: " + name + ". Has been Stopped...");
}

void CQKCtrlAppl::reportState(CQKServiceManager& service, const char* title) {
    const QKLogTag tag = qk_make_tag("CQKCtrlAppl::main()");
    qk_print_console("");
    // Each line asks afresh: for a service the manager does not know, the registration
    // is shown before asking whether it runs fails.
    qk_print_console("Is registered\t: " + state_figure(service.isRegistered()));
    qk_print_console("Is running      : " + state_figure(service.isRunning()));
    log_message(LOG_LEVEL_INFO, &tag, "Is registered\t: %d", service.isRegistered() ? 1 : 0);
    log_message(LOG_LEVEL_INFO, &tag, "Is running    : %d", service.isRunning() ? 1 : 0);
    log_message(LOG_LEVEL_INFO, &tag, "%s: %s <<", title, kBannerLine.c_str());
}
