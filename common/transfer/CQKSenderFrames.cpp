// The frames of the transfer protocol as a sender writes them.
#include "transfer/CQKSenderFrames.h"

#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/SHA2Engine.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "base/CQKReadLease.h"
#include "base/qk_bounded.h"
#include "base/qk_crc32.h"
#include "protocol/qk_exceptions.h"
#include "transfer/CQKPieceReader.h"
#include "transfer/CQKProgress.h"
#include "transfer/CQKSenderSocket.h"

namespace {

constexpr const char* QK_NO_STATUS_TEXT = "Error receiving of the status...";

// On the wire sub-directory components are separated by "\\".
std::string wire_sub_dir(std::string sub_dir) {
    std::replace(sub_dir.begin(), sub_dir.end(), '/', '\\');
    return sub_dir;
}

// This machine, for source tags: the same device and inode numbers on two client machines
// name different files.
const std::string& machine_identity() {
    static const std::string identity = [] {
        std::string text;
        for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
            std::FILE* file = std::fopen(path, "r");
            if (file == nullptr)
                continue;
            char line[128] = {};
            if (std::fgets(line, sizeof(line), file) != nullptr)
                text = line;
            std::fclose(file);
            if (!text.empty())
                return text;
        }
        char host[256] = {};
        ::gethostname(host, sizeof(host) - 1);
        return std::string(host);
    }();
    return identity;
}

// The source tag of a resumable header: a SHA-256 of the machine and of the opened file's
// device, inode, size and modification and change times. Any write changes the times, a
// replaced file the inode; the change time cannot be set back from user space.
void source_tag(const struct stat& opened, std::uint8_t* out) {
    Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_256);
    engine.update(machine_identity());
    const std::int64_t fields[] = {static_cast<std::int64_t>(opened.st_dev),
                                   static_cast<std::int64_t>(opened.st_ino),
                                   static_cast<std::int64_t>(opened.st_size),
                                   static_cast<std::int64_t>(opened.st_mtim.tv_sec),
                                   static_cast<std::int64_t>(opened.st_mtim.tv_nsec),
                                   static_cast<std::int64_t>(opened.st_ctim.tv_sec),
                                   static_cast<std::int64_t>(opened.st_ctim.tv_nsec)};
    engine.update(fields, sizeof(fields));
    const Poco::DigestEngine::Digest& digest = engine.digest();
    std::copy(digest.begin(), digest.begin() + QK_SOURCE_TAG_SIZE, out);
}

}  // namespace

CQKSenderFrames::CQKSenderFrames(CQKSenderSocket& socket, const char* class_name,
                                 const Poco::Timespan& timeout)
    : m_socket(socket),
      m_class_name(class_name),
      m_timeout(timeout),
      m_frame_buffer(QK_BUFFER_SIZE),
      m_header_buffer(QK_BUFFER_SIZE) {}

QKLogTag CQKSenderFrames::makeTag(const char* operation) const {
    return qk_make_tag((std::string(m_class_name) + "::" + operation).c_str());
}

void CQKSenderFrames::sendFrame(qk_code_t code, const std::uint8_t* data, std::int32_t size,
                                bool poll_synch) {
    const QKLogTag tag = makeTag("sendData()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s::sendData() code = %02X size = %d", m_class_name, code,
                size);
    m_frame_buffer[0] = code;
    std::size_t length = 1;
    if (size > 0) {
        if (qk_memcpy_s(m_frame_buffer.data() + 1, m_frame_buffer.size() - 1, data,
                        static_cast<std::size_t>(size)) != QK_EOK) {
            log_message(LOG_LEVEL_ERROR, &tag, "sendData Error: size = %d", size);
            throw Poco::Exception("sendData Error: size = " + std::to_string(size));
        }
        length += static_cast<std::size_t>(size);
    }
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). start...");
    log_message(LOG_LEVEL_TRACE, &tag, "poll_synch = %d", poll_synch ? 1 : 0);
    if (poll_synch && !m_socket.awaitWritable(m_timeout)) {
        log_message(LOG_LEVEL_ERROR, &tag, "%s", QK_NO_STATUS_TEXT);
        throw SockWriteStatusException(QK_NO_STATUS_TEXT);
    }
    const std::size_t sent = m_socket.sendAll(m_frame_buffer.data(), length, m_timeout);
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d length = %d",
                static_cast<int>(sent), static_cast<int>(length));
    if (sent != length) {
        log_message(LOG_LEVEL_ERROR, &tag, "sendBytes Error: bytes = %d length = %d",
                    static_cast<int>(sent), static_cast<int>(length));
        throw SendingDataException("sendBytes Error: bytes = " + std::to_string(sent) +
                                   " length = " + std::to_string(length));
    }
    log_message(LOG_LEVEL_TRACE, &tag, "send Ok...");
    print_code(&code, 1, LOG_LEVEL_TRACE);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_result = %d", QK_SEND_FILE_FOK);
}

void CQKSenderFrames::sendRaw(const std::uint8_t* data, std::int32_t size) {
    const QKLogTag tag = makeTag("sendData()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s::sendData() size = %d", m_class_name, size);
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). start...");
    log_message(LOG_LEVEL_TRACE, &tag, "no poll_synch");
    const std::size_t length = size > 0 ? static_cast<std::size_t>(size) : 0;
    const std::size_t sent = m_socket.sendAll(data, length, m_timeout);
    log_message(LOG_LEVEL_TRACE, &tag, "sendBytes: bytes sent = %d size = %d",
                static_cast<int>(sent), size);
    if (sent != length) {
        log_message(LOG_LEVEL_ERROR, &tag, "sendBytes Error: bytes = %d size = %d",
                    static_cast<int>(sent), size);
        throw SendingDataException("sendBytes Error: bytes = " + std::to_string(sent) +
                                   " size = " + std::to_string(size));
    }
    log_message(LOG_LEVEL_TRACE, &tag, "send Ok...");
    log_message(LOG_LEVEL_TRACE, &tag, "Client.select (send). end...");
    log_message(LOG_LEVEL_TRACE, &tag, "m_curr_result = %d", QK_SEND_FILE_FOK);
}

