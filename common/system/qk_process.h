// Runs a helper program (systemctl, a service's daemon launcher) to its end with its output
// captured and its run time bounded, so that a hung helper never hangs the caller.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct SQKProcessResult {
    int exit_code = -1;
    std::string out;  // standard output, at most kQKProcessOutputLimit bytes
    std::string err;  // standard error, the same
    // The error text if there is one, else the output, without its final line ends.
    std::string message() const;
};

constexpr std::size_t kQKProcessOutputLimit = 65536;

// Runs command (a path, or a name looked up on PATH) with args and an empty standard input,
// and waits until it has ended and closed its output. Throws Poco::TimeoutException after
// killing it when that takes longer than time_limit, Poco::SystemException when it cannot
// be started. A program that cannot be executed ends with exit code 72.
SQKProcessResult qk_run_process(const std::string& command, const std::vector<std::string>& args,
                                std::chrono::milliseconds time_limit);
