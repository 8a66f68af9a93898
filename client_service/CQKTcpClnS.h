// The client service's plain TCP sender: one run per scan on the service's shared parameter
// record.
//
// A run first lists the files to send (the single file of the record, or the outgoing
// directory with, when the record says so, its sub-directories, removing empty
// sub-directories on the way but never the outgoing directory itself), connects only when
// the list is not empty, and sends the listed files in one connection, three attempts at
// most, a retry delay apart; a file the receiver refuses stays and the next ones go on a new
// connection. A list of files that writers still hold open connects to nobody. Files modified
// less than "min_age" milliseconds ago are left for a later scan; files the receiver refused
// at earlier scans are sent last; files whose names match the "exclude" patterns are never
// listed. The transfer, backup and removal of each file are the shared sender core
// (CQKFileSender): a file open for writing is neither sent nor removed. A file delivered at
// an earlier scan that could not be removed is not listed while it is unchanged. A file the
// service's account may not read stays listed (and in the backlog), but no connection is made
// for it alone; it, and a sub-directory the account may not list, are said once.
//
// Threads: runs on the scanner's thread only. The record is read without the configuration
// lock; it changes only under that lock, between scans.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/SQKClnSParams.h"
#include "transfer/CQKFileSender.h"

class CQKTcpClnS : public CQKFileSender {
public:
    CQKTcpClnS();
    ~CQKTcpClnS() override;

    // The shared record; the sender keeps the pointer, not a copy.
    virtual void setParams(SQKClnSParams* params);
    // One scan's run; never throws. Failures are echoed and logged; currResult() is 0 after
    // success (also when nothing was to be sent), 127 after a failure.
    virtual void sendAllFiles();
    // Connects to the record's server (TCP_NODELAY on); a socket still held from an
    // earlier attempt is closed and released first.
    void openConnection() override;
    // Shuts down, closes and releases the socket when there is one; never throws.
    void closeConnection() override;
    // Empties the list, then lists path: a regular file itself (unless the exclude patterns
    // match its name), a directory through fillListSubDirs; anything else, or nothing there,
    // leaves the list empty.
    virtual void fillList(const std::string& path);
    // Lists the regular files of dir and (with the record's sub-directory flag) of its
    // sub-directories, but for those the exclude patterns match, removing sub-directories
    // without files; returns the number of files found, excluded ones included (they keep
    // their directories). Poco::IOException when dir is not a directory.
    virtual std::uint32_t fillListSubDirs(const std::string& dir);

    // The list of the last run.
    const std::vector<std::string>& fileList() const { return m_file_list; }
    // Milliseconds until the first file that the last listing left (younger than "min_age",
    // or refused and pausing) is due; -1 when it left none.
    long msUntilNextDue() const { return m_next_due_ms; }

protected:
    SQKSendParams sendParams() const override;
    // A file that cannot be written is made writable, so that its removal succeeds.
    void prepareFile(const QKLogTag& tag, Poco::File& file) override;
    // The record; Poco::NullPointerException before setParams.
    const SQKClnSParams& params() const;

private:
    bool buildList(const QKLogTag& tag);
    bool anySendable(const QKLogTag& tag);
    void noteDue(long due_ms);
    void sendList(const QKLogTag& tag);
    void listFile(const QKLogTag& tag, const Poco::File& file);
    static bool isFresh(const Poco::File& file, std::int32_t min_age, long& due_ms);
    std::uint32_t walkSubDir(const QKLogTag& tag, const Poco::File& dir);
    void removeEmptyDir(const QKLogTag& tag, const std::string& dir);

    SQKClnSParams* m_params = nullptr;
    std::vector<std::string> m_file_list;
    long m_next_due_ms = -1;
};
