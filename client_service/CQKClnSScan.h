// The client service's scanner: at every pass it re-reads and checks the parameters under
// the configuration lock (only a record that passed replaces the shared one), tells the control
// task when the control port changed, and sends what the outgoing directory (or the single file)
// holds with the TLS or the plain sender; then it sleeps "scan_time" milliseconds, at least 1000.
// The senders work on the scanner's own copy of the record, taken under the lock, because an
// apply over the control port replaces the shared record at any time. It runs on the control
// task's own pool until cancelled. The service's stop (CQKSenderStop) ends the scan under way
// within a second (the file on its way stays) and starts no other.
//
// Between scans it waits on a watch of the outgoing tree: a file closed after writing or
// moved in, or a new sub-directory, starts the next scan within milliseconds. "scan_time" is
// the longest wait, and a file left for being younger than "min_age" ends the wait when it
// comes of age. A tree that cannot be watched is said once in the log and then only scanned;
// lost events (the kernel's queue overflowed) are followed by a scan.
//
// After each scan it tells the control task what the scan found of the receiver, for the
// service's readiness: the attempts that failed, whether the receiver answered at the end,
// and the last error on the way to it. A scan with nothing to send makes no connection; while
// the service is not ready, it tries the receiver once instead (a connection, the greeting
// and the end of the conversation, as a run with no file), so that readiness comes back
// when the receiver does, not only with the next file.
//
// "streams" senders send each scan's files, each on a connection of its own. They live as
// long as the scanner, so that each keeps what it remembers of its files from scan to scan
// (refused, unreadable, delivered but not removable); a file goes to the same sender at
// every scan (CQKTcpClnS::streamOf). A change of "streams" keeps the first senders and adds
// or drops the others.
#pragma once

#include <Poco/Exception.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CQKTcpClnS.h"
#include "CQKTcpSslClnS.h"
#include "app/CQKPassTask.h"
#include "base/CQKTreeWatcher.h"
#include "config/SQKClnSParams.h"
#include "protocol/qk_exceptions.h"

class CQKClnSControl;

// What a scan learnt of the receiver on its way to it.
struct SQKReceiverContact {
    bool answered = false;   // a status came from the receiver
    std::string last_error;  // the last step towards it that failed, and why
};

// A sender of the scanner that notes, at each step that talks to the receiver, whether it
// answered and why a step failed: the attempts of a run report their errors to the log only.
template <class Sender>
class CQKContactSender : public Sender {
public:
    using Sender::sendFile;

    SQKReceiverContact& contact() { return m_contact; }

    void openConnection() override {
        noting([this] { Sender::openConnection(); });
    }
    void recvStatus(qk_code_t expected) override {
        noting([this, expected] { Sender::recvStatus(expected); });
        m_contact.answered = true;
    }
    void sendFile(std::string file_path) override {
        noting([this, &file_path] { Sender::sendFile(std::move(file_path)); });
    }
    void sendFinishSendFiles() override {
        noting([this] { Sender::sendFinishSendFiles(); });
    }

protected:
    // Statuses on a kept connection come without a greeting: they are answers too.
    void noteAnswer() override { m_contact.answered = true; }

private:
    template <class Step>
    void noting(const Step& step) {
        try {
            step();
        } catch (const FileRefusedException&) {
            m_contact.answered = true;  // a refusal is an answer
            throw;
        } catch (const Poco::Exception& e) {
            m_contact.last_error = e.displayText();
            throw;
        }
    }

    SQKReceiverContact m_contact;
};

// The senders of a scan, the first one listing for all.
template <class Sender>
using CQKStreams = std::vector<std::unique_ptr<CQKContactSender<Sender>>>;

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
    // As many senders as "streams" says, each with the refusal pause of this pass.
    template <class Sender>
    void keepStreams(CQKStreams<Sender>& streams);
    // Sends what the tree holds, then tells the control task what the scan found of the
    // receiver.
    template <class Sender>
    void sendAndNote(CQKStreams<Sender>& streams);
    // One connection with no file: the greeting and the end of the conversation. Notes why
    // it failed in the sender's contact.
    template <class Sender>
    static bool reachReceiver(CQKContactSender<Sender>& sender);

    CQKClnSControl& m_control;
    SQKClnSParams* m_params;   // shared with the control connections, under the lock
    SQKClnSParams m_in_force;  // this pass's copy: what the senders and the sleep read
    CQKStreams<CQKTcpClnS> m_tcp_streams;
    CQKStreams<CQKTcpSslClnS> m_ssl_streams;
    CQKTreeWatcher m_watcher;
    std::string m_watched;  // what the watch was set up for: root and sub-directory flag
};
