// The reading thread of a sender: file content in, pieces with their CRC-32 out.
#include "transfer/CQKPieceReader.h"

#include <Poco/Exception.h>

#include <algorithm>

#include "base/CQKReadLease.h"
#include "base/qk_crc32.h"

CQKPieceReader::~CQKPieceReader() {
    abandon();
}

void CQKPieceReader::begin(const CQKReadLease& source, const std::string& file_path,
                           std::uint64_t file_size) {
    m_source = &source;
    m_file_path = file_path;
    m_file_size = file_size;
    m_pieces = static_cast<std::size_t>((file_size + kPieceSize - 1) / kPieceSize);
    m_posted = 0;
    m_taken = 0;
    m_read.store(0);
    m_crc = 0;
    if (m_pieces > 0 && m_buffers[0].empty())
        m_buffers[0].resize(kPieceSize);
    if (m_pieces > 1 && m_buffers[1].empty()) {
        for (auto& buffer : m_buffers)
            buffer.resize(kPieceSize);
    }
    m_worker.takeError();
    if (m_pieces > 1) {
        while (m_posted < std::min(m_pieces, kBuffers))
            postRead(m_posted);
    }
}

CQKPieceReader::Piece CQKPieceReader::next() {
    const std::size_t piece = m_taken;
    if (m_pieces == 1) {
        readPiece(0);
    } else {
        // The sender is done with the pieces before this one. Their buffers take the next
        // reads once half of them are free, in one batch: the reader then wakes up once
        // for several pieces, not for each.
        const std::size_t free = kBuffers - (m_posted - piece);
        if (free >= kBuffers / 2) {
            for (std::size_t i = 0; i < free && m_posted < m_pieces; ++i)
                postRead(m_posted);
        }
        // Reads run in order: the piece is read once fewer than posted - piece are pending.
        m_worker.waitPendingBelow(m_posted - piece);
        if (m_read.load() <= piece) {
            if (const std::exception_ptr error = m_worker.keptError())
                std::rethrow_exception(error);
        }
    }
    ++m_taken;
    return Piece{m_buffers[piece % kBuffers].data(), pieceLength(piece)};
}

std::uint32_t CQKPieceReader::finish() {
    const std::uint32_t crc = m_crc;
    abandon();
    return crc;
}

void CQKPieceReader::abandon() noexcept {
    if (m_pieces > 1)
        m_worker.cancel();
    m_pieces = 0;
    m_source = nullptr;
}

void CQKPieceReader::postRead(std::size_t piece) {
    m_worker.post([this, piece] { readPiece(piece); });
    ++m_posted;
}

// The CRC-32 goes in order: reads run one after the other, a failed one ends the file's.
void CQKPieceReader::readPiece(std::size_t piece) {
    std::uint8_t* data = m_buffers[piece % kBuffers].data();
    const std::size_t length = pieceLength(piece);
    const std::uint64_t offset = static_cast<std::uint64_t>(piece) * kPieceSize;
    if (m_source->readAt(data, length, offset) != static_cast<long>(length))
        throw Poco::ReadFileException("File: " + m_file_path + " can't be read. Error...");
    m_crc = qk_crc32(m_crc, data, length);
    m_read.fetch_add(1);
}

std::size_t CQKPieceReader::pieceLength(std::size_t piece) const {
    const std::uint64_t offset = static_cast<std::uint64_t>(piece) * kPieceSize;
    return static_cast<std::size_t>(std::min<std::uint64_t>(m_file_size - offset, kPieceSize));
}
