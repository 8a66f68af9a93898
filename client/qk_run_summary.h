// The end of a sending run as a script sees it: its exit code, and the summary line or JSON
// object on standard output.
#pragma once

#include <string>

#include "CQKRunTally.h"

// Exit codes of a run beyond 0 (and 1 and 74, which start-up failures get).
constexpr int QK_EXIT_REFUSED = 65;      // the receiver refused files; nothing else went wrong
constexpr int QK_EXIT_NOT_REACHED = 69;  // no attempt got as far as the receiver's greeting
constexpr int QK_EXIT_FILES_LEFT = 75;   // reached, yet files stay for another cause

struct SQKRunOutcome {
    SQKRunCounts counts;
    double seconds = 0;
    bool failed = false;  // the sender's result: not every file found was delivered
    int stop_signal = 0;  // the signal that stopped the run, 0 for none
};

// The one place where a run's outcome becomes its exit code. When several causes apply the
// first of these wins: a stop by signal n (128 + n, as the process then ends by it), the
// receiver not reached, files left, files refused.
int qk_run_exit_code(const SQKRunOutcome& outcome);
// "Summary: 24 files (1.2 MiB) sent in 0.8 s (1.5 MiB/s); 0 refused, 0 left, 0 B resumed"
std::string qk_summary_line(const SQKRunOutcome& outcome);
// The same as one JSON object on one line, with receiver_reached and exit_code besides.
std::string qk_summary_json(const SQKRunOutcome& outcome);
