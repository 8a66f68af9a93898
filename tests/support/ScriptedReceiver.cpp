// The scripted windowed receiver: accept loop, the script's steps, recording.
#include "ScriptedReceiver.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>

#include <algorithm>

namespace {

const Poco::Timespan kPollInterval(0, 20 * 1000);

}  // namespace

ScriptedReceiver::Bytes ScriptedReceiver::windowAnswer(std::uint16_t files,
                                                       std::uint16_t features) {
    QKWindowFrame frame;
    frame.features = features;
    frame.files = files;
    frame.bytes = 1ull << 30;
    Bytes bytes(QK_WINDOW_FRAME_SIZE);
    qk_build_window(bytes.data(), frame);
    return bytes;
}

ScriptedReceiver::Bytes ScriptedReceiver::resumeTerms(std::uint64_t min_size) {
    Bytes bytes(QK_RESUME_TERMS_SIZE);
    qk_build_resume_terms(bytes.data(), min_size);
    return bytes;
}

ScriptedReceiver::Bytes ScriptedReceiver::resumeOffset(std::uint64_t offset) {
    Bytes bytes(QK_RESUME_OFFSET_SIZE);
    qk_build_resume_offset(bytes.data(), offset);
    return bytes;
}

ScriptedReceiver::ScriptedReceiver(std::vector<Step> script)
    : m_script(std::move(script)), m_server(Poco::Net::SocketAddress("127.0.0.1", 0)) {
    m_port = m_server.address().port();
    m_thread = std::thread([this] { run(); });
}

ScriptedReceiver::~ScriptedReceiver() {
    m_stop = true;
    m_thread.join();
}

std::vector<ScriptedReceiver::Connection> ScriptedReceiver::connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

bool ScriptedReceiver::waitForClosed(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_closed_changed.wait_for(lock, timeout, [&] {
        return std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& c) {
                   return c.closed;
               }) >= static_cast<std::ptrdiff_t>(count);
    });
}

void ScriptedReceiver::run() {
    while (!m_stop) {
        try {
            if (!m_server.poll(kPollInterval, Poco::Net::Socket::SELECT_READ))
                continue;
            Poco::Net::StreamSocket socket = m_server.acceptConnection();
            std::size_t index = 0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                index = m_connections.size();
                m_connections.emplace_back();
            }
            try {
                serve(socket, index);
            } catch (const Poco::Exception&) {
                // A reset by the sender ends the connection like a close.
            }
            socket.close();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections[index].closed = true;
            m_closed_changed.notify_all();
        } catch (const Poco::Exception&) {
            // A failed accept: keep serving.
        }
    }
}

void ScriptedReceiver::serve(Poco::Net::StreamSocket& socket, std::size_t index) {
    const std::uint8_t greeting = QK_SEND_FILE_FOK;
    socket.sendBytes(&greeting, 1);
    Bytes first;
    if (!readExactly(socket, first, QK_WINDOW_FRAME_SIZE))
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections[index].offered = first[0] == QK_FILE_SEND_FWINDOW;
    }
    for (const Step& step : m_script) {
        Bytes bytes;
        bool open = true;
        switch (step.kind) {
            case Step::Send:
                socket.sendBytes(step.bytes.data(), static_cast<int>(step.bytes.size()));
                break;
            case Step::ReadHeader:
                open = readHeader(socket, index);
                break;
            case Step::Read:
                open = readExactly(socket, bytes, step.count);
                record(index, bytes);
                break;
            case Step::Pause:
                std::this_thread::sleep_for(step.pause);
                break;
        }
        if (!open || m_stop)
            return;
    }
    Bytes rest;
    while (!m_stop && readExactly(socket, rest, 1))
        record(index, rest);
}

// Reads count bytes, polling so that a stop is seen; false when the sender closed first.
bool ScriptedReceiver::readExactly(Poco::Net::StreamSocket& socket, Bytes& bytes,
                                   std::size_t count) {
    bytes.resize(count);
    std::size_t done = 0;
    while (done < count) {
        if (m_stop)
            return false;
        if (!socket.poll(kPollInterval, Poco::Net::Socket::SELECT_READ))
            continue;
        const int received =
            socket.receiveBytes(bytes.data() + done, static_cast<int>(count - done));
        if (received <= 0)
            return false;
        done += static_cast<std::size_t>(received);
    }
    return true;
}

// A header frame: its code, for a resumable one the source's tag, then the record, whose
// first two bytes give its size.
bool ScriptedReceiver::readHeader(Poco::Net::StreamSocket& socket, std::size_t index) {
    Bytes code;
    Bytes tag;
    Bytes size;
    Bytes rest;
    if (!readExactly(socket, code, 1) ||
        (code[0] == QK_FILE_SEND_FRHEADER && !readExactly(socket, tag, QK_SOURCE_TAG_SIZE)) ||
        !readExactly(socket, size, 2))
        return false;
    const std::size_t total = size[0] | (static_cast<std::size_t>(size[1]) << 8);
    if (total < 2 || !readExactly(socket, rest, total - 2))
        return false;
    Bytes record = size;
    record.insert(record.end(), rest.begin(), rest.end());
    QKRelayHeader header;
    qk_read_header(record.data(), record.size(), header);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections[index].headers.push_back(header);
    m_connections[index].after_headers.clear();
    return true;
}

void ScriptedReceiver::record(std::size_t index, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Bytes& after = m_connections[index].after_headers;
    after.insert(after.end(), bytes.begin(), bytes.end());
}
