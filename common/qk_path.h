// Path joining, sub-directory derivation, writability check and numbered backups on UTF-8
// paths. Failures are Poco exceptions, except qk_check_dir_writable, which answers false.
#pragma once

#include <string>

// Joins two path parts with exactly one separator at the seam; an empty extra_path gives
// base_path unchanged. Both "\\" and "/" count as separators; a separator added is "/".
std::string qk_generate_path(const std::string& base_path, const std::string& extra_path);

// The part of dir below base_dir, without a leading or trailing separator; empty when dir
// does not lie below base_dir (the match must end at a component boundary).
std::string qk_get_sub_dir(const std::string& base_dir, const std::string& dir);

// True when a file can be created (and is then removed) in dir.
bool qk_check_dir_writable(const std::string& dir);

// Copies file_path into backup_dir/sub_dir. An earlier backup of the same name is kept as
// "<name>.000.bak" (newest) to "<name>.099.bak" (oldest); the oldest beyond that is dropped.
// Throws Poco::PathNotFoundException when file_path names no file, Poco::IOException when
// the backup directory cannot be made or the rotation fails; copy errors pass through.
void qk_backup_file(const std::string& file_path, const std::string& backup_dir,
                    const std::string& sub_dir);

// Number of numbered backups kept besides the plain one.
constexpr int QK_BACKUP_NUMBERED_COPIES = 100;
