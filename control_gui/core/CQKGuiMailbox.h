// The one way from the control program's worker threads to its user-interface thread.
//
// Workers post messages; each carries what it owns (a GUI-log line, a finished request), so
// ownership passes with it, and the user-interface thread takes them all at once. After
// each post the wake-up callback (if set) runs on the posting thread, outside the lock: a
// window uses it to schedule a drain on its own thread. Messages left when the mailbox is
// destroyed are freed with it.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "SQKConfigCodeCtrl.h"

class CQKStatusesTask;

// The message kinds, numbered as the window messages of the control program.
enum QKGuiMessageCode : int {
    WM_ADD_GUI_LOG_MESSAGE = 1027,
    WM_SERVICES_STATUSES = 1028,
    WM_PROC_CTRL = 1029,
};

// A GUI-log line: the local time as "hh:mm:ss.mmm" and the message, zero-terminated.
struct SQKGuiLogLine {
    char16_t m_time[32] = {};
    char16_t m_message[512] = {};
};

struct SQKGuiMessage {
    QKGuiMessageCode code = WM_ADD_GUI_LOG_MESSAGE;
    std::unique_ptr<SQKGuiLogLine> line;      // WM_ADD_GUI_LOG_MESSAGE
    std::unique_ptr<SQKConfigCodeCtrl> ctrl;  // WM_PROC_CTRL
    // WM_SERVICES_STATUSES: the poller, whose snapshot is read under its mutex. Valid while
    // the task lives: the window drains before it destroys its tasks.
    CQKStatusesTask* statuses = nullptr;
};

class CQKGuiMailbox {
public:
    void post(SQKGuiMessage message);
    std::deque<SQKGuiMessage> takeAll();
    // Set before any worker posts.
    void setWakeUp(std::function<void()> wake_up) { m_wake_up = std::move(wake_up); }

private:
    std::mutex m_mutex;
    std::deque<SQKGuiMessage> m_messages;
    std::function<void()> m_wake_up;
};
