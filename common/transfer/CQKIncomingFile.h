// One file being received: written where no reader can see it and put under its name only
// when complete, checked and durable.
//
// The content goes into an unnamed file in the target directory (O_TMPFILE) that is linked
// under its name at commit; where the file system has no unnamed files, or the process can
// link them neither by descriptor (AT_EMPTY_PATH, which many kernels grant only with
// CAP_DAC_READ_SEARCH) nor through /proc (not mounted in some containers), into a hidden
// temporary name that is renamed. The way is found once for each directory opened, before a
// file's data depends on it. A reader of the incoming directory therefore sees the old
// complete file or the new one, never a part. Hidden temporaries that a crashed receiver of
// this machine left in a directory are removed when this process first opens it; those of
// other machines sharing the directory are left to them (see qk_remove_stale_temporaries).
// Files are created with QK_PRIVATE_FILE_MODE (0640) less the umask, whichever way they take,
// and take their group from the directory as the kernel gives it.
//
// abandon() (and the destructor) drop the content; the target is not touched before
// commit(). Errors are Poco exceptions. The directory stays open between files of the same
// directory, as long as its path still names it (a consumer may rename or remove a directory
// and create it anew).
//
// Threads: one thread at a time uses the object, handed over with the file it belongs to: the
// connection's (open, the writes of a file of one piece), its piece writer's (the writes of a
// larger file), its committer's (heldChecksum() and the placing, prepare() to makeDurable()).
// The reading of held bytes runs on a worker of the object's own, beside the writes;
// cancelHeldRead() may come from any thread, and abandon(), discard() and the destructor end
// that reading and wait for it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <sys/types.h>

#include "base/CQKWorker.h"

class CQKIncomingFile {
public:
    CQKIncomingFile() = default;
    virtual ~CQKIncomingFile();
    CQKIncomingFile(const CQKIncomingFile&) = delete;
    CQKIncomingFile& operator=(const CQKIncomingFile&) = delete;

    // Starts a file in dir that commit() will put under target_path (a name in dir).
    void open(const std::string& dir, const std::string& target_path);
    // Starts a resumable file in dir, to be put under target_path: its content goes into the
    // file name of partial_dir, which keeps what was written if the transfer is cut (abandon()
    // and the destructor leave it, synced; discard() removes it). What name holds already, up
    // to file_size bytes, is kept and counts as written: held receives its length. The file
    // is locked (an OFD lock) while open, so that no sweep of another receiver removes it.
    // False, with nothing opened, when partial_dir is not on dir's file system (the content
    // could not be moved under its name in one step) or another process holds the file.
    bool openPartial(const std::string& dir, const std::string& target_path,
                     const std::string& partial_dir, const std::string& name,
                     std::uint64_t file_size, std::uint64_t& held);
    // Starts reading the bytes held back from the disk, on a thread of its own, unless
    // started or none are held: once per openPartial, and only when the transfer goes on.
    // The reading ends early, between two reads of 1 MiB, when stopped() says so, or at
    // cancelHeldRead(), abandon() or discard(). stopped is called from that thread.
    void startHeldRead(std::function<bool()> stopped);
    // The CRC-32 of the content a resumable file held when it was opened: what is really on
    // the disk, not what an earlier process believed it wrote. Waits for it to be read
    // (reading it on the caller's thread when never started); false when the reading was
    // ended early; throws Poco::ReadFileException when it could not be read.
    bool heldChecksum(std::uint32_t& crc);
    // Ends a reading of held bytes early, from any thread; does not wait.
    void cancelHeldRead() noexcept { m_held_reader.requestStop(); }
    // Writes all bytes; a short or failed write throws Poco::WriteFileException. Every few
    // MiB the written range is handed to the disk at once, and the range before it waited
    // for and dropped from the page cache, so that a big file holds a few MiB of memory, not
    // its size. Every few dozen MiB the file is flushed to stable storage on a thread of its
    // own while the writes go on, so that prepare()'s flush finds little left: a disk (or a
    // virtual disk's host) that caches writes would otherwise take the whole file at that
    // last flush. A failed flush throws here or at prepare().
    void write(const std::uint8_t* data, std::size_t len);
    // Flushes the content to stable storage and links it into the directory: under the
    // target name when that is free, else under a hidden name. True when the file is under
    // its name already, so nothing is replaced. The target is untouched when it throws, or
    // when abandon() follows a false. Lets the caller deal with the file to be replaced
    // (back it up) only once the new one can no longer fail to be written.
    bool prepare();
    // Does prepare() unless done, puts the file under the target name (replacing what was
    // there in one step) and makes that durable by syncing the directory. Throws when the
    // directory's path names another directory by then: the name is not where the caller
    // will look for it. The same as place() and makeDurable(true).
    void commit();
    // Hands the content not yet written back to the disk, without waiting: files finished
    // together are flushed as one batch when each is started before the first is waited for.
    void startFlush() noexcept;
    // Does prepare() unless done and puts the file under the target name; durable only
    // after makeDurable().
    void place();
    // Makes the placed name durable: syncs the directory (unless sync_directory is false,
    // because a file placed in the same directory syncs it after this one was placed) and
    // checks that its path still names it.
    void makeDurable(bool sync_directory);
    // True when both files are received into the same directory.
    bool sameDirectory(const CQKIncomingFile& other) const {
        return m_dir_fd >= 0 && other.m_dir_fd >= 0 && m_dir_device == other.m_dir_device &&
               m_dir_inode == other.m_dir_inode;
    }
    // Drops the content; the target stays as it was. A resumable file's partial content is
    // synced and kept for the next attempt, unless it is empty.
    void abandon() noexcept;
    // Drops the content, a resumable file's partial content included.
    void discard() noexcept;

