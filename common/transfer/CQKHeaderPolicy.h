// What a header must pass before any content of its file is taken, and what the receiver does
// with the names of the files it receives: their checks, the target directory, the claim on
// the name (this receiver's registry and the shared store's name lock), where the content goes
// (a fresh file, or the partial content a cut transfer left), the backup of a replaced file,
// and the one way a file is refused.
//
// SECURITY: file names and sub-directories may neither leave the incoming directory nor take
// a name the receiver keeps for itself (its lock file, its temporaries, its stores), and a
// name is written by one connection of one receiver at a time.
//
// Every refusal goes through refuse(), which counts the file once under the reason of the step
// that failed; a step of admit() or openContent() that throws has refused the file already.
//
// Threads: each connection has its own object. admit() and openContent() run on the
// connection's thread; refuse(), releaseName() and backupReplaced() on the thread that owns
// the file at the time (the connection's, or its committer's), never on two at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/qk_log.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKReceivedFile.h"

class CQKFileListener;
struct SQKReceivingDirs;

class CQKHeaderPolicy {
public:
    using Refusal = SQKReceivedFile::Refusal;
    // What a refusal does with the content: Keep leaves a resumable file's partial content for
    // the next attempt (a refusal before or in the middle of its transfer), Drop removes it
    // too (it was complete and did not add up, or could not be written).
    enum class Content { Keep, Drop };

    // log_name: the connection class, for the log tags; secure: a TLS connection's files.
    CQKHeaderPolicy(CQKFileListener& listener, std::string log_name, bool secure);

    // Takes the header into file and checks it: a safe file name and sub-directory that are no
    // names of the receiver's own; creates the target directory, announces the file, registers
    // its path and locks its name, and refuses a directory standing under that name.
    void admit(SQKReceivedFile& file, const QKRelayHeader& header, const SQKReceivingDirs& dirs);
    // Opens where the content goes and hands the bytes of it held already to opened (which
    // answers a resumable header with them; its failure refuses the file as a failed write).
    // source_tag: the sender's tag of a resumable header (null for none): a file that the
    // terms in force now grant resume to goes into the partial-content store, where it
    // resumes what a cut transfer of the same source left.
    void openContent(SQKReceivedFile& file, const SQKReceivingDirs& dirs,
                     const std::uint8_t* source_tag,
                     const std::function<void(std::uint64_t held)>& opened);
    // Whether the terms in force grant resume to a file of file_size bytes on this connection.
    bool resumeGranted(std::uint64_t file_size, const SQKReceivingDirs& dirs) const;

    // Backs up the file standing under file's name, when a backup directory is set; throws
    // Poco::WriteFileException when that fails (the new file is refused).
    void backupReplaced(const SQKReceivedFile& file) const;
    // True when a file stands under file_path; throws when a directory does.
    static bool targetExists(const std::string& file_path);

    // Refuses file: its status will be 0x7F. Counted under reason unless it was refused
    // already (or reason is Ended); its content dropped as content says; its name given up.
    void refuse(SQKReceivedFile& file, Refusal reason, Content content) noexcept;
    // Gives up the file's claim on its name: the registry's entry and the name lock.
    void releaseName(SQKReceivedFile& file) noexcept;
    // The file's partial content is no longer used by it (kept, placed or removed): the
    // store's index and metrics take what the disk holds now.
    static void notePartialStore(SQKReceivedFile& file) noexcept;

private:
    template <typename Step>
    void refusingFor(SQKReceivedFile& file, Refusal reason, Step step);
    void checkNames(const SQKReceivedFile& file, const QKRelayHeader& header,
                    bool safe_sub_dir) const;
    void refuseOwnNames(const SQKReceivedFile& file) const;
    static void createTargetDirectory(const SQKReceivedFile& file);
    void announceFile(const SQKReceivedFile& file) const;
    void registerPath(SQKReceivedFile& file) const;
    void lockName(SQKReceivedFile& file, const std::string& in_dir);
    bool openPartial(SQKReceivedFile& file, const SQKReceivingDirs& dirs,
                     const std::uint8_t* source_tag, std::uint64_t& held) const;
    QKLogTag tag() const;

    CQKFileListener& m_listener;
    const std::string m_log_name;
    const bool m_secure;
};
