// The command a console program was started with.
#pragma once

enum class OperationCode : int {
    none = 0,
    start_server = 1,  // qk_relay_srv
    send_files = 1,    // qk_relay_cln
    help = 2,
};
