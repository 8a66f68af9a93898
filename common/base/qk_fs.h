// File-system routines on UTF-8 paths.
//
// None of them throws: each returns a result code of qk_result.h. Paths are limited to
// QK_MAX_PATH bytes; a longer path is an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/qk_result.h"

constexpr std::size_t QK_MAX_PATH = 4096;

// Environment variable that relocates the program data root (default "/var/lib/", or
// "/etc/" in the system layout).
constexpr const char* QK_PROGRAM_DATA_ENV = "QK_RELAY_PROGRAM_DATA";

// The system layout is chosen when the build is made for a distribution package
// (QK_SYSTEM_LAYOUT): the programs live in /usr/bin, which belongs to the package manager
// and is never written. What an operator edits (configuration files, keys) lies below the
// program data root /etc/, logs below /var/log/ and the work directories (received,
// outgoing and backed-up files) below /var/lib/. Without it the programs keep their data
// beside themselves when they can, which serves relocatable trees.
#ifdef QK_SYSTEM_LAYOUT
constexpr bool QK_IS_SYSTEM_LAYOUT = true;
#else
constexpr bool QK_IS_SYSTEM_LAYOUT = false;
#endif
// Roots of the system layout's logs and work directories.
constexpr const char* QK_SYSTEM_LOG_ROOT = "/var/";
constexpr const char* QK_SYSTEM_STATE_ROOT = "/var/lib/";

// Full path of the running program's file. QK_RES_ERROR when the system gives none or the
// path does not fit into size (including its terminator).
qk_res_t qk_base_module_path(char* buffer, std::size_t size);

// The program data root with a trailing "/": QK_RELAY_PROGRAM_DATA when set and not empty,
// else "/var/lib/" ("/etc/" in the system layout). QK_RES_ERROR when it does not fit into size.
qk_res_t qk_get_program_data_path(char* buffer, std::size_t size);

// QK_RES_ERROR when the path does not exist, QK_RES_TRUE for a file (anything that is not
// a directory), QK_RES_FALSE for a directory.
qk_res_t qk_is_file(const char* path);

// Deletes the path only when it is an existing file; returns the classification code of
// qk_is_file when it is missing or a directory, else QK_RES_OK or QK_RES_ERROR.
qk_res_t qk_delete_file(const char* path);

// Removes the path only when it is an existing empty directory; otherwise as
// qk_delete_file with the roles of file and directory swapped (QK_RES_TRUE for a file,
// QK_RES_ERROR when missing).
qk_res_t qk_remove_dir(const char* path);

// An empty buffer becomes "." first; then "/" is appended unless the buffer already ends
// in "/" or "\\". QK_RES_ERROR when the separator does not fit.
qk_res_t qk_add_path_separator(char* buffer, std::size_t size);

// Deletes the entries of dir whose names match the shell pattern (fnmatch; "*" matches hidden
// names too). A matching directory is, with recursive set, cleared with "*" and removed;
// without it, it is removed only when empty and otherwise fails the walk. Symbolic links are
// deleted themselves, never followed. QK_RES_TRUE after a complete walk (also when nothing
// matched), QK_RES_ERROR at the first failure, for a missing dir and for an empty dir text.
qk_res_t qk_clear_dir(const char* dir, const char* pattern, bool recursive);

// Moves a file (rename, so within one file system), replacing what stands at the target: a
// file there is replaced in one step, a directory there is cleared and removed first.
// QK_RES_ERROR when from does not exist, when the target directory is from itself or holds
// it (nothing is touched then), or when a step fails.
qk_res_t qk_move_file(const char* from, const char* to);

// 64-bit size of a file (0 for a directory); size 0 and QK_RES_ERROR when it cannot be read.
qk_res_t qk_get_file_size(const char* path, std::uint64_t* size);

// Microseconds since the last modification of a file or directory, to the nanosecond the file
// system keeps (negative when it is dated in the future); QK_RES_ERROR when it cannot be read.
qk_res_t qk_get_modified_age(const char* path, std::int64_t* age_us);

// Opens a file with an fopen mode text and takes an advisory flock that keeps other
// cooperating openers out: exclusive for writing modes ("w", "a", "+"), shared for reading.
// A "w" mode truncates only once the lock is held. The descriptor is not inherited by child
// processes; fclose releases the lock. QK_RES_ERROR (and a null *file) when an argument is
// null, the mode is unknown, the open fails or a conflicting lock is held.
qk_res_t qk_open_shared_file(std::FILE** file, const char* path, const char* mode);
