// Path joining, sub-directory derivation, writability check and numbered backups on UTF-8
// paths. Failures are Poco exceptions, except qk_check_dir_writable, which answers false.
#pragma once

#include <sys/types.h>

#include <string>

// Modes of the files the relay keeps (received files, backups and their temporaries) and of
// the directories it creates for them, both narrowed further by the process umask. Accounts
// outside the owner and the tree's group read nothing; a consumer reads by that group, which
// a set-group-ID directory passes down to what is created below it.
constexpr mode_t QK_PRIVATE_FILE_MODE = 0640;
constexpr mode_t QK_PRIVATE_DIR_MODE = 0750;

// Joins two path parts with exactly one separator at the seam; an empty extra_path gives
// base_path unchanged, an empty base_path gives "/" + extra_path unless extra_path starts
// with a separator. Both "\\" and "/" count as separators; a separator added is "/".
std::string qk_generate_path(const std::string& base_path, const std::string& extra_path);

// The part of dir below base_dir, less one leading and one trailing separator; empty when
// dir equals base_dir or does not lie below it. The match is bytewise and must end at a
// component boundary; an empty base_dir matches every dir.
std::string qk_get_sub_dir(const std::string& base_dir, const std::string& dir);

// True when path names an existing regular file (following links); never throws.
bool qk_is_regular_file(const std::string& path);
// True when path names an existing directory (following links); never throws.
bool qk_is_directory(const std::string& path);

// Creates dir and its missing parents with QK_PRIVATE_DIR_MODE less the umask; existing
// directories stay as they are. Nothing is changed after the mkdir, so a new directory keeps
// the group and the set-group-ID bit that a set-group-ID parent gives it. Another process
// creating the same directory at once is no failure. Throws Poco::FileExistsException when a
// file stands at dir, other Poco file exceptions when a directory cannot be created.
void qk_create_private_dirs(const std::string& dir);

// True when a file can be created (and is then removed) in dir; false for a missing dir, a
// file, or any failure on the way. Never throws.
bool qk_check_dir_writable(const std::string& dir);

// Copies file_path into backup_dir/sub_dir (created when missing, as qk_create_private_dirs
// does) under its file name. The copy's mode is QK_PRIVATE_FILE_MODE narrowed by the source's
// own mode and the umask: a backup is never readable by more accounts than its file. An
// earlier backup of the same name is kept as "<name>.000.bak" (newest) to "<name>.099.bak"
// (oldest); the oldest beyond that is dropped. The copy is made under a hidden temporary name
// (qk_temporary_name(".qk_backup.", n, ".tmp")) first and renamed into place after the
// rotation, so a failed copy changes no backup; temporaries that crashed processes of this
// machine left there are removed first. The caller keeps other writers of the same name
// away (the receiver's name lock), since two rotations of one name at once would lose copies.
// Throws Poco::PathNotFoundException when file_path ends in a separator, Poco::IOException
// when a file stands where the backup directory should be or the rotation fails; copy errors
// (a missing source among them) pass through as Poco exceptions.
void qk_backup_file(const std::string& file_path, const std::string& backup_dir,
                    const std::string& sub_dir);

// This machine's and this boot's part of a temporary's name: "<host>-<boot>", twelve and
// eight lowercase hex digits. <host> is a hash of /etc/machine-id (or /var/lib/dbus/
// machine-id) and the host name, so that clones sharing one machine id, as containers of one
// image often do, still differ by their names, and the machine id itself is not published;
// <boot> is a hash of the kernel's boot id. Fixed for the life of the process.
std::string qk_machine_tag();

// A short digest of a text in lower-case hex (FNV-1a of 64 bits, its lowest `digits` hex
// digits, 1 to 16): the same in every build and version, unlike std::hash, so that processes
// of two versions meet on one name.
std::string qk_stable_digest(const std::string& text, int digits);

// The name of a new temporary: prefix + "<host>-<boot>.<pid>.<n>" + suffix, e.g.
// ".qk_relay.3f9a1c2b7d4e-91ab02cd.4711.3.part". A directory shared by several machines
// (a network file system) can thus tell which of them may judge whether it is debris.
std::string qk_temporary_name(const std::string& prefix, unsigned long n,
                              const std::string& suffix);

// True when name has the shape of a name qk_temporary_name makes with prefix and suffix, of
// any machine, boot and process, or of the older form prefix + "<pid>.<n>" + suffix: every
// name qk_remove_stale_temporaries may take for debris has it.
bool qk_is_temporary_name(const std::string& name, const std::string& prefix,
                          const std::string& suffix);
// True when name has the shape of the temporary qk_backup_file copies into.
bool qk_is_backup_temporary_name(const std::string& name);

// Removes from dir the temporaries that no process is writing any more: entries named
// prefix + "<host>-<boot>.<pid>.<n>" + suffix (see qk_temporary_name) of this machine whose
// boot is an earlier one, or whose pid names no process (kill(pid, 0) fails with ESRCH); and
// entries of the older form prefix + "<pid>.<n>" + suffix, taken as this machine's, whose pid
// names no process. A temporary of another machine, of a live process, or of any other name
// stays. Each dir and prefix is scanned once per process, at its first call: later debris can
// only come from processes that were running then. Logs each removal; never throws.
void qk_remove_stale_temporaries(const std::string& dir, const std::string& prefix,
                                 const std::string& suffix);

// qk_remove_stale_temporaries for root and the directories below it, breadth first, looking
// at max_dirs directories at the most; links are not followed. A receiver that starts calls
// it on its tree: a predecessor killed in mid-file left its temporary in a directory that the
// receivers still running had already scanned, and that no process would look at again.
// Returns the number of directories looked at (max_dirs when the walk stopped there).
std::size_t qk_remove_stale_temporaries_below(const std::string& root, const std::string& prefix,
                                              const std::string& suffix, std::size_t max_dirs);

// Number of numbered backups kept besides the plain one.
constexpr int QK_BACKUP_NUMBERED_COPIES = 100;
