// The client service's scanner: at every pass it re-reads and checks the parameters under
// the configuration lock (only a record that passed replaces the shared one), tells the control
// task when the control port changed, and sends what the outgoing directory (or the single file)
// holds with the TLS or the plain sender; then it sleeps "scan_time" milliseconds, at least 1000.
// The senders work on the scanner's own copy of the record, taken under the lock, because an
// apply over the control port replaces the shared record at any time. It runs on the control
// task's own pool until cancelled.
#pragma once

#include "CQKTcpClnS.h"
#include "CQKTcpSslClnS.h"
#include "app/CQKPassTask.h"
#include "config/SQKClnSParams.h"

class CQKClnSControl;

class CQKClnSScan : public CQKPassTask {
public:
    CQKClnSScan(CQKClnSControl& control, SQKClnSParams* params);
    ~CQKClnSScan() override;

    void runTask() override;

protected:
    void pass() override;
    long sleepMs() const override;

private:
    void traceParams() const;

    CQKClnSControl& m_control;
    SQKClnSParams* m_params;   // shared with the control connections, under the lock
    SQKClnSParams m_in_force;  // this pass's copy: what the senders and the sleep read
    CQKTcpClnS m_tcp_cln;
    CQKTcpSslClnS m_ssl_cln;
};
