// Runs the streams of a sending run side by side and waits for all of them.
//
// A stream is one part of the run's files on a connection and a sender of its own; which
// file goes to which stream is the caller's policy. The runner owns only the threads, which
// have all ended when run returns or throws.
#pragma once

#include <cstddef>
#include <functional>

class CQKStreamRunner {
public:
    // Sends the part of one stream; true when it was all delivered.
    using Part = std::function<bool(std::size_t index)>;

    // Runs part(0) to part(count - 1): a single part on the calling thread, more each on a
    // thread of its own, and returns once every one has ended: true when every part returned
    // true. What a part throws is passed on once every part has ended (the lowest index's
    // first); when a thread cannot be started, that error is passed on once the parts already
    // started have ended.
    static bool run(std::size_t count, const Part& part);
};
