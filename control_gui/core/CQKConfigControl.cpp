#include "CQKConfigControl.h"

#include <Poco/Crypto/CryptoException.h>
#include <Poco/File.h>
#include <Poco/Net/NetException.h>
#include <Poco/Path.h>
#include <Poco/Util/XMLConfiguration.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "CQKGuiLog.h"
#include "base/CQKReplacingFile.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "protocol/qk_ctrl_sign.h"
#include "protocol/qk_exceptions.h"
#include "protocol/qk_protocol.h"
#include "transfer/qk_socket.h"

namespace {

constexpr const char* kAddress = "127.0.0.1";
constexpr const char* kEntryName = "QK Relay Control W";
constexpr mode_t kFileMode = 0644;
// The control ports of the shipped settings file (dist/common/qk_relay_w.xml).
constexpr std::int32_t kDefaultClientControlPort = 5603;
constexpr std::int32_t kDefaultServerControlPort = 5602;
constexpr const char* kMissingSetting =
    "GUI Parameter '%s' is missing in xml file. Default value is used: %s";

QKLogTag tag_of(const char* name) {
    QKLogTag tag = qk_make_tag(name);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", name);
    return tag;
}

CQKGuiLog& gui() {
    return CQKGuiLog::instance();
}

const char* code_line(std::int32_t code) {
    switch (code) {
        case empty_conf:
            return "code: empty_conf";
        case read_file_conf_clns:
            return "code: read_file_conf_clns";
        case read_file_conf_srvs:
            return "code: read_file_conf_srvs";
        case read_conf_clns:
            return "code: read_conf_clns";
        case read_conf_srvs:
            return "code: read_conf_srvs";
        case read_file_gui_params:
            return nullptr;
        case apply_conf_clns:
            return "code: apply_conf_clns";
        case apply_conf_srvs:
            return "code: apply_conf_srvs";
        case apply_gui_params:
            return nullptr;
        default:
            return "code: unknown";
    }
}

bool is_port(std::int32_t port) {
    return port >= 1 && port <= 65535;
}

// Saves the XML configuration over its file in one step, so a crash never leaves half of it.
void save_whole(Poco::Util::XMLConfiguration& conf, const std::string& fpath) {
    std::ostringstream content;
    conf.save(content);
    CQKReplacingFile::replace(fpath, content.str(), kFileMode);
}

// A desktop-entry Exec value: the path quoted, with the characters the format reserves
// escaped.
std::string exec_value(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += "\\\\";  // the entry's own escaping of the backslash, then the quote's
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string own_path() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        throw Poco::SystemException("Error of solving of the program's own path...");
    return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace

CQKConfigControl& CQKConfigControl::instance() {
    static CQKConfigControl* control = new CQKConfigControl;  // lives until the process ends
    return *control;
}

std::unique_ptr<SQKConfigCodeCtrl> CQKConfigControl::procConfigCodeCtrl(
    std::unique_ptr<SQKConfigCodeCtrl> request) {
    QKLogTag tag = tag_of("CQKConfigControl::procConfigCodeCtrl()");
    if (!request)
        return nullptr;
    m_curr_result = QK_SEND_FILE_FERROR;
    m_code = request->config_code_ctrl;
    try {
        switch (m_code) {
            case read_file_conf_clns:
            case read_conf_clns:
            case apply_conf_clns:
                if (const SQKClnSCtrl* cln = request->payload<SQKClnSCtrl>())
                    m_cln = *cln;
                break;
            case read_file_conf_srvs:
            case read_conf_srvs:
            case apply_conf_srvs:
                if (const SQKSrvSCtrl* srv = request->payload<SQKSrvSCtrl>())
                    m_srv = *srv;
                break;
            case read_file_gui_params:
            case apply_gui_params:
                if (const SQKGuiParams* params = request->payload<SQKGuiParams>()) {
                    m_gui.client_control_port = params->client_control_port;
                    m_gui.server_control_port = params->server_control_port;
                    m_gui.run_when_win_starts = params->run_when_win_starts ? 1 : 0;
                    m_gui.start_mimimized = params->start_mimimized ? 1 : 0;
                    publishControlPorts();
                }
                break;
            default:
                break;
        }
        if (const char* line = code_line(m_code))
            log_message(LOG_LEVEL_DEBUG, &tag, "%s", line);
        act(m_code);
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        m_code = 0;
        return nullptr;
    } catch (const std::exception& e) {
        qk_report_exception(&tag, e);
        m_code = 0;
        return nullptr;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        m_code = 0;
        return nullptr;
    }

    bool replies = true;
    switch (m_code) {
        case read_file_conf_clns:
        case read_conf_clns:
            request->data = m_cln;
            break;
        case read_file_conf_srvs:
        case read_conf_srvs:
            request->data = m_srv;
            break;
        case read_file_gui_params:
            request->data = m_gui;
            break;
        default:
            replies = false;
            break;
    }
    m_code = 0;
    if (!replies)
        return nullptr;
    if (CQKGuiMailbox* window = m_window.load()) {
        SQKGuiMessage message;
        message.code = WM_PROC_CTRL;
        message.ctrl = std::move(request);
        window->post(std::move(message));
        return nullptr;
    }
    return request;
}

void CQKConfigControl::act(std::int32_t code) {
    switch (code) {
        case read_file_conf_clns:
            fileReadClnSCtrl();
            gui().addLogMessage("Client Parameters were read form xml file");
            break;
        case read_file_conf_srvs:
            fileReadSrvSCtrl();
            gui().addLogMessage("Server Parameters were read form xml file");
            break;
        case read_conf_clns:
            readFromService(code, m_cln, m_gui.client_control_port, "Client");
            if (m_curr_result != QK_SEND_FILE_FOK) {
                fileReadClnSCtrl();
                gui().addLogMessage("Client Parameters were read form xml file");
            }
            break;
        case read_conf_srvs:
            readFromService(code, m_srv, m_gui.server_control_port, "Server");
            if (m_curr_result != QK_SEND_FILE_FOK) {
                fileReadSrvSCtrl();
                gui().addLogMessage("Server Parameters were read form xml file");
            }
            break;
        case apply_conf_clns:
            if (applyToService(m_cln, m_gui.client_control_port, "Client") ==
                Applied::unreachable) {
                fileWriteClnSCtrl();
                gui().addLogMessage("Client Parameters were saved to xml file");
            }
            break;
        case apply_conf_srvs:
            if (applyToService(m_srv, m_gui.server_control_port, "Server") ==
                Applied::unreachable) {
                fileWriteSrvSCtrl();
                gui().addLogMessage("Server Parameters were saved to xml file");
            }
            break;
        case read_file_gui_params:
            fileReadGuiParams();
            gui().addLogMessage("GUI Parameters were read form xml file");
            break;
        case apply_gui_params:
            fileWriteGuiParams();
            gui().addLogMessage("GUI Parameters were saved to xml file");
            m_gui_known = true;
            procParams();
            gui().addLogMessage("GUI Parameters were applied");
            break;
        default:
            break;
    }
}

// The failures of one exchange; each leaves m_curr_result 127. A failed read falls back to
// the file; a failed apply only when no connection was made.
#define QK_NETWORK_FAILURES(crypto_text, port)                                            \
    catch (const Poco::Crypto::CryptoException& e) {                                      \
        gui().addLogMessage(crypto_text);                                                 \
        qk_report_exception(&tag, e);                                                     \
        m_curr_result = QK_SEND_FILE_FERROR;                                              \
    }                                                                                     \
    catch (const Poco::Net::NetException& e) {                                            \
        closeConnection(kAddress, port);                                                  \
        gui().addLogMessageFrmt("Connection to %s Service was not provided. Error", who); \
        qk_report_exception(&tag, e);                                                     \
        m_curr_result = QK_SEND_FILE_FERROR;                                              \
    }                                                                                     \
    catch (...) {                                                                         \
        closeConnection(kAddress, port);                                                  \
        qk_report_unknown_exception(&tag);                                                \
        m_curr_result = QK_SEND_FILE_FERROR;                                              \
    }

template <typename Record>
void CQKConfigControl::readFromService(std::int32_t code, Record& record, std::int32_t port,
                                       const char* who) {
    QKLogTag tag = qk_make_tag("CQKConfigControl::procConfigCodeCtrl()");
    if (!is_port(port))
        return;
    const std::string crypto_text =
        std::string("Signature of ") + who + " Parameters hasn't been verified. Error";
    try {
        openConnection(kAddress, port);
        gui().addLogMessageFrmt("Connection to %s Service: address: '%s' port: %d", who, kAddress,
                                port);
        netRecvCtrl(&record, sizeof(Record));
        gui().addLogMessageFrmt("Parameters were received from %s Service", who);
        closeConnection(kAddress, port);
        gui().addLogMessageFrmt("Connection to %s Service is closed", who);
        verifySignCtrl(record, code == read_conf_clns ? m_gui.ssl_common_cln_cert_fpath
                                                      : m_gui.ssl_common_srv_cert_fpath);
        gui().addLogMessageFrmt("Signature of %s Parameters has been verified. Ok", who);
        m_curr_result = QK_SEND_FILE_FOK;
    }
    QK_NETWORK_FAILURES(crypto_text, port)
}

// Only a service that could not be reached (no control port, nothing listening) leaves the
// values to its file. Once connected, a failure may be the service's refusal (0x7F: a bad
// signature, a value it refuses, its own failed write); writing the file then would have the
// service take the refused values from it at its next pass. A record we cannot sign is not
// written either: the service may well be running.
template <typename Record>
CQKConfigControl::Applied CQKConfigControl::applyToService(Record& record, std::int32_t port,
                                                           const char* who) {
    QKLogTag tag = qk_make_tag("CQKConfigControl::procConfigCodeCtrl()");
    if (!is_port(port))
        return Applied::unreachable;
    const std::string crypto_text =
        std::string(who) + " Parameters hasn't been signed (ECDSA). Error";
    bool signed_record = false;
    bool connected = false;
    try {
        doSignCtrl(record);
        signed_record = true;
        gui().addLogMessageFrmt("%s Parameters have been signed (ECDSA). Ok", who);
        openConnection(kAddress, port);
        connected = true;
        gui().addLogMessageFrmt("Connection to %s Service: address: '%s' port: %d", who, kAddress,
                                port);
        netSendCtrl(&record, sizeof(Record));
        gui().addLogMessageFrmt("Parameters were sent to %s Service", who);
        closeConnection(kAddress, port);
        gui().addLogMessageFrmt("Connection to %s Service is closed", who);
        m_curr_result = QK_SEND_FILE_FOK;
        return Applied::applied;
    }
    QK_NETWORK_FAILURES(crypto_text, port)
    if (signed_record && !connected)
        return Applied::unreachable;
    gui().addLogMessageFrmt("%s Parameters have not been applied. Error", who);
    return Applied::failed;
}

#undef QK_NETWORK_FAILURES

// ---- signatures

template <typename Record>
void CQKConfigControl::doSignCtrl(Record& record) {
    QKLogTag tag = tag_of("CQKConfigControl::doSignCtrl()");
    log_message(LOG_LEVEL_TRACE, &tag, "doSignCtrl(): Start of Signing...");
    try {
        qk_ctrl_put_sign(record, qk_ctrl_sign(qk_ctrl_signed_form(record),
                                              m_gui.ssl_keys_cert_fpath, m_gui.ssl_keys_key_fpath));
    } catch (...) {
        qk_report_unknown_exception(&tag);
        throw;
    }
    log_message(LOG_LEVEL_TRACE, &tag,
                "Signing of of Control Data has been provided. Size of the signature (ECDSA): %d",
                record.m_sign_size);
    log_message(LOG_LEVEL_TRACE, &tag, "doSignCtrl(): End of Signing...");
}

template <typename Record>
void CQKConfigControl::verifySignCtrl(const Record& record, const std::string& cert_fpath) {
    QKLogTag tag = tag_of("CQKConfigControl::verifySignCtrl()");
    log_message(LOG_LEVEL_TRACE, &tag, "doSignCtrl(): Start of Verifying of Sign...");
    try {
        // A size beyond the field comes from a broken peer and is refused like no signature.
        if (record.m_sign_size < 1 || record.m_sign_size > static_cast<int>(QK_CTRL_SIGN_MAX))
            throw Poco::Crypto::CryptoException("Wrong value of the signature.");
        const bool valid = qk_ctrl_verify(qk_ctrl_signed_form(record), record.m_sign,
                                          static_cast<std::size_t>(record.m_sign_size), cert_fpath);
        log_message(LOG_LEVEL_TRACE, &tag,
                    "Verification of the signature (ECDSA) of Control Data. Size of the "
                    "signature: %d. Result: %d",
                    record.m_sign_size, valid ? 1 : 0);
        if (!valid)
            throw Poco::Crypto::CryptoException("Signature is not valid.");
    } catch (...) {
        qk_report_unknown_exception(&tag);
        throw;
    }
    log_message(LOG_LEVEL_TRACE, &tag, "doSignCtrl(): Verifying is Finished...");
}

// ---- connection and steps

void CQKConfigControl::openConnection(const std::string& address, std::int32_t port) {
    QKLogTag tag = tag_of("CQKConfigControl::openConnection()");
    try {
        m_socket = std::make_unique<Poco::Net::StreamSocket>();
        m_socket->connect(Poco::Net::SocketAddress(address, static_cast<std::uint16_t>(port)));
        m_socket->setNoDelay(true);
    } catch (const Poco::Net::NetException& e) {
        qk_report_exception(&tag, e);
        throw;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        throw;
    }
    gui().addLogMessageFrmt("Connected to: address: '%s' port: %d", address.c_str(), port);
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection: address = %s port = %d is opened.",
                address.c_str(), port);
}

void CQKConfigControl::closeConnection(const std::string& address, std::int32_t port) {
    QKLogTag tag = tag_of("CQKConfigControl::closeConnection()");
    if (!m_socket) {
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "Connection: address = %s port = %d is closed already...", address.c_str(),
                    port);
        return;
    }
    try {
        m_socket->shutdown();
    } catch (...) {
        // a socket whose connect failed has nothing to shut down
    }
    try {
        m_socket->close();
    } catch (...) {
    }
    m_socket.reset();
    log_message(LOG_LEVEL_DEBUG, &tag, "Connection: address = %s port = %d is closed.",
                address.c_str(), port);
}

