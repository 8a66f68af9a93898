// Unnamed or hidden temporary files, fsync and atomic placement for received files.
#include "transfer/CQKIncomingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/qk_crc32.h"
#include "base/qk_log.h"
#include "base/qk_path.h"

namespace {

std::string errno_text() {
    return std::strerror(errno);
}

// How much written content is handed to the disk at once.
constexpr std::uint64_t kWritebackStep = 8u << 20;
// Written bytes between two flushes of a big file behind its writes.
constexpr std::uint64_t kFlushStep = 64u << 20;

constexpr const char* kTemporaryPrefix = ".qk_relay.";
constexpr const char* kTemporarySuffix = ".part";

// Hidden, and unique on a store that several machines share: the machine and boot, the
// process id and a process-wide counter. They also tell a later process of this machine
// whether the name is debris of a crash, and one of another machine that it is not its own.
std::string temporary_name() {
    static std::atomic<unsigned long> counter{0};
    return qk_temporary_name(kTemporaryPrefix, ++counter, kTemporarySuffix);
}

// openLockedPartial: another process holds the file.
constexpr int kBusy = -2;

// Thrown by the reading of held bytes that was ended early.
struct HeldReadEnded {};

// The errors by which a file system says it has no unnamed files.
bool unnamed_files_unsupported(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

std::string CQKIncomingFile::writeProblem(const std::string& dir) {
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return "cannot open " + dir + ": " + errno_text();
    std::string name;
    int fd = ::openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && unnamed_files_unsupported(errno)) {
        // A probe that a crash interrupted left its temporary here; files received into
        // sub-directories alone would never make this process look at this one.
        qk_remove_stale_temporaries(dir, kTemporaryPrefix, kTemporarySuffix);
        name = temporary_name();
        fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    std::string problem;
    if (fd < 0) {
        problem = "cannot create a file in " + dir + ": " + errno_text();
    } else {
        const char byte = 0;
        if (::write(fd, &byte, 1) != 1)
            problem = "cannot write a file in " + dir + ": " + errno_text();
        if (!name.empty() && ::unlinkat(dir_fd, name.c_str(), 0) != 0 && problem.empty())
            problem = "cannot remove a file in " + dir + ": " + errno_text();
        ::close(fd);
    }
    ::close(dir_fd);
    return problem;
}

bool CQKIncomingFile::isTemporaryName(const std::string& name) {
    return qk_is_temporary_name(name, kTemporaryPrefix, kTemporarySuffix);
}

void CQKIncomingFile::removeStaleTemporariesBelow(const std::string& root) {
    static const QKLogTag tag = qk_make_tag("CQKIncomingFile::removeStaleTemporariesBelow()");
    constexpr std::size_t kMaxDirs = 10000;
    if (qk_remove_stale_temporaries_below(root, kTemporaryPrefix, kTemporarySuffix, kMaxDirs) ==
        kMaxDirs)
        log_message(LOG_LEVEL_INFO, &tag,
                    "Stale temporaries were looked for in the first %zu directories of %s; the "
                    "others are looked at when a file arrives there",
                    kMaxDirs, root.c_str());
}

CQKIncomingFile::~CQKIncomingFile() {
    abandon();
    closeDirectory();
}

void CQKIncomingFile::open(const std::string& dir, const std::string& target_path) {
    abandon();
    openDirectory(dir.empty() ? "." : dir);
    m_target_path = target_path;
    m_target_name = target_path.substr(target_path.rfind('/') + 1);
    if (!openUnnamed())
        openNamed();
    m_written = 0;
    m_writeback_from = 0;
}

bool CQKIncomingFile::openPartial(const std::string& dir, const std::string& target_path,
                                  const std::string& partial_dir, const std::string& name,
                                  std::uint64_t file_size, std::uint64_t& held) {
    abandon();
    openDirectory(dir.empty() ? "." : dir);
    const int partial_dir_fd = ::open(partial_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (partial_dir_fd < 0 || ::fstat(partial_dir_fd, &info) != 0 || info.st_dev != m_dir_device) {
        if (partial_dir_fd >= 0)
            ::close(partial_dir_fd);
        return false;
    }
    m_partial_dir_fd = partial_dir_fd;
    m_partial_name = name;
    m_target_path = target_path;
    m_target_name = target_path.substr(target_path.rfind('/') + 1);
    m_fd = openLockedPartial(name);
    if (m_fd == kBusy) {
        m_fd = -1;
        closePartial();
        return false;
    }
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) {
        const std::string error = errno_text();
        discard();
        throw Poco::CreateFileException("Error of creating of file: " + m_target_path, error);
    }
    held = static_cast<std::uint64_t>(info.st_size);
    // Longer than the file now announced: not content of this file, whatever its name says.
    if (held > file_size && ::ftruncate(m_fd, 0) == 0)
        held = 0;
    if (::lseek(m_fd, static_cast<off_t>(held), SEEK_SET) < 0) {
        const std::string error = errno_text();
        discard();
        throw Poco::OpenFileException("Error of opening of file: " + m_target_path, error);
    }
    // Written again now: a sweep that goes by age leaves it alone.
    ::futimens(m_fd, nullptr);
    m_written = held;
    m_writeback_from = held;
    m_held = held;
    m_held_read_started = false;
    m_held_reader.cancel();
    return true;
}

// The partial file name, created when missing and locked against sweeps; kBusy when another
// process holds it. A store without locks is used unlocked. A file a sweep removed between
// the open and the lock is not what the next attempt would find: it is created anew.
int CQKIncomingFile::openLockedPartial(const std::string& name) {
    for (int attempt = 0;; ++attempt) {
        const int fd = ::openat(m_partial_dir_fd, name.c_str(),
                                O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, QK_PRIVATE_FILE_MODE);
        if (fd < 0)
            return fd;
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES)) {
            ::close(fd);
            return kBusy;
        }
        struct stat info;
        if (attempt > 0 || ::fstat(fd, &info) != 0 || info.st_nlink > 0)
            return fd;
        ::close(fd);
    }
}

