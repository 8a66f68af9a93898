// One file being received: written under a hidden temporary name beside its target and
// renamed onto the target only when complete, checked and durable.
//
// A reader of the incoming directory therefore sees the old complete file or the new one,
// never a part. abandon() (and the destructor) remove the temporary; the target is never
// touched until commit(). Errors are Poco exceptions. Used by one connection thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CQKIncomingFile {
public:
    CQKIncomingFile() = default;
    virtual ~CQKIncomingFile();
    CQKIncomingFile(const CQKIncomingFile&) = delete;
    CQKIncomingFile& operator=(const CQKIncomingFile&) = delete;

    // Creates the temporary file in dir for the target path dir/name.
    void open(const std::string& dir, const std::string& target_path);
    // Writes all bytes; a short or failed write throws Poco::WriteFileException.
    void write(const std::uint8_t* data, std::size_t len);
    // Flushes the content to stable storage, renames the temporary onto the target and
    // makes the rename durable by syncing the directory.
    void commit();
    // Closes and removes the temporary; the target stays as it was.
    void abandon() noexcept;

    bool isOpen() const { return m_fd >= 0; }
    const std::string& tempPath() const { return m_temp_path; }

protected:
    // Seams for fault injection in tests: the system calls that can fail.
    virtual long writeSome(int fd, const std::uint8_t* data, std::size_t len);
    virtual int syncFile(int fd);

private:
    int m_fd = -1;
    std::string m_dir;
    std::string m_temp_path;
    std::string m_target_path;
};