void CQKConfigControl::waitReady(int mode, bool write_exception) {
    if (qk_poll_socket(*m_socket, m_step_timeout, mode))
        return;
    QKLogTag tag = qk_make_tag("CQKConfigControl::waitReady()");
    m_curr_result = QK_SEND_FILE_FERROR;
    log_message(LOG_LEVEL_ERROR, &tag, "Error receiving of the status...");
    if (write_exception)
        throw SockWriteStatusException("Error receiving of the status...");
    throw SockReadStatusException("Error receiving of the status...");
}

void CQKConfigControl::recvStatus(std::uint8_t expected) {
    QKLogTag tag = tag_of("CQKTcpClnS::recvStatus()");
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (recv). start...");
    waitReady(Poco::Net::Socket::SELECT_READ, false);
    unsigned char buffer[65536];
    const int received = m_socket->receiveBytes(buffer, sizeof(buffer));
    if (received < 1 || buffer[0] != expected) {
        char text[128];
        std::snprintf(text, sizeof(text),
                      "recv Error... received status = 0x%02X, expected status = 0x%02X",
                      received < 1 ? 0u : buffer[0], expected);
        m_curr_result = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text);
        throw ReceivingStatusException(text);
    }
    m_curr_result = QK_SEND_FILE_FOK;
    log_message(LOG_LEVEL_TRACE, &tag, "recv Ok...");
    print_code(buffer, static_cast<std::size_t>(received), LOG_LEVEL_TRACE);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (recv). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_result = %d", m_curr_result);
}

