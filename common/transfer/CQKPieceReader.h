// Reads the content of a file being sent on a thread of its own, a few pieces ahead of the
// socket, so that the disk reads and the CRC-32 run while the previous piece is sent.
//
// The sender starts a file with begin(), takes its pieces in order with next() (each stays
// valid until the next call) and ends it with finish(), or with abandon() when it gives up.
// A few buffers circulate: the reader fills the others while the sender holds one, so a
// socket slower than the disk holds the reading back instead of filling memory. The CRC-32
// is computed here, once, in the order of the content, on the reader's thread. A piece that
// cannot be read whole (a failing or shortened file) throws Poco::ReadFileException when the
// sender reaches it, never earlier: every piece before it is sent as usual. A file of one
// piece is read on the caller's thread: handing it over would only add a thread switch.
//
// Threads: one sender's thread uses the object; the reader thread (a CQKWorker) is started
// at the first file of more than one piece and runs until the object is destroyed. The
// source must outlive the file: finish or abandon it first.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/CQKWorker.h"

class CQKReadLease;

class CQKPieceReader {
public:
    // The size of a piece: the same as the receiver's, for the same reasons.
    static constexpr std::size_t kPieceSize = 256 * 1024;

    struct Piece {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
    };

    CQKPieceReader() = default;
    ~CQKPieceReader();
    CQKPieceReader(const CQKPieceReader&) = delete;
    CQKPieceReader& operator=(const CQKPieceReader&) = delete;

    // Starts reading the first file_size bytes of source (named file_path in errors).
    void begin(const CQKReadLease& source, const std::string& file_path, std::uint64_t file_size);
    // The next piece of the content; waits until it is read. Throws its read error. Not to
    // be called after the last piece.
    Piece next();
    // After the last piece: ends the file and returns the CRC-32 of its content (0 for none).
    std::uint32_t finish();
    // Drops the reads not yet started and waits for the one under way; the file is done.
    void abandon() noexcept;

private:
    static constexpr std::size_t kBuffers = 4;

    void postRead(std::size_t piece);
    void readPiece(std::size_t piece);
    std::size_t pieceLength(std::size_t piece) const;

    std::array<std::vector<std::uint8_t>, kBuffers> m_buffers;
    const CQKReadLease* m_source = nullptr;
    std::string m_file_path;
    std::uint64_t m_file_size = 0;
    std::size_t m_pieces = 0;            // of the current file
    std::size_t m_posted = 0;            // reads handed to the reader thread
    std::size_t m_taken = 0;             // pieces handed to the sender
    std::atomic<std::size_t> m_read{0};  // pieces read whole, in order
    std::uint32_t m_crc = 0;             // updated by the piece being read
    // After a failed read the rest of the file is not read. Last: destroyed first, so no read
    // outlives the buffers.
    CQKWorker m_worker{CQKWorker::AfterError::SkipAfterError, CQKWorker::AtStop::Drop};
};
