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
// Its destruction stops the control listener and cancels the scanner and waits for it.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/TaskManager.h>
#include <Poco/ThreadPool.h>

#include <atomic>

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
};
