// The scripted receiving peer: accept loop, frame following and scripted answers.
#include "FakeReceiver.h"

#include <Poco/Exception.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <sys/socket.h>

#include <algorithm>

#include "transfer/qk_tls.h"

namespace {

// How often the serving thread looks at the stop flag while it waits.
const Poco::Timespan kPollInterval(0, 20 * 1000);

Poco::Net::ServerSocket listen_on(const std::string& host, Poco::Net::Context::Ptr tls_context) {
    const Poco::Net::SocketAddress address(host, 0);
    if (tls_context.isNull())
        return Poco::Net::ServerSocket(address);
    return Poco::Net::SecureServerSocket(address, 64, tls_context);
}

std::size_t record_size(const std::vector<std::uint8_t>& frame) {
    return static_cast<std::size_t>(frame[1] | (frame[2] << 8));
}

}  // namespace

FakeReceiver::FakeReceiver(Poco::Net::Context::Ptr tls_context, const std::string& host)
    : m_server(listen_on(host, tls_context)), m_tls(!tls_context.isNull()) {
    m_port = m_server.address().port();
    m_thread = std::thread([this] { run(); });
}

FakeReceiver::~FakeReceiver() {
    m_stop = true;
    m_thread.join();
}

void FakeReceiver::setAnswer(Step step, Answer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[step] = answer;
}

void FakeReceiver::setScript(Script script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
}

void FakeReceiver::setRefusal(Answer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refusal = answer;
}

std::vector<FakeReceiver::Connection> FakeReceiver::connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

std::vector<FakeReceiver::File> FakeReceiver::files() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<File> all;
    for (const Connection& connection : m_connections)
        all.insert(all.end(), connection.files.begin(), connection.files.end());
    return all;
}

bool FakeReceiver::waitForClosed(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_closed_changed.wait_for(lock, timeout, [&] {
        return std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& c) {
                   return c.closed;
               }) >= static_cast<std::ptrdiff_t>(count);
    });
}

void FakeReceiver::run() {
    while (!m_stop) {
        try {
            if (!m_server.poll(kPollInterval, Poco::Net::Socket::SELECT_READ))
                continue;
            Poco::Net::StreamSocket socket = m_server.acceptConnection();
            // The handshake runs at the greeting and checks the client's certificate name.
            if (m_tls)
                Poco::Net::SecureStreamSocket(socket).setPeerHostName(QK_TLS_CLIENT_NAME);
            const std::size_t index = addConnection();
            try {
                serve(socket, index);
            } catch (const Poco::Exception&) {
                // A reset by the sender ends the connection like a close.
            }
            socket.close();
            endConnection(index);
        } catch (const Poco::Exception&) {
            // A failed accept: keep serving.
        }
    }
}

void FakeReceiver::serve(Poco::Net::StreamSocket& socket, std::size_t index) {
    m_pending.clear();
    m_data_due = 0;
    m_deaf = false;
    if (!keepsConnection(answer(socket, Step::Greeting, index)))
        return;
    std::vector<std::uint8_t> buffer(QK_BUFFER_SIZE);
    while (!m_stop) {
        if (m_deaf) {
            holdDeaf();
            return;
        }
        // TLS may hold decrypted bytes that the socket no longer shows as readable.
        if (socket.available() <= 0 && !socket.poll(kPollInterval, Poco::Net::Socket::SELECT_READ))
            continue;
        const int received = socket.receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
        if (received <= 0)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::vector<std::uint8_t>& bytes = m_connections[index].bytes;
            bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + received);
        }
        m_pending.insert(m_pending.end(), buffer.begin(), buffer.begin() + received);
        if (!consume(socket, index))
            return;
    }
}

