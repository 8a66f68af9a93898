// The windowed conversation: files in flight. The sender offers it with a window frame
// right after the greeting and goes on without waiting; the receiver answers with its bounds
// (and, when it grants them, its resume terms and how long it keeps the connection), read
// with the first statuses. Until then QK_WINDOW_INITIAL_FILES files may be in flight; a file
// that might go resumable waits for the answer. Each status settles the oldest file in
// flight; a refusal does not end the connection. A resumable file's offset frame comes ahead
// of the statuses still owed, which settle their files as they come.
//
// Failures, each failing the attempt: an answer that is no window frame (0x7F there is a
// receiver that refused the offer as older versions do: readRefusalOfOffer), a malformed
// window frame or resume terms, a status other than 0x00 or 0x7F, an offset beyond the file,
// no byte within the time limit (for a resumed file's status the limit grows with the bytes
// the receiver reads back from its disk, at 16 MiB/s).
//
// Threads: one sender's thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "transfer/CQKConversation.h"
#include "transfer/CQKInFlight.h"

class CQKWindowedConversation : public CQKConversation {
public:
    using CQKConversation::CQKConversation;

    // Sends the offer: files in flight, resume, and while the sender asks for it the keeping
    // of the connection (for at most 65535 seconds).
    void offer(const QKLogTag& tag);

    void send(const QKLogTag& tag, SQKSentFile file) override;
    void drain(const QKLogTag& tag) override;
    bool finish(const QKLogTag& tag) override;
    void abandon(const QKLogTag& tag) noexcept override;
    bool readRefusalOfOffer() noexcept override;
    std::chrono::seconds keptFor() const override;

private:
    void transfer(const QKLogTag& tag, SQKSentFile& file);
    void makeRoom(const QKLogTag& tag, std::uint64_t size);
    bool takeAnswers(const QKLogTag& tag, bool wait);
    bool nextByte(std::uint8_t& byte, bool wait);
    Poco::Timespan answerTimeout() const;
    void readAnswer(const QKLogTag& tag, std::uint8_t first);
    void readResumeTerms();
    void awaitAnswer(const QKLogTag& tag);
    void settleOldest(const QKLogTag& tag, std::uint8_t status);
    bool isResumable(const QKLogTag& tag, std::uint64_t file_size);
    std::uint64_t awaitResumeOffset(const QKLogTag& tag, std::uint64_t file_size);

    CQKInFlight m_in_flight;
    std::chrono::seconds m_keep_granted{0};  // the keeping of the connection granted
    bool m_answered = false;                 // the receiver's window frame has come
    bool m_heard = false;                    // the first byte where the answer is due came
    bool m_refused = false;                  // and it refused the offer the way older receivers do
    std::uint64_t m_resume_min_size = 0;     // resume granted: files this big go resumable
};
