// The conversation a sender holds with its receiver on one connection, after the greeting:
// the classic one (each step of a file waits for its status, a refusal ends the connection)
// or the windowed one (files in flight, one status per file in their order). The sender
// chooses one at the start of each connection and speaks only through it; both read every
// byte the receiver sends through the one CQKStatusReader and write through CQKSenderFrames.
//
// A conversation settles each file it sends through its owner: acknowledged (the owner
// backs it up and removes it) or refused (it stays). Failures throw, as the frames and the
// reader do; a refusal is never a failure.
//
// Threads: one sender's thread.
#pragma once

#include <Poco/Exception.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <string>

#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKInFlight.h"

class CQKSenderFrames;
class CQKSenderSocket;
class CQKStatusReader;

// What a conversation asks of the sender that holds it.
class CQKConversationOwner {
public:
    virtual ~CQKConversationOwner() = default;
    // Waits at most the time limit for one status: returns on expected, throws
    // FileRefusedException for 0x7F, and another exception for anything else.
    virtual void recvStatus(qk_code_t expected) = 0;
    // The receiver has the file on stable storage under its name.
    virtual void fileAcknowledged(const QKLogTag& tag, const SQKSentFile& file) = 0;
    // The receiver refused the file for reason; ends_connection when it closes the
    // connection after the refusal (the next file goes on a new one).
    virtual void fileRefused(const QKLogTag& tag, const SQKSentFile& file,
                             const std::string& reason, bool ends_connection) = 0;
};

// The sender's parts a conversation works with.
struct SQKConversationParts {
    CQKConversationOwner& owner;
    CQKSenderSocket& socket;
    CQKStatusReader& reader;
    CQKSenderFrames& frames;
    const Poco::Timespan& timeout;     // the sender's readiness time-out
    const std::chrono::seconds& keep;  // how long the sender asks the connection kept (0: not)
};

class CQKConversation {
public:
    explicit CQKConversation(const SQKConversationParts& parts) : m_parts(parts) {}
    virtual ~CQKConversation() = default;
    CQKConversation(const CQKConversation&) = delete;
    CQKConversation& operator=(const CQKConversation&) = delete;

    // Sends file (its lease opened, its size the one announced) and settles it, or puts it
    // in flight to be settled by a later status. Never sends more or fewer bytes than the
    // header announces: a file that cannot be read whole or changes on the way throws before
    // its finished frame. The transfer's failures are passed on as plain Poco::Exception.
    virtual void send(const QKLogTag& tag, SQKSentFile file) = 0;
    // Waits for the status of every file sent and settles them.
    virtual void drain(const QKLogTag& tag) = 0;
    // Ends the conversation: the finished-all frame and its status. False, with nothing sent,
    // when the receiver keeps the connection for the next run.
    virtual bool finish(const QKLogTag& tag) = 0;
    // After a failure of the attempt: settles the files whose statuses have arrived and
    // forgets the others (they stay, to be sent again). Never throws.
    virtual void abandon(const QKLogTag& tag) noexcept = 0;
    // After a failure of the attempt: reads what has arrived, and true when the receiver
    // refused the conversation the way older receivers refuse the offer of files in flight.
    virtual bool readRefusalOfOffer() noexcept { return false; }
    // How long the receiver grants to keep the connection open and idle after a run (0: not
    // at all); kept while the sender still asks for it.
    virtual std::chrono::seconds keptFor() const { return std::chrono::seconds(0); }

protected:
    // Runs a file's transfer: a refusal is passed on as it is, any other Poco::Exception as a
    // plain one with its message (a message-less network exception keeps its name).
    template <class Transfer>
    static void transferPlainly(const Transfer& transfer);
    // Logs the start of a file's transfer; throws when its descriptor no longer answers.
    void beginTransfer(const QKLogTag& tag, const SQKSentFile& file) const;

    SQKConversationParts m_parts;
};

template <class Transfer>
void CQKConversation::transferPlainly(const Transfer& transfer) {
    try {
        transfer();
    } catch (const FileRefusedException&) {
        throw;
    } catch (const Poco::Exception& e) {
        throw Poco::Exception(e.message().empty() ? e.displayText() : e.message());
    }
}

// The classic conversation: header, its status, content, finished frame, its status; a
// refusal at either status ends the connection.
class CQKClassicConversation : public CQKConversation {
public:
    using CQKConversation::CQKConversation;
    void send(const QKLogTag& tag, SQKSentFile file) override;
    void drain(const QKLogTag&) override {}
    bool finish(const QKLogTag& tag) override;
    void abandon(const QKLogTag&) noexcept override {}

private:
    void awaitAcceptance(const char* refused_step);
};
