// The server service's plain file listener.
#include "CQKTcpSrvS.h"

#include <Poco/Exception.h>

#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_socket.h"

namespace {

const CQKFileListener::ConnectionNames kConnectionNames{
    "CQKSrvSConnection", "CQKSrvSSslConnection",
    "Error of data, received from Client (QK_SEND_FILE_FFINISHED_ALL)"};

const CQKFileListener::Texts kPlainTexts =
    CQKFileListener::plainTexts("CQKTcpSrvS::start()", "CQKTcpSrvS::stop()");

}  // namespace

CQKTcpSrvS::CQKTcpSrvS() : CQKFileListener(kConnectionNames) {
    QKLogTag tag = qk_make_tag("CQKTcpSrvS::CQKTcpSrvS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSrvS::CQKTcpSrvS()");
}

CQKTcpSrvS::~CQKTcpSrvS() {
    QKLogTag tag = qk_make_tag("CQKTcpSrvS::~CQKTcpSrvS()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKTcpSrvS::~CQKTcpSrvS()");
    stopWith(kPlainTexts);
}

void CQKTcpSrvS::setParams(SQKSrvSParams* params) {
    m_params = params;
}

CQKTcpSrvS::Binding CQKTcpSrvS::configuredBinding() const {
    if (!m_params)
        throw Poco::NullPointerException("The listener has no parameters");
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return {m_params->m_address, m_params->m_port, m_params->m_allowed_networks,
            m_params->m_source_connections};
}

bool CQKTcpSrvS::isSwitchedOff() const {
    return qk_listener_off(configuredBinding().address);
}

void CQKTcpSrvS::start() {
    if (hasServer())
        throw Poco::Exception("TCP server already has been created...");
    const Binding binding = configuredBinding();
    if (qk_listener_off(binding.address))
        return;
    startOn(binding, std::make_unique<Poco::Net::ServerSocket>(),
            new CQKSrvConnectionFactory(*this), kPlainTexts);
}

void CQKTcpSrvS::startOn(const Binding& binding, std::unique_ptr<Poco::Net::ServerSocket> socket,
                         Poco::Net::TCPServerConnectionFactory::Ptr factory, const Texts& texts) {
    SQKSourceRules rules = sourceRules(binding.networks, binding.per_source);
    qk_bind_listener(*socket, binding.address, binding.port);
    if (std::string(texts.kind) == "plain")
        warnIfReachable(texts, binding.address, binding.port, rules);
    startServer(std::move(socket), factory, binding.port, texts, std::move(rules));
    m_in_force = binding;
}

void CQKTcpSrvS::stop() {
    stopWith(kPlainTexts);
}

void CQKTcpSrvS::stopWith(const Texts& texts) noexcept {
    try {
        if (hasServer()) {
            stopAccepting(texts);
            closeSocket(texts);
        }
        waitForConnections(texts);
    } catch (...) {
        // The server and its connections are gone either way; a stop must not fail.
    }
}

bool CQKTcpSrvS::isRestartNeeded() const {
    return isStarted() && !(configuredBinding() == m_in_force);
}

SQKReceivingDirs CQKTcpSrvS::receivingDirs() const {
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return {m_params->m_in_dir,        m_params->m_back_dir,    m_params->m_resume_min_size,
            m_params->m_partial_hours, m_params->m_partial_max, m_params->m_resume_plain};
}
