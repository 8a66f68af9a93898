// The sending side of the transfer protocol over plain TCP: one sending run of the console
// client.
//
// A run connects, waits for the receiver's greeting, sends one named file or every file of
// the outgoing directory (optionally with its sub-directories), announces the end and
// closes; a failed attempt is retried, three attempts in all. A file is backed up and
// removed only after the receiver has acknowledged it, so every file is either still in the
// outgoing directory or delivered; a file the receiver refuses stays, and the files after it
// go on a new connection. A file or sub-directory the account may not read stays, with an
// ERROR line, and makes the run's result a failure; a delivered file it may not remove stays
// too, fails nothing and is not sent again in the run. Every step that fails throws;
// sendFiles alone catches.
// The protocol steps and the per-file transfer are the shared sender core (CQKFileSender).
//
// Streams: with m_streams above 1, a directory run first walks the tree into a list, splits
// the list by bytes into that many parts and sends each part on its own connection, through
// a sender object of its own (makeStream), each with its three attempts: parts run side by
// side, each on a thread of its own (CQKStreamRunner; a single part, for a tree of one
// file, on the run's thread). The emptied sub-directories are removed once every stream has ended.
// The run's result is a failure when any stream's is. A one-file run has one connection whatever
// m_streams says.
//
// Threads: an object is used by one thread at a time; it shares nothing but the console
// and the log, which lock themselves. The stream senders of a run are the run's own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CQKRunTally.h"
#include "config/SQKClnParams.h"
#include "transfer/CQKFileSender.h"

class CQKTcpCln : public CQKFileSender {
public:
    CQKTcpCln();
    ~CQKTcpCln() override;

    // Copies the parameters; takes effect at the next run.
    virtual void setParams(const SQKClnParams& params);
    // Connects to m_srv_address:m_srv_port (TCP_NODELAY on), waiting at most the readiness
    // time-out. Throws Poco::Exception "Stream Socket already is created and connected..."
    // while a connection exists, and Poco's network exceptions when resolving or connecting
    // fails; a socket whose connect failed stays until closeConnection discards it.
    void openConnection() override;
    // Shuts down, closes and discards the socket, also one that never got connected.
    // Throws Poco::Exception "Stream Socket isn't created yet..." when there is none.
    void closeConnection() override;
    // One sending run of at most three attempts, a retry delay apart. Failures of an attempt
    // are echoed and logged; a Poco::Exception fails the attempt, anything else ends the run
    // and is passed on. currResult() is 0 after a completed attempt, 127 when all failed;
    // with streams, 127 when any stream's attempts all failed or left files behind.
    // A named file whose name the exclude patterns match is not sent: no connection, result 0.
    virtual void sendFiles();
    // Sends every regular file of dir_path and, with m_sub_dirs, of its sub-directories,
    // but for those whose names the exclude patterns match; removes a sub-directory once no
    // file remains beneath it (an excluded one counts), never dir_path itself.
    // Throws Poco::IOException when dir_path is not a directory or a sub-directory cannot
    // be removed for another reason than the account's rights or a read-only tree, and
    // whatever a file's transfer throws.
    virtual void sendFilesFromDir(std::string dir_path);
    // Counts every regular file found, then sends it as CQKFileSender does.
    void sendFile(std::string file_path) override;
    // Notes the receiver as reached once its greeting came as expected.
    void noteGreeted() override;

    // What the runs of this sender and its streams did with their files, since construction
    // (the console client makes one run per process).
    const CQKRunTally& tally() const { return *m_tally; }
    // Files the run would not send because they lie in sub-directories (without m_sub_dirs),
    // and how many sub-directories hold them; and the files a run would send now.
    struct SQKTreeCount {
        std::uint64_t files = 0;
        std::uint64_t files_in_sub_dirs = 0;
        std::uint64_t sub_dirs = 0;
    };
    SQKTreeCount countOutgoing() const;

protected:
    SQKSendParams sendParams() const override;
    // Throws Poco::Exception "Stream Socket already is created and connected..." when a
    // socket exists.
    void checkNoSocket() const;
    // A sender for one stream of a directory run: this one's parameters, readiness time-out
    // and directory grace, and a connection of its own.
    virtual std::unique_ptr<CQKTcpCln> makeStream() const;
    // Takes the readiness time-out, the directory grace and the tally of lead.
    void takeLimitsOf(const CQKTcpCln& lead);

    SQKClnParams m_params;

    void noteDelivered(const SQKSentFile& file) override;
    void noteRefused(const SQKSentFile& file) override;

private:
    // A file found by a walk, with its size when it was found (0 when it is gone).
    struct SQKListed {
        std::string path;
        std::uint64_t size = 0;
    };
    using Take = std::function<void(const Poco::File&)>;

    void sendSelected(const QKLogTag& tag);
    bool oneFileMode();
    void walkDir(const std::string& dir_path, const Take& take);
    void noteWalked(const QKLogTag& tag, const Poco::File& dir, bool settled);
    void sendStreamed(const QKLogTag& tag);
    bool listOutDir(const QKLogTag& tag, std::vector<SQKListed>& listed);
    static std::vector<std::vector<std::string>> splitBySize(const std::vector<SQKListed>& listed,
                                                             std::int32_t streams);
    bool runStreams(const QKLogTag& tag, const std::vector<std::vector<std::string>>& parts);
    void sendPart(const std::vector<std::string>& paths);
    void removeWalkedDirs(const QKLogTag& tag);
    void removeIfEmpty(const QKLogTag& tag, const std::string& dir_path);

    bool m_one_file = false;  // one-file mode, once chosen, holds for the rest of the run
    // Sub-directories walked and settled, children before their parents: removed when empty
    // once every file of the walk has its status.
    std::vector<std::string> m_walked_dirs;
    // Shared by a run's streams (takeLimitsOf).
    std::shared_ptr<CQKRunTally> m_tally = std::make_shared<CQKRunTally>();
};
