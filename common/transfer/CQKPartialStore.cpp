// The partial-content directory of an incoming root: names, clean-up, metrics.
#include "transfer/CQKPartialStore.h"

#include <Poco/DigestEngine.h>
#include <Poco/SHA2Engine.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/qk_path.h"
#include "transfer/qk_relay_metrics.h"

namespace {

constexpr std::size_t kHexDigits = 32;
// How often a receiver looks for partial content past its time limit.
constexpr std::chrono::minutes kSweepEvery{10};

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

// Calls visit(name, stat) for every partial file of dir.
template <class Visit>
void for_each_partial(const std::string& dir, const Visit& visit) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        return;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        struct stat info;
        if (is_partial_name(name) &&
            ::fstatat(::dirfd(listing.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            visit(name, info);
        }
    }
}

}  // namespace

CQKPartialStore::CQKPartialStore(const std::string& in_dir)
    : m_dir(qk_generate_path(in_dir, kDirName)) {}

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

void CQKPartialStore::removeOtherSources(const std::string& name) const {
    const std::string path_part = name.substr(0, kHexDigits + 1);
    for_each_partial(m_dir, [&](const std::string& other, const struct stat&) {
        if (other != name && other.compare(0, path_part.size(), path_part) == 0)
            ::unlink(qk_generate_path(m_dir, other).c_str());
    });
}

void CQKPartialStore::sweep(std::chrono::hours max_age, bool force) const {
    static std::atomic<std::int64_t> last_sweep{0};
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::int64_t last = last_sweep.load();
    if (!force && now - last < std::chrono::seconds(kSweepEvery).count())
        return;
    if (!last_sweep.compare_exchange_strong(last, now) && !force)
        return;  // another connection sweeps
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    for_each_partial(m_dir, [&](const std::string& name, const struct stat& info) {
        if (now - info.st_mtime >= std::chrono::seconds(max_age).count() &&
            ::unlink(qk_generate_path(m_dir, name).c_str()) == 0) {
            return;
        }
        ++files;
        bytes += static_cast<std::uint64_t>(info.st_size);
    });
    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    metrics.partial_files.set(static_cast<double>(files));
    metrics.partial_bytes.set(static_cast<double>(bytes));
}
