// The incoming tree's write probe, off the control task's thread.
#include "CQKDirProbe.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "transfer/CQKIncomingFile.h"

namespace {

// How long a pass waits for its probe; a local disk answers in microseconds.
constexpr std::chrono::seconds kWait(1);
// A probe that runs longer than this reports the store as not answering.
constexpr std::chrono::seconds kOverdue(3);

}  // namespace

struct CQKDirProbe::Probe {
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;
    std::string problem;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

std::string CQKDirProbe::check(const std::string& dir) {
    if (m_running) {
        std::unique_lock<std::mutex> lock(m_running->mutex);
        if (!m_running->ended) {
            const auto waited = std::chrono::steady_clock::now() - m_running->started;
            if (waited < kOverdue)
                return m_last;
            return "a probe of the incoming directory has not ended for " +
                   std::to_string(
                       std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                   " s: the store does not answer";
        }
        m_last = m_running->problem;
        lock.unlock();
        m_running.reset();
    }
    // The thread owns the probe with this object: a probe blocked on a lost store outlives
    // the pass, and the object too, without harm.
    auto probe = std::make_shared<Probe>();
    std::thread([probe, dir] {
        std::string problem = CQKIncomingFile::writeProblem(dir);
        std::lock_guard<std::mutex> lock(probe->mutex);
        probe->problem = std::move(problem);
        probe->ended = true;
        probe->ended_cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(probe->mutex);
    if (probe->ended_cv.wait_for(lock, kWait, [&probe] { return probe->ended; })) {
        m_last = probe->problem;
        return m_last;
    }
    m_running = probe;
    return m_last;
}
