// CRC-32 through ISA-L, which picks the fastest code for the processor at run time.
#include "base/qk_crc32.h"

#include <isa-l/crc.h>

std::uint32_t qk_crc32(std::uint32_t crc, const void* data, std::size_t len) {
    // crc32_gzip_refl continues a CRC as zlib's crc32 does (0 to start, the final value
    // returned), so the two agree on every input; the tests check it against zlib.
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), len);
}
