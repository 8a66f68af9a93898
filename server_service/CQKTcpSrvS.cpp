// The server service's plain file listener.
#include "CQKTcpSrvS.h"

#include <Poco/Exception.h>

#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
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

int CQKTcpSrvS::configuredPort(std::int32_t SQKSrvSParams::*port) const {
    if (!m_params)
        throw Poco::NullPointerException("The listener has no parameters");
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return m_params->*port;
}

void CQKTcpSrvS::start() {
    if (hasServer())
        throw Poco::Exception("TCP server already has been created...");
    const int port = configuredPort(&SQKSrvSParams::m_port);
    auto socket = std::make_unique<Poco::Net::ServerSocket>();
    qk_bind_listener(*socket, port);
    startServer(std::move(socket), new CQKSrvConnectionFactory(*this), port, kPlainTexts);
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
    return isStarted() && configuredPort(&SQKSrvSParams::m_port) != boundPort();
}

SQKReceivingDirs CQKTcpSrvS::receivingDirs() const {
    Poco::Mutex::ScopedLock lock(CQKBaseConfigs::instance().configLock());
    return {m_params->m_in_dir,        m_params->m_back_dir,    m_params->m_resume_min_size,
            m_params->m_partial_hours, m_params->m_partial_max, m_params->m_resume_plain};
}
