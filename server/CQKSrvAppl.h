// The receiving server application: options, parameter checks, the two file listeners
// (plain and TLS, sharing one registry of files being received) and the wait for a console
// control event that stops them.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Event.h>
#include <Poco/Util/OptionSet.h>
#include <Poco/Util/Validator.h>

#include <atomic>
#include <string>
#include <vector>

#include "CQKCtrlSignalWatcher.h"
#include "CQKTcpSrv.h"
#include "app/CQKConsoleAppl.h"
#include "config/SQKSrvParams.h"
#include "control/CQKMetricsListener.h"

class CQKSrvAppl : public CQKConsoleAppl {
public:
    // Runs on the main thread inside the frame, after the base configuration and the log
    // exist, and before any other thread starts (it blocks the console control signals).
    // Reads the key file paths ("ssl_keys" view; Poco::NullPointerException when missing)
    // and adds "HTTPTimeServer.maxThreads" (default 16) threads to the default thread pool,
    // which runs the connections of both listeners.
    CQKSrvAppl();
    // Ends the signal watching, then destroys the listeners (each stops a server that
    // still runs); the base releases the single-instance lock last.
    ~CQKSrvAppl() override;

    // Prints the options, usage and descriptions on the console and in the log.
    void displayHelp();
    // Checks the parameters of the command; creates missing incoming and backup directories.
    // Throws Poco::FileExistsException for a directory that is not usable and
    // Poco::Util::OptionException for wrong ports (the metrics port 0..65535 and none of the
    // others), a metrics address that is no literal IPv4 address, or an unknown command.
    void checkParams();
    // Reads the server's key, certificate and CA file paths into the parameter record.
    void readFsConfig();
    // Blocks the main thread until a console control event has stopped the listeners.
    void waitForTerminationRequest();

    // Called on the signal-watching thread with the control type (0 Ctrl+C or termination,
    // 1 Ctrl+Break, 2 close). The first event of these types runs terminate(); later ones
    // are only logged, since the termination is already under way.
    static void consoleCtrlHandler(int ctrl_type);
    // Stops both listeners (each returns once its connections have ended), wakes main and
    // gives it up to 10 s to log its end. Failures of a stop are reported and skipped, so
    // main always wakes.
    static void terminate();

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    // Runs the option's validator (base class), then stores the value in the record.
    void handleOption(const std::string& name, const std::string& value) override;
    // Exit code 0 after help or a stopped server, QK_EXIT_MAIN_FAILED (74) after any
    // exception: second instance, parameter errors, listener start failures.
    int main(const std::vector<std::string>& args) override;

private:
    // Starts both listeners; when the TLS one fails, stops the plain one again before the
    // exception passes on, so nothing stays half-started.
    void startListeners();
    // Takes the locks of the incoming tree and of each port listened on.
    void lockWhatRunsShare();
    // Starts the metrics endpoint when a port is set; throws when it cannot start.
    void startMetrics();

    // First member: blocks the control signals before anything below can start a thread.
    CQKCtrlSignalWatcher m_signal_watcher;
    SQKSrvParams m_params;
    Poco::AutoPtr<Poco::Util::Validator> m_port_validator;
    Poco::AutoPtr<Poco::Util::Validator> m_path_validator;
    CQKTcpSrv m_tcp_server;
    CQKTcpSslSrv m_tcp_ssl_server;
    CQKMetricsListener m_metrics;

    // The instance the control handler works on.
    static std::atomic<CQKSrvAppl*> s_instance;
    static std::atomic<bool> s_terminating;
    // Set by the control handler, awaited by main.
    static Poco::Event m_terminate;
    // Set by main once it has woken up, awaited by the control handler.
    static Poco::Event m_terminated;
};
