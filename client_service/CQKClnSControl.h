// The client service's control task. A first read fills the shared parameter record once;
// then every pass re-reads the configuration files (the work-directory defaults filled in),
// keeps the control listener on "control_port", and starts or cancels the scanner by
// "control_code": 1 runs it, 2 stops it, anything else leaves it as it is. The scanner runs
// on the task's own pool and task manager and re-reads the record itself at each of its
// passes; it tells this task when the control port changed. Only a record that passed the
// check becomes the parameters in force; a refused file changes only the control code, the
// control port and the key paths, so that the operator can mend it through the control
// port. A failed control exchange restarts nothing: the scanner's transfers go on.
//
// Each pass also keeps the metrics endpoint on "metrics_port" of the parameters in force (a
// refused value never is) and sets its health: 200 while the scanner runs, 503 otherwise.
//
// Its readiness tells whether files get through: not ready while the scanner does not run,
// and after kNotReadyAfter attempts in a row that failed to reach the receiver (one failed
// scan), with the last error as the reason; ready again after a scan that reached it (a
// delivery, a run that completed, or the scanner's try of an idle receiver). Ready from the
// start until attempts fail. A change is logged once: at WARN when it stops, at INFO (shown
// on a service's console as well) when it is ready again.
//
// Its destruction stops the control listener and cancels the scanner and waits for it.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/TaskManager.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <mutex>
#include <string>

#include "CQKClnSScan.h"
#include "app/CQKPassTask.h"
#include "config/SQKClnSParams.h"
#include "control/CQKMetricsListener.h"
#include "control/CQKTcpCtrlClnS.h"

class CQKClnSControl : public CQKServiceControlTask {
public:
    CQKClnSControl();
    ~CQKClnSControl() override;

    // Asked by the scanner under the configuration lock.
    virtual bool isCtrlRestartNeeded() const;
    void setRestartCtrl() { m_restart_ctrl.store(true); }

    // From the scanner after each scan: the attempts that failed in it, whether it reached
    // the receiver (receiver: "address:port") at its end, and the last error on the way.
    void noteScan(unsigned failed_attempts, bool reached, const std::string& last_error,
                  const std::string& receiver);
    // Whether attempts to reach the receiver go through, as far as the scans tell.
    bool isReady() const;
    // What the readiness answers: empty for ready (200), else why not (503). Any thread.
    std::string readiness() const;

protected:
    void pass() override;
    // Re-reads both configuration files; empty "out_dir" and "back_dir" become "cln_out" and
    // "cln_backups" of the work directory "qk_relay_work" beside the application data.
    virtual void readConfig();

private:
    void firstRead();
    void traceState();
    void keepControlListener();
    void endScanner();
    void followControlCode(std::int32_t control_code);
    void keepMetrics(std::int32_t control_code);
    std::int32_t fileControlCode() const;

    std::atomic<bool> m_restart_ctrl{false};
    bool m_first_read_done = false;
    SQKClnSParams m_params;
    Poco::ThreadPool m_pool;
    Poco::TaskManager m_scan_tasks;
    CQKTcpCtrlClnS m_ctrl_srv;
    Poco::AutoPtr<CQKClnSScan> m_scan;
    CQKMetricsListener m_metrics;

    // The readiness, under its own lock: the scanner notes, the endpoint asks.
    mutable std::mutex m_ready_mutex;
    unsigned m_failures_in_row = 0;  // attempts that failed since the receiver was last reached
    std::string m_last_error;        // the last of them
    std::string m_receiver;          // where they went
    // Why the scanner does not run, as the health says; empty while it runs.
    std::string m_not_running = "starting";
};
