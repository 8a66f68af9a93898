// A scripted peer that plays the receiving side of the transfer protocol on a loopback address.
//
// It listens on an ephemeral port and serves one connection at a time on its own thread:
// it greets, records every byte it receives, follows the frames (header, file data,
// finished, finished-all) and answers each step as scripted: status 0x00 unless told
// otherwise, another status, silence, closing the connection, or a status after which it
// reads nothing more (deaf: a receiver gone behind a relay that keeps the connection; it
// holds the connection until another one waits). Like a real receiver it closes the
// connection after any status 0x7F, after the finished-all status, and after a frame it
// cannot follow (answered 0x7F as an older receiver answers a window frame, unless told
// otherwise; flagged as a protocol error). Frames split by the network are gathered before
// they are interpreted.
//
// With a TLS context it listens with TLS and expects the client's certificate name.
//
// Threads: every public function may be called from any thread; accessors return copies.
#pragma once

#include <Poco/Net/Context.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/qk_protocol.h"

// Keeps the senders of a test to the classic conversation that FakeReceiver speaks, so that
// the test sees only the connections it makes: a sender that offers files in flight has its
// first connection to a classic receiver refused at the offer, and then falls back.
class ClassicSenders {
public:
    ClassicSenders() { ::setenv("QK_RELAY_FILES_IN_FLIGHT", "off", 1); }
    ~ClassicSenders() { ::unsetenv("QK_RELAY_FILES_IN_FLIGHT"); }
    ClassicSenders(const ClassicSenders&) = delete;
    ClassicSenders& operator=(const ClassicSenders&) = delete;
};

class FakeReceiver {
public:
    enum class Step { Greeting, Header, Finished, FinishedAll };

    struct Answer {
        enum Kind { Status, Silent, Close, Deaf };
        Kind kind = Status;
        qk_code_t status = QK_SEND_FILE_FOK;
    };
    static Answer status(qk_code_t code) { return {Answer::Status, code}; }
    static Answer silent() { return {Answer::Silent, QK_SEND_FILE_FOK}; }
    static Answer close() { return {Answer::Close, QK_SEND_FILE_FOK}; }
    static Answer deaf(qk_code_t code = QK_SEND_FILE_FOK) { return {Answer::Deaf, code}; }

    struct File {
        QKRelayHeader header;
        std::string content;    // the data bytes received after the header
        std::uint32_t crc = 0;  // from the finished frame
        bool finished = false;  // a finished frame arrived
    };
    struct Connection {
        std::vector<std::uint8_t> bytes;  // everything received, in order
        std::vector<File> files;
        bool finished_all = false;
        bool protocol_error = false;
        bool closed = false;
    };
    // What the script is asked about. count: how many steps of this kind came before, over
    // all connections. file: the file the step belongs to (Header, Finished), else null.
    struct Event {
        Step step;
        std::size_t connection;
        std::size_t count;
        const File* file;
    };
    // Runs on the serving thread before the answer goes out, so it may inspect or change
    // files while the sender waits.
    using Script = std::function<Answer(const Event&)>;

    // Starts listening on host (a literal address) and serving, plain or, given a server
    // context, with TLS. Throws Poco's network exceptions when it cannot listen.
    explicit FakeReceiver(Poco::Net::Context::Ptr tls_context = nullptr,
                          const std::string& host = "127.0.0.1");
    // Stops serving, closing an open connection, and joins the thread.
    ~FakeReceiver();
    FakeReceiver(const FakeReceiver&) = delete;
    FakeReceiver& operator=(const FakeReceiver&) = delete;

    std::uint16_t port() const { return m_port; }

    // The answer to every step of this kind, unless a script is set.
    void setAnswer(Step step, Answer answer);
    void setScript(Script script);
    // The answer to a frame it cannot follow, before it closes: status 0x7F by default;
    // another status, or close() for none.
    void setRefusal(Answer answer);

    std::vector<Connection> connections() const;
    // The files of all connections, in order of arrival.
    std::vector<File> files() const;
    // Waits until count connections have ended; false on time-out.
    bool waitForClosed(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void run();
    void serve(Poco::Net::StreamSocket& socket, std::size_t index);
    bool consume(Poco::Net::StreamSocket& socket, std::size_t index);
    bool consumeHeader(Poco::Net::StreamSocket& socket, std::size_t index);
    bool consumeFinished(Poco::Net::StreamSocket& socket, std::size_t index);
    Answer answer(Poco::Net::StreamSocket& socket, Step step, std::size_t index);
    static bool keepsConnection(const Answer& reply);
    bool refuse(Poco::Net::StreamSocket& socket, std::size_t index);
    void holdDeaf();
    Answer decide(Step step, std::size_t index);
    std::size_t addConnection();
    void endConnection(std::size_t index);

    Poco::Net::ServerSocket m_server;
    bool m_tls = false;
    std::uint16_t m_port = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_closed_changed;
    std::vector<Connection> m_connections;
    std::map<Step, Answer> m_answers;
    std::map<Step, std::size_t> m_counts;
    Script m_script;
    Answer m_refusal = status(QK_SEND_FILE_FERROR);

    // Parsing state of the connection being served; touched by the serving thread only.
    std::vector<std::uint8_t> m_pending;
    std::uint64_t m_data_due = 0;
    bool m_deaf = false;

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
