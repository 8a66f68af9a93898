// Whether the incoming tree takes files, asked at every pass of the server service's control
// task for its health. The probe (CQKIncomingFile::writeProblem) runs on a thread of its own:
// on a hard-mounted network store that has gone away, creating a file blocks until the store
// is back, and the pass, which keeps the listeners, must not block with it. A probe that has
// not ended within a few seconds is an answer of its own: the store does not answer. Used by
// one thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

class CQKDirProbe {
public:
    // Probes dir unless the last probe still runs, and waits for it up to a second. Empty
    // when the last probe that ended found dir writable and none is overdue; else why not.
    std::string check(const std::string& dir);

private:
    struct Probe;
    std::shared_ptr<Probe> m_running;  // a probe that has not been waited for to its end
    std::string m_last;                // what the last probe that ended found
};
