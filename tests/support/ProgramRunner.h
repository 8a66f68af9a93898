// Runs the built programs as a user would: from a private copy of the staged install tree,
// as child processes with their output captured.
//
// A program finds its configuration, keys and log directory beside itself (the parent of
// the directory holding the binary is its install prefix), so every ProgramRunner copies
// the whole staged tree, binaries included, into a fresh temporary directory. The copy
// starts without keys, CA files or logs, whatever the stage holds, and its services log from
// TRACE whatever level the shipped files set.
//
// Output of each child goes to files outside the tree (no pipe can fill up and block the
// child); the accessors read them back at any time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"

struct ProgramResult {
    int exit_code = -1;  // 128 + signal number when a signal ended the program
    std::string out;
    std::string err;
    // stdout and stderr together, for messages that may go to either.
    std::string output() const { return out + err; }
};

// A program started in the background. The destructor kills and reaps it when it still
// runs, so a failing test leaves no process behind.
class RunningProgram {
public:
    RunningProgram(pid_t pid, std::string out_fpath, std::string err_fpath);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return m_pid; }
    void signal(int signo) const;
    // The exit code once the program has ended within timeout, else nothing.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool running();

    std::string out() const;
    std::string err() const;
    // Polls stdout and stderr until text appears; false when the time ran out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    bool reap(int options);

    pid_t m_pid;
    std::string m_out_fpath;
    std::string m_err_fpath;
    std::optional<int> m_exit_code;
};

class ProgramRunner {
public:
    using Environment = std::map<std::string, std::string>;

    // Copies the staged tree (without keys and logs) into a new temporary directory.
    ProgramRunner();

    // From now on every program runs as uid:gid (through setpriv, without supplementary
    // groups), and the whole temporary directory belongs to that user.
    void runAs(uid_t uid, gid_t gid);

    // The install prefix of the copy, and a path below it.
    std::string prefix() const { return m_root / "tree"; }
    std::string path(const std::string& relative) const { return prefix() + "/" + relative; }
    // Every log file of program in the tree, one after another ("" when there is none).
    std::string logsOf(const std::string& program) const;
    // A scratch directory beside the tree (not inside it) for the tests' own files.
    std::string scratch(const std::string& relative) const {
        return m_root / ("scratch/" + relative);
    }

    // Runs PREFIX/bin/<program> with args to its end. The environment is this process's
    // plus env. A program still running after timeout is killed and the test fails.
    ProgramResult run(const std::string& program, const std::vector<std::string>& args,
                      const Environment& env = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
    std::unique_ptr<RunningProgram> start(const std::string& program,
                                          const std::vector<std::string>& args,
                                          const Environment& env = {}) const;

    // The build's staged install tree (which the runner copies).
    static std::string stageDir();

    // Ports on the loopback interface that nothing listened on a moment ago, all different.
    static std::vector<std::uint16_t> freePorts(std::size_t count);
    // Polls until a TCP connection to 127.0.0.1:port succeeds; false when the time ran out.
    // The probe connects and closes at once.
    static bool waitForPort(std::uint16_t port, std::chrono::milliseconds timeout);
    // Writes content to fpath, creating missing parents.
    static void writeFile(const std::string& fpath, const std::string& content);
    // The content of a file, or nothing when it cannot be read.
    static std::optional<std::string> readFile(const std::string& fpath);
    // Polls condition every few milliseconds until it holds; false when the time ran out.
    static bool waitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout);

private:
    TempDir m_root;
    mutable unsigned m_runs = 0;
    std::optional<std::pair<uid_t, gid_t>> m_run_as;
};
