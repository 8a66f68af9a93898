// Writes the pieces of a received file on a thread of its own, so that the connection
// receives the next piece while the last one is checksummed and written.
//
// The connection asks for a free buffer, receives into it and queues it; a few buffers
// circulate, so a disk slower than the network holds the connection back instead of filling
// memory. The CRC-32 is computed here, once, on the bytes as they are written. finish()
// waits for the queue to drain and hands back the CRC-32, or throws the first write error:
// a file whose content did not reach the file is never confirmed. A file of one piece is
// written at once on the caller's thread (queue() returns when it is written): handing it
// over would only add a thread switch.
//
// Threads: one connection thread uses the object; the writer thread (a CQKWorker) is started
// at the first file of more than one piece and runs until the object is destroyed, which
// drops the pieces not yet written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/CQKWorker.h"

class CQKIncomingFile;

class CQKPieceWriter {
public:
    // The size of a piece: large enough that handing it over and writing it cost little
    // against its bytes, small enough that the few in circulation stay a small part of a
    // connection's memory.
    static constexpr std::size_t kPieceSize = 256 * 1024;

    CQKPieceWriter() = default;
    ~CQKPieceWriter();
    CQKPieceWriter(const CQKPieceWriter&) = delete;
    CQKPieceWriter& operator=(const CQKPieceWriter&) = delete;

    // Starts a file of file_size bytes, written into file (open, and left open until after
    // finish()). The previous file must be finished or abandoned.
    void begin(CQKIncomingFile& file, std::uint64_t file_size);
    // A buffer of kPieceSize bytes to receive the next piece into; waits while every
    // buffer is queued. Throws the write error of an earlier piece.
    std::uint8_t* freeBuffer();
    // Queues the first len bytes of the buffer that freeBuffer() returned last.
    void queue(std::size_t len);
    // Waits until every queued piece is written and returns the CRC-32 of the content;
    // throws the first error of a write.
    std::uint32_t finish();
    // Drops the queued pieces and waits for the one being written; any error is dropped.
    void abandon() noexcept;

private:
    static constexpr std::size_t kBuffers = 4;

    void writePiece(std::size_t index, std::size_t len);
    void throwPendingError();

    std::array<std::vector<std::uint8_t>, kBuffers> m_buffers;
    CQKIncomingFile* m_file = nullptr;
    bool m_overlapped = false;    // the current file goes through the writer thread
    std::uint32_t m_crc = 0;      // updated by the piece being written
    std::size_t m_next_free = 0;  // the buffer freeBuffer() handed out last
    // After an error the rest of the file's pieces are dropped unwritten: the file is refused.
    // Last: destroyed first, so no piece outlives the buffers.
    CQKWorker m_worker{CQKWorker::AfterError::SkipAfterError, CQKWorker::AtStop::Drop};
};
