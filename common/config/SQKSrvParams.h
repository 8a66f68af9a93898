// Parameters of a receiving server, copied into each of its listeners.
#pragma once

#include <string>

#include "config/OperationCode.h"

struct SQKSrvParams {
    OperationCode m_op_code = OperationCode::none;
    std::string m_in_dir;    // incoming directory, root of all received files
    std::string m_back_dir;  // backup directory; empty means no backups
    int m_port = 0;          // plain TCP port
    int m_ssl_port = 0;      // TLS port
    int m_metrics_port = 0;  // metrics endpoint; 0: none
    std::string m_metrics_address = "127.0.0.1";
    std::string m_key_fpath;
    std::string m_cert_fpath;
    std::string m_ca_cert_fpath;
};
