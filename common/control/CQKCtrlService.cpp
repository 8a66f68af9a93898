// The record steps of the control connections, their factory and the control listener,
// instantiated for the server service and the client service.
#include "control/CQKCtrlService.h"

#include <Poco/Crypto/CryptoException.h>
#include <Poco/Exception.h>
#include <Poco/Net/StreamSocket.h>

#include <cstring>
#include <string>

#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "control/CQKTcpCtrlClnS.h"
#include "control/CQKTcpCtrlSrvS.h"
#include "protocol/qk_ctrl_sign.h"

namespace {

constexpr const char* kSendingTimeout = "Error sending of the status...";
constexpr const char* kShortRecord = "sendBytes Error... sent status =  0x%02X";

std::string tag_of(const char* name, const char* operation) {
    return std::string(name) + "::" + operation;
}

void log_own_tag(const std::string& name) {
    QKLogTag log_tag = qk_make_tag(name.c_str());
    log_message(LOG_LEVEL_DEBUG, &log_tag, "%s", name.c_str());
}

Poco::Mutex& config_lock() {
    return CQKBaseConfigs::instance().configLock();
}

// A record as the sender starts it: every byte zero, padding included.
template <class Record>
Record zero_record() {
    Record ctrl;
    std::memset(&ctrl, 0, sizeof(ctrl));
    return ctrl;
}

}  // namespace

// ---- connection ----

template <class Traits>
CQKCtrlConnectionT<Traits>::CQKCtrlConnectionT(const Poco::Net::StreamSocket& socket,
                                               CQKTcpCtrlSrvT<Traits>& listener)
    : CQKCtrlConnection(socket, listener, Traits::kConnectionName), m_ctrl_listener(listener) {}

template <class Traits>
void CQKCtrlConnectionT<Traits>::sendConfig() {
    QKLogTag log_tag = qk_make_tag(tag("sendConfig()").c_str());
    Record ctrl = zero_record<Record>();
    {
        Poco::Mutex::ScopedLock lock(config_lock());
        Traits::fill(params(), ctrl);
    }
    doSignCtrl(ctrl);
    Traits::traceSent(log_tag, ctrl);
    if (sendWhole(log_tag, &ctrl, sizeof(ctrl), kSendingTimeout) != sizeof(ctrl))
        failShortTransfer(log_tag, kShortRecord, QK_SEND_FILE_FERROR);
}

template <class Traits>
void CQKCtrlConnectionT<Traits>::receiveConfig() {
    QKLogTag log_tag = qk_make_tag(tag("receiveConfig()").c_str());
    Record ctrl = zero_record<Record>();
    if (receiveWhole(log_tag, &ctrl, sizeof(ctrl), kSendingTimeout) != sizeof(ctrl))
        failShortTransfer(log_tag, kShortRecord, QK_SEND_FILE_FERROR);
    verifySignCtrl(ctrl);
    apply(log_tag, ctrl);
}

// The record's values take the place of the configuration's, and the whole must pass the
// service's own check before anything changes: values acknowledged here are the ones the
// service then runs on, and a refused record can't lock the operator out. The result
// becomes the shared parameters and is stored in the configuration files; when storing
// fails, the parameters and the in-memory configuration stay as they were.
template <class Traits>
void CQKCtrlConnectionT<Traits>::apply(const QKLogTag& log_tag, const Record& ctrl) {
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    Poco::Mutex::ScopedLock lock(configs.configLock());
    Params configured;
    configured.readParams();
    Params applied = configured;
    Traits::apply(ctrl, applied);  // a field it refuses throws before any change
    Traits::check(applied);
    Params& shared = params();
    const Params before = shared;
    shared = applied;
    try {
        shared.writeParams();
        configs.writeConfC();
        configs.writeConfP();
    } catch (...) {
        shared = before;
        try {
            configured.writeParams();
        } catch (...) {
            // The failure being passed on is the one to report.
        }
        throw;
    }
    Traits::traceApplied(log_tag, shared);
}

template <class Traits>
void CQKCtrlConnectionT<Traits>::doSignCtrl(Record& ctrl) {
    QKLogTag log_tag = qk_make_tag(tag("doSignCtrl()").c_str());
    log_message(LOG_LEVEL_TRACE, &log_tag, "doSignCtrl(): Start of Signing...");
    std::string cert_fpath;
    std::string key_fpath;
    {
        Poco::Mutex::ScopedLock lock(config_lock());
        cert_fpath = params().m_cert_fpath;
        key_fpath = params().m_key_fpath;
    }
    Traits::traceSignKeys(log_tag, cert_fpath, key_fpath);
    try {
        qk_ctrl_put_sign(ctrl, qk_ctrl_sign(qk_ctrl_signed_form(ctrl), cert_fpath, key_fpath));
        // Both services name the client's record here.
        log_message(LOG_LEVEL_TRACE, &log_tag,
                    "Signing of SQKClnSCtrl has been provided. Size of the signature: %d",
                    static_cast<int>(ctrl.m_sign_size));
    } catch (...) {
        log_message(LOG_LEVEL_ERROR, &log_tag, "Some Exception happened...");
        throw;
    }
    log_message(LOG_LEVEL_TRACE, &log_tag, "doSignCtrl(): End of Signing...");
}

