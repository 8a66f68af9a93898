// A file that replaces its target whole or not at all.
//
// The content goes to a hidden temporary beside the target (created with mode 0600 by
// mkostemp, so nothing is readable by others even for a moment); commit gives it its mode,
// makes it durable, renames it onto the target and makes the directory entry durable. A
// reader sees the old file or the new one, and a crash leaves at most the hidden temporary.
// An object that is destroyed without commit removes its temporary.
//
// Errors are Poco::FileException subclasses naming the target with the system's text.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class CQKReplacingFile {
public:
    explicit CQKReplacingFile(const std::string& target);
    ~CQKReplacingFile();
    CQKReplacingFile(const CQKReplacingFile&) = delete;
    CQKReplacingFile& operator=(const CQKReplacingFile&) = delete;

    void write(const char* data, std::size_t len);
    void commit(mode_t mode);

    // Writes content over target in one step, keeping the mode of the file it replaces
    // (new_mode when there is none).
    static void replace(const std::string& target, const std::string& content, mode_t new_mode);

private:
    [[noreturn]] void fail(const char* what) const;
    void syncDirectory() const;

    std::string m_target;
    std::string m_dir;
    std::string m_temp;
    int m_fd = -1;
    bool m_renamed = false;
};
