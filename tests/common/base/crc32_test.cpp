#include "base/qk_crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace {

// The wire carries zlib's CRC-32: every length, alignment and split of a file must give the
// very value zlib gives, or a receiver of another version refuses every file.
TEST(Crc32, AgreesWithZlibOverLengthsAlignmentsAndSplits) {
    std::vector<std::uint8_t> data((1u << 20) + 77);
    std::uint32_t seed = 12345;
    for (std::uint8_t& byte : data) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    for (const std::size_t offset : {0u, 1u, 3u, 7u}) {
        for (const std::size_t len : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 4097u, 1u << 20}) {
            const std::uint8_t* start = data.data() + offset;
            const auto expected =
                static_cast<std::uint32_t>(::crc32(0, start, static_cast<uInt>(len)));
            EXPECT_EQ(expected, qk_crc32(0, start, len)) << offset << " " << len;
            const std::size_t half = len / 3;
            EXPECT_EQ(expected, qk_crc32(qk_crc32(0, start, half), start + half, len - half))
                << offset << " " << len;
        }
    }
}

}  // namespace
