// The GUI log: short activity lines for the window's log pane, posted to the registered
// mailbox. Any thread may call; without a registered window a line is dropped.
#pragma once

#include <atomic>
#include <string>

#include "CQKGuiMailbox.h"

class CQKGuiLog {
public:
    static CQKGuiLog& instance();

    // The window registers before its tasks start and unregisters (nullptr) after they end.
    void setWindow(CQKGuiMailbox* window) { m_window = window; }

    // A UTF-8 text, cut to 511 characters. False when no window is registered.
    bool addLogMessage(const std::string& text);
    // A UTF-8 printf format, formatted into at most 511 bytes. False when no window is
    // registered or formatting fails.
    bool addLogMessageFrmt(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    CQKGuiLog() = default;
    bool post(const std::string& text);

    std::atomic<CQKGuiMailbox*> m_window{nullptr};
};
