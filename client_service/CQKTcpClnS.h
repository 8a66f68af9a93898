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
// Streams: a run may spread its list over several sender objects, each sending its share on
// a connection and a thread of its own. The object the run is called on lists; each file
// goes to the stream a hash of its path names, so that at every scan the same file goes to
// the same stream: what a stream remembers of a file (refused, unreadable, delivered but
// not removable) is asked by the listing and used by the stream that sends it, as one
// sender does with its own memory.
//
// Threads: runs on the scanner's thread, and a run's streams each on a thread of their own;
// an object is used by one thread at a time. The record is read without the configuration
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
    // The run over streams (this one usually among them, all on the same record): this one
    // lists, and every stream with files of its share to send sends them at once with it;
    // currResult() is 127 when any stream's run failed or left a file. Each stream must be
    // given at the same place at every scan, for its files to come back to it.
    void sendAllFiles(const std::vector<CQKTcpClnS*>& streams);
    // How many streams made connections in the last run (0 when nothing was to be sent).
    std::size_t streamsRun() const { return m_streams_run; }
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
    const char* tlsSwitch() const override { return "use_ssl"; }
    // A file that cannot be written is made writable, so that its removal succeeds.
    void prepareFile(const QKLogTag& tag, Poco::File& file) override;
    // The record; Poco::NullPointerException before setParams.
    const SQKClnSParams& params() const;

private:
    std::vector<CQKTcpClnS*> buildList(const QKLogTag& tag);
    bool anySendable(const QKLogTag& tag);
    void noteDue(long due_ms);
    std::vector<CQKTcpClnS*> runSenders();
    CQKTcpClnS& streamOf(const std::string& path);
    static bool runStreams(const std::vector<CQKTcpClnS*>& sending);
    bool sendPart();
    void sendList(const QKLogTag& tag);
    void listFile(const QKLogTag& tag, const Poco::File& file);
    static bool isFresh(const Poco::File& file, std::int32_t min_age, long& due_ms);
    std::uint32_t leaveOrRemove(const QKLogTag& tag, const Poco::File& dir, bool settled,
                                std::chrono::milliseconds grace);
    void removeEmptyDir(const QKLogTag& tag, const std::string& dir);

    SQKClnSParams* m_params = nullptr;
    std::vector<std::string> m_file_list;  // the whole listing
    std::vector<std::string> m_part;       // this stream's share of the listing
    std::vector<CQKTcpClnS*> m_streams;    // the streams of the run this one lists for
    std::size_t m_streams_run = 0;
    long m_next_due_ms = -1;
};
