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
// Threads: an object is used by one thread at a time; it shares nothing but the console
// and the log, which lock themselves.
#pragma once

#include <string>
#include <vector>

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
    // and is passed on. currResult() is 0 after a completed attempt, 127 when all failed.
    // A named file whose name the exclude patterns match is not sent: no connection, result 0.
    virtual void sendFiles();
    // Sends every regular file of dir_path and, with m_sub_dirs, of its sub-directories,
    // but for those whose names the exclude patterns match; removes a sub-directory once no
    // file remains beneath it (an excluded one counts), never dir_path itself.
    // Throws Poco::IOException when dir_path is not a directory or a sub-directory cannot
    // be removed for another reason than the account's rights or a read-only tree, and
    // whatever a file's transfer throws.
    virtual void sendFilesFromDir(std::string dir_path);

protected:
    SQKSendParams sendParams() const override;
    // Throws Poco::Exception "Stream Socket already is created and connected..." when a
    // socket exists.
    void checkNoSocket() const;

    SQKClnParams m_params;

private:
    void sendSelected(const QKLogTag& tag);
    bool oneFileMode();
    void sendDirAndRemoveIfEmpty(const QKLogTag& tag, const Poco::File& dir);
    void removeWalkedDirs(const QKLogTag& tag);
    void removeIfEmpty(const QKLogTag& tag, const std::string& dir_path);

    bool m_one_file = false;  // one-file mode, once chosen, holds for the rest of the run
    // Sub-directories walked and settled, children before their parents: removed when empty
    // once every file of the walk has its status.
    std::vector<std::string> m_walked_dirs;
};
