// STUB: replaced by the real log writer.
#include "qk_log.h"

bool init_log(std::uint32_t, const std::string&, const std::string&, const std::string&, int,
              int, std::uint64_t, std::uint32_t) {
    return false;
}
qk_res_t close_log() { return QK_RES_OK; }
qk_res_t log_set_tag(QKLogTag*, const char*) { return QK_RES_OK; }
qk_res_t log_message(int, const QKLogTag*, const char*, ...) { return QK_RES_FILTERED; }
qk_res_t log_message_w(int, const QKLogTag*, const wchar_t*, ...) { return QK_RES_FILTERED; }
bool log_level_enabled(int) { return false; }
