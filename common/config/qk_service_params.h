// What the two services' parameter records share: the control port, the directory checks,
// the port texts and the seven TLS file paths of the "ssl_keys" view.
#pragma once

#include <Poco/Util/AbstractConfiguration.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <utility>

#include "config/SQKSrvParams.h"

struct QKLogTag;
class CQKNameFilter;

// Re-reads both configuration files. An empty dir_key ("in_dir" or "out_dir") or "back_dir"
// of "conf_c" becomes dir_name or back_name in the work directory "qk_relay_work" beside the
// application data directory (in the system layout /var/lib/<company>/qk_relay_work); in
// memory only, the check creates the directories.
void qk_read_service_config(const char* tag_name, const char* dir_key, const char* dir_name,
                            const char* back_name);

// "control_port" of view; 0 when its value is not a number, NotFoundException when missing.
std::int32_t qk_read_control_port(const Poco::Util::AbstractConfiguration& view,
                                  const QKLogTag* tag);

// "log_level" of view, a key of the file alone (the control record has no such field);
// "TRACE" when missing, so that a file without it logs as much as ever.
std::string qk_read_log_level(const Poco::Util::AbstractConfiguration& view);
// Throws Poco::Util::OptionException naming the allowed values when name is no log level.
void qk_check_log_level(const std::string& name);
// Puts a checked level in force, with a line when it changes.
void qk_use_log_level(const std::string& name);

// Adds the exclude patterns of value (the client service's "exclude" key, a --exclude of the
// console client) to filter. Throws Poco::Util::OptionException "Wrong value of exclude: "
// and the reason when the value is refused; filter then stays as it was.
void qk_add_exclude(CQKNameFilter& filter, const std::string& value);
// "metrics_port" of view, a key of the file alone like "log_level": 0 (no metrics endpoint)
// when missing; a value that is not a number throws the configuration's exception.
std::int32_t qk_read_metrics_port(const Poco::Util::AbstractConfiguration& view);
// Throws Poco::Util::OptionException unless port is 0 (none) or 1..65535 and differs from
// every port of others, each named by its key; an entry of 0 is no port and is skipped.
void qk_check_metrics_port(std::int32_t port,
                           std::initializer_list<std::pair<const char*, std::int32_t>> others);
// "metrics_address" of view, a key of the file alone like "metrics_port": "127.0.0.1" when
// missing or empty.
std::string qk_read_metrics_address(const Poco::Util::AbstractConfiguration& view);
// Throws Poco::Util::OptionException unless address is a literal IPv4 address written as
// four decimal numbers ("0.0.0.0": every address of the machine).
void qk_check_metrics_address(const std::string& address);

// Resume of cut transfers, at a receiver. "resume_min_size": the smallest file whose partial
// content is kept when its transfer is cut, a byte count with K, M or G (powers of 1024), at
// least 1M; "off" or 0: none is kept and no transfer resumes. "partial_hours": how long
// partial content that nothing writes is kept, 1 to 8760.
// The defaults and bounds are in SQKSrvParams.h.
// The size text means; throws Poco::Util::OptionException "Wrong value of resume_min_size: "
// and the reason when it is refused.
std::uint64_t qk_parse_resume_min_size(const std::string& text);
// Throws Poco::Util::OptionException unless hours is 1 to QK_PARTIAL_HOURS_MAX.
void qk_check_partial_hours(std::int32_t hours);
// "partial_max": the most the partial content of one incoming tree may hold, a size as for
// resume_min_size (at least 1M), or a share of the tree's file system, "1%" to "100%".
// Throws Poco::Util::OptionException "Wrong value of partial_max: " and the reason.
SQKPartialMax qk_parse_partial_max(const std::string& text);

