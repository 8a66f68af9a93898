// Runs the streams of a sending run side by side.
#include "transfer/CQKStreamRunner.h"

#include <exception>
#include <thread>
#include <vector>

namespace {

// Joins the threads it holds when it goes, also when starting a later one threw.
struct SQKJoiner {
    std::vector<std::thread> threads;
    ~SQKJoiner() {
        for (std::thread& thread : threads)
            thread.join();
    }
};

}  // namespace

bool CQKStreamRunner::run(std::size_t count, const Part& part) {
    if (count == 1)
        return part(0);
    std::vector<char> delivered(count, 0);
    std::vector<std::exception_ptr> errors(count);
    {
        SQKJoiner joiner;
        for (std::size_t index = 0; index < count; ++index) {
            joiner.threads.emplace_back([&part, &delivered, &errors, index] {
                try {
                    delivered[index] = part(index) ? 1 : 0;
                } catch (...) {
                    errors[index] = std::current_exception();
                }
            });
        }
    }
    for (const std::exception_ptr& error : errors) {
        if (error)
            std::rethrow_exception(error);
    }
    for (const char done : delivered) {
        if (!done)
            return false;
    }
    return true;
}
