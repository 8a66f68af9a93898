// The server service's control task. Every pass re-reads the configuration under the
// configuration lock (the work-directory defaults filled in) into a copy and checks it; only
// a copy that passed becomes the parameters in force. Then it asks each running listener
// whether its port changed and, outside the lock, stops the listeners that must restart
// (control, plain, TLS) and starts the ones that should run.
//
// A refused file leaves the file listeners as they are, on the values in force, and says
// why at every pass; the control listener still follows "control_port" and the key paths,
// so that the operator can mend the file through it. A failed control exchange restarts
// nothing: each of its steps is time-limited and it has left its listener's registry.
//
// The task owns the one parameter record that the listeners and the control connections
// share. Its destruction stops the listeners that still run.
//
// Each pass also keeps the metrics endpoint on "metrics_port" of the parameters in force
// (a refused value never is) and sets its health: 200 while the plain and TLS listeners
// run and the receiver can write what it must, 503 naming what does not, so that a load
// balancer sends nothing to a receiver that would refuse files: the incoming tree takes a
// file like a received one, and the backup directory, when there is one, a file like a
// backup's temporary (every file that replaces one needs it). Both are asked on threads of
// their own (CQKDirProbe) and waited for a second at most; a change of their state is
// logged once, at WARN when a directory stops taking files and at INFO when it takes them
// again.
#pragma once

#include <atomic>
#include <exception>
#include <string>

#include "CQKDirProbe.h"
#include "CQKSrvSListenerSource.h"
#include "app/CQKPassTask.h"
#include "config/SQKSrvSParams.h"
#include "control/CQKMetricsListener.h"
#include "control/CQKTcpCtrlSrvS.h"
#include "transfer/CQKTcpListener.h"

class CQKSrvSControl : public CQKServiceControlTask {
public:
    CQKSrvSControl();
    ~CQKSrvSControl() override;

protected:
    void pass() override;
    // Re-reads both configuration files; empty "in_dir" and "back_dir" become "srv_in" and
    // "srv_backups" of the work directory "qk_relay_work" beside the application data.
    virtual void readConfig();

private:
    void askListeners();
    void traceState();
    void stopFlagged();
    void startMissing(bool control_wanted, bool files_wanted);
    std::string healthText(bool files_wanted, std::int32_t port, std::int32_t ssl_port,
                           const std::string& store_problem) const;
    std::string probeStores(const std::string& in_dir, const std::string& back_dir);

    std::atomic<bool> m_restart{false};
    std::atomic<bool> m_restart_ssl{false};
    std::atomic<bool> m_restart_ctrl{false};
    SQKSrvSParams m_params;
    CQKSrvSListenerSource m_listener_source{&m_params};
    CQKTcpListener m_tcp_srv;
    CQKTcpListener m_ssl_srv;
    CQKTcpCtrlSrvS m_ctrl_srv;
    CQKMetricsListener m_metrics;
    CQKDirProbe m_in_dir_probe;
    CQKDirProbe m_back_dir_probe;
    // What was last logged of each: empty while it takes files, else the problem (or only
    // "overdue", so that the growing time of a probe that hangs is not logged at every pass).
    std::string m_in_dir_state;
    std::string m_back_dir_state;
};
