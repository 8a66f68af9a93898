// The writer thread of a receiving connection: pieces in, CRC-32 and file writes out.
#include "transfer/CQKPieceWriter.h"

#include "base/qk_crc32.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKIncomingFile.h"

CQKPieceWriter::~CQKPieceWriter() {
    abandon();
}

void CQKPieceWriter::begin(CQKIncomingFile& file, std::uint64_t file_size) {
    m_file = &file;
    m_crc = 0;
    m_overlapped = file_size > kPieceSize;
    m_next_free = 0;
    if (m_buffers[0].empty()) {
        for (auto& buffer : m_buffers)
            buffer.resize(kPieceSize);
    }
    m_worker.takeError();
}

std::uint8_t* CQKPieceWriter::freeBuffer() {
    if (m_overlapped) {
        m_worker.waitPendingBelow(kBuffers);
        throwPendingError();
    }
    return m_buffers[m_next_free].data();
}

void CQKPieceWriter::queue(std::size_t len) {
    if (!m_overlapped) {
        writePiece(m_next_free, len);
        return;
    }
    throwPendingError();
    const std::size_t index = m_next_free;
    m_worker.post([this, index, len] { writePiece(index, len); });
    m_next_free = (m_next_free + 1) % kBuffers;
}

std::uint32_t CQKPieceWriter::finish() {
    if (m_overlapped) {
        m_worker.wait();
        throwPendingError();
    }
    m_file = nullptr;
    return m_crc;
}

void CQKPieceWriter::abandon() noexcept {
    if (m_overlapped)
        m_worker.cancel();
    m_overlapped = false;
    m_file = nullptr;
}

// The error stays kept until the next file (or abandon()): every call until then throws it.
void CQKPieceWriter::throwPendingError() {
    if (const std::exception_ptr error = m_worker.keptError())
        std::rethrow_exception(error);
}

void CQKPieceWriter::writePiece(std::size_t index, std::size_t len) {
    const std::uint8_t* data = m_buffers[index].data();
    m_crc = qk_crc32(m_crc, data, len);
    m_file->write(data, len);
}
