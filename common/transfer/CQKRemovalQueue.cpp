// The worker that backs up and removes acknowledged files behind the transfer.
#include "transfer/CQKRemovalQueue.h"

CQKRemovalQueue::~CQKRemovalQueue() {
    drainQuietly();
}

void CQKRemovalQueue::add(std::function<void()> work) {
    m_worker.waitPendingBelow(2);
    m_worker.throwError();
    m_worker.post(std::move(work));
}

void CQKRemovalQueue::drain() {
    m_worker.wait();
    m_worker.throwError();
}

void CQKRemovalQueue::drainQuietly() noexcept {
    try {
        drain();
    } catch (...) {
    }
}
