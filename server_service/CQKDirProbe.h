// Whether a directory the receiver writes takes what it must, asked at every pass of the
// server service's control task for its health: the incoming tree (a file like a received
// one), the backup directory (a file like a backup's temporary). The probe runs on a thread
// of its own: on a hard-mounted network store that has gone away, creating a file blocks
// until the store is back, and the pass, which keeps the listeners, must not block with it.
// A probe that has not ended within a few seconds is an answer of its own: the store does
// not answer. Used by one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class CQKDirProbe {
public:
    // Empty when dir takes the file, else what failed and why. Runs on the probe's thread.
    using Probe = std::function<std::string(const std::string& dir)>;
    struct Answer {
        std::string problem;   // empty: the directory takes files
        bool overdue = false;  // a probe has not ended for too long: problem says so
    };

    // what: the directory's name in the answers ("incoming directory").
    CQKDirProbe(std::string what, Probe probe);

    // Whether a backup can be made in dir: creates a file named like a backup's temporary
    // there, writes a byte and removes it, as a backup's copy is created, written and renamed
    // away. Empty when that worked, else what failed and why.
    static std::string backupProblem(const std::string& dir);

    // Starts a probe of dir unless the last one still runs. A changed dir drops what was
    // known of the former one, and its probe if it still runs.
    void begin(const std::string& dir);
    // Waits up to deadline for a probe that begin started; one that still runs from an
    // earlier call is only looked at. What the last probe that ended found, unless one is
    // overdue.
    Answer end(std::chrono::steady_clock::time_point deadline);

private:
    struct Run;
    const std::string m_what;
    const Probe m_probe;
    std::string m_dir;               // what the probes are of
    std::shared_ptr<Run> m_running;  // a probe that has not been waited for to its end
    bool m_fresh = false;            // m_running was started by the last begin
    std::string m_last;              // what the last probe that ended found
};
