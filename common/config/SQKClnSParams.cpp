// Reading, checking and storing the client service's parameters.
#include "config/SQKClnSParams.h"

#include <Poco/Exception.h>
#include <Poco/Util/OptionException.h>

#include "base/qk_host_address.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "config/SQKClnParams.h"
#include "config/qk_service_params.h"

namespace {

constexpr std::int32_t kControlRun = 1;
constexpr std::int32_t kControlStop = 2;
constexpr std::int32_t kMinDelaySleep = 1000;

// The period, compared unsigned: a negative value counts as a very long one.
void raise_delay_sleep(std::int32_t& delay) {
    if (static_cast<std::uint32_t>(delay) < static_cast<std::uint32_t>(kMinDelaySleep))
        delay = kMinDelaySleep;
}

// "bw_limit": no limit when missing or blank, else the rate or timetable it holds.
CQKRateSchedule read_bw_limit(const Poco::Util::AbstractConfiguration& conf) {
    const std::string value = conf.getString("bw_limit", "");
    CQKRateSchedule schedule;
    if (value.find_first_not_of(" \t\r\n") == std::string::npos)
        return schedule;
    const std::string problem = schedule.parse(value);
    if (!problem.empty())
        throw Poco::Util::OptionException("Wrong value of bw_limit: " + problem + ".");
    return schedule;
}

}  // namespace

void SQKClnSParams::readParams() {
    QKLogTag tag = qk_make_tag("SQKClnSParams::readParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    const Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    m_control_code = conf.getInt("control_code", 1);
    m_op_code = conf.getInt("op_code", 1);
    m_out_dir = conf.getString("out_dir");
    m_back_dir = conf.getString("back_dir");
    m_file_path = conf.getString("file");
    m_srv_address = conf.getString("server_address");
    m_srv_port = conf.getInt("server_port");
    m_use_ssl = conf.getBool("use_ssl", false) ? 1 : 0;
    m_sub_dirs = conf.getBool("sub_dirs") ? 1 : 0;
    m_delay_sleep = conf.getInt("scan_time", kMinDelaySleep);
    m_control_port = qk_read_control_port(conf, &tag);
    m_min_age = conf.getInt("min_age", 0);
    m_metrics_port = qk_read_metrics_port(conf);
    m_metrics_address = qk_read_metrics_address(conf);
    m_streams = conf.getInt("streams", 1);
    m_keep_alive = conf.getInt("keep_alive", 60);
    m_log_level = qk_read_log_level(conf);
    m_exclude = CQKNameFilter();
    qk_add_exclude(m_exclude, conf.getString("exclude", ""));
    m_bw_limit = read_bw_limit(conf);
    raise_delay_sleep(m_delay_sleep);
    qk_read_key_paths(*this, configs.view("ssl_keys"));
}

void SQKClnSParams::readControlValues() {
    QKLogTag tag = qk_make_tag("SQKClnSParams::readParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    const Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    m_control_code = conf.getInt("control_code", 1);
    m_control_port = qk_read_control_port(conf, &tag);
    qk_read_key_paths(*this, configs.view("ssl_keys"));
}

void SQKClnSParams::checkParams() {
    QKLogTag tag = qk_make_tag("SQKClnSParams::checkParams()");
    raise_delay_sleep(m_delay_sleep);
    // Before the stop's early return: the level is in force whether the scanner runs or not.
    qk_check_log_level(m_log_level);
    // The endpoint runs whether the scanner does or not.
    qk_check_metrics_address(m_metrics_address);
    qk_check_metrics_port(m_metrics_port, {{"control port number", m_control_port},
                                           {"server port number", m_srv_port}});
    if (m_control_code == kControlStop)
        return;
    if (m_control_code != kControlRun) {
        throw Poco::Util::OptionException(
            "Error of checking of params: Unknown value of  'control_code'");
    }
    if (m_op_code != 1)
        throw Poco::Util::OptionException(
            "Error of checking of params: Unknown value of 'op_code'");
    if (m_out_dir.empty() && m_file_path.empty())
        throw Poco::Util::OptionException(
            "Configuration values 'out_dir' and 'file' are not defined.");
    if (!m_out_dir.empty()) {
        qk_ensure_param_dir("Out directory: ", m_out_dir, &tag);
        qk_check_dir_outside_keys("out_dir", m_out_dir, m_key_fpath);
    }
    if (!m_back_dir.empty())
        qk_ensure_param_dir("Backup directory: ", m_back_dir, &tag);
    if (static_cast<std::uint32_t>(m_control_port) > 65535) {
        throw Poco::Util::OptionException("Wrong value of control port number:" +
                                          qk_unsigned_text(m_control_port));
    }
    if (m_srv_port < 1 || m_srv_port > 65535) {
        throw Poco::Util::OptionException("Wrong value of port number: " +
                                          std::to_string(m_srv_port));
    }
    if (!qk_is_server_address(m_srv_address))
        throw Poco::Util::OptionException("Wrong value of server address: " + m_srv_address + ". " +
                                          QK_SERVER_ADDRESS_RULE);
    if (m_min_age < 0) {
        throw Poco::Util::OptionException("Wrong value of min_age: " + std::to_string(m_min_age) +
                                          ". It must be 0 or more milliseconds.");
    }
    if (m_streams < 1 || m_streams > QK_MAX_STREAMS) {
        throw Poco::Util::OptionException("Wrong value of streams: " + std::to_string(m_streams) +
                                          ". It must be 1 to " + std::to_string(QK_MAX_STREAMS) +
                                          ".");
    }
    if (m_keep_alive < 0 || m_keep_alive > QK_MAX_KEEP_ALIVE) {
        throw Poco::Util::OptionException(
            "Wrong value of keep_alive: " + std::to_string(m_keep_alive) + ". It must be 0 to " +
            std::to_string(QK_MAX_KEEP_ALIVE) + " seconds.");
    }
}

void SQKClnSParams::writeParams() {
    QKLogTag tag = qk_make_tag("SQKClnSParams::writeParams()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    conf.setInt("control_code", m_control_code);
    conf.setInt("op_code", 1);
    conf.setInt("server_port", m_srv_port);
    conf.setInt("scan_time", m_delay_sleep);
    conf.setInt("control_port", m_control_port);
    conf.setInt("min_age", m_min_age);
    conf.setString("out_dir", m_out_dir);
    conf.setString("back_dir", m_back_dir);
    conf.setString("file", m_file_path);
    conf.setString("server_address", m_srv_address);
    conf.setBool("use_ssl", m_use_ssl != 0);
    conf.setBool("sub_dirs", m_sub_dirs != 0);
    qk_write_key_paths(*this, configs.view("ssl_keys"));
    log_message(LOG_LEVEL_DEBUG, &tag,
                "Parameters stored: out_dir = %s server_address = %s server_port = %d",
                m_out_dir.c_str(), m_srv_address.c_str(), m_srv_port);
}