void CQKConfigControl::sendStatus() {
    QKLogTag tag = tag_of("CQKConfigControl::sendStatus()");
    const unsigned char status = m_curr_result;
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus Start... status = %02X", status);
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). start...");
    waitReady(Poco::Net::Socket::SELECT_WRITE, true);
    if (m_socket->sendBytes(&status, 1) < 1) {
        char text[128];
        std::snprintf(text, sizeof(text), "sendBytes Error... sent status =  0x%02X", status);
        m_curr_result = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "%s", text);
        throw SendingDataException(text);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes Ok...");
    log_message(LOG_LEVEL_TRACE, &tag, "Server.select (recv). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "sendStatus End... status = %02X", status);
}

void CQKConfigControl::sendData(const void* bytes, int size) {
    QKLogTag tag = tag_of("CQKConfigControl::sendData()");
    log_message(LOG_LEVEL_TRACE, &tag, "CQKConfigControl::sendData() size = %d", size);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). start...");
    waitReady(Poco::Net::Socket::SELECT_WRITE, true);
    const int sent = m_socket->sendBytes(bytes, size);
    if (sent != size) {
        m_curr_result = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "sendBytes Error: bytes = %d size = %d", sent, size);
        throw SendingDataException("sendBytes Error: bytes = " + std::to_string(sent) +
                                   " size = " + std::to_string(size));
    }
    m_curr_result = QK_SEND_FILE_FOK;
    log_message(LOG_LEVEL_TRACE, &tag, "send Ok...");
}

