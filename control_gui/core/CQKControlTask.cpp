#include "CQKControlTask.h"

#include "CQKConfigControl.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"

namespace {

constexpr const char* kOpen = "------------------------------------------ >>";
constexpr const char* kClose = "------------------------------------------ <<";

QKLogTag tag_of(const char* name) {
    QKLogTag tag = qk_make_tag(name);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", name);
    return tag;
}

int code_of(const std::unique_ptr<SQKConfigCodeCtrl>& request) {
    return request ? request->config_code_ctrl : 0;
}

}  // namespace

CQKControlTask::CQKControlTask() : Poco::Task("CQKControlTask") {}

void CQKControlTask::addConfgCodeCtrl(std::unique_ptr<SQKConfigCodeCtrl> request) {
    QKLogTag tag = tag_of("CQKControlTask::addConfgCodeCtrl()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s", kOpen);
    log_message(LOG_LEVEL_TRACE, &tag, "Add ctrl = %d", code_of(request));
    {
        Poco::Mutex::ScopedLock lock(m_sync_mtx);
        m_ctrls.push_back(std::move(request));
        log_message(LOG_LEVEL_TRACE, &tag, "m_ctrls.size() = %d", static_cast<int>(m_ctrls.size()));
        log_message(LOG_LEVEL_TRACE, &tag, "m_not_empty_event.set()");
        m_not_empty_event.set();
    }
    log_message(LOG_LEVEL_TRACE, &tag, "%s", kClose);
}

void CQKControlTask::cancel() {
    QKLogTag tag = tag_of("CQKControlTask::cancel()");
    log_message(LOG_LEVEL_TRACE, &tag, "Poco::Task::cancel()");
    Poco::Task::cancel();
    log_message(LOG_LEVEL_TRACE, &tag, "m_not_empty_event.set()");
    m_not_empty_event.set();
}

std::unique_ptr<SQKConfigCodeCtrl> CQKControlTask::takeFront() {
    QKLogTag tag = qk_make_tag("CQKControlTask::runTask()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s", kOpen);
    log_message(LOG_LEVEL_TRACE, &tag, "m_sync_mtx.lock()");
    std::unique_ptr<SQKConfigCodeCtrl> request;
    {
        Poco::Mutex::ScopedLock lock(m_sync_mtx);
        if (!m_ctrls.empty()) {
            request = std::move(m_ctrls.front());
            m_ctrls.pop_front();
        }
        log_message(LOG_LEVEL_TRACE, &tag, "Get ctrl = %d", code_of(request));
        log_message(LOG_LEVEL_TRACE, &tag, "m_ctrls.size() = %d", static_cast<int>(m_ctrls.size()));
    }
    log_message(LOG_LEVEL_TRACE, &tag, "m_sync_mtx.unlock()");
    return request;
}

void CQKControlTask::rearmEvent() {
    QKLogTag tag = qk_make_tag("CQKControlTask::runTask()");
    log_message(LOG_LEVEL_TRACE, &tag, "m_sync_mtx.lock()");
    {
        Poco::Mutex::ScopedLock lock(m_sync_mtx);
        log_message(LOG_LEVEL_TRACE, &tag, "m_ctrls.size() = %d", static_cast<int>(m_ctrls.size()));
        if (!m_ctrls.empty()) {
            log_message(LOG_LEVEL_TRACE, &tag, "m_ctrls.empty() == false");
            m_not_empty_event.set();
            log_message(LOG_LEVEL_TRACE, &tag, "m_not_empty_event.set()");
        } else {
            log_message(LOG_LEVEL_TRACE, &tag, "m_ctrls.empty() == true");
            m_not_empty_event.reset();
            log_message(LOG_LEVEL_TRACE, &tag, "m_not_empty_event.reset()");
        }
    }
    log_message(LOG_LEVEL_TRACE, &tag, "m_sync_mtx.unlock()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s", kClose);
}

void CQKControlTask::runTask() {
    QKLogTag tag = tag_of("CQKControlTask::runTask()");
    while (!isCancelled()) {
        log_message(LOG_LEVEL_TRACE, &tag, "m_not_empty_event.wait() - start");
        m_not_empty_event.wait();
        log_message(LOG_LEVEL_TRACE, &tag, "m_not_empty_event.wait() - ok");
        if (isCancelled())
            break;
        std::unique_ptr<SQKConfigCodeCtrl> request = takeFront();
        log_message(LOG_LEVEL_TRACE, &tag, "Processing of the ctrl = %d", code_of(request));
        // A reply that no window took is not needed here.
        qk_run_reporting(&tag, [&request] {
            CQKConfigControl::instance().procConfigCodeCtrl(std::move(request));
        });
        rearmEvent();
    }
    // Requests still queued are destroyed with the task.
    log_message(LOG_LEVEL_TRACE, &tag, "isCancelled() == true");
    log_message(LOG_LEVEL_TRACE, &tag, "finished...");
}
