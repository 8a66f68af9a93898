// The exit code and the summary of a sending run.
#include "qk_run_summary.h"

#include <Poco/JSON/Object.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "transfer/CQKProgress.h"

namespace {

constexpr int kSignalBase = 128;

std::uint64_t bytes_per_second(const SQKRunOutcome& outcome) {
    if (outcome.seconds <= 0)
        return 0;
    return static_cast<std::uint64_t>(static_cast<double>(outcome.counts.bytes_sent) /
                                      outcome.seconds);
}

}  // namespace

int qk_run_exit_code(const SQKRunOutcome& outcome) {
    const SQKRunCounts& counts = outcome.counts;
    if (outcome.stop_signal != 0)
        return kSignalBase + outcome.stop_signal;
    if (!outcome.failed && counts.files_left == 0 && counts.files_refused == 0)
        return 0;
    if (!counts.receiver_reached)
        return QK_EXIT_NOT_REACHED;
    // A failure with nothing refused is a cause of its own: a failed backup, a directory the
    // account could not list.
    if (counts.files_left > 0 || counts.files_refused == 0)
        return QK_EXIT_FILES_LEFT;
    return QK_EXIT_REFUSED;
}

std::string qk_summary_line(const SQKRunOutcome& outcome) {
    const SQKRunCounts& counts = outcome.counts;
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f", outcome.seconds);
    const std::uint64_t rate = bytes_per_second(outcome);
    return "Summary: " + std::to_string(counts.files_sent) +
           (counts.files_sent == 1 ? " file (" : " files (") + qk_bytes_text(counts.bytes_sent) +
           ") sent in " + seconds + " s (" + qk_bytes_text(rate) + "/s); " +
           std::to_string(counts.files_refused) + " refused, " + std::to_string(counts.files_left) +
           " left, " + qk_bytes_text(counts.bytes_resumed) + " resumed";
}

std::string qk_summary_json(const SQKRunOutcome& outcome) {
    const SQKRunCounts& counts = outcome.counts;
    Poco::JSON::Object object(Poco::JSON_PRESERVE_KEY_ORDER);
    object.set("files_sent", counts.files_sent);
    object.set("bytes_sent", counts.bytes_sent);
    object.set("files_refused", counts.files_refused);
    object.set("files_left", counts.files_left);
    object.set("bytes_resumed", counts.bytes_resumed);
    object.set("seconds", std::round(outcome.seconds * 1000) / 1000);  // to the millisecond
    object.set("bytes_per_second", bytes_per_second(outcome));
    object.set("receiver_reached", counts.receiver_reached);
    object.set("exit_code", qk_run_exit_code(outcome));
    std::ostringstream out;
    object.stringify(out);
    return out.str();
}
