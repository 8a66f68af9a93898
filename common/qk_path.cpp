// STUB: replaced by the real path routines.
#include "qk_path.h"

std::string qk_generate_path(const std::string& base_path, const std::string& extra_path) {
    return base_path + "/" + extra_path;
}
std::string qk_get_sub_dir(const std::string&, const std::string&) { return std::string(); }
bool qk_check_dir_writable(const std::string&) { return false; }
void qk_backup_file(const std::string&, const std::string&, const std::string&) {}
