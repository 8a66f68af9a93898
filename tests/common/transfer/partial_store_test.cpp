// The store of partial content: its cap and its reserve make room by removing the oldest
// content nobody uses, and no sweep removes content a connection holds, here or in another
// receiver of the tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>

#include "TempDir.h"
#include "transfer/CQKPartialStore.h"
#include "transfer/qk_relay_metrics.h"

namespace {

using namespace std::chrono_literals;
using Admission = CQKPartialStore::Admission;

// A partial name of path number path from source number source.
std::string name_of(int path, int source = 0) {
    char text[80];
    std::snprintf(text, sizeof(text), "%032x.%032x", path, source);
    return text;
}

class PartialStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_store.ensureDir().empty()); }

    std::string pathOf(const std::string& name) const {
        return m_root / (std::string(CQKPartialStore::kDirName) + "/" + name);
    }
    // Partial content of size bytes last written age ago.
    void put(const std::string& name, std::size_t size, std::chrono::seconds age) const {
        TempDir::writeFileAt(pathOf(name), std::string(size, 'p'));
        const std::time_t when = std::time(nullptr) - age.count();
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, pathOf(name).c_str(), times, 0), 0);
    }
    bool has(const std::string& name) const { return ::access(pathOf(name).c_str(), F_OK) == 0; }

    TempDir m_root;
    CQKPartialStore m_store{m_root.path()};
};

TEST_F(PartialStoreTest, TheCapRemovesTheOldestUnusedContentFirst) {
    put(name_of(1), 3 << 20, 300s);
    put(name_of(2), 3 << 20, 200s);
    put(name_of(3, 1), 3 << 20, 100s);
    SQKPartialMax max;
    max.bytes = 7 << 20;
    const SQKReceiverMetrics& metrics = qk_receiver_metrics();
    const std::uint64_t cap = metrics.partial_removed_cap.value();
    const std::uint64_t source = metrics.partial_removed_source.value();

    // Its path's content of another source goes; 6 MiB held and 2 MiB more: the oldest too.
    EXPECT_EQ(m_store.admit(name_of(3, 2), 2 << 20, max), Admission::Kept);
    EXPECT_FALSE(has(name_of(1)));
    EXPECT_FALSE(has(name_of(3, 1)));
    EXPECT_TRUE(has(name_of(2)));
    EXPECT_EQ(metrics.partial_removed_cap.value(), cap + 1);
    EXPECT_EQ(metrics.partial_removed_source.value(), source + 1);

    // What is in use counts with the size its file will reach; where removing all the rest
    // would not do, nothing is removed and the file goes without resume.
    EXPECT_EQ(m_store.admit(name_of(4), 6 << 20, max), Admission::NotKept);
    EXPECT_EQ(m_store.admit(name_of(5), 8 << 20, max), Admission::NotKept);
    EXPECT_TRUE(has(name_of(2)));
    EXPECT_EQ(metrics.partial_removed_cap.value(), cap + 1);

    // Tiny content counts as 1 MiB each, so that no number of tiny cut transfers escapes it.
    put(name_of(6), 1, 500s);
    put(name_of(7), 1, 400s);
    m_store.sweep(24h, true);
    EXPECT_EQ(m_store.admit(name_of(8), 1 << 20, max), Admission::Kept);
    EXPECT_FALSE(has(name_of(6)));
    EXPECT_TRUE(has(name_of(7)));
    EXPECT_TRUE(has(name_of(2)));
}

TEST_F(PartialStoreTest, AFileThatCannotFitInTheFreeSpaceBeyondTheReserveHasNoRoom) {
    put(name_of(1), 1 << 20, 300s);
    SQKPartialMax max;
    max.bytes = 1ull << 62;
    EXPECT_EQ(m_store.admit(name_of(2), 1ull << 60, max), Admission::NoRoom);
    EXPECT_TRUE(has(name_of(1))) << "removing it would not have made room";
}

TEST_F(PartialStoreTest, NoSweepRemovesContentThatAConnectionHolds) {
    for (int path = 1; path <= 3; ++path)
        put(name_of(path), 1000, 48h);
    // Held by a connection of this process, and by another receiver of the tree.
    ASSERT_EQ(m_store.admit(name_of(1), 4000, SQKPartialMax()), Admission::Kept);
    const int other = ::open(pathOf(name_of(2)).c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(other, F_OFD_SETLK, &lock), 0);
    const std::uint64_t expired = qk_receiver_metrics().partial_removed_expired.value();

    m_store.sweep(24h, true);
    EXPECT_TRUE(has(name_of(1)));
    EXPECT_TRUE(has(name_of(2)));
    EXPECT_FALSE(has(name_of(3)));
    EXPECT_EQ(qk_receiver_metrics().partial_removed_expired.value(), expired + 1);

    ::close(other);
    m_store.release(name_of(1));
    put(name_of(1), 1000, 48h);
    m_store.sweep(24h, true);
    EXPECT_FALSE(has(name_of(1)));
    EXPECT_FALSE(has(name_of(2)));
}

}  // namespace
