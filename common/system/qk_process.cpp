// Bounded runs of helper programs with captured output.
#include "system/qk_process.h"

#include <poll.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Pipe.h>
#include <Poco/Process.h>
#include <Poco/Thread.h>

#include <algorithm>
#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads what is there; false at the end of the stream.
bool read_some(int fd, std::string& into) {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got <= 0)
        return false;
    const std::size_t room = kQKProcessOutputLimit - std::min(into.size(), kQKProcessOutputLimit);
    into.append(buffer, std::min(room, static_cast<std::size_t>(got)));
    return true;
}

// Reads both streams until both have ended; false when the deadline came first.
bool read_until_closed(Poco::Pipe& out_pipe, Poco::Pipe& err_pipe, SQKProcessResult& result,
                       Clock::time_point deadline) {
    pollfd fds[2] = {{out_pipe.readHandle(), POLLIN, 0}, {err_pipe.readHandle(), POLLIN, 0}};
    std::string* targets[2] = {&result.out, &result.err};
    int open_streams = 2;
    while (open_streams > 0) {
        const int left = remaining_ms(deadline);
        const int ready = left == 0 ? 0 : ::poll(fds, 2, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                !read_some(fds[i].fd, *targets[i])) {
                fds[i].fd = -1;  // poll skips negative descriptors
                --open_streams;
            }
        }
    }
    return true;
}

// The exit code once the process has ended before the deadline, else -1.
int wait_until(const Poco::ProcessHandle& handle, Clock::time_point deadline) {
    for (;;) {
        const int code = handle.tryWait();
        if (code != -1 || remaining_ms(deadline) == 0)
            return code;
        Poco::Thread::sleep(5);
    }
}

std::string trimmed(const std::string& text) {
    const std::size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace

std::string SQKProcessResult::message() const {
    const std::string text = trimmed(err);
    return text.empty() ? trimmed(out) : text;
}

SQKProcessResult qk_run_process(const std::string& command, const std::vector<std::string>& args,
                                std::chrono::milliseconds time_limit) {
    const Clock::time_point deadline = Clock::now() + time_limit;
    Poco::Pipe in_pipe, out_pipe, err_pipe;
    Poco::ProcessHandle handle =
        Poco::Process::launch(command, args, &in_pipe, &out_pipe, &err_pipe);
    in_pipe.close();
    SQKProcessResult result;
    const bool closed = read_until_closed(out_pipe, err_pipe, result, deadline);
    result.exit_code = closed ? wait_until(handle, deadline) : -1;
    if (result.exit_code == -1) {
        Poco::Process::kill(handle);
        handle.wait();
        throw Poco::TimeoutException(command + " did not end within " +
                                     std::to_string(time_limit.count()) + " ms");
    }
    return result;
}