void CQKConfigControl::recvData(void* buffer, int size) {
    QKLogTag tag = tag_of("CQKConfigControl::recvData()");
    log_message(LOG_LEVEL_TRACE, &tag, "CQKConfigControl::recvData() size = %d", size);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (recv). start...");
    waitReady(Poco::Net::Socket::SELECT_READ, true);
    const int received = m_socket->receiveBytes(buffer, size);
    if (received != size) {
        m_curr_result = QK_SEND_FILE_FERROR;
        log_message(LOG_LEVEL_ERROR, &tag, "receiveBytes Error: bytes = %d size = %d", received,
                    size);
        throw SendingDataException("receiveBytes Error: bytes = " + std::to_string(received) +
                                   " size = " + std::to_string(size));
    }
    m_curr_result = QK_SEND_FILE_FOK;
    log_message(LOG_LEVEL_TRACE, &tag, "recv Ok...");
}

void CQKConfigControl::netRecvCtrl(void* record, int size) {
    tag_of("CQKConfigControl::netRecvCtrl()");
    const unsigned char request = QK_FILE_SEND_READ_CONFIG;
    recvStatus(QK_SEND_FILE_FOK);
    sendData(&request, 1);
    recvData(record, size);
    sendStatus();
    recvStatus(QK_SEND_FILE_FOK);
}

