// A file listener, plain or TLS, behind a source of parameters (CQKListenerSource): the
// console receiver's and the server service's listeners are this one class, and differ only
// in their source and in the names they log under.
//
// At each start it asks the source for its binding (and, for TLS, the key files, building a
// fresh context), binds a new socket and starts a new server behind a gate of the binding's
// networks and share; a plain listener that other machines may reach says so once at WARN.
// The TLS form requires a client certificate of our CA carrying the client name, not named
// in the source's revocation list (qk_refuse_revoked), over TLS 1.3 or 1.2 for older peers.
// The receiving directories are asked of the source at each header.
//
// Threads: start, stop and the restart questions are called from one application thread;
// the rest (CQKFileListener) is safe from connection threads. The source must outlive the
// listener. stop never throws; when it returns, no connection of the listener runs.
#pragma once

#include <Poco/Net/Context.h>

#include <string>

#include "transfer/CQKFileListener.h"
#include "transfer/CQKListenerSource.h"

class CQKTcpListener : public CQKFileListener {
public:
    // secure: the TLS form; class_name: the name its start and stop lines are tagged with
    // ("<class_name>::start()").
    CQKTcpListener(const CQKListenerSource& source, bool secure, const ConnectionNames& names,
                   const char* class_name);
    ~CQKTcpListener() override;

    // Listens on the source's binding; does nothing while its address is "off". Throws "TCP
    // server already has been created..." when running, Poco::Util::OptionException for
    // allowed networks that do not parse, initSsl's errors, and those of bind and listen.
    virtual void start();
    // Stops accepting, closes the socket and waits until every running connection has ended
    // its current step and closed. Never throws; does nothing more when not started.
    virtual void stop();
    bool isStarted() const { return hasServer(); }
    // While running: true when the configured binding differs from the one in force (an
    // address switched off included).
    bool isRestartNeeded() const;
    // True while the configured address is "off": the listener stays stopped.
    bool isSwitchedOff() const;
    bool isSecure() const { return m_secure; }
    // The TLS form: checks the source's key, certificate and CA files and builds a fresh
    // server context. Throws Poco::Exception for a missing file and Poco's TLS exceptions
    // for one that cannot be loaded.
    void initSsl();

    SQKReceivingDirs receivingDirs() const override { return m_source.receivingDirs(); }
    int otherPort() const override;

protected:
    const Texts& texts() const { return m_texts; }

private:
    void logLifecycle(const char* prefix) const;

    const CQKListenerSource& m_source;
    const bool m_secure;
    const std::string m_class_name;
    const std::string m_tag_start;
    const std::string m_tag_stop;
    const Texts m_texts;
    Poco::Net::Context::Ptr m_context;  // of the TLS form
    SQKListenerBinding m_in_force;
};
