// The client service's scanner: at every pass it re-reads and checks the parameters under
// the configuration lock (only a record that passed replaces the shared one), tells the control
// task when the control port changed, and sends what the outgoing directory (or the single file)
// holds with the TLS or the plain sender; then it sleeps "scan_time" milliseconds, at least 1000.
// The senders work on the scanner's own copy of the record, taken under the lock, because an
// apply over the control port replaces the shared record at any time. It runs on the control
// task's own pool until cancelled.
//
// Between scans it waits on a watch of the outgoing tree: a file closed after writing or
// moved in, or a new sub-directory, starts the next scan within milliseconds. "scan_time" is
// the longest wait, and a file left for being younger than "min_age" ends the wait when it
// comes of age. A tree that cannot be watched is said once in the log and then only scanned;
// lost events (the kernel's queue overflowed) are followed by a scan.
#pragma once

#include <string>

#include "CQKTcpClnS.h"
#include "CQKTcpSslClnS.h"
#include "app/CQKPassTask.h"
#include "base/CQKTreeWatcher.h"
#include "config/SQKClnSParams.h"

class CQKClnSControl;

class CQKClnSScan : public CQKPassTask {
public:
    CQKClnSScan(CQKClnSControl& control, SQKClnSParams* params);
    ~CQKClnSScan() override;

    void runTask() override;
    // Also ends the wait between scans.
    void cancel() override;

protected:
    void pass() override;
    long sleepMs() const override;
    void waitAfterPass() override;

private:
    void traceParams() const;
    void keepWatching();
    const CQKTcpClnS& senderInForce() const;

    CQKClnSControl& m_control;
    SQKClnSParams* m_params;   // shared with the control connections, under the lock
    SQKClnSParams m_in_force;  // this pass's copy: what the senders and the sleep read
    CQKTcpClnS m_tcp_cln;
    CQKTcpSslClnS m_ssl_cln;
    CQKTreeWatcher m_watcher;
    std::string m_watched;  // what the watch was set up for: root and sub-directory flag
};
