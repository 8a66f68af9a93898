// STUB: replaced by the real file-system routines.
#include "qk_fs.h"

#include <cstdio>

qk_res_t qk_base_module_path(char*, std::size_t) { return QK_RES_ERROR; }
qk_res_t qk_get_program_data_path(char*, std::size_t) { return QK_RES_ERROR; }
qk_res_t qk_is_file(const char*) { return QK_RES_ERROR; }
qk_res_t qk_delete_file(const char* path) { return std::remove(path) == 0 ? QK_RES_OK : QK_RES_ERROR; }
qk_res_t qk_remove_dir(const char*) { return QK_RES_ERROR; }
qk_res_t qk_add_path_separator(char*, std::size_t) { return QK_RES_ERROR; }
qk_res_t qk_clear_dir(const char*, const char*, bool) { return QK_RES_TRUE; }
qk_res_t qk_move_file(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? QK_RES_OK : QK_RES_ERROR;
}
qk_res_t qk_get_file_size(const char*, std::uint64_t* size) {
    *size = 0;
    return QK_RES_ERROR;
}
qk_res_t qk_open_shared_file(std::FILE** file, const char* path, const char* mode) {
    *file = std::fopen(path, mode);
    return *file ? QK_RES_OK : QK_RES_ERROR;
}
