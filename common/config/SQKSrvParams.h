// Parameters of a receiving server, copied into each of its listeners.
#pragma once

#include <cstdint>
#include <string>

#include "config/OperationCode.h"
#include "protocol/qk_protocol.h"

// Resume of cut transfers (qk_service_params.h): the default smallest resumable file and
// the lowest allowed, and the default and longest time partial content is kept.
constexpr std::uint64_t QK_RESUME_MIN_SIZE_DEFAULT = 64ull << 20;
constexpr std::uint64_t QK_RESUME_MIN_SIZE_LOWEST = QK_RESUME_SIZE_FLOOR;
constexpr int QK_PARTIAL_HOURS_DEFAULT = 24;
constexpr int QK_PARTIAL_HOURS_MAX = 8760;

// Who may use the file ports (qk_service_params.h): the address a listener binds when none is
// configured, the one that switches it off, and the connections (waiting or served) one
// source address may hold on each listener of 10 threads: by default 8, so that connections
// from one address never take every thread, while a sender's streams (up to 8) all get in.
constexpr const char* QK_LISTEN_ADDRESS_ALL = "0.0.0.0";
constexpr const char* QK_LISTEN_OFF = "off";
constexpr int QK_SOURCE_CONNECTIONS_DEFAULT = 8;
constexpr int QK_SOURCE_CONNECTIONS_MAX = 64;
// The most partial content may hold in one incoming tree: a size, or a share of the file
// system the tree is on (qk_parse_partial_max).
struct SQKPartialMax {
    std::uint64_t bytes = 0;  // a size; 0: the share below
    unsigned percent = 10;    // of the file system's size, 1 to 100
    // The cap in bytes on a file system of fs_size bytes.
    std::uint64_t of(std::uint64_t fs_size) const {
        return bytes != 0 ? bytes : fs_size / 100 * percent;
    }
};

struct SQKSrvParams {
    OperationCode m_op_code = OperationCode::none;
    std::string m_in_dir;    // incoming directory, root of all received files
    std::string m_back_dir;  // backup directory; empty means no backups
    int m_port = 0;          // plain TCP port
    int m_ssl_port = 0;      // TLS port
    int m_metrics_port = 0;  // metrics endpoint; 0: none
    std::string m_metrics_address = "127.0.0.1";
    std::uint64_t m_resume_min_size = QK_RESUME_MIN_SIZE_DEFAULT;  // 0: no resume
    int m_partial_hours = QK_PARTIAL_HOURS_DEFAULT;  // partial content is kept that long
    std::string m_key_fpath;
    std::string m_cert_fpath;
    std::string m_ca_cert_fpath;
    // Who may use the file ports: each listener's address ("off": no listener) and source
    // networks (empty: all), and the connections one source address may hold on each.
    std::string m_address = QK_LISTEN_ADDRESS_ALL;
    std::string m_ssl_address = QK_LISTEN_ADDRESS_ALL;
    std::string m_allowed_networks;
    std::string m_ssl_allowed_networks;
    int m_source_connections = QK_SOURCE_CONNECTIONS_DEFAULT;
    // Partial content of cut transfers: its cap per incoming tree, and whether the plain port
    // grants resume (its peers prove nothing of who they are).
    SQKPartialMax m_partial_max;
    bool m_resume_plain = false;
};