void CQKIncomingFile::startHeldRead(std::function<bool()> stopped) {
    if (m_held_read_started || m_held == 0 || m_fd < 0)
        return;
    m_held_read_started = true;
    m_held_stopped = std::move(stopped);
    m_held_read_posted = true;
    // Positional reads below the end, while the writer appends: they never meet.
    m_held_reader.post([this] { m_held_crc = crcOfHeld(); });
}

bool CQKIncomingFile::heldChecksum(std::uint32_t& crc) {
    try {
        if (m_held_read_posted) {
            m_held_read_posted = false;
            m_held_reader.stop();  // the reading done, its thread ends
            m_held_reader.throwError();
            crc = m_held_crc;
        } else {
            crc = crcOfHeld();
        }
        m_held_read_started = true;
        return true;
    } catch (const HeldReadEnded&) {
        return false;
    }
}

// Before the descriptor the reading uses is closed.
void CQKIncomingFile::forgetHeldChecksum() noexcept {
    m_held_reader.cancel();
    m_held_reader.stop();
    m_held_read_posted = false;
}

std::uint32_t CQKIncomingFile::crcOfHeld() const {
    std::vector<unsigned char> buffer(1u << 20);
    std::uint32_t crc = 0;
    std::uint64_t at = 0;
    while (at < m_held) {
        if (m_held_reader.stopRequested() || (m_held_stopped && m_held_stopped()))
            throw HeldReadEnded();
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m_held - at));
        const ssize_t n = ::pread(m_fd, buffer.data(), want, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Poco::ReadFileException("Error of reading of partial content",
                                          n < 0 ? errno_text() : "shorter than it was");
        crc = qk_crc32(crc, buffer.data(), static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
    ::posix_fadvise(m_fd, 0, static_cast<off_t>(m_held), POSIX_FADV_DONTNEED);
    return crc;
}

void CQKIncomingFile::openDirectory(const std::string& dir) {
    if (m_dir_fd >= 0 && dir == m_dir && pathNamesOpenDirectory())
        return;  // consecutive files of one directory
    closeDirectory();
    m_dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (m_dir_fd < 0 || ::fstat(m_dir_fd, &info) != 0) {
        const std::string error = errno_text();
        closeDirectory();
        throw Poco::OpenFileException("Error of opening of directory: " + dir, error);
    }
    m_dir = dir;
    m_dir_device = info.st_dev;
    m_dir_inode = info.st_ino;
    m_link_way = LinkWay::Unknown;
    qk_remove_stale_temporaries(dir, kTemporaryPrefix, kTemporarySuffix);
}

// False when the directory was renamed or removed, and the path now names another one or none.
bool CQKIncomingFile::pathNamesOpenDirectory() const {
    struct stat info;
    return ::stat(m_dir.c_str(), &info) == 0 && info.st_dev == m_dir_device &&
           info.st_ino == m_dir_inode;
}

// False when the directory takes named temporaries: the file system has no unnamed files, or
// they cannot be linked.
bool CQKIncomingFile::openUnnamed() {
    if (m_link_way == LinkWay::Unknown)
        findLinkWay();
    if (m_link_way == LinkWay::None)
        return false;
    m_fd = ::openat(m_dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, QK_PRIVATE_FILE_MODE);
    if (m_fd < 0)
        throw Poco::CreateFileException("Error of creating of file: " + m_target_path,
                                        errno_text());
    return true;
}

// Tries the ways of linking on an empty unnamed file of its own, linked under a hidden name
// and removed again at once, so that no received data depends on a way that fails; a crash
// in between leaves only an empty temporary of ours.
void CQKIncomingFile::findLinkWay() {
    const int probe =
        ::openat(m_dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, QK_PRIVATE_FILE_MODE);
    if (probe < 0 && !unnamed_files_unsupported(errno))
        throw Poco::CreateFileException("Error of creating of file: " + m_target_path,
                                        errno_text());
    m_link_way = LinkWay::None;
    if (probe < 0)
        return;
    const std::string name = temporary_name();
    for (const LinkWay way : {LinkWay::EmptyPath, LinkWay::ProcFd}) {
        if (linkUnnamed(probe, way, m_dir_fd, name.c_str()) == 0) {
            ::unlinkat(m_dir_fd, name.c_str(), 0);
            m_link_way = way;
            break;
        }
    }
    ::close(probe);
}

void CQKIncomingFile::openNamed() {
    const std::string name = temporary_name();
    m_fd = ::openat(m_dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    QK_PRIVATE_FILE_MODE);
    if (m_fd < 0)
        throw Poco::CreateFileException("Error of creating of file: " + m_target_path,
                                        errno_text());
    m_temp_name = name;
}

void CQKIncomingFile::write(const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        long n = writeSome(m_fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Poco::WriteFileException("Error of writing of file: " + m_target_path,
                                           errno_text());
        data += n;
        len -= static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
    }
    if (m_written - m_writeback_from >= kWritebackStep)
        startWriteback();
}

// Starts writeback of the last step and waits for the step before it, which has had a
// step's time to reach the disk, then lets the kernel drop that step's pages: a relay does
// not read what it received, and reusing those pages for the next step costs far less
// than fresh page cache for the whole file. Only advice: errors show at commit()'s flush.
void CQKIncomingFile::startWriteback() {
    const auto length = static_cast<off64_t>(m_written - m_writeback_from);
    const auto from = static_cast<off64_t>(m_writeback_from);
    ::sync_file_range(m_fd, from, length, SYNC_FILE_RANGE_WRITE);
    if (from > 0) {
        const off64_t before = from > length ? from - length : 0;
        ::sync_file_range(
            m_fd, before, from - before,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(m_fd, before, from - before, POSIX_FADV_DONTNEED);
    }
    m_writeback_from = m_written;
    m_flusher.throwError();
    if (m_written - m_flushed_to >= kFlushStep && !m_flush_running.load())
        startFlushBehind();
}

// A flush still under way is let be: the next step starts one once it is done.
void CQKIncomingFile::startFlushBehind() {
    m_flushed_to = m_written;
    m_flush_running.store(true);
    const int fd = m_fd;
    m_flusher.post([this, fd] {
        const int rc = syncFile(fd);
        const std::string error = rc != 0 ? errno_text() : std::string();
        m_flush_running.store(false);
        if (rc != 0)
            throw Poco::WriteFileException("Error of syncing of file: " + m_target_path, error);
    });
}

// Waits for a flush under way; its thread ends. Its error stays kept for prepare().
void CQKIncomingFile::endFlushBehind() noexcept {
    m_flusher.stop();
    m_flush_running.store(false);
    m_flushed_to = 0;
}

bool CQKIncomingFile::prepare() {
    if (m_fd < 0)
        return m_placed;  // prepared already
    endFlushBehind();
    m_flusher.throwError();
    if (syncFile(m_fd) != 0)
        throw Poco::WriteFileException("Error of syncing of file: " + m_target_path, errno_text());
    if (m_partial_dir_fd >= 0) {
        forgetHeldChecksum();
        movePartialIn();
    } else
        m_placed = m_temp_name.empty() && linkUnderTarget();
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throw Poco::WriteFileException("Error of closing of file: " + m_target_path, errno_text());
    return m_placed;
}

void CQKIncomingFile::commit() {
    place();
    makeDurable(true);
}

void CQKIncomingFile::startFlush() noexcept {
    if (m_fd >= 0 && m_written > m_writeback_from) {
        ::sync_file_range(m_fd, static_cast<off64_t>(m_writeback_from),
                          static_cast<off64_t>(m_written - m_writeback_from),
                          SYNC_FILE_RANGE_WRITE);
    }
}

void CQKIncomingFile::place() {
    const bool placed = prepare();
    m_placed = false;
    // Names are given relative to the open directory: the one that is synced afterwards.
    if (!placed && renameIn(m_dir_fd, m_temp_name.c_str(), m_target_name.c_str()) != 0) {
        throw Poco::WriteFileException("Error of renaming of file: " + m_target_path, errno_text());
    }
    m_temp_name.clear();
}

void CQKIncomingFile::makeDurable(bool sync_directory) {
    if (sync_directory && syncDirectory(m_dir_fd) != 0) {
        throw Poco::WriteFileException("Error of syncing of directory: " + m_dir, errno_text());
    }
    // Replaced while the file was written: the synced name is not under the path.
    if (!pathNamesOpenDirectory()) {
        throw Poco::WriteFileException("Error of syncing of directory: " + m_dir,
                                       "the path names another directory now");
    }
}

// Links the unnamed file under the target name: one directory operation for a new name.
// When the name is taken (a file being replaced), it gets a hidden name instead, so that the
// rename that follows replaces the old file in one step. True when the file is in place.
bool CQKIncomingFile::linkUnderTarget() {
    if (linkUnnamed(m_fd, m_link_way, m_dir_fd, m_target_name.c_str()) == 0)
        return true;
    if (errno != EEXIST)
        throw Poco::WriteFileException("Error of linking of file: " + m_target_path, errno_text());
    const std::string name = temporary_name();
    if (linkUnnamed(m_fd, m_link_way, m_dir_fd, name.c_str()) != 0)
        throw Poco::WriteFileException("Error of linking of file: " + m_target_path, errno_text());
    m_temp_name = name;
    return false;
}

// A complete resumable file goes from the partial-content directory into its own: under the
// target name when that is free, else under a hidden name that place() renames over the
// file it replaces.
void CQKIncomingFile::movePartialIn() {
    m_placed = ::renameat2(m_partial_dir_fd, m_partial_name.c_str(), m_dir_fd,
                           m_target_name.c_str(), RENAME_NOREPLACE) == 0;
    if (!m_placed) {
        // A taken name, or a file system without the flag: the two-step way.
        if (errno != EEXIST && errno != EINVAL && errno != ENOSYS)
            throw Poco::WriteFileException("Error of renaming of file: " + m_target_path,
                                           errno_text());
        const std::string name = temporary_name();
        if (::renameat(m_partial_dir_fd, m_partial_name.c_str(), m_dir_fd, name.c_str()) != 0)
            throw Poco::WriteFileException("Error of renaming of file: " + m_target_path,
                                           errno_text());
        m_temp_name = name;
    }
    closePartial();
}

void CQKIncomingFile::closePartial() noexcept {
    if (m_partial_dir_fd >= 0)
        ::close(m_partial_dir_fd);
    m_partial_dir_fd = -1;
    m_partial_name.clear();
}

void CQKIncomingFile::discard() noexcept {
    if (m_partial_dir_fd >= 0)
        ::unlinkat(m_partial_dir_fd, m_partial_name.c_str(), 0);
    closePartial();
    abandon();
}

void CQKIncomingFile::abandon() noexcept {
    endFlushBehind();
    m_flusher.takeError();
    m_placed = false;
    forgetHeldChecksum();
    m_held = 0;
    m_held_read_started = false;
    if (m_fd >= 0 && m_partial_dir_fd >= 0 && m_written == 0)
        ::unlinkat(m_partial_dir_fd, m_partial_name.c_str(), 0);  // nothing to resume from
    else if (m_fd >= 0 && m_partial_dir_fd >= 0)
        ::fdatasync(m_fd);  // what the next attempt resumes from must be on the disk
    closePartial();
    if (m_fd >= 0) {
        ::close(m_fd);  // an unnamed file vanishes with its last descriptor
        m_fd = -1;
    }
    if (!m_temp_name.empty()) {
        ::unlinkat(m_dir_fd, m_temp_name.c_str(), 0);
        m_temp_name.clear();
    }
}

void CQKIncomingFile::closeDirectory() noexcept {
    if (m_dir_fd >= 0)
        ::close(m_dir_fd);
    m_dir_fd = -1;
    m_dir.clear();
}

long CQKIncomingFile::writeSome(int fd, const std::uint8_t* data, std::size_t len) {
    return static_cast<long>(::write(fd, data, len));
}

int CQKIncomingFile::linkUnnamed(int fd, LinkWay way, int dir_fd, const char* name) {
    if (way == LinkWay::EmptyPath)
        return ::linkat(fd, "", dir_fd, name, AT_EMPTY_PATH);
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, proc_path.c_str(), dir_fd, name, AT_SYMLINK_FOLLOW);
}

int CQKIncomingFile::renameIn(int dir_fd, const char* from, const char* to) {
    return ::renameat(dir_fd, from, dir_fd, to);
}

int CQKIncomingFile::syncFile(int fd) {
    return ::fdatasync(fd);
}

int CQKIncomingFile::syncDirectory(int dir_fd) {
    return ::fsync(dir_fd);
}
