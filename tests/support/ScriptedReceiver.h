// A receiver that speaks the windowed conversation from a script, on 127.0.0.1: for the
// sender's answers to a receiver that errs or is slow, which a real listener never does.
//
// Every connection it accepts (one at a time, on its own thread) plays the same script: it
// greets with 0x00, reads the sender's first frame (a window frame when the sender offers
// files in flight), then runs the steps in order: send bytes, read one header frame (classic
// or resumable), read a number of bytes (content and finished frame), or pause. After the
// last step it reads and records whatever comes until the sender closes. A step that finds
// the connection closed ends the connection's script.
//
// Threads: every public function may be called from any thread; accessors return copies.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/qk_protocol.h"

class ScriptedReceiver {
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Step {
        enum Kind { Send, ReadHeader, Read, Pause };
        Kind kind = Send;
        Bytes bytes;                         // Send
        std::size_t count = 0;               // Read
        std::chrono::milliseconds pause{0};  // Pause
    };
    static Step send(Bytes bytes) { return {Step::Send, std::move(bytes), 0, {}}; }
    static Step readHeader() { return {Step::ReadHeader, {}, 0, {}}; }
    static Step read(std::size_t count) { return {Step::Read, {}, count, {}}; }
    static Step pause(std::chrono::milliseconds pause) { return {Step::Pause, {}, 0, pause}; }

    // The receiver's window frame granting files (and the features named), its resume terms,
    // and an offset frame.
    static Bytes windowAnswer(std::uint16_t files,
                              std::uint16_t features = QK_WINDOW_FEATURE_FILES);
    static Bytes resumeTerms(std::uint64_t min_size);
    static Bytes resumeOffset(std::uint64_t offset);

    struct Connection {
        bool offered = false;  // the sender's first frame was a window frame
        std::vector<QKRelayHeader> headers;
        Bytes after_headers;  // bytes received after the last header read
        bool closed = false;
    };

    // Starts listening and serving; throws Poco's network exceptions when it cannot listen.
    explicit ScriptedReceiver(std::vector<Step> script);
    // Stops serving, closing an open connection, and joins the thread.
    ~ScriptedReceiver();
    ScriptedReceiver(const ScriptedReceiver&) = delete;
    ScriptedReceiver& operator=(const ScriptedReceiver&) = delete;

    std::uint16_t port() const { return m_port; }
    std::vector<Connection> connections() const;
    // Waits until count connections have ended; false on time-out.
    bool waitForClosed(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void run();
    void serve(Poco::Net::StreamSocket& socket, std::size_t index);
    bool readExactly(Poco::Net::StreamSocket& socket, Bytes& bytes, std::size_t count);
    bool readHeader(Poco::Net::StreamSocket& socket, std::size_t index);
    void record(std::size_t index, const Bytes& bytes);

    const std::vector<Step> m_script;
    Poco::Net::ServerSocket m_server;
    std::uint16_t m_port = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_closed_changed;
    std::vector<Connection> m_connections;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