void CQKConfigControl::netSendCtrl(const void* record, int size) {
    tag_of("CQKConfigControl::netSendCtrl()");
    const unsigned char request = QK_FILE_SEND_APPLY_CONFIG;
    recvStatus(QK_SEND_FILE_FOK);
    sendData(&request, 1);
    recvStatus(QK_SEND_FILE_FOK);
    sendData(record, size);
    recvStatus(QK_SEND_FILE_FOK);
}

// ---- files

std::string CQKConfigControl::serviceFile(const char* name) const {
    return CQKBaseConfigs::instance().view("appl").getString("appl_conf_c_dpath") + name + ".xml";
}

void CQKConfigControl::fileReadClnSCtrl() {
    QKLogTag tag = tag_of("CQKConfigControl::fileReadClnSCtrl()");
    const std::string fpath = serviceFile("qk_relay_clnsvc");
    log_message(LOG_LEVEL_TRACE, &tag, "Reading Parameters of Client Service from file: %s",
                fpath.c_str());
    gui().addLogMessageFrmt("Reading Parameters of Client Service from file: %s", fpath.c_str());
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf = new Poco::Util::XMLConfiguration(fpath);
    conf->getInt("control_code");
    SQKClnSCtrl cln;
    std::memset(&cln, 0, sizeof(cln));
    qk_ctrl_set_string(cln.m_out_dir, conf->getString("out_dir"));
    qk_ctrl_set_string(cln.m_back_dir, conf->getString("back_dir"));
    qk_ctrl_set_string(cln.m_file_path, conf->getString("file"));
    qk_ctrl_set_string(cln.m_srv_address, conf->getString("server_address"));
    cln.m_srv_port = conf->getInt("server_port");
    cln.m_use_ssl = conf->getBool("use_ssl") ? 1 : 0;
    cln.m_sub_dirs = conf->getBool("sub_dirs") ? 1 : 0;
    m_cln = cln;
}

