// Reading, checking and storing the server service's parameters.
#include "config/SQKSrvSParams.h"

#include <Poco/Exception.h>
#include <Poco/Util/OptionException.h>

#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"

namespace {

// A file listener's port: 1..65535, compared unsigned so a negative value fails too.
void check_file_port(std::int32_t port, const char* text) {
    const std::uint32_t value = static_cast<std::uint32_t>(port);
    if (value < 1 || value > 65535)
        throw Poco::Util::OptionException(text + qk_unsigned_text(port));
}

}  // namespace

void SQKSrvSParams::readParams() {
    QKLogTag tag = qk_make_tag("SQKSrvSParams::readParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    const Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    m_control_code = conf.getInt("control_code", 1);
    m_in_dir = conf.getString("in_dir");
    m_back_dir = conf.getString("back_dir");
    m_port = conf.getInt("port");
    m_ssl_port = conf.getInt("ssl_port");
    m_control_port = qk_read_control_port(conf, &tag);
    m_metrics_port = qk_read_metrics_port(conf);
    m_metrics_address = qk_read_metrics_address(conf);
    m_log_level = qk_read_log_level(conf);
    m_resume_min_size_text = conf.getString("resume_min_size", "64M");
    m_partial_hours = conf.getInt("partial_hours", QK_PARTIAL_HOURS_DEFAULT);
    m_address = qk_read_listen_address(conf, "address");
    m_ssl_address = qk_read_listen_address(conf, "ssl_address");
    m_allowed_networks = conf.getString("allowed_networks", "");
    m_ssl_allowed_networks = conf.getString("ssl_allowed_networks", "");
    m_source_connections = conf.getInt("source_connections", QK_SOURCE_CONNECTIONS_DEFAULT);
    m_partial_max_text = conf.getString("partial_max", "10%");
    m_resume_plain = conf.getBool("resume_plain", false);
    qk_read_key_paths(*this, configs.view("ssl_keys"));
}

void SQKSrvSParams::readControlValues() {
    QKLogTag tag = qk_make_tag("SQKSrvSParams::readParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    m_control_port = qk_read_control_port(configs.view("conf_c"), &tag);
    qk_read_key_paths(*this, configs.view("ssl_keys"));
}

void SQKSrvSParams::checkParams() {
    QKLogTag tag = qk_make_tag("SQKSrvSParams::checkParams()");
    qk_check_log_level(m_log_level);
    if (m_control_code != 1) {
        throw Poco::Util::OptionException(
            "Error of checking of params: Unknown value of  'control_code'");
    }
    if (m_in_dir.empty())
        throw Poco::FileExistsException("In directory:" + m_in_dir + " not defined...");
    qk_ensure_param_dir("In directory:", m_in_dir, &tag);
    if (!m_back_dir.empty())
        qk_ensure_param_dir("Backup directory: ", m_back_dir, &tag);
    if (static_cast<std::uint32_t>(m_control_port) > 65535) {
        throw Poco::Util::OptionException("Wrong value of control port number:" +
                                          qk_unsigned_text(m_control_port));
    }
    // The port of a listener that is off is not used, and not checked.
    const std::int32_t port = qk_listener_off(m_address) ? 0 : m_port;
    const std::int32_t ssl_port = qk_listener_off(m_ssl_address) ? 0 : m_ssl_port;
    if (!qk_listener_off(m_address))
        check_file_port(m_port, "Wrong value of port number:");
    if (!qk_listener_off(m_ssl_address))
        check_file_port(m_ssl_port, "Wrong value of ssl port number:");
    if (port != 0 && port == ssl_port) {
        throw Poco::Util::OptionException("Wrong values of port number:" + std::to_string(m_port) +
                                          " and ssl port number:" + std::to_string(m_ssl_port) +
                                          ". They shouldn't be equal.");
    }
    // A file listener on the control port would keep one of the two down at every pass.
    for (const std::int32_t file_port : {port, ssl_port}) {
        if (m_control_port != 0 && file_port == m_control_port) {
            throw Poco::Util::OptionException(
                "Wrong values of port number:" + std::to_string(file_port) +
                " and control port number:" + std::to_string(m_control_port) +
                ". They shouldn't be equal.");
        }
    }
    qk_check_metrics_address(m_metrics_address);
    qk_check_metrics_port(m_metrics_port, {{"port number", port},
                                           {"ssl port number", ssl_port},
                                           {"control port number", m_control_port}});
    m_resume_min_size = qk_parse_resume_min_size(m_resume_min_size_text);
    qk_check_partial_hours(m_partial_hours);
    qk_check_listen_address("address", m_address);
    qk_check_listen_address("ssl_address", m_ssl_address);
    qk_check_some_listener(m_address, m_ssl_address);
    qk_check_allowed_networks("allowed_networks", m_allowed_networks);
    qk_check_allowed_networks("ssl_allowed_networks", m_ssl_allowed_networks);
    qk_check_source_connections(m_source_connections);
    m_partial_max = qk_parse_partial_max(m_partial_max_text);
}

void SQKSrvSParams::writeParams() {
    QKLogTag tag = qk_make_tag("SQKSrvSParams::writeParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    conf.setInt("control_code", m_control_code);
    conf.setInt("port", m_port);
    conf.setInt("ssl_port", m_ssl_port);
    conf.setInt("control_port", m_control_port);
    conf.setString("in_dir", m_in_dir);
    conf.setString("back_dir", m_back_dir);
    qk_write_key_paths(*this, configs.view("ssl_keys"));
    log_message(LOG_LEVEL_DEBUG, &tag, "Parameters stored: in_dir = %s port = %d ssl_port = %d",
                m_in_dir.c_str(), m_port, m_ssl_port);
}
