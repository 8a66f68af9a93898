// Parameters of a sending client, filled by the application and copied into each sender.
#pragma once

#include <cstdint>
#include <string>

#include "base/qk_name_filter.h"
#include "base/qk_rate_schedule.h"
#include "config/OperationCode.h"

// The most connections one sending run (console or service) spreads its files over.
constexpr std::int32_t QK_MAX_STREAMS = 16;

struct SQKClnParams {
    OperationCode m_op_code = OperationCode::none;  // send_files or help
    std::string m_out_dir;            // outgoing directory; base of every file's sub-directory
    std::string m_back_dir;           // backup directory; empty means no backups
    std::string m_file_path;          // one file to send; empty means directory mode
    std::string m_srv_address;        // IPv4 dotted form or host name
    std::int32_t m_srv_port = 0;      // 1..65535
    std::int32_t m_use_ssl = 0;       // 1: connect with TLS
    std::int32_t m_sub_dirs = 0;      // 1: descend into sub-directories of m_out_dir
    CQKNameFilter m_exclude;          // names never sent (--exclude); empty: none
    std::int32_t m_streams = 1;       // 1..QK_MAX_STREAMS connections of a directory run
    CQKRateSchedule m_bw_limit;       // --bwlimit: bytes per second of the whole run; off
    std::string m_ssl_key_fpath;      // client private key
    std::string m_ssl_cert_fpath;     // client certificate
    std::string m_ssl_ca_cert_fpath;  // certificate authority
};
