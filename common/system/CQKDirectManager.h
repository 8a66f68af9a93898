// A service without a service manager: the service program beside qk_relay_ctrl, run as a
// daemon that keeps its pid in a pid file.
//
// Registered: name is one of the service programs (qk_relay_srvsvc, qk_relay_clnsvc) and
// <bin>/<name> is an executable regular file, so nothing but a service is ever run with
// --daemon, and nothing outside the bin directory.
// Running: <run>/<name>.pid names a live process whose executable is <bin>/<name> (a pid
// the system has reused for another program does not count).
// Starting: no such pid yet, but a process of <bin>/<name> runs with "--pidfile=<pid file>"
// (the daemon between its launch and the writing of its pid file).
// Stopping: the pid file's process got SIGTERM from stop() (noted in <run>/<name>.stopping)
// and has not ended yet. A query removes the note once that process has ended.
// start() runs "<bin>/<name> --daemon --pidfile=<run>/<name>.pid" and reads the launcher's
// standard error, which the daemon keeps as its start report until its service runs or it
// ends: a daemon that ended during its start fails start() with what it reported there; one
// still starting at the time limit does not. stop() sends SIGTERM. Each refuses
// (Poco::IllegalStateException) unless the service is stopped or running respectively.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "system/CQKServiceManager.h"

class CQKDirectManager : public CQKServiceManager {
public:
    CQKDirectManager(std::string name, std::string bin_dir, std::string run_dir,
                     std::chrono::milliseconds time_limit);

    bool isRegistered() override;
    bool isRunning() override;
    void start() override;
    void stop() override;
    std::uint32_t state() override;

    // The directory of the running program (where qk_relay_ctrl is installed).
    static std::string ownBinDirectory();
    // Where the pid files are: QK_RELAY_RUN_DIR when set, else the user's directory of the
    // single-instance locks (/run/qk_relay/ for root).
    static std::string runDirectory();

    // True for the names of the service programs.
    static bool isServiceName(const std::string& name);

private:
    std::string program() const { return m_bin_dir + name(); }
    std::string pidFile() const { return m_run_dir + name() + ".pid"; }
    std::string stoppingFile() const { return m_run_dir + name() + ".stopping"; }
    // The pid of a live process of the program read from file, or 0.
    pid_t livePidIn(const std::string& file) const;
    bool isProgram(pid_t pid) const;
    bool launching() const;

    std::string m_bin_dir;  // both end in "/"
    std::string m_run_dir;
    std::chrono::milliseconds m_time_limit;
};
