// The receiver's reading of the transfer protocol, apart from any socket or file.
//
// The receiving connection reads bytes and hands each read to consume(), which moves the
// conversation state and tells what the read was: a header, a piece of file data, a
// finished frame, the finished-all frame or a stray data frame. Malformed frames and codes
// the receiver does not handle raise ReceivingStatusException; nothing is read outside the
// bytes given. The class holds no resources, so it can be driven by a fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/qk_protocol.h"

extern const char* const QK_ERROR_MALFORMED_FINISHED_ALL;

class CQKFrameReader {
public:
    // finished_all_error: the refusal of a finished-all frame followed by more bytes, which
    // differs between the console server and the service; null for the console's text.
    explicit CQKFrameReader(const char* finished_all_error = nullptr)
        : m_finished_all_error(finished_all_error ? finished_all_error
                                                  : QK_ERROR_MALFORMED_FINISHED_ALL) {}

    enum class Event {
        Header,       // header() holds the announced file; a status is owed
        Data,         // the read is file content; dataComplete() tells whether it ends the file
        Finished,     // checkSum() holds the sender's CRC-32; a status is owed
        FinishedAll,  // the end of the conversation; a status is owed
        StrayData,    // a data frame while no file is due: nothing to do, no status
        Window,       // the sender offers files in flight: window() holds its frame
    };

    // The conversation state: the code table's QK_FILE_SEND_FNO_STATUS, QK_FILE_SEND_FHEADER,
    // QK_SEND_FILE_FDATA, QK_SEND_FILE_FFINISHED or QK_SEND_FILE_FFINISHED_ALL.
    qk_code_t state() const { return m_recv_data; }
    // True when the next read begins with a code byte (no file content is due).
    bool expectsFrame() const;
    // How many bytes the next read may take into a buffer of capacity bytes: never more than
    // the content still due, so a read of file data never swallows the finished frame behind
    // it; a whole frame buffer (QK_BUFFER_SIZE) when a frame is due.
    std::size_t readSize(std::size_t capacity) const;
    // How frames are read off the connection. Gathered (a classic sender, who waits for a
    // status after each frame): a frame is what one read brings, gathered to its length when
    // the network split it. Exact (a windowed sender, whose frames follow one another): each
    // frame is read to its exact length.
    enum class Framing { Gathered, Exact };
    // Total bytes the frame beginning with data (len bytes read so far) needs: 3 while a
    // header's total_size has not arrived, then 1 + total_size (a resumable header, Exact
    // only: QK_RESUMABLE_HEADER_PREFIX + total_size); 5 for a finished frame, 1 for the
    // finished-all frame, QK_WINDOW_FRAME_SIZE for a window frame, len for any other code
    // (refused anyway). Gathered, never less than len. A caller gathers a frame split by the
    // network until it has that many bytes.
    static std::size_t frameLength(const std::uint8_t* data, std::size_t len,
                                   Framing framing = Framing::Gathered);

    // Resumable headers are taken from now on (the receiver granted resume); without it
    // their code is unknown.
    void allowResumableHeaders() { m_resume = true; }
    // The content of the file just announced starts at offset (<= its size): the bytes before
    // it are held already, or none are due at all when offset is the size.
    void startContentAt(std::uint64_t offset);

    // Interprets one read of len >= 1 bytes. Throws ReceivingStatusException with the
    // receiver's texts for a malformed frame or an unexpected code.
    Event consume(const std::uint8_t* data, std::size_t len);

    const QKRelayHeader& header() const { return m_header; }
    const QKWindowFrame& window() const { return m_window; }
    // For the last header: whether it was resumable, and its source's tag.
    bool resumable() const { return m_resumable; }
    const std::uint8_t* sourceTag() const { return m_source_tag; }
    std::uint32_t checkSum() const { return m_check_sum; }
    std::uint64_t receivedSize() const { return m_curr_size; }
    bool dataComplete() const { return m_curr_size == m_header.file_size; }
    bool fileInProgress() const { return m_file_in_progress; }

private:
    Event consumeFrame(const std::uint8_t* data, std::size_t len);
    Event consumeData(std::size_t len);

    qk_code_t m_recv_data = QK_FILE_SEND_FNO_STATUS;
    QKRelayHeader m_header;
    std::uint64_t m_curr_size = 0;
    std::uint32_t m_check_sum = 0;
    bool m_file_in_progress = false;
    bool m_first_frame = true;  // a window frame is taken only as the first frame
    bool m_resume = false;
    bool m_resumable = false;
    std::uint8_t m_source_tag[QK_SOURCE_TAG_SIZE] = {};
    QKWindowFrame m_window;
    const char* m_finished_all_error;
};

// Texts of the malformed-frame refusals.
extern const char* const QK_ERROR_MALFORMED_FILE_FRAME;

// Checks of the names a header brings, so that nothing is written outside the incoming
// directory. A file name must be a single component: not empty, not "." or "..", no "/".
bool qk_is_safe_file_name(const std::string& name);
// Turns the sender's sub-directory ("\\" or "/" between components) into a relative path
// with "/" separators. False for an absolute path or a ".." component; empty and "."
// components are dropped.
bool qk_normalise_sub_dir(const std::string& sub_dir, std::string& normalised);
