// The partial-content directory of an incoming root: names, its index, admission, clean-up,
// metrics.
#include "transfer/CQKPartialStore.h"

#include <Poco/DigestEngine.h>
#include <Poco/SHA2Engine.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "base/qk_path.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr std::size_t kHexDigits = 32;
// How often the store is listed again and content past its time limit removed.
constexpr std::chrono::minutes kSweepEvery{10};
constexpr std::uint64_t kReserveMax = 1ull << 30;
constexpr unsigned kReservePercent = 5;
// The least a partial file counts against the cap: the smallest resumable file.
constexpr std::uint64_t kMinCharge = QK_RESUME_MIN_SIZE_LOWEST;

std::string hex_of(const unsigned char* bytes, std::size_t digits) {
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < digits / 2; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

bool is_partial_name(const std::string& name) {
    if (name.size() != 2 * kHexDigits + 1 || name[kHexDigits] != '.')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i != kHexDigits && !std::isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

std::int64_t now_seconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

// The store of one incoming root as this process knows it. Every member under mutex.
struct CQKPartialStore::SQKIndex {
    struct SQKEntry {
        std::uint64_t size = 0;
        std::int64_t mtime = 0;
        std::uint64_t declared = 0;  // in use: the size its file will reach
        bool in_use = false;         // a connection of this process has it open
    };

    std::mutex mutex;
    std::map<std::string, SQKEntry> entries;
    std::set<std::pair<std::int64_t, std::string>> by_age;
    std::uint64_t bytes = 0;           // on the disk
    std::uint64_t charged = 0;         // what counts against the cap: in use, the declared size
    std::uint64_t unused = 0;          // bytes of the content no connection uses
    std::uint64_t unused_charged = 0;  // what that content counts against the cap
    bool listed = false;
    std::int64_t last_sweep = 0;

    // At least kMinCharge each: many tiny cut transfers fill the cap as well as big ones, so
    // the number of files (and of the index's entries) is bounded too.
    static std::uint64_t chargeOf(const SQKEntry& entry) {
        return std::max({kMinCharge, entry.size, entry.in_use ? entry.declared : 0});
    }
    const SQKEntry* find(const std::string& name) const {
        const auto it = entries.find(name);
        return it == entries.end() ? nullptr : &it->second;
    }
    void put(const std::string& name, const SQKEntry& entry) {
        erase(name);
        entries[name] = entry;
        by_age.emplace(entry.mtime, name);
        bytes += entry.size;
        charged += chargeOf(entry);
        unused += entry.in_use ? 0 : entry.size;
        unused_charged += entry.in_use ? 0 : chargeOf(entry);
    }
    void erase(const std::string& name) {
        const auto it = entries.find(name);
        if (it == entries.end())
            return;
        by_age.erase({it->second.mtime, name});
        bytes -= it->second.size;
        charged -= chargeOf(it->second);
        unused -= it->second.in_use ? 0 : it->second.size;
        unused_charged -= it->second.in_use ? 0 : chargeOf(it->second);
        entries.erase(it);
    }
    // Bytes (or, charged, what counts against the cap) that removing every unused entry but
    // keep would free.
    std::uint64_t removableBesides(const std::string& keep, bool charged) const {
        const SQKEntry* entry = find(keep);
        const bool unused_keep = entry != nullptr && !entry->in_use;
        if (charged)
            return unused_charged - (unused_keep ? chargeOf(*entry) : 0);
        return unused - (unused_keep ? entry->size : 0);
    }
    void publish() const {
        const SQKReceiverMetrics& metrics = qk_receiver_metrics();
        metrics.partial_files.set(static_cast<double>(entries.size()));
        metrics.partial_bytes.set(static_cast<double>(bytes));
    }
};

namespace {

using SQKIndex = CQKPartialStore::SQKIndex;

// The index of the store dir, one per process.
std::shared_ptr<SQKIndex> index_of(const std::string& dir) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<SQKIndex>> indexes;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<SQKIndex>& index = indexes[dir];
    if (!index)
        index = std::make_shared<SQKIndex>();
    return index;
}

// Replaces the index by what dir holds; entries in use keep their declared size.
void relist(const std::string& dir, SQKIndex& index) {
    std::map<std::string, SQKIndex::SQKEntry> in_use;
    for (const auto& [name, entry] : index.entries) {
        if (entry.in_use)
            in_use.emplace(name, entry);
    }
    index.entries.clear();
    index.by_age.clear();
    index.bytes = index.charged = index.unused = index.unused_charged = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    while (listing) {
        const dirent* item = ::readdir(listing.get());
        if (item == nullptr)
            break;
        const std::string name = item->d_name;
        struct stat info;
        if (!is_partial_name(name) ||
            ::fstatat(::dirfd(listing.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        SQKIndex::SQKEntry entry;
        const auto used = in_use.find(name);
        if (used != in_use.end()) {
            entry = used->second;
            in_use.erase(used);
        }
        entry.size = static_cast<std::uint64_t>(info.st_size);
        entry.mtime = static_cast<std::int64_t>(info.st_mtime);
        index.put(name, entry);
    }
    // Admitted, and not created yet: they count all the same.
    for (const auto& [name, entry] : in_use)
        index.put(name, entry);
    index.listed = true;
}

// Removes name unless a connection uses it: one of this process (the index says so) or of
// another receiver of the tree (it holds a lock on the file). True when it is gone.
bool remove_unused(const std::string& dir, SQKIndex& index, const std::string& name,
                   CQKCounter& removed_for) {
    const SQKIndex::SQKEntry* entry = index.find(name);
    if (entry != nullptr && entry->in_use)
        return false;
    const std::string path = qk_generate_path(dir, name);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const bool gone = errno == ENOENT;
        if (gone)
            index.erase(name);
        return gone;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool busy = ::fcntl(fd, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES);
    const bool removed = !busy && ::unlink(path.c_str()) == 0;
    ::close(fd);
    if (removed) {
        index.erase(name);
        removed_for.inc();
    }
    return removed;
}

// Removes the oldest unused content but keep until wanted bytes (charged: of the cap) are
// freed; returns what was freed.
std::uint64_t make_room(const std::string& dir, SQKIndex& index, const std::string& keep,
                        std::uint64_t wanted, bool charged, CQKCounter& removed_for) {
    std::uint64_t freed = 0;
    auto it = index.by_age.begin();
    while (freed < wanted && it != index.by_age.end()) {
        const std::string name = it->second;
        ++it;
        const SQKIndex::SQKEntry* entry = index.find(name);
        if (name == keep || entry == nullptr || entry->in_use)
            continue;
        const std::uint64_t size = charged ? SQKIndex::chargeOf(*entry) : entry->size;
        if (remove_unused(dir, index, name, removed_for))
            freed += size;
    }
    return freed;
}

}  // namespace

CQKPartialStore::CQKPartialStore(const std::string& in_dir)
    : m_dir(qk_generate_path(in_dir, kDirName)), m_index(index_of(m_dir)) {}

std::string CQKPartialStore::ensureDir() const {
    if (::mkdir(m_dir.c_str(), QK_PRIVATE_DIR_MODE) != 0 && errno != EEXIST)
        return "";
    struct stat info;
    if (::lstat(m_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "";
    return m_dir;
}

std::string CQKPartialStore::nameOf(const std::string& relative_path, const std::uint8_t* tag,
                                    std::size_t tag_size) {
    Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_256);
    engine.update(relative_path);
    const Poco::DigestEngine::Digest& path = engine.digest();
    return hex_of(path.data(), kHexDigits) + "." + hex_of(tag, std::min(kHexDigits, 2 * tag_size));
}

std::uint64_t CQKPartialStore::reserveOf(std::uint64_t fs_size) {
    return std::min(kReserveMax, fs_size / 100 * kReservePercent);
}

CQKPartialStore::Admission CQKPartialStore::admit(const std::string& name, std::uint64_t file_size,
                                                  const SQKPartialMax& max) {
    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    SQKIndex& index = *m_index;
    std::lock_guard<std::mutex> lock(index.mutex);
    if (!index.listed)
        relist(m_dir, index);
    struct PublishAtEnd {
        SQKIndex& index;
        ~PublishAtEnd() { index.publish(); }
    } publish{index};

    // Content of the same path from other sources: the file changed since.
    const std::string path_part = name.substr(0, kHexDigits + 1);
    for (auto it = index.entries.lower_bound(path_part);
         it != index.entries.end() && it->first.compare(0, path_part.size(), path_part) == 0;) {
        const std::string other = it->first;
        ++it;
        if (other != name)
            remove_unused(m_dir, index, other, metrics.partial_removed_source);
    }
    const SQKIndex::SQKEntry* held_entry = index.find(name);
    if (held_entry != nullptr && held_entry->in_use)
        return Admission::NotKept;
    const std::uint64_t held =
        held_entry != nullptr && held_entry->size <= file_size ? held_entry->size : 0;

    struct statvfs fs;
    if (::statvfs(m_dir.c_str(), &fs) != 0)
        return Admission::NotKept;
    const std::uint64_t fs_size = static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize;
    const std::uint64_t avail = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    // Saturated: the size is the peer's.
    const std::uint64_t need = file_size - held;
    const std::uint64_t reserve = reserveOf(fs_size);
    const std::uint64_t wanted = need > UINT64_MAX - reserve ? UINT64_MAX : need + reserve;
    if (avail < wanted) {
        if (wanted - avail > index.removableBesides(name, false) ||
            avail + make_room(m_dir, index, name, wanted - avail, false,
                              metrics.partial_removed_reserve) <
                wanted) {
            return Admission::NoRoom;
        }
    }

    const std::uint64_t cap = max.of(fs_size);
    held_entry = index.find(name);
    const std::uint64_t others =
        index.charged - (held_entry != nullptr ? SQKIndex::chargeOf(*held_entry) : 0);
    if (file_size > cap)
        return Admission::NotKept;
    if (others + file_size > cap) {
        const std::uint64_t excess = others + file_size - cap;
        if (index.removableBesides(name, true) < excess ||
            make_room(m_dir, index, name, excess, true, metrics.partial_removed_cap) < excess) {
            return Admission::NotKept;
        }
    }

    SQKIndex::SQKEntry entry;
    if (const SQKIndex::SQKEntry* existing = index.find(name))
        entry = *existing;
    else
        entry.mtime = now_seconds();
    entry.in_use = true;
    entry.declared = file_size;
    index.put(name, entry);
    return Admission::Kept;
}

void CQKPartialStore::release(const std::string& name) {
    SQKIndex& index = *m_index;
    std::lock_guard<std::mutex> lock(index.mutex);
    struct stat info;
    if (::fstatat(AT_FDCWD, qk_generate_path(m_dir, name).c_str(), &info, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        S_ISREG(info.st_mode)) {
        SQKIndex::SQKEntry entry;
        entry.size = static_cast<std::uint64_t>(info.st_size);
        entry.mtime = static_cast<std::int64_t>(info.st_mtime);
        index.put(name, entry);
    } else {
        index.erase(name);
    }
    index.publish();
}

void CQKPartialStore::sweep(std::chrono::hours max_age, bool force) {
    SQKIndex& index = *m_index;
    std::lock_guard<std::mutex> lock(index.mutex);
    const std::int64_t now = now_seconds();
    if (!force && index.listed &&
        now - index.last_sweep < std::chrono::seconds(kSweepEvery).count()) {
        return;
    }
    index.last_sweep = now;
    relist(m_dir, index);
    const std::int64_t oldest_kept = now - std::chrono::seconds(max_age).count();
    auto it = index.by_age.begin();
    while (it != index.by_age.end() && it->first <= oldest_kept) {
        const std::string name = it->second;
        ++it;
        remove_unused(m_dir, index, name, qk_receiver_metrics().partial_removed_expired);
    }
    index.publish();
}
