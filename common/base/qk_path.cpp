// Path joining, sub-directory derivation, the writability probe and numbered backups.
#include "base/qk_path.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/Random.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "base/qk_console.h"
#include "base/qk_log.h"

namespace {

constexpr const char* kBackupTemporaryPrefix = ".qk_backup.";
constexpr const char* kBackupTemporarySuffix = ".tmp";

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

bool exists(const std::string& path) {
    return Poco::File(path).exists();
}

// A generator with 256 bytes of state, seeded from the system so that two processes draw
// different names. Built in place: Poco::Random owns a raw buffer and must not be copied.
struct SeededRandom : Poco::Random {
    SeededRandom() : Poco::Random(RND_STATE_256) { seed(); }
};

bool lies_below(const std::string& base_dir, const std::string& dir) {
    if (dir.compare(0, base_dir.size(), base_dir) != 0)
        return false;
    // The match must end where a path component ends: "/out" is not a prefix of "/outside".
    return base_dir.empty() || dir.size() == base_dir.size() || is_separator(base_dir.back()) ||
           is_separator(dir[base_dir.size()]);
}

// Draws names until one can be created anew; creation fails on an existing name, so a file of
// someone else is never truncated.
std::string create_probe_file(const std::string& dir, Poco::Random& random) {
    for (;;) {
        const std::string r1 = std::to_string(random.next());
        const std::string r2 = std::to_string(random.next());
        const std::string r3 = std::to_string(random.next());
        const std::string path = qk_generate_path(dir, "_tmp." + r3 + "." + r2 + "." + r1 + ".dat");
        if (Poco::File(path).createFile())
            return path;
    }
}

void write_probe_file(const std::string& path, Poco::Random& random) {
    Poco::FileOutputStream out(path, std::ios::out | std::ios::trunc);
    out << random.next();
    out.close();
    if (!exists(path))
        throw Poco::IOException("Error of creating of the file: " + path);
}

void remove_quietly(const std::string& path) {
    try {
        Poco::File(path).remove();
    } catch (...) {
        // Leftovers are harmless; the original failure is what the caller must see.
    }
}

// The last path component; the source of a backup must name a file.
std::string file_name_of(const std::string& file_path) {
    if (file_path.empty() || is_separator(file_path.back()))
        throw Poco::PathNotFoundException("file: " + file_path + " not found...");
    const std::size_t slash = file_path.rfind('/');
    return slash == std::string::npos ? file_path : file_path.substr(slash + 1);
}

void make_backup_dir(const std::string& base) {
    Poco::File dir(base);
    if (!dir.exists()) {
        qk_create_private_dirs(base);
    } else if (!dir.isDirectory()) {
        throw Poco::IOException("Directory: " + base + " exists as file and cann't be created");
    }
}

std::string numbered_backup(const std::string& base, const std::string& file_name, int number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03d.bak", number);
    return qk_generate_path(base, file_name + suffix);
}

// Closes a descriptor when the scope ends.
struct Descriptor {
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0)
            close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

// Copies everything source holds into target, syncs and closes target.
void copy_content(int source, Descriptor& target, const std::string& source_path,
                  const std::string& target_path) {
    std::vector<char> buffer(128 * 1024);
    for (;;) {
        const ssize_t got = read(source, buffer.data(), buffer.size());
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            Poco::File::handleLastError(source_path);
        }
        for (ssize_t at = 0; at < got;) {
            const ssize_t put = write(target.fd, buffer.data() + at, got - at);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                Poco::File::handleLastError(target_path);
            at += put;
        }
    }
    const int fd = target.fd;
    target.fd = -1;
    if (fsync(fd) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        Poco::File::handleLastError(target_path);
    }
    if (close(fd) != 0)
        Poco::File::handleLastError(target_path);
}

