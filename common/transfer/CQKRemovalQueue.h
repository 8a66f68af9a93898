// The work a sender does for a file the receiver has acknowledged (its backup and removal),
// done on a thread of its own while the next file travels.
//
// Work is only ever queued after the acknowledgement, so a file is never removed before it.
// A crash between an acknowledgement and the removal leaves the file to be sent once more
// by the next run (the receiver backs up the first copy); none is lost. At most one piece of
// work waits behind the one being done: a removal slower than the transfer holds the sender
// back. drain() waits until everything queued is done and throws the first error, so a
// failed backup still fails the attempt (a file that cannot be removed is the work's own to
// report: it throws nothing); the sender drains before it ends an attempt and before it
// looks at a directory for what is left in it.
//
// Threads: one sender thread queues and drains; the worker (a CQKWorker) starts with the
// first work and ends with the object, after finishing what is queued.
#pragma once

#include <functional>

#include "base/CQKWorker.h"

class CQKRemovalQueue {
public:
    CQKRemovalQueue() = default;
    // Finishes the queued work; its errors are dropped.
    ~CQKRemovalQueue();
    CQKRemovalQueue(const CQKRemovalQueue&) = delete;
    CQKRemovalQueue& operator=(const CQKRemovalQueue&) = delete;

    // Queues work, waiting while one piece already waits; throws (once) the error of
    // earlier work instead of queueing.
    void add(std::function<void()> work);
    // Waits until all queued work is done; throws the first error of it.
    void drain();
    // drain() for a path that already fails: the error is dropped.
    void drainQuietly() noexcept;

private:
    // Work after an error still runs: each piece looks after its own file, and a file that
    // was acknowledged is best removed, whatever happened to another.
    CQKWorker m_worker{CQKWorker::AfterError::Continue, CQKWorker::AtStop::Finish};
};
