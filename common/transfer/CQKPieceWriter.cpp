// The writer thread of a receiving connection: pieces in, CRC-32 and file writes out.
#include "transfer/CQKPieceWriter.h"

#include <zlib.h>

#include "protocol/qk_protocol.h"
#include "transfer/CQKIncomingFile.h"

CQKPieceWriter::~CQKPieceWriter() {
    abandon();
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void CQKPieceWriter::begin(CQKIncomingFile& file, std::uint64_t file_size) {
    m_file = &file;
    m_crc = 0;
    m_overlapped = file_size > QK_BUFFER_SIZE;
    m_next_free = 0;
    if (m_buffers[0].empty()) {
        for (auto& buffer : m_buffers)
            buffer.resize(QK_BUFFER_SIZE);
    }
    if (m_overlapped && !m_thread.joinable())
        startThread();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error = nullptr;
    m_drop = false;
}

void CQKPieceWriter::startThread() {
    m_thread = std::thread([this] { writerLoop(); });
}

std::uint8_t* CQKPieceWriter::freeBuffer() {
    if (m_overlapped) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_busy < kBuffers || m_error; });
        throwPendingError();
    }
    return m_buffers[m_next_free].data();
}

void CQKPieceWriter::queue(std::size_t len) {
    if (!m_overlapped) {
        writePiece(m_next_free, len);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        throwPendingError();
        m_queue.emplace_back(m_next_free, len);
        ++m_busy;
    }
    m_changed.notify_all();
    m_next_free = (m_next_free + 1) % kBuffers;
}

std::uint32_t CQKPieceWriter::finish() {
    if (m_overlapped) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_busy == 0; });
        throwPendingError();
    }
    m_file = nullptr;
    return m_crc;
}

void CQKPieceWriter::abandon() noexcept {
    if (m_overlapped) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_drop = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_busy == 0; });
        m_error = nullptr;
    }
    m_overlapped = false;
    m_file = nullptr;
}

// Called with m_mutex held.
void CQKPieceWriter::throwPendingError() {
    if (m_error)
        std::rethrow_exception(m_error);
}

void CQKPieceWriter::writePiece(std::size_t index, std::size_t len) {
    const std::uint8_t* data = m_buffers[index].data();
    m_crc = static_cast<std::uint32_t>(::crc32(m_crc, data, static_cast<uInt>(len)));
    m_file->write(data, len);
}

// After an error the rest of the file's pieces are dropped unwritten: the file is refused.
void CQKPieceWriter::writerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const auto [index, len] = m_queue.front();
        m_queue.pop_front();
        if (!m_drop && !m_error) {
            lock.unlock();
            std::exception_ptr error;
            try {
                writePiece(index, len);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !m_drop)
                m_error = error;
        }
        --m_busy;
        m_changed.notify_all();
    }
}