// Copies file_path under a new hidden name in base and syncs it; the caller renames it onto
// the backup name once it is complete. The copy is created with QK_PRIVATE_FILE_MODE narrowed
// by the source's mode (and by the umask): a wider mode of the source, or its execute bits,
// never carry over, a narrower one does.
std::string copy_to_temporary(const std::string& file_path, const std::string& base) {
    const Descriptor source(open(file_path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (source.fd < 0 || fstat(source.fd, &info) != 0)
        Poco::File::handleLastError(file_path);
    if (S_ISDIR(info.st_mode))
        throw Poco::OpenFileException("is a directory", file_path);
    const mode_t mode = QK_PRIVATE_FILE_MODE & info.st_mode;
    SeededRandom random;
    for (;;) {
        // The machine and process in the name tell a later process whether it is debris.
        const std::string temporary = qk_generate_path(
            base, qk_temporary_name(kBackupTemporaryPrefix, random.next(), kBackupTemporarySuffix));
        Descriptor target(
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        if (target.fd < 0) {
            if (errno == EEXIST)
                continue;  // name taken; draw another
            Poco::File::handleLastError(temporary);
        }
        try {
            copy_content(source.fd, target, file_path, temporary);
            return temporary;
        } catch (...) {
            remove_quietly(temporary);
            throw;
        }
    }
}

// Shifts the numbered backups up by one, dropping the oldest, and turns the plain backup into
// the newest numbered one.
void rotate_backups(const QKLogTag& tag, const std::string& file_path, const std::string& base,
                    const std::string& file_name, const std::string& target) {
    log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path = %s exists, so backups", target.c_str());
    const int oldest = QK_BACKUP_NUMBERED_COPIES - 1;
    for (int number = oldest; number >= 0; --number) {
        const std::string from = numbered_backup(base, file_name, number);
        if (!exists(from))
            continue;
        if (number == oldest) {
            log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path_from = %s remove", from.c_str());
            Poco::File(from).remove();
        } else {
            const std::string to = numbered_backup(base, file_name, number + 1);
            log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path_from = %s rename to %s",
                        from.c_str(), to.c_str());
            Poco::File(from).renameTo(to);
        }
    }
    const std::string newest = numbered_backup(base, file_name, 0);
    log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path_to = %s", newest.c_str());
    if (exists(newest))
        throw Poco::IOException("Error of backuping of the file: " + newest +
                                " as file: " + newest + " exists...");
    log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path = %s rename res_backup_path_to = %s",
                target.c_str(), newest.c_str());
    Poco::File(target).renameTo(newest);
    if (exists(target))
        throw Poco::IOException("Error of backuping of the file: " + file_path +
                                " as file: " + target + " exists...");
}

// Makes the renames in dir durable before the caller goes on to delete the original file.
// Best effort: some file systems refuse to sync a directory, and the copy itself is synced.
void sync_dir(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool all_hex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string hex_digits(std::uint64_t value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = "0123456789abcdef"[value & 0xF];
    return text;
}

// The first line of a file; empty when it cannot be read.
std::string first_line(const char* fpath) {
    std::ifstream in(fpath);
    std::string line;
    std::getline(in, line);
    return line;
}

constexpr std::size_t kHostDigits = 12;
constexpr std::size_t kBootDigits = 8;

struct MachineTag {
    std::string host;
    std::string boot;
};

const MachineTag& machine_tag() {
    static const MachineTag tag = [] {
        std::string machine_id = first_line("/etc/machine-id");
        if (machine_id.empty())
            machine_id = first_line("/var/lib/dbus/machine-id");
        std::vector<char> host_name(256, '\0');
        if (gethostname(host_name.data(), host_name.size() - 1) != 0)
            host_name[0] = '\0';
        // Without a boot id every boot looks alike, and pids alone decide, as they did before.
        const std::string boot_id = first_line("/proc/sys/kernel/random/boot_id");
        return MachineTag{
            qk_stable_digest(machine_id + '\n' + host_name.data(), static_cast<int>(kHostDigits)),
            qk_stable_digest(boot_id, static_cast<int>(kBootDigits))};
    }();
    return tag;
}

bool process_gone(pid_t pid) {
    return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

// Splits text at each '.'.
std::vector<std::string> dot_fields(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t dot; (dot = text.find('.', from)) != std::string::npos; from = dot + 1)
        fields.push_back(text.substr(from, dot - from));
    fields.push_back(text.substr(from));
    return fields;
}

// The dot-separated fields between prefix and suffix of name; empty when name is not
// prefix + something + suffix.
std::vector<std::string> middle_fields(const std::string& name, const std::string& prefix,
                                       const std::string& suffix) {
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return {};
    }
    return dot_fields(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
}

// True for "<host>-<boot>" of any machine and boot.
bool is_machine_tag(const std::string& owner) {
    return owner.size() == kHostDigits + 1 + kBootDigits && owner[kHostDigits] == '-' &&
           all_hex(owner.substr(0, kHostDigits)) && all_hex(owner.substr(kHostDigits + 1));
}

// Why a temporary named prefix + middle + suffix is debris; null when it is not, or when it is
// no temporary of ours. Nine digits at most for a pid: beyond every pid_max, and no overflow.
const char* why_stale(const std::string& name, const std::string& prefix,
                      const std::string& suffix) {
    std::vector<std::string> fields = middle_fields(name, prefix, suffix);
    if (fields.size() == 3) {
        // "<host>-<boot>.<pid>.<n>": only this machine may judge its own temporaries.
        const std::string& owner = fields[0];
        const MachineTag& self = machine_tag();
        if (owner.size() != kHostDigits + 1 + kBootDigits || owner[kHostDigits] != '-' ||
            owner.compare(0, kHostDigits, self.host) != 0) {
            return nullptr;
        }
        const std::string boot = owner.substr(kHostDigits + 1);
        if (boot != self.boot) {
            return all_hex(boot) && all_digits(fields[1]) && all_digits(fields[2])
                       ? "of an earlier boot"
                       : nullptr;
        }
        fields.erase(fields.begin());
    }
    // "<pid>.<n>", from this machine's boot (the older form: taken as this machine's).
    if (fields.size() != 2 || fields[0].size() > 9 || !all_digits(fields[0]) ||
        !all_digits(fields[1])) {
        return nullptr;
    }
    return process_gone(static_cast<pid_t>(std::stol(fields[0])))
               ? "of a process that no longer runs"
               : nullptr;
}

// True only for the first call with this key in this process.
bool first_time(const std::string& key) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard<std::mutex> lock(mutex);
    return seen.insert(key).second;
}

}  // namespace