void CQKConfigControl::fileWriteClnSCtrl() {
    QKLogTag tag = tag_of("CQKConfigControl::fileWriteClnSCtrl()");
    const std::string fpath = serviceFile("qk_relay_clnsvc");
    log_message(LOG_LEVEL_TRACE, &tag, "Writing Parameters of Client Service to file: %s",
                fpath.c_str());
    gui().addLogMessageFrmt("Writing Parameters of Client Service to file: %s", fpath.c_str());
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf = new Poco::Util::XMLConfiguration(fpath);
    conf->setString("out_dir", qk_ctrl_get_string(m_cln.m_out_dir, "m_out_dir"));
    conf->setString("back_dir", qk_ctrl_get_string(m_cln.m_back_dir, "m_back_dir"));
    conf->setString("file", qk_ctrl_get_string(m_cln.m_file_path, "m_file_path"));
    conf->setString("server_address", qk_ctrl_get_string(m_cln.m_srv_address, "m_srv_address"));
    conf->setInt("server_port", m_cln.m_srv_port);
    conf->setInt("use_ssl", m_cln.m_use_ssl ? 1 : 0);
    conf->setInt("sub_dirs", m_cln.m_sub_dirs ? 1 : 0);
    save_whole(*conf, fpath);
}

void CQKConfigControl::fileReadSrvSCtrl() {
    QKLogTag tag = tag_of("CQKConfigControl::fileReadSrvSCtrl()");
    const std::string fpath = serviceFile("qk_relay_srvsvc");
    log_message(LOG_LEVEL_TRACE, &tag, "Reading Parameters of Server Service from file: %s",
                fpath.c_str());
    gui().addLogMessageFrmt("Reading Parameters of Server Service from file: %s", fpath.c_str());
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf = new Poco::Util::XMLConfiguration(fpath);
    conf->getInt("control_code");
    SQKSrvSCtrl srv;
    std::memset(&srv, 0, sizeof(srv));
    qk_ctrl_set_string(srv.m_in_dir, conf->getString("in_dir"));
    qk_ctrl_set_string(srv.m_back_dir, conf->getString("back_dir"));
    srv.m_port = conf->getInt("port");
    srv.m_ssl_port = conf->getInt("ssl_port");
    m_srv = srv;
}

void CQKConfigControl::fileWriteSrvSCtrl() {
    QKLogTag tag = tag_of("CQKConfigControl::fileWriteSrvSCtrl()");
    const std::string fpath = serviceFile("qk_relay_srvsvc");
    log_message(LOG_LEVEL_TRACE, &tag, "Writing Parameters of Server Service to file: %s",
                fpath.c_str());
    gui().addLogMessageFrmt("Writing Parameters of Server Service to file: %s", fpath.c_str());
    Poco::AutoPtr<Poco::Util::XMLConfiguration> conf = new Poco::Util::XMLConfiguration(fpath);
    conf->setString("in_dir", qk_ctrl_get_string(m_srv.m_in_dir, "m_in_dir"));
    conf->setString("back_dir", qk_ctrl_get_string(m_srv.m_back_dir, "m_back_dir"));
    conf->setInt("port", m_srv.m_port);
    conf->setInt("ssl_port", m_srv.m_ssl_port);
    save_whole(*conf, fpath);
}

