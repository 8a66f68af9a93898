// The server service's control task. Every pass re-reads the configuration under the
// configuration lock (the work-directory defaults filled in), checks the parameters and asks
// each running listener whether its port changed; then, outside the lock, it stops the
// listeners that must restart (control, plain, TLS) and starts the ones that should run.
// A pass that fails leaves the listeners as they are and says why; the next one tries again.
//
// The task owns the one parameter record that the listeners and the control connections
// share. Its destruction stops the listeners that still run.
#pragma once

#include <atomic>

#include "CQKTcpSrvS.h"
#include "CQKTcpSslSrvS.h"
#include "app/CQKPassTask.h"
#include "config/SQKSrvSParams.h"
#include "control/CQKTcpCtrlSrvS.h"

class CQKSrvSControl : public CQKServiceControlTask {
public:
    CQKSrvSControl();
    ~CQKSrvSControl() override;

    // A failed control exchange: restart the plain file listener and the control listener.
    void restart() override;

protected:
    void pass() override;
    // Re-reads both configuration files; empty "in_dir" and "back_dir" become "srv_in" and
    // "srv_backups" of the work directory "qk_relay_work" beside the application data.
    virtual void readConfig();

private:
    void askListeners();
    void traceState();
    void stopFlagged();
    void startMissing();

    std::atomic<bool> m_restart{false};
    std::atomic<bool> m_restart_ssl{false};
    std::atomic<bool> m_restart_ctrl{false};
    SQKSrvSParams m_params;
    CQKTcpSrvS m_tcp_srv;
    CQKTcpSslSrvS m_ssl_srv;
    CQKTcpCtrlSrvS m_ctrl_srv;
};
