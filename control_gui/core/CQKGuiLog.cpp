#include "CQKGuiLog.h"

#include <Poco/UnicodeConverter.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>

#include "base/qk_log.h"

namespace {

// Copies text into field, cut so that the terminator always fits.
template <std::size_t N>
void put_utf16(char16_t (&field)[N], const std::string& text) {
    Poco::UTF16String wide;
    Poco::UnicodeConverter::toUTF16(text, wide);
    std::size_t i = 0;
    for (; i < wide.size() && i + 1 < N; ++i)
        field[i] = static_cast<char16_t>(wide[i]);
    field[i] = 0;
}

std::string time_text() {
    timespec now{};
    tm local{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || ::localtime_r(&now.tv_sec, &local) == nullptr)
        return std::string();
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

}  // namespace

CQKGuiLog& CQKGuiLog::instance() {
    static CQKGuiLog* log = new CQKGuiLog;  // lives until the process ends
    return *log;
}

bool CQKGuiLog::post(const std::string& text) {
    CQKGuiMailbox* window = m_window.load();
    if (window == nullptr)
        return false;
    SQKGuiMessage message;
    message.code = WM_ADD_GUI_LOG_MESSAGE;
    message.line = std::make_unique<SQKGuiLogLine>();
    put_utf16(message.line->m_time, time_text());
    put_utf16(message.line->m_message, text);
    window->post(std::move(message));
    return true;
}

bool CQKGuiLog::addLogMessage(const std::string& text) {
    QKLogTag tag = qk_make_tag("CQKGuiLog::addLogMessage()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s", tag.name);
    return post(text);
}

bool CQKGuiLog::addLogMessageFrmt(const char* format, ...) {
    QKLogTag tag = qk_make_tag("CQKGuiLog::addLogMessageFrmt()");
    log_message(LOG_LEVEL_TRACE, &tag, "%s", tag.name);
    if (m_window.load() == nullptr)
        return false;
    char text[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (length < 0)
        return false;
    return post(text);
}
