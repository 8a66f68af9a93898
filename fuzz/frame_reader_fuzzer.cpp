// libFuzzer target: feeds arbitrary reads to the receiver's frame reader, as a hostile peer
// could. The input is a sequence of reads, each a length byte n followed by n + 1 bytes.
// Reads are gathered into frames as the receiving connection does. The reader must refuse
// bad frames with its exception, never touch memory outside a read, and never accept a
// name that leads out of the incoming directory.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/CQKFrameReader.h"
#include "protocol/qk_exceptions.h"

namespace {

void check_confined(const QKRelayHeader& header) {
    std::string sub_dir;
    if (qk_normalise_sub_dir(header.sub_dir, sub_dir)) {
        if (!sub_dir.empty() && sub_dir[0] == '/')
            __builtin_trap();
        std::istringstream components(sub_dir);
        for (std::string component; std::getline(components, component, '/');) {
            if (component == "..")
                __builtin_trap();
        }
    }
    if (qk_is_safe_file_name(header.file_name) && header.file_name.find('/') != std::string::npos) {
        __builtin_trap();
    }
}

// Hands one read to the reader in a buffer of exactly its size, so that the sanitizer
// catches any access beyond it.
void consume(CQKFrameReader& reader, const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> read(bytes);
    if (reader.consume(read.data(), read.size()) == CQKFrameReader::Event::Header) {
        check_confined(reader.header());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CQKFrameReader reader;
    std::vector<std::uint8_t> frame;
    std::size_t pos = 0;
    while (pos + 1 < size) {
        const std::size_t len = std::min<std::size_t>(data[pos] + 1u, size - pos - 1);
        const std::uint8_t* chunk = data + pos + 1;
        pos += 1 + len;
        try {
            if (!reader.expectsFrame()) {
                // File data: never more than is due, as the connection reads it.
                consume(reader,
                        std::vector<std::uint8_t>(chunk, chunk + std::min(len, reader.readSize())));
                continue;
            }
            frame.insert(frame.end(), chunk, chunk + len);
            const std::size_t need = CQKFrameReader::frameLength(frame.data(), frame.size());
            if (frame.size() < need && need <= QK_BUFFER_SIZE)
                continue;  // gather more
            if (frame.size() > QK_BUFFER_SIZE)
                frame.resize(QK_BUFFER_SIZE);
            consume(reader, frame);
        } catch (const ReceivingStatusException&) {
            reader = CQKFrameReader();  // the connection would end here
        }
        frame.clear();
    }
    return 0;
}
