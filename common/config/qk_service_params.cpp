// Shared reading and checking of the services' parameters.
#include "config/qk_service_params.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Path.h>
#include <Poco/Util/OptionException.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/qk_fs.h"
#include "base/qk_log.h"
#include "base/qk_name_filter.h"
#include "base/qk_network_list.h"
#include "base/qk_path.h"
#include "base/qk_rate_schedule.h"
#include "config/CQKBaseConfigs.h"
#include "config/SQKSrvParams.h"

std::int32_t qk_read_control_port(const Poco::Util::AbstractConfiguration& view,
                                  const QKLogTag* tag) {
    try {
        return view.getInt("control_port");
    } catch (const Poco::SyntaxException&) {
        log_message(LOG_LEVEL_WARN, tag, "control_port is not a number: no control listener");
        return 0;
    }
}

std::string qk_read_log_level(const Poco::Util::AbstractConfiguration& view) {
    return view.getString("log_level", "TRACE");
}

void qk_check_log_level(const std::string& name) {
    if (log_level_of(name) < 0) {
        throw Poco::Util::OptionException(
            "Wrong value of log_level: " + name +
            ". It must be one of TRACE, DEBUG, INFO, WARN, ERROR, FATAL.");
    }
}

void qk_use_log_level(const std::string& name) {
    const int level = log_level_of(name);
    if (level < 0 || level == log_min_level())
        return;
    QKLogTag tag = qk_make_tag("qk_use_log_level()");
    // Written under the more detailed of the two levels: the change shows in the log
    // whenever either level writes INFO.
    log_set_min_level(std::min(level, std::max(log_min_level(), LOG_LEVEL_TRACE)));
    log_message(LOG_LEVEL_INFO, &tag, "Log level: %s", name.c_str());
    log_set_min_level(level);
}

void qk_add_exclude(CQKNameFilter& filter, const std::string& value) {
    const std::string refusal = filter.add(value);
    if (!refusal.empty())
        throw Poco::Util::OptionException("Wrong value of exclude: " + refusal + ".");
}

std::int32_t qk_read_metrics_port(const Poco::Util::AbstractConfiguration& view) {
    return view.getInt("metrics_port", 0);
}

void qk_check_metrics_port(std::int32_t port,
                           std::initializer_list<std::pair<const char*, std::int32_t>> others) {
    if (static_cast<std::uint32_t>(port) > 65535) {
        throw Poco::Util::OptionException(
            "Wrong value of metrics port number:" + qk_unsigned_text(port) +
            ". It must be 0 (none) or 1..65535.");
    }
    if (port == 0)
        return;
    for (const auto& [key, other] : others) {
        if (other == port) {
            throw Poco::Util::OptionException(
                "Wrong values of metrics port number:" + std::to_string(port) + " and " + key +
                ":" + std::to_string(other) + ". They shouldn't be equal.");
        }
    }
}

std::string qk_read_metrics_address(const Poco::Util::AbstractConfiguration& view) {
    const std::string address = view.getString("metrics_address", "");
    return address.empty() ? "127.0.0.1" : address;
}

// Parsed and written back: forms the resolver also takes ("127.1", "0x7f.0.0.1", a leading
// zero or space) differ from what is written back and are refused.
void qk_check_metrics_address(const std::string& address) {
    Poco::Net::IPAddress parsed;
    if (!Poco::Net::IPAddress::tryParse(address, parsed) ||
        parsed.family() != Poco::Net::IPAddress::IPv4 || parsed.toString() != address) {
        throw Poco::Util::OptionException("Wrong value of metrics address: " + address +
                                          ". It must be a literal IPv4 address such as "
                                          "127.0.0.1, or 0.0.0.0 for all.");
    }
}

std::uint64_t qk_parse_resume_min_size(const std::string& text) {
    std::uint64_t size = 0;
    std::string problem = qk_parse_bytes(text, "size", "bytes", size);
    if (problem.empty() && size != 0 && size < QK_RESUME_MIN_SIZE_LOWEST)
        problem = "size " + text + " is below 1M";
    if (!problem.empty())
        throw Poco::Util::OptionException("Wrong value of resume_min_size: " + problem + ".");
    return size;
}

void qk_check_partial_hours(std::int32_t hours) {
    if (hours < 1 || hours > QK_PARTIAL_HOURS_MAX) {
        throw Poco::Util::OptionException("Wrong value of partial_hours: " + std::to_string(hours) +
                                          ". It must be 1 to " +
                                          std::to_string(QK_PARTIAL_HOURS_MAX) + ".");
    }
}

std::string qk_read_listen_address(const Poco::Util::AbstractConfiguration& view, const char* key) {
    const std::string address = view.getString(key, "");
    return address.empty() ? QK_LISTEN_ADDRESS_ALL : address;
}

void qk_check_listen_address(const char* key, const std::string& address) {
    Poco::Net::IPAddress parsed;
    if (qk_listener_off(address) || qk_parse_ip_literal(address, parsed, true))
        return;
    throw Poco::Util::OptionException(std::string("Wrong value of ") + key + ": " + address +
                                      ". It must be an IPv4 address such as 127.0.0.1, an IPv6 "
                                      "address such as ::1 or [fd00::5], 0.0.0.0 for every "
                                      "IPv4 address, :: for every address of both families, "
                                      "or off for none.");
}

