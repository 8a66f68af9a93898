// The client service's parameters: what its scanner, senders and control listener need,
// from the "conf_c" and "ssl_keys" views of CQKBaseConfigs. One record lives in the
// service's control task and is shared by pointer with the scanner, the senders and the
// control connections; every operation runs with CQKBaseConfigs::instance().configLock()
// held by the caller.
#pragma once

#include <cstdint>
#include <string>

#include "base/qk_name_filter.h"
#include "base/qk_rate_schedule.h"

// The longest "keep_alive": receivers keep an idle connection no longer.
constexpr std::int32_t QK_MAX_KEEP_ALIVE = 600;

struct SQKClnSParams {
    std::int32_t m_control_code = 0;  // 1: run the scanner, 2: stop it
    std::int32_t m_op_code = 0;       // 1: every scan sends
    std::string m_out_dir;            // outgoing directory; may be empty with m_file_path set
    std::string m_back_dir;           // backup directory; empty: no backups
    std::string m_file_path;          // one file to send; may be empty
    std::string m_srv_address;        // IPv4 address or host name of the receiver
    std::int32_t m_srv_port = 0;
    std::int32_t m_use_ssl = 0;         // 1: TLS, 0: plain
    std::int32_t m_sub_dirs = 0;        // 1: walk sub-directories
    std::int32_t m_delay_sleep = 1000;  // "scan_time", milliseconds between scans
    std::int32_t m_control_port = 0;    // control listener; 0: none
    std::int32_t m_min_age = 0;         // milliseconds a file stays unmodified before it is sent
    std::int32_t m_metrics_port = 0;    // metrics endpoint; 0: none; of the file alone
    std::int32_t m_streams = 1;         // "streams": connections a scan sends over; file alone
    std::int32_t m_keep_alive = 60;     // "keep_alive": seconds an idle connection stays open
    std::string m_metrics_address = "127.0.0.1";
    std::string m_key_fpath;
    std::string m_cert_fpath;
    std::string m_ca_cert_fpath;
    std::string m_common_ca_cert_fpath;
    std::string m_common_srv_cert_fpath;
    std::string m_common_cln_cert_fpath;
    std::string m_common_gui_cert_fpath;  // verifies records the control program applies
    std::string m_log_level = "TRACE";    // of the file alone, never in a control record
    CQKNameFilter m_exclude;              // "exclude": names never sent; of the file alone too
    CQKRateSchedule m_bw_limit;           // "bw_limit": bytes per second of a scan; file alone

    // Fills the record. Defaults: "control_code" and "op_code" 1, "use_ssl" false,
    // "scan_time" 1000, "min_age" 0, "metrics_port" 0, "metrics_address" 127.0.0.1,
    // "streams" 1, "keep_alive" 60, "log_level" TRACE, "exclude" empty (nothing excluded),
    // "bw_limit" empty (no limit); a "control_port" that is not a number gives 0. A refused
    // "exclude" or "bw_limit" throws Poco::Util::OptionException naming the key; any other missing
    // key or bad value throws the configuration's exception, a missing view
    // Poco::NullPointerException.
    void readParams();
    // Reads only what decides whether a scanner runs and what the control listener lives
    // on: "control_code", "control_port" and the key paths.
    void readControlValues();
    // Raises the scan period to 1000, checks the log level, the metrics address and port
    // (0..65535, not the control or server port), then (control code 1 only) checks the rest
    // of the record in a fixed order, creating missing directories, and throws on the first
    // failure (Poco::Util::OptionException, Poco::FileExistsException); "streams" in
    // 1..QK_MAX_STREAMS, then "keep_alive" in 0..QK_MAX_KEEP_ALIVE (0: closed after each scan).
    void checkParams();
    // Stores the record into the views in memory ("op_code" always 1; "log_level",
    // "exclude", "metrics_port", "metrics_address", "streams", "keep_alive" and "bw_limit" are
    // the file's
    // and stay);
    // CQKBaseConfigs writes the files.
    void writeParams();
};
