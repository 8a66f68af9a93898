// The server service's parameters: what its plain, TLS and control listeners need, from the
// "conf_c" and "ssl_keys" views of CQKBaseConfigs. One record lives in the service's control
// task and is shared by pointer with the listeners and the control connections; every
// operation runs with CQKBaseConfigs::instance().configLock() held by the caller.
#pragma once

#include <cstdint>
#include <string>

#include "config/SQKSrvParams.h"

struct SQKSrvSParams {
    std::int32_t m_control_code = 0;  // 1: run the file listeners
    std::string m_in_dir;             // incoming directory
    std::string m_back_dir;           // backup directory; empty: no backups
    std::int32_t m_port = 0;          // plain file listener
    std::int32_t m_ssl_port = 0;      // TLS file listener
    std::int32_t m_control_port = 0;  // control listener; 0: none
    std::int32_t m_metrics_port = 0;  // metrics endpoint; 0: none; of the file alone
    std::string m_metrics_address = "127.0.0.1";
    std::string m_key_fpath;
    std::string m_cert_fpath;
    std::string m_ca_cert_fpath;
    std::string m_common_ca_cert_fpath;
    std::string m_common_srv_cert_fpath;
    std::string m_common_cln_cert_fpath;
    std::string m_common_gui_cert_fpath;  // verifies records the control program applies
    std::string m_log_level = "TRACE";    // of the file alone, never in a control record
    // Resume of cut transfers (qk_service_params.h), keys of the file alone.
    std::string m_resume_min_size_text = "64M";
    std::uint64_t m_resume_min_size = QK_RESUME_MIN_SIZE_DEFAULT;  // by checkParams()
    std::int32_t m_partial_hours = QK_PARTIAL_HOURS_DEFAULT;
    // Who may use the file ports (qk_service_params.h), keys of the file alone: "address",
    // "ssl_address", "allowed_networks", "ssl_allowed_networks", "source_connections".
    std::string m_address = QK_LISTEN_ADDRESS_ALL;
    std::string m_ssl_address = QK_LISTEN_ADDRESS_ALL;
    std::string m_allowed_networks;
    std::string m_ssl_allowed_networks;
    std::int32_t m_source_connections = QK_SOURCE_CONNECTIONS_DEFAULT;

    // "partial_max" (default 10%) and "resume_plain" (default false), keys of the file alone.
    std::string m_partial_max_text = "10%";
    SQKPartialMax m_partial_max;  // by checkParams()
    bool m_resume_plain = false;

    // Fills the record; a missing key (other than "control_code", default 1,
    // "metrics_port", default 0, "metrics_address", default 127.0.0.1, "log_level", default
    // TRACE, "resume_min_size", default 64M, "partial_hours", default 24, "partial_max",
    // default 10%, "resume_plain", default false, and the keys of who may use the file ports,
    // whose defaults keep both listeners on every address for everyone) or a value that is
    // not a number (other than "control_port", then 0) throws the configuration's exception,
    // a missing view Poco::NullPointerException.
    void readParams();
    // Reads only what the control listener lives on: "control_port" and the key paths.
    void readControlValues();
    // Checks the record in a fixed order (the log level first), creating missing
    // directories, and throws on the first failure (Poco::Util::OptionException,
    // Poco::FileExistsException). No two of the four ports may be equal (a control or metrics
    // port of 0 means none).
    void checkParams();
    // Stores the record into the views in memory, but for "log_level", "metrics_port" and
    // "metrics_address", which the file keeps; CQKBaseConfigs writes the files.
    void writeParams();
};