void qk_check_allowed_networks(const char* key, const std::string& value) {
    CQKNetworkList networks;
    const std::string refusal = networks.assign(value);
    if (!refusal.empty())
        throw Poco::Util::OptionException(std::string("Wrong value of ") + key + ": " + refusal +
                                          ".");
}

void qk_check_source_connections(std::int32_t count) {
    if (count < 1 || count > QK_SOURCE_CONNECTIONS_MAX) {
        throw Poco::Util::OptionException(
            "Wrong value of source_connections: " + std::to_string(count) + ". It must be 1 to " +
            std::to_string(QK_SOURCE_CONNECTIONS_MAX) + ".");
    }
}

void qk_check_some_listener(const std::string& address, const std::string& ssl_address) {
    if (qk_listener_off(address) && qk_listener_off(ssl_address)) {
        throw Poco::Util::OptionException(
            "Wrong values of address and ssl_address: both are off. At least one file "
            "listener must run.");
    }
}

SQKPartialMax qk_parse_partial_max(const std::string& text) {
    SQKPartialMax max;
    std::string problem;
    if (!text.empty() && text.back() == '%') {
        const std::string number = text.substr(0, text.size() - 1);
        unsigned percent = 0;
        if (number.empty() || number.size() > 3 ||
            number.find_first_not_of("0123456789") != std::string::npos ||
            (percent = static_cast<unsigned>(std::stoul(number))) < 1 || percent > 100) {
            problem = "share " + text + " is not 1% to 100%";
        }
        max.percent = percent;
    } else {
        problem = qk_parse_bytes(text, "size", "bytes", max.bytes);
        if (problem.empty() && max.bytes < QK_RESUME_MIN_SIZE_LOWEST)
            problem = "size " + text + " is below 1M";
    }
    if (!problem.empty())
        throw Poco::Util::OptionException("Wrong value of partial_max: " + problem + ".");
    return max;
}

void qk_ensure_param_dir(const char* label, const std::string& path, const QKLogTag* tag) {
    Poco::File dir(path);
    if (!dir.exists()) {
        try {
            qk_create_private_dirs(path);
            log_message(LOG_LEVEL_INFO, tag, "Directory created: %s", path.c_str());
        } catch (const Poco::Exception&) {
            // Reported below as the directory that does not exist.
        }
    }
    if (!dir.exists())
        throw Poco::FileExistsException(label + path + " not exists...");
    if (!dir.isDirectory())
        throw Poco::FileExistsException(label + path + " is not a directory...");
}

namespace {

// dir's real path ending in "/"; "" when it cannot be resolved.
std::string real_dir(const std::string& dir) {
    char* real = ::realpath(dir.c_str(), nullptr);
    if (real == nullptr)
        return "";
    std::string text(real);
    std::free(real);
    if (text.back() != '/')
        text += '/';
    return text;
}

// The real paths of the directories of private keys of the data tree above key_fpath.
std::vector<std::string> key_directories(const std::string& key_fpath) {
    std::vector<std::string> found;
    const std::string own_keys = real_dir(Poco::Path(key_fpath).parent().toString());
    if (own_keys.empty())
        return found;
    const std::string root = Poco::Path(own_keys).parent().parent().toString();
    found.push_back(real_dir(root + "ca"));
    try {
        for (Poco::DirectoryIterator it(root), end; it != end; ++it)
            found.push_back(real_dir(it.path().toString() + "/keys"));
    } catch (const Poco::Exception&) {
        found.push_back(own_keys);  // the root cannot be listed: at least the own keys
    }
    found.erase(std::remove(found.begin(), found.end(), std::string()), found.end());
    return found;
}

// "qk_relay_work" beside the application data, or below the system's state root in the
// system layout, where the data directory lies below /etc/.
std::string work_directory(CQKBaseConfigs& configs) {
    Poco::Path base;
    if (QK_IS_SYSTEM_LAYOUT) {
        base = Poco::Path(QK_SYSTEM_STATE_ROOT)
                   .makeDirectory()
                   .pushDirectory(configs.view("build").getString("build_company_name"));
    } else {
        const std::string data_dir = configs.view("appl").getString("appl_data_dpath");
        base = Poco::Path(data_dir).makeDirectory().parent();
    }
    return base.pushDirectory("qk_relay_work").toString();
}

}  // namespace

void qk_read_service_config(const char* tag_name, const char* dir_key, const char* dir_name,
                            const char* back_name) {
    QKLogTag tag = qk_make_tag(tag_name);
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    configs.readConfC();
    configs.readConfP();
    Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    const std::string work_dir = work_directory(configs);
    for (const auto& [key, name] :
         {std::pair{dir_key, dir_name}, std::pair{"back_dir", back_name}}) {
        if (!conf.getString(key, "").empty())
            continue;
        conf.setString(key, work_dir + name);
        log_message(LOG_LEVEL_DEBUG, &tag, "%s = %s", key, (work_dir + name).c_str());
    }
}

void qk_check_dir_outside_keys(const char* label, const std::string& dir,
                               const std::string& key_fpath) {
    const std::string real = real_dir(dir);
    if (real.empty())
        return;
    for (const std::string& keys : key_directories(key_fpath)) {
        if (real.compare(0, keys.size(), keys) == 0 || keys.compare(0, real.size(), real) == 0) {
            throw Poco::Util::OptionException(std::string("Wrong value of ") + label + ": " + dir +
                                              " is, holds or lies in " + keys +
                                              ", where private keys are kept.");
        }
    }
}
