// One configuration request of the control program and its payload, and the control
// program's own settings.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "protocol/SQKClnSCtrl.h"
#include "protocol/SQKSrvSCtrl.h"

// The control program's settings, from its common configuration file.
struct SQKGuiParams {
    std::int32_t client_control_port = 0;
    std::int32_t server_control_port = 0;
    std::int32_t run_when_win_starts = 0;  // 0 or 1
    std::int32_t start_mimimized = 0;      // 0 or 1
    std::string ssl_keys_key_fpath;        // own private key
    std::string ssl_keys_cert_fpath;       // own certificate
    std::string ssl_keys_ca_cert_fpath;
    std::string ssl_common_ca_cert_fpath;
    std::string ssl_common_srv_cert_fpath;  // verifies what the server service hands out
    std::string ssl_common_cln_cert_fpath;  // verifies what the client service hands out
    std::string ssl_common_gui_cert_fpath;
};

enum ConfigCodeCtrl : std::int32_t {
    empty_conf = 0,
    read_file_conf_clns = 1,
    read_file_conf_srvs = 2,
    read_conf_clns = 3,
    read_conf_srvs = 4,
    read_file_gui_params = 5,
    apply_conf_clns = 6,
    apply_conf_srvs = 7,
    apply_gui_params = 8,
};

// The payload is held by value, so destroying a request destroys it. Its type follows the
// code: SQKClnSCtrl for 1, 3, 6; SQKSrvSCtrl for 2, 4, 7; SQKGuiParams for 5, 8. A payload of
// another type is ignored.
struct SQKConfigCodeCtrl {
    using Payload = std::variant<std::monostate, SQKClnSCtrl, SQKSrvSCtrl, SQKGuiParams>;

    std::int32_t config_code_ctrl = empty_conf;
    Payload data;

    template <typename T>
    const T* payload() const {
        return std::get_if<T>(&data);
    }
};