// Interprets the pending bytes as far as they go; false when the connection must end.
bool FakeReceiver::consume(Poco::Net::StreamSocket& socket, std::size_t index) {
    while (!m_pending.empty() && !m_deaf) {
        if (m_data_due > 0) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_data_due, m_pending.size()));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_connections[index].files.back().content.append(
                    m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(take));
            }
            m_pending.erase(m_pending.begin(),
                            m_pending.begin() + static_cast<std::ptrdiff_t>(take));
            m_data_due -= take;
            continue;
        }
        switch (m_pending[0]) {
            case QK_FILE_SEND_FHEADER:
                if (m_pending.size() < 3 || m_pending.size() < 1 + record_size(m_pending))
                    return true;
                if (!consumeHeader(socket, index))
                    return false;
                break;
            case QK_SEND_FILE_FFINISHED:
                if (m_pending.size() < QK_FINISHED_FRAME_SIZE)
                    return true;
                if (!consumeFinished(socket, index))
                    return false;
                break;
            case QK_SEND_FILE_FFINISHED_ALL:
                m_pending.erase(m_pending.begin());
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_connections[index].finished_all = true;
                }
                // After the finished-all status the receiver ends the conversation.
                if (answer(socket, Step::FinishedAll, index).kind != Answer::Silent)
                    return false;
                break;
            default:
                return refuse(socket, index);
        }
    }
    return true;
}

bool FakeReceiver::consumeHeader(Poco::Net::StreamSocket& socket, std::size_t index) {
    const std::size_t length = 1 + record_size(m_pending);
    File file;
    if (!qk_read_header(m_pending.data() + 1, length - 1, file.header))
        return refuse(socket, index);
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(length));
    m_data_due = file.header.file_size;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections[index].files.push_back(file);
    }
    return keepsConnection(answer(socket, Step::Header, index));
}

bool FakeReceiver::consumeFinished(Poco::Net::StreamSocket& socket, std::size_t index) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<File>& files = m_connections[index].files;
        if (!files.empty() && !files.back().finished) {
            files.back().crc = qk_get_u32(m_pending.data() + 1);
            files.back().finished = true;
        } else {
            m_connections[index].protocol_error = true;
        }
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + QK_FINISHED_FRAME_SIZE);
    return keepsConnection(answer(socket, Step::Finished, index));
}

bool FakeReceiver::refuse(Poco::Net::StreamSocket& socket, std::size_t index) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections[index].protocol_error = true;
    }
    Answer refusal;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        refusal = m_refusal;
    }
    if (refusal.kind == Answer::Status)
        socket.sendBytes(&refusal.status, 1, MSG_NOSIGNAL);
    return false;
}

// Reads nothing until another connection waits to be served, or the receiver stops.
void FakeReceiver::holdDeaf() {
    while (!m_stop && !m_server.poll(kPollInterval, Poco::Net::Socket::SELECT_READ)) {
    }
}

// Sends the scripted answer to this step and returns it.
FakeReceiver::Answer FakeReceiver::answer(Poco::Net::StreamSocket& socket, Step step,
                                          std::size_t index) {
    const Answer reply = decide(step, index);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts[step];
    }
    if (reply.kind == Answer::Status || reply.kind == Answer::Deaf)
        socket.sendBytes(&reply.status, 1, MSG_NOSIGNAL);
    m_deaf = m_deaf || reply.kind == Answer::Deaf;
    return reply;
}

// A closed connection ends, and so does one after a status 0x7F.
bool FakeReceiver::keepsConnection(const Answer& reply) {
    return reply.kind == Answer::Silent || reply.kind == Answer::Deaf ||
           (reply.kind == Answer::Status && reply.status != QK_SEND_FILE_FERROR);
}

FakeReceiver::Answer FakeReceiver::decide(Step step, std::size_t index) {
    Script script;
    Event event{step, index, 0, nullptr};
    File file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_script) {
            auto it = m_answers.find(step);
            return it == m_answers.end() ? Answer() : it->second;
        }
        script = m_script;
        event.count = m_counts[step];
        const std::vector<File>& files = m_connections[index].files;
        if ((step == Step::Header || step == Step::Finished) && !files.empty()) {
            file = files.back();
            event.file = &file;
        }
    }
    return script(event);
}

std::size_t FakeReceiver::addConnection() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.emplace_back();
    return m_connections.size() - 1;
}

void FakeReceiver::endConnection(std::size_t index) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections[index].closed = true;
    }
    m_closed_changed.notify_all();
}