    bool isOpen() const { return m_fd >= 0; }

    // Whether a file can be received into dir right now: creates a file there, writes one
    // byte and removes it; empty when that worked, else what failed and why. Tried for real,
    // since access(2) says yes to root on a read-only or lost store. An unnamed file where
    // the file system has them, else a hidden temporary named like a received file's, which
    // this machine's receivers remove should a crash leave it. Never throws.
    static std::string writeProblem(const std::string& dir);
    // True when name has the shape of the hidden temporaries of received files (and of the
    // probe above), of any machine or process: ".qk_relay.<host>-<boot>.<pid>.<n>.part", or
    // the older ".qk_relay.<pid>.<n>.part". A sent file or directory must not be named so:
    // the clean-up of crash debris would take it for one.
    static bool isTemporaryName(const std::string& name);
    // Removes the stale temporaries of received files in the tree below root (see
    // qk_remove_stale_temporaries_below), in at most 10,000 directories.
    static void removeStaleTemporariesBelow(const std::string& root);

protected:
    // How an unnamed file gets a name: Unknown until tried for the open directory, None when
    // no way worked (named temporaries are used then).
    enum class LinkWay { Unknown, EmptyPath, ProcFd, None };

    // Seams for fault injection in tests: the system calls that can fail.
    virtual long writeSome(int fd, const std::uint8_t* data, std::size_t len);
    // Links the unnamed file fd under name in dir_fd the given way (EmptyPath or ProcFd).
    virtual int linkUnnamed(int fd, LinkWay way, int dir_fd, const char* name);
    virtual int syncFile(int fd);
    virtual int syncDirectory(int dir_fd);
    // Renames from over to in dir_fd (a temporary over the target name).
    virtual int renameIn(int dir_fd, const char* from, const char* to);
    // The path the file is received for.
    const std::string& targetPath() const { return m_target_path; }

private:
    void openDirectory(const std::string& dir);
    bool pathNamesOpenDirectory() const;
    bool openUnnamed();
    void findLinkWay();
    void openNamed();
    bool linkUnderTarget();
    void closeDirectory() noexcept;
    std::uint32_t crcOfHeld() const;
    int openLockedPartial(const std::string& name);
    void forgetHeldChecksum() noexcept;
    void movePartialIn();
    void closePartial() noexcept;
    void startWriteback();
    void startFlushBehind();
    void endFlushBehind() noexcept;

    int m_fd = -1;
    bool m_placed = false;               // prepared, and linked under the target name itself
    std::uint64_t m_written = 0;         // bytes of the current file written
    std::uint64_t m_writeback_from = 0;  // start of the range not yet handed to the disk
    int m_dir_fd = -1;
    dev_t m_dir_device = 0;
    ino_t m_dir_inode = 0;
    LinkWay m_link_way = LinkWay::Unknown;  // for the open directory
    std::string m_dir;
    std::string m_temp_name;  // the hidden name in the directory while one is used, else empty
    // A resumable file: its partial-content directory and name, until it is moved under its
    // name or dropped.
    int m_partial_dir_fd = -1;
    std::string m_partial_name;
    std::uint64_t m_held = 0;  // bytes held when opened
    bool m_held_read_started = false;
    std::function<bool()> m_held_stopped;  // asked by the reading
    bool m_held_read_posted = false;       // m_held_crc comes from m_held_reader
    std::uint32_t m_held_crc = 0;          // written by m_held_reader's task
    std::string m_target_path;
    std::string m_target_name;  // the last component of m_target_path
    // Reads the held bytes while the rest of the content comes, on a thread that ends with the
    // reading; its cancel ends the reading between two reads. Last: stopped before the members
    // its task reads go.
    CQKWorker m_held_reader{CQKWorker::AfterError::Continue, CQKWorker::AtStop::Finish};
    // Flushes a big file while it is written (startFlushBehind); one flush at a time, whose
    // thread ends with the file. A failed flush is kept and thrown by the next write or by
    // prepare(): the kernel reports a write-back error to one flush only.
    CQKWorker m_flusher{CQKWorker::AfterError::Continue, CQKWorker::AtStop::Finish};
    std::atomic<bool> m_flush_running{false};
    std::uint64_t m_flushed_to = 0;  // m_written when the last flush was started
};
