// The console application frame shared by every console program and service, and the base
// of their application classes.
//
// qk_run_console_frame first answers --help and --version from the program alone (see
// qk_bare_request): nothing is loaded, nothing logged, and the exit code is 0. Otherwise it
// does the start-up and shut-down around the application object:
// constraint handlers, console echo, locale, console, base configuration with the program's
// build constants, log, the two configuration files, then the application object (options,
// initialize, main, uninitialize), and the log's end. Exit codes: what main returns (0 after
// a completed command, 74 when main caught an exception), 1 when the frame itself failed
// (locale, console, log, configuration, option errors). The header line is echoed once the
// options are read, so that -q keeps it off the console; the log has it first as before.
#pragma once

#include <Poco/Exception.h>
#include <Poco/Util/Application.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/qk_frame.h"
#include "base/CQKInstanceLock.h"
#include "base/qk_console.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"

// Exit code of main after a caught exception (Poco's EXIT_IOERR).
constexpr int QK_EXIT_MAIN_FAILED = 74;
// Exit code when the frame itself failed.
constexpr int QK_EXIT_FRAME_FAILED = 1;

// The base of the console programs' application classes.
class CQKConsoleAppl : public Poco::Util::Application {
public:
    ~CQKConsoleAppl() override;

    // Logs the header line: product name, version, legal notice and build date; echoes it
    // when echo is set.
    void printHeaderInfo(bool echo = true);

    // Puts the console verbosity -q or -v asked for in force; called by the frame once the
    // options are read. Without either, what is in force stays: the default, or what an
    // option of the program set through qk_set_console_verbosity (one that keeps standard
    // output for itself sets Quiet).
    void applyVerbosity() const;

    // Echoes the help text of the program's options before init(), when the program has
    // loaded nothing and opened no log. command names the program in the usage line.
    void displayBareHelp(const std::string& command);

protected:
    // instance_name names the single-instance lock (the program name); class_name prefixes
    // the log tags of the operations this base class runs for the program.
    CQKConsoleAppl(const std::string& instance_name, const std::string& class_name);

    // Adds the options every program has: --help (-h) and --version (-V), in the group
    // "commands", so that they exclude the program's own command. Both are answered before
    // the options are processed; see qk_run_console_frame.
    void defineOptions(Poco::Util::OptionSet& options) override;
    // Adds --quiet (-q) and --verbose (-v), for the programs that run long enough to print
    // more than a line or two. They exclude each other.
    void defineVerbosityOptions(Poco::Util::OptionSet& options);
    void handleOption(const std::string& name, const std::string& value) override;

    // Formats the options with usage "[OPTION]\n", logs the text at INFO and echoes it.
    void displayHelp(const QKLogTag& tag);
    // Tries the single-instance lock of the program; throws Poco::Exception
    // "Instance of this application has been launched already..." when another process
    // of the same user holds it. The lock is released when the process ends, also when it
    // crashes.
    void lockSingleInstance();
    // Takes the lock on one thing two runs of the program must not share, what naming it
    // ("the outgoing tree /srv/out"): a tree (lockPath: its canonical path) or a port
    // (lockPort). A refusal throws the text above and a second line naming what is held, by
    // which process and the lock file. Held until the process ends.
    void lockPath(const std::string& what, const std::string& path);
    void lockPort(const std::string& what, int port);

private:
    void takeLock(const std::string& name, const std::string& what);

    CQKInstanceLock m_instance_lock;
    std::string m_program;
    std::vector<std::unique_ptr<CQKInstanceLock>> m_resource_locks;
    std::string m_header_tag;
    std::optional<QKConsoleVerbosity> m_verbosity;
};

// Runs a console program. make_application is called once the log exists.
int qk_run_console_frame(int argc, char** argv, const SQKFrameSettings& settings,
                         const std::function<std::unique_ptr<CQKConsoleAppl>()>& make_application);