std::string qk_machine_tag() {
    const MachineTag& self = machine_tag();
    return self.host + "-" + self.boot;
}

std::string qk_temporary_name(const std::string& prefix, unsigned long n,
                              const std::string& suffix) {
    return prefix + qk_machine_tag() + "." + std::to_string(getpid()) + "." + std::to_string(n) +
           suffix;
}

bool qk_is_temporary_name(const std::string& name, const std::string& prefix,
                          const std::string& suffix) {
    std::vector<std::string> fields = middle_fields(name, prefix, suffix);
    if (fields.size() == 3 && is_machine_tag(fields[0]))
        fields.erase(fields.begin());
    return fields.size() == 2 && all_digits(fields[0]) && all_digits(fields[1]);
}

bool qk_is_backup_temporary_name(const std::string& name) {
    return qk_is_temporary_name(name, kBackupTemporaryPrefix, kBackupTemporarySuffix);
}

void qk_remove_stale_temporaries(const std::string& dir, const std::string& prefix,
                                 const std::string& suffix) {
    static const QKLogTag tag = qk_make_tag("qk_remove_stale_temporaries()");
    try {
        if (!first_time(dir + '\0' + prefix + '\0' + suffix))
            return;
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
        if (!listing)
            return;
        while (const dirent* entry = readdir(listing.get())) {
            const std::string name = entry->d_name;
            const char* reason = why_stale(name, prefix, suffix);
            if (reason == nullptr)
                continue;
            const bool removed = unlinkat(dirfd(listing.get()), name.c_str(), 0) == 0;
            log_message(removed ? LOG_LEVEL_INFO : LOG_LEVEL_WARN, &tag, "%s temporary %s: %s",
                        removed ? "Removed" : "Could not remove", reason,
                        qk_generate_path(dir, name).c_str());
        }
    } catch (...) {
        // Debris stays where it is; the write that called us must go on.
    }
}

std::size_t qk_remove_stale_temporaries_below(const std::string& root, const std::string& prefix,
                                              const std::string& suffix, std::size_t max_dirs) {
    std::deque<std::string> pending{root};
    std::size_t looked = 0;
    while (!pending.empty() && looked < max_dirs) {
        const std::string dir = pending.front();
        pending.pop_front();
        ++looked;
        qk_remove_stale_temporaries(dir, prefix, suffix);
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
        if (!listing)
            continue;
        while (const dirent* entry = readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || looked + pending.size() >= max_dirs)
                continue;
            bool is_dir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info {};
                is_dir =
                    fstatat(dirfd(listing.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(info.st_mode);
            }
            if (is_dir)
                pending.push_back(dir + "/" + name);
        }
    }
    return looked;
}

std::string qk_generate_path(const std::string& base_path, const std::string& extra_path) {
    if (extra_path.empty())
        return base_path;
    static const QKLogTag tag = qk_make_tag("qk_generate_path()");
    const bool base_ends_in_separator = !base_path.empty() && is_separator(base_path.back());
    const bool extra_starts_with_separator = is_separator(extra_path.front());
    std::string result;
    if (base_ends_in_separator && extra_starts_with_separator)
        result = base_path.substr(0, base_path.size() - 1) + extra_path;
    else if (base_ends_in_separator || extra_starts_with_separator)
        result = base_path + extra_path;
    else
        result = base_path + "/" + extra_path;
    log_message(LOG_LEVEL_DEBUG, &tag, "base_path = %s extra_path = %s res_path = %s",
                base_path.c_str(), extra_path.c_str(), result.c_str());
    return result;
}