// Who may use the file ports, at a receiver. "address" and "ssl_address": the literal IPv4
// or IPv6 address the plain and the TLS listener bind (qk_parse_ip_literal, brackets
// allowed; 0.0.0.0: every IPv4 address of the machine, "::" every address of both families
// where the system has IPv6), or "off" for no such listener; absent or empty: 0.0.0.0, as before
// these keys existed, so an upgraded configuration keeps its senders. "allowed_networks" and
// "ssl_allowed_networks": the source networks whose peers each listener lets in
// (base/qk_network_list.h; empty: all). "source_connections": the connections, waiting or served,
// one source address may hold on each listener, 1 to QK_SOURCE_CONNECTIONS_MAX. The checks throw
// Poco::Util::OptionException "Wrong value of <key>: " and the reason.
std::string qk_read_listen_address(const Poco::Util::AbstractConfiguration& view, const char* key);
void qk_check_listen_address(const char* key, const std::string& address);
void qk_check_allowed_networks(const char* key, const std::string& value);
void qk_check_source_connections(std::int32_t count);
// Throws Poco::Util::OptionException unless at least one of the two listeners runs.
void qk_check_some_listener(const std::string& address, const std::string& ssl_address);
inline bool qk_listener_off(const std::string& address) {
    return address == QK_LISTEN_OFF;
}

// Makes sure path is a directory, creating it with every missing parent (mode 0750 less the
// umask: the trees hold files other accounts must not read). Throws
// Poco::FileExistsException label + path + " not exists..." when it cannot be made, and
// label + path + " is not a directory..." when something else is there.
void qk_ensure_param_dir(const char* label, const std::string& path, const QKLogTag* tag);

// Throws Poco::Util::OptionException "Wrong value of <label>: <dir> ..." when dir is, holds
// or lies in a directory of private keys of the data tree that key_fpath (the program's own
// key) belongs to: <root>/ca/ and <root>/<program>/keys/ of every program, where root is
// two levels above key_fpath's directory. A sender pointed there would send private keys to
// its receiver, and remove them where it may. Directories that cannot be resolved pass:
// their own checks say why.
void qk_check_dir_outside_keys(const char* label, const std::string& dir,
                               const std::string& key_fpath);

// The decimal text of a port taken as unsigned (-1 gives "4294967295").
inline std::string qk_unsigned_text(std::int32_t value) {
    return std::to_string(static_cast<std::uint32_t>(value));
}

// Reads the configuration into a copy and checks it; only a copy that passed replaces params
// and puts its log level in force.
// A refused one changes only what params.readControlValues() reads, so that the control
// listener follows its port and the operator can mend the file through it. Returns the
// refusal (empty when the copy passed); failures of readControlValues pass on. Call with the
// configuration lock held.
template <typename Params>
std::exception_ptr qk_take_checked_params(Params& params) {
    Params read;
    try {
        read.readParams();
        read.checkParams();
    } catch (...) {
        const std::exception_ptr refusal = std::current_exception();
        params.readControlValues();
        return refusal;
    }
    params = read;
    qk_use_log_level(params.m_log_level);
    return nullptr;
}

// Reads the seven paths of the "ssl_keys" view into a parameter record.
template <typename Params>
void qk_read_key_paths(Params& params, const Poco::Util::AbstractConfiguration& keys) {
    params.m_key_fpath = keys.getString("ssl_keys_key_fpath");
    params.m_cert_fpath = keys.getString("ssl_keys_cert_fpath");
    params.m_ca_cert_fpath = keys.getString("ssl_keys_ca_cert_fpath");
    params.m_common_ca_cert_fpath = keys.getString("ssl_common_ca_cert_fpath");
    params.m_common_srv_cert_fpath = keys.getString("ssl_common_srv_cert_fpath");
    params.m_common_cln_cert_fpath = keys.getString("ssl_common_cln_cert_fpath");
    params.m_common_gui_cert_fpath = keys.getString("ssl_common_gui_cert_fpath");
}

// Stores the program's own three paths and the common CA. The peers' certificates are
// never written from a record: they name files this program does not own.
template <typename Params>
void qk_write_key_paths(const Params& params, Poco::Util::AbstractConfiguration& keys) {
    keys.setString("ssl_keys_key_fpath", params.m_key_fpath);
    keys.setString("ssl_keys_cert_fpath", params.m_cert_fpath);
    keys.setString("ssl_keys_ca_cert_fpath", params.m_ca_cert_fpath);
    keys.setString("ssl_common_ca_cert_fpath", params.m_common_ca_cert_fpath);
}