void CQKSenderFrames::sendHeader(const QKLogTag& tag, const std::string& file_path,
                                 const std::string& sub_dir, std::uint64_t file_size) {
    const std::size_t record_size = buildHeader(tag, m_header_buffer.data(), m_header_buffer.size(),
                                                file_path, sub_dir, file_size);
    sendFrame(QK_FILE_SEND_FHEADER, m_header_buffer.data(), static_cast<std::int32_t>(record_size),
              true);
}

// The source's tag: a digest of what changes whenever the content may have, taken from the
// descriptor the content is read through. A receiver holding partial content under another
// tag starts the file from its first byte.
void CQKSenderFrames::sendResumableHeader(const QKLogTag& tag, const CQKReadLease& source,
                                          const std::string& file_path, const std::string& sub_dir,
                                          std::uint64_t file_size) {
    std::uint8_t* const frame = m_header_buffer.data();
    source_tag(source.opened(), frame);
    const std::size_t record_size =
        buildHeader(tag, frame + QK_SOURCE_TAG_SIZE, m_header_buffer.size() - QK_SOURCE_TAG_SIZE,
                    file_path, sub_dir, file_size);
    sendFrame(QK_FILE_SEND_FRHEADER, frame,
              static_cast<std::int32_t>(QK_SOURCE_TAG_SIZE + record_size), true);
}

std::size_t CQKSenderFrames::buildHeader(const QKLogTag& tag, std::uint8_t* buffer,
                                         std::size_t capacity, const std::string& file_path,
                                         const std::string& sub_dir, std::uint64_t file_size) {
    QKRelayHeader header;
    header.file_size = file_size;
    header.file_name = Poco::Path(file_path).getFileName();
    header.sub_dir = wire_sub_dir(sub_dir);
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FNAME file_name = %s",
                header.file_name.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FSUBDIR sub_dir = %s", sub_dir.c_str());
    log_message(LOG_LEVEL_TRACE, &tag, "QK_SEND_FILE_FSIZE file_size = %" PRIu64, file_size);
    return qk_build_header(buffer, capacity, header);
}

// Sends exactly file_size bytes, read ahead in pieces on the reader's thread, and returns
// their CRC-32. The file must deliver every announced byte and nothing beyond: a shorter,
// failing or grown file throws before the finished frame, so the receiver never confirms a
// partial copy and the file stays to be sent again.
std::uint32_t CQKSenderFrames::sendContent(const QKLogTag& tag, const CQKReadLease& source,
                                           const std::string& file_path, std::uint64_t file_size,
                                           std::uint64_t held) {
    CQKProgressFile progress(file_path, file_size);  // the console's progress line, if shown
    m_reader.begin(source, file_path, file_size);
    try {
        for (std::uint64_t offset = 0; offset < file_size;) {
            const CQKPieceReader::Piece piece = m_reader.next();
            // What the receiver holds already counts in the checksum only; it ends anywhere
            // in a piece.
            const std::size_t held_here =
                offset >= held
                    ? 0
                    : static_cast<std::size_t>(std::min<std::uint64_t>(held - offset, piece.size));
            progress.skip(held_here);
            offset += piece.size;
            if (held_here == piece.size)
                continue;
            log_message(LOG_LEVEL_TRACE, &tag, "sendData: QK_SEND_FILE_FDATA ------- >>");
            sendRaw(piece.data + held_here, static_cast<std::int32_t>(piece.size - held_here));
            log_message(LOG_LEVEL_TRACE, &tag, "sendData: QK_SEND_FILE_FDATA ------- <<");
            progress.add(piece.size - held_here);
        }
    } catch (...) {
        m_reader.abandon();  // no read may outlive this call: the source may go with it
        throw;
    }
    const std::uint32_t check_sum = m_reader.finish();
    std::uint8_t beyond = 0;
    const long more = source.readAt(&beyond, 1, file_size);
    if (more < 0)
        throw Poco::ReadFileException("File: " + file_path + " can't be read. Error...");
    std::uint64_t size_now = 0;
    if (more > 0 || !source.currentSize(size_now) || size_now != file_size)
        throw Poco::IOException("File: " + file_path + " has been changed while sending. Error...");
    return check_sum;  // 0 for no content
}

void CQKSenderFrames::sendFinished(const QKLogTag& tag, std::uint32_t crc,
                                   std::uint64_t file_size) {
    std::uint8_t check_sum[4];
    log_message(LOG_LEVEL_TRACE, &tag, "check_sum: %08X", crc);
    qk_put_u32(check_sum, crc);
    sendFrame(QK_SEND_FILE_FFINISHED, check_sum, sizeof(check_sum), file_size == 0);
}

void CQKSenderFrames::sendWindowOffer(const QKWindowFrame& offer) {
    std::uint8_t frame[QK_WINDOW_FRAME_SIZE];
    qk_build_window(frame, offer);
    sendFrame(frame[0], frame + 1, static_cast<std::int32_t>(sizeof(frame) - 1), true);
}