std::string qk_get_sub_dir(const std::string& base_dir, const std::string& dir) {
    static const QKLogTag tag = qk_make_tag("qk_get_sub_dir()");
    log_message(LOG_LEVEL_DEBUG, &tag, "base_dir = %s dir = %s", base_dir.c_str(), dir.c_str());
    std::string result;
    if (lies_below(base_dir, dir)) {
        result = dir.substr(base_dir.size());
        if (!result.empty() && is_separator(result.front()))
            result.erase(0, 1);
        if (!result.empty() && is_separator(result.back()))
            result.pop_back();
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "base_dir = %s dir = %s res_dir = %s", base_dir.c_str(),
                dir.c_str(), result.c_str());
    return result;
}

void qk_create_private_dirs(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty())
        return;
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode))
            throw Poco::FileExistsException("not a directory", path);
        return;
    }
    if (errno != ENOENT)
        Poco::File::handleLastError(path);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        qk_create_private_dirs(path.substr(0, slash));
    // The kernel applies the umask and a set-group-ID parent's group and bit; a chmod here
    // would take that bit away again.
    if (mkdir(path.c_str(), QK_PRIVATE_DIR_MODE) != 0) {
        const int error = errno;
        if (error == EEXIST && qk_is_directory(path))
            return;  // made by another process meanwhile
        errno = error;
        Poco::File::handleLastError(path);
    }
}

bool qk_check_dir_writable(const std::string& dir) {
    std::string probe;
    try {
        Poco::File directory(dir);
        if (!directory.exists() || !directory.isDirectory())
            return false;
        SeededRandom random;
        probe = create_probe_file(dir, random);
        write_probe_file(probe, random);
        Poco::File(probe).remove();
        return true;
    } catch (...) {
        if (!probe.empty())
            remove_quietly(probe);
        return false;
    }
}

void qk_backup_file(const std::string& file_path, const std::string& backup_dir,
                    const std::string& sub_dir) {
    static const QKLogTag tag = qk_make_tag("qk_backup_file()");
    log_message(LOG_LEVEL_DEBUG, &tag, "file_path = %s backup_dir = %s sub_dir = %s",
                file_path.c_str(), backup_dir.c_str(), sub_dir.c_str());
    const std::string file_name = file_name_of(file_path);
    const std::string base = qk_generate_path(backup_dir, sub_dir);
    log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path_base = %s", base.c_str());
    make_backup_dir(base);
    qk_remove_stale_temporaries(base, kBackupTemporaryPrefix, kBackupTemporarySuffix);
    const std::string target = qk_generate_path(base, file_name);
    log_message(LOG_LEVEL_DEBUG, &tag, "res_backup_path = %s", target.c_str());

    log_message(LOG_LEVEL_DEBUG, &tag, "Copying file file_path = %s to res_backup_path = %s",
                file_path.c_str(), target.c_str());
    // The copy is made before the rotation: a copy that fails leaves the existing backups as
    // they were, and the backup name only ever holds a complete copy.
    const std::string temporary = copy_to_temporary(file_path, base);
    try {
        if (exists(target))
            rotate_backups(tag, file_path, base, file_name, target);
        Poco::File(temporary).renameTo(target);
    } catch (...) {
        remove_quietly(temporary);
        throw;
    }
    sync_dir(base);
    // Said once made: a backup that fails is the caller's error to report, not a backup.
    log_message(LOG_LEVEL_INFO, &tag, "Backup file: %s to: %s", file_path.c_str(), target.c_str());
    qk_print_console("Backup file: " + file_path + " to: " + target, true);
}

bool qk_is_regular_file(const std::string& path) {
    try {
        Poco::File file(path);
        return !path.empty() && file.exists() && file.isFile();
    } catch (const Poco::Exception&) {
        return false;
    }
}

bool qk_is_directory(const std::string& path) {
    try {
        Poco::File file(path);
        return !path.empty() && file.exists() && file.isDirectory();
    } catch (const Poco::Exception&) {
        return false;
    }
}

std::string qk_stable_digest(const std::string& text, int digits) {
    return hex_digits(fnv1a(text), digits);
}