template <class Traits>
std::size_t CQKCtrlConnectionT<Traits>::receivedSignSize(const Record& ctrl) {
    if (ctrl.m_sign_size < 1 || static_cast<std::size_t>(ctrl.m_sign_size) > sizeof(ctrl.m_sign))
        throw Poco::Crypto::CryptoException("Wrong value of the signature.");
    return static_cast<std::size_t>(ctrl.m_sign_size);
}

template <class Traits>
void CQKCtrlConnectionT<Traits>::verifySignCtrl(const Record& ctrl) {
    QKLogTag log_tag = qk_make_tag(Traits::kVerifyTag);
    log_message(LOG_LEVEL_TRACE, &log_tag, "doSignCtrl(): Start of Verifying of Sign...");
    std::string cert_fpath;
    {
        Poco::Mutex::ScopedLock lock(config_lock());
        cert_fpath = params().m_common_gui_cert_fpath;
    }
    Traits::traceVerifyCert(log_tag, cert_fpath);
    try {
        const std::size_t size = receivedSignSize(ctrl);
        const bool valid = qk_ctrl_verify(qk_ctrl_signed_form(ctrl), ctrl.m_sign, size, cert_fpath);
        log_message(LOG_LEVEL_TRACE, &log_tag,
                    "Verification of the signature of %s. Size of the signature: %d. Result: %d",
                    Traits::kRecordName, static_cast<int>(size), valid ? 1 : 0);
        if (!valid)
            throw Poco::Crypto::CryptoException("Signature is not valid.");
    } catch (...) {
        log_message(LOG_LEVEL_ERROR, &log_tag, "Some Exception happened...");
        throw;
    }
    log_message(LOG_LEVEL_TRACE, &log_tag, "doSignCtrl(): Verifying is Finished...");
}

// ---- factory ----

template <class Traits>
CQKCtrlConnectionFactoryT<Traits>::CQKCtrlConnectionFactoryT(CQKTcpCtrlSrvT<Traits>& listener)
    : m_listener(listener) {
    log_own_tag(tag_of(Traits::kFactoryName, Traits::kFactoryName) + "()");
}

template <class Traits>
CQKCtrlConnectionFactoryT<Traits>::~CQKCtrlConnectionFactoryT() {
    // Released by the server's last thread, possibly after the listener: touches only names.
    log_own_tag(tag_of(Traits::kFactoryName, "~") + Traits::kFactoryName + "()");
}

template <class Traits>
Poco::Net::TCPServerConnection* CQKCtrlConnectionFactoryT<Traits>::createConnection(
    const Poco::Net::StreamSocket& socket) {
    QKLogTag log_tag = qk_make_tag(tag_of(Traits::kFactoryName, "createConnection()").c_str());
    Poco::Net::StreamSocket accepted(socket);
    std::string address = "(unknown)";
    try {
        accepted.setNoDelay(true);
        address = accepted.peerAddress().toString();
    } catch (const Poco::Exception&) {
        // A peer already gone: its first step fails, or run() refuses it.
    }
    auto* connection = new CQKCtrlConnectionT<Traits>(socket, m_listener);
    log_message(LOG_LEVEL_DEBUG, &log_tag, "New connection is created: address = %s is_secure = %d",
                address.c_str(), 0);
    return connection;
}

// ---- listener ----

template <class Traits>
CQKTcpCtrlSrvT<Traits>::CQKTcpCtrlSrvT(Params* params)
    : CQKCtrlListener(Traits::kListenerName), m_params(params) {
    log_own_tag(tag_of(Traits::kListenerName, Traits::kListenerName) + "()");
}

template <class Traits>
CQKTcpCtrlSrvT<Traits>::~CQKTcpCtrlSrvT() {
    log_own_tag(tag_of(Traits::kListenerName, "~") + Traits::kListenerName + "()");
    // Connections use this object's parameters: they must end before it goes.
    if (isStarted())
        stop();
}

template <class Traits>
int CQKTcpCtrlSrvT<Traits>::controlPort() const {
    if (m_params == nullptr)
        throw Poco::NullPointerException("Parameters of the control listener are not set");
    Poco::Mutex::ScopedLock lock(config_lock());
    return m_params->m_control_port;
}

template <class Traits>
void CQKTcpCtrlSrvT<Traits>::start() {
    const int port = controlPort();
    startServer(port, new CQKCtrlConnectionFactoryT<Traits>(*this));
}

template <class Traits>
void CQKTcpCtrlSrvT<Traits>::stop() {
    stopServer();
}

template <class Traits>
bool CQKTcpCtrlSrvT<Traits>::isRestartNeeded() const {
    if (!isStarted())
        return false;
    const int port = controlPort();
    return port == 0 || port != listeningPort();
}

template class CQKCtrlConnectionT<CQKCtrlSrvSTraits>;
template class CQKCtrlConnectionFactoryT<CQKCtrlSrvSTraits>;
template class CQKTcpCtrlSrvT<CQKCtrlSrvSTraits>;
template class CQKCtrlConnectionT<CQKCtrlClnSTraits>;
template class CQKCtrlConnectionFactoryT<CQKCtrlClnSTraits>;
template class CQKTcpCtrlSrvT<CQKCtrlClnSTraits>;
