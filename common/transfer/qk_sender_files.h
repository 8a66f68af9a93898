// What a sender asks of the files it sends and of the directories they sit in: the identity
// under which a file is recognised at a later run, and why a file could not be read or
// removed, in words an operator can act on. None of these throws; all may be called from any
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "base/qk_log.h"

// A file as a sender recognises it at a later run: the same device, inode, size and
// modification time. A directory is recognised by device and inode alone.
struct SQKFileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const SQKFileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               mtime_ns == other.mtime_ns;
    }
    bool operator!=(const SQKFileIdentity& other) const { return !(*this == other); }
};

// The identity of what path names now (following links); false when it cannot be asked.
bool qk_identity_of(const std::string& path, SQKFileIdentity& identity, bool directory = false);
// True for the errors of a refused permission (EACCES, EPERM).
bool qk_is_permission(int error);
// Why a file could not be opened, or a directory listed (error: the errno): the system's
// text and, for EACCES and EPERM, the permission the account needs.
std::string qk_read_problem(int error, bool directory);
// Why a file or directory could not be removed (error: the errno of its unlink or rmdir):
// the system's text and, for a refused permission or a read-only file system, what stands in
// the way: the file or its directory immutable, a sticky directory, or the write and search
// permission on the directory that the account lacks.
std::string qk_removal_problem(const std::string& path, int error);
// A file left in the outgoing tree for a later run: one INFO line, echoed on the console.
void qk_report_left_file(const QKLogTag& tag, const std::string& text);
