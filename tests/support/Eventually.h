// Waiting in a test for what another thread, process or peer brings about.
#pragma once

#include <chrono>
#include <thread>

// True once condition() holds, polled every 10 ms; false when it still does not hold after
// limit. The default limit is generous: a busy machine may be slow, and a test asserts what
// happens, not how fast.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}
