// The application class of qk_relay_ctrl: one command on one operating-system service
// (start it, stop it, or report whether it is registered and running), asked of the service
// manager once, without waiting for the service to reach its new state.
//
// Threads: everything runs on the main thread, inside the console frame.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Util/OptionSet.h>
#include <Poco/Util/RegExpValidator.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/CQKConsoleAppl.h"
#include "system/CQKServiceManager.h"

struct SQKCtrlParams {
    // The numbers appear in console and log output.
    enum class OperationCode : std::int32_t {
        none = 0,
        start_service = 1,
        stop_service = 2,
        status_service = 3,
        help = 4,
    };
    OperationCode m_op_code = OperationCode::none;
    std::string m_service_name;
};

class CQKCtrlAppl : public CQKConsoleAppl {
public:
    CQKCtrlAppl();
    ~CQKCtrlAppl() override;

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    // Runs the option's validator (base class), then stores the command. A name of 128
    // characters or more is logged and ignored.
    void handleOption(const std::string& name, const std::string& value) override;
    // 0 after a completed command or the help, QK_EXIT_MAIN_FAILED (74) after any exception
    // (reported on the console and in the log). Nothing escapes.
    int main(const std::vector<std::string>& args) override;

    void displayHelp();
    // Throws Poco::Util::OptionException unless m_op_code holds a command.
    void checkParams();

private:
    void runCommand(const char* title);
    void startService(CQKServiceManager& service);
    void stopService(CQKServiceManager& service);
    void reportState(CQKServiceManager& service, const char* title);

    Poco::AutoPtr<Poco::Util::RegExpValidator> m_name_validator;
    SQKCtrlParams m_params;
};