void CQKConfigControl::fileReadGuiParams() {
    QKLogTag tag = tag_of("CQKConfigControl::fileReadGuiParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    const std::string fpath = configs.view("appl").getString("appl_conf_c_fpath");
    log_message(LOG_LEVEL_TRACE, &tag, "Reading of GUI Parameters from file: %s", fpath.c_str());
    gui().addLogMessageFrmt("Reading of GUI Parameters from file: %s", fpath.c_str());
    Poco::Mutex::ScopedLock lock(configs.configLock());
    configs.readConfC();
    configs.readConfP();
    Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    Poco::Util::AbstractConfiguration& keys = configs.view("ssl_keys");
    // A missing key takes the shipped file's value, so one lost line neither turns the
    // control ports off nor, through procParams, deletes the autostart entry the user made:
    // for run_when_win_starts the default is whether that entry exists.
    const auto missing = [&](const char* key, const std::string& value) {
        if (conf.has(key))
            return false;
        log_message(LOG_LEVEL_WARN, &tag, "Key '%s' is missing, default value: %s", key,
                    value.c_str());
        gui().addLogMessageFrmt(kMissingSetting, key, value.c_str());
        return true;
    };
    const auto port_of = [&](const char* key, std::int32_t fallback) {
        if (missing(key, std::to_string(fallback)))
            return fallback;
        try {
            return conf.getInt(key);
        } catch (const Poco::SyntaxException&) {
            return 0;  // not an integer
        }
    };
    const auto flag_of = [&](const char* key, bool fallback) {
        if (missing(key, fallback ? "true" : "false"))
            return fallback ? 1 : 0;
        return conf.getBool(key) ? 1 : 0;
    };
    SQKGuiParams params;
    params.client_control_port = port_of("client_control_port", kDefaultClientControlPort);
    params.server_control_port = port_of("server_control_port", kDefaultServerControlPort);
    params.run_when_win_starts =
        flag_of("run_when_win_starts", Poco::File(autostartPath()).exists());
    params.start_mimimized = flag_of("start_mimimized", false);
    params.ssl_keys_key_fpath = keys.getString("ssl_keys_key_fpath");
    params.ssl_keys_cert_fpath = keys.getString("ssl_keys_cert_fpath");
    params.ssl_keys_ca_cert_fpath = keys.getString("ssl_keys_ca_cert_fpath");
    params.ssl_common_ca_cert_fpath = keys.getString("ssl_common_ca_cert_fpath");
    params.ssl_common_srv_cert_fpath = keys.getString("ssl_common_srv_cert_fpath");
    params.ssl_common_cln_cert_fpath = keys.getString("ssl_common_cln_cert_fpath");
    params.ssl_common_gui_cert_fpath = keys.getString("ssl_common_gui_cert_fpath");
    m_gui = params;
    m_gui_known = true;
    publishControlPorts();
}

void CQKConfigControl::publishControlPorts() {
    m_client_control_port = m_gui.client_control_port;
    m_server_control_port = m_gui.server_control_port;
}

void CQKConfigControl::fileWriteGuiParams() {
    QKLogTag tag = tag_of("CQKConfigControl::fileWriteGuiParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    const std::string fpath = configs.view("appl").getString("appl_conf_c_fpath");
    log_message(LOG_LEVEL_TRACE, &tag, "Writing of GUI Parameters from file: %s", fpath.c_str());
    gui().addLogMessageFrmt("Writing of GUI Parameters from file: %s", fpath.c_str());
    Poco::Mutex::ScopedLock lock(configs.configLock());
    Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    conf.setInt("client_control_port", m_gui.client_control_port);
    conf.setInt("server_control_port", m_gui.server_control_port);
    conf.setBool("run_when_win_starts", m_gui.run_when_win_starts != 0);
    conf.setBool("start_mimimized", m_gui.start_mimimized != 0);
    configs.writeConfC();
    configs.writeConfP();
}

// ---- autostart entry

std::string CQKConfigControl::autostartPath() {
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    std::string dir = config_home != nullptr && config_home[0] == '/'
                          ? std::string(config_home)
                          : Poco::Path::home() + ".config";
    if (dir.back() != '/')
        dir += '/';
    return dir + "autostart/qk_relay_w.desktop";
}

void CQKConfigControl::procParams() {
    QKLogTag tag = tag_of("CQKControlConfig::procParams()");
    if (!m_gui_known) {
        // Settings that could not be read say nothing about the entry: it stays as it is.
        log_message(LOG_LEVEL_WARN, &tag, "GUI Parameters are unknown, the entry is kept");
        return;
    }
    try {
        const std::string fpath = autostartPath();
        Poco::File entry(fpath);
        const bool present = entry.exists();
        if (m_gui.run_when_win_starts) {
            const std::string content = std::string("[Desktop Entry]\nType=Application\nName=") +
                                        kEntryName + "\nExec=" + exec_value(own_path()) +
                                        "\nX-GNOME-Autostart-enabled=true\n";
            std::string old;
            if (present) {
                std::ifstream in(fpath, std::ios::binary);
                old.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                if (old == content)
                    return;
            }
            Poco::File(Poco::Path(fpath).parent()).createDirectories();
            CQKReplacingFile::replace(fpath, content, kFileMode);
            gui().addLogMessageFrmt("Registry Key (Current User): '%s'", fpath.c_str());
            gui().addLogMessageFrmt(
                present ? "Value: '%s' has been updated" : "Value: '%s' has been added",
                kEntryName);
        } else if (present) {
            entry.remove();
            gui().addLogMessageFrmt("Registry Key (Current User): '%s'", fpath.c_str());
            gui().addLogMessageFrmt("Value: '%s' has been deleted", kEntryName);
        }
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
    }
}
