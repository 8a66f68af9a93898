// The CRC-32 of file contents (the IEEE polynomial, reflected, as zlib's crc32 and the wire
// have it), computed with carry-less multiplication where the processor has it: at over ten
// times zlib's rate, so that both ends of a big file spend next to nothing on it.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of len bytes at data, continuing crc (0 for the first bytes): the value zlib's
// crc32(crc, data, len) gives.
std::uint32_t qk_crc32(std::uint32_t crc, const void* data, std::size_t len);
