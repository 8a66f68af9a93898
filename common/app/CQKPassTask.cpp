// The pass loop of the services' tasks.
#include "app/CQKPassTask.h"

#include <Poco/NumberParser.h>

#include <cstdlib>

#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"

namespace {

constexpr long kDefaultPeriodMs = 5000;
constexpr long kMinPeriodMs = 100;
constexpr long kMaxPeriodMs = 60000;

long pass_period_ms() {
    const char* text = std::getenv("QK_RELAY_PASS_MS");
    int value = 0;
    if (text && Poco::NumberParser::tryParse(text, value) && value >= kMinPeriodMs &&
        value <= kMaxPeriodMs)
        return value;
    return kDefaultPeriodMs;
}

}  // namespace

CQKServiceControlTask::CQKServiceControlTask(const std::string& name)
    : CQKPassTask(name), m_period_ms(pass_period_ms()) {}

void CQKPassTask::runTask() {
    const std::string tag_name = name() + "::runTask()";
    QKLogTag tag = qk_make_tag(tag_name.c_str());
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", tag_name.c_str());
    while (true) {
        runPass();
        if (isCancelled())
            break;
        try {
            waitAfterPass();
        } catch (const Poco::Exception& e) {
            qk_report_exception(&tag, e);
            cancel();
        }
    }
}

void CQKPassTask::waitAfterPass() {
    sleep(sleepMs());
}

void CQKPassTask::runPass() {
    const std::string tag_name = name() + "::runTask()";
    QKLogTag tag = qk_make_tag(tag_name.c_str());
    qk_run_reporting(&tag, [this] { pass(); });
}
