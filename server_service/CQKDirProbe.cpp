// The write probes of the receiver's directories, off the control task's thread.
#include "CQKDirProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "base/qk_path.h"

namespace {

// A probe that runs longer than this reports the store as not answering.
constexpr std::chrono::seconds kOverdue(3);

// The shape qk_backup_file gives its temporaries: a probe's debris is removed as theirs is.
constexpr const char* kBackupPrefix = ".qk_backup.";
constexpr const char* kBackupSuffix = ".tmp";

std::string errno_text(int error) {
    return std::strerror(error);
}

}  // namespace

std::string CQKDirProbe::backupProblem(const std::string& dir) {
    static std::atomic<unsigned long> counter{0};
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return "cannot open " + dir + ": " + errno_text(errno);
    // A probe that a crash interrupted left its file here.
    qk_remove_stale_temporaries(dir, kBackupPrefix, kBackupSuffix);
    std::string name;
    int fd = -1;
    do {
        name = qk_temporary_name(kBackupPrefix, ++counter, kBackupSuffix);
        fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      0600);
    } while (fd < 0 && errno == EEXIST);
    std::string problem;
    if (fd < 0) {
        problem = "cannot create a file in " + dir + ": " + errno_text(errno);
    } else {
        const char byte = 0;
        if (::write(fd, &byte, 1) != 1)
            problem = "cannot write a file in " + dir + ": " + errno_text(errno);
        if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && problem.empty())
            problem = "cannot remove a file in " + dir + ": " + errno_text(errno);
        ::close(fd);
    }
    ::close(dir_fd);
    return problem;
}

struct CQKDirProbe::Run {
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;
    std::string problem;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

CQKDirProbe::CQKDirProbe(std::string what, Probe probe)
    : m_what(std::move(what)), m_probe(std::move(probe)) {}

void CQKDirProbe::begin(const std::string& dir) {
    if (dir != m_dir) {
        m_dir = dir;
        m_running.reset();
        m_last.clear();
    }
    m_fresh = !m_running;
    if (m_running)
        return;
    // The thread owns the run with this object: a probe blocked on a lost store outlives
    // the pass, and the object too, without harm.
    auto run = std::make_shared<Run>();
    std::thread([run, dir, probe = m_probe] {
        std::string problem = probe(dir);
        std::lock_guard<std::mutex> lock(run->mutex);
        run->problem = std::move(problem);
        run->ended = true;
        run->ended_cv.notify_all();
    }).detach();
    m_running = run;
}

CQKDirProbe::Answer CQKDirProbe::end(std::chrono::steady_clock::time_point deadline) {
    if (!m_running)
        return {m_last, false};
    // Only a probe begun by this pass is waited for: one that hangs since an earlier pass
    // delays no further pass.
    if (!m_fresh)
        deadline = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_running->mutex);
    if (m_running->ended_cv.wait_until(lock, deadline, [this] { return m_running->ended; })) {
        m_last = m_running->problem;
        lock.unlock();
        m_running.reset();
        return {m_last, false};
    }
    const auto waited = std::chrono::steady_clock::now() - m_running->started;
    if (waited < kOverdue)
        return {m_last, false};
    return {"a probe of the " + m_what + " has not ended for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                " s: the store does not answer",
            true};
}
