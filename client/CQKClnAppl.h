// The application class of qk_relay_cln: its command line, the check of its parameters and
// one sending run on the plain or the TLS sender (which spreads a directory over --streams
// connections).
//
// Threads: everything runs on the main thread, inside the console frame.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Util/IntValidator.h>
#include <Poco/Util/OptionSet.h>
#include <Poco/Util/RegExpValidator.h>

#include <set>
#include <string>
#include <vector>

#include "CQKTcpCln.h"
#include "CQKTcpSslCln.h"
#include "app/CQKConsoleAppl.h"
#include "config/SQKClnParams.h"
#include "qk_run_summary.h"

class CQKClnAppl : public CQKConsoleAppl {
public:
    // Reads the TLS file paths of the "ssl_keys" view, so the base configuration must be
    // initialised first. Throws Poco::NullPointerException when the view is missing and
    // Poco::NotFoundException when one of its keys is.
    CQKClnAppl();
    ~CQKClnAppl() override;

    // The signal that asked the run to stop (from the signal thread), for its exit code.
    static void noteStopSignal(int signo);

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    // Stores a validated option value in m_params; the base class has already run the
    // option's validator, which throws on a refused value.
    void handleOption(const std::string& name, const std::string& value) override;
    // 0 after the help, the run's exit code after a run (qk_run_exit_code), QK_EXIT_MAIN_FAILED
    // when an exception was caught (reported on the console and in the log). Nothing escapes.
    int main(const std::vector<std::string>& args) override;

    void displayHelp();
    // Checks m_params for the send_files command; throws Poco::FileExistsException for a
    // missing file or directory, Poco::Util::OptionException for a bad port, address or
    // command. Creates a missing backup directory with its parents.
    void checkParams();
    void readConfig();

private:
    void echoParams() const;
    void logParams() const;
    // One run of sender under the rate limit, with the progress line on a terminal.
    void sendWithProgress(CQKTcpCln& sender);
    // The run's outcome, said as the console and the log have it, and its exit code.
    int endRun(const CQKTcpCln& sender, double seconds);
    void reportFailure() const;
    void warnSubDirsLeft(const CQKTcpCln::SQKTreeCount& tree) const;
    void printSummary(const SQKRunOutcome& outcome) const;
    // Refuses name when an option given before it would make one of the two silently win.
    void refuseConflicts(const std::string& name);
    // The value of a path option, or nothing (an ERROR line) when it is too long.
    bool acceptPath(const std::string& name, const std::string& value, std::string& target);

    CQKTcpCln m_tcp_cln;
    CQKTcpSslCln m_tcp_ssl_cln;
    Poco::AutoPtr<Poco::Util::IntValidator> m_port_validator;
    Poco::AutoPtr<Poco::Util::IntValidator> m_streams_validator;
    Poco::AutoPtr<Poco::Util::RegExpValidator> m_path_validator;
    SQKClnParams m_params;
    bool m_json = false;            // the summary as a JSON object
    std::set<std::string> m_given;  // the options seen so far
};
