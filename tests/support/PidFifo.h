// A daemon started with a FIFO in its pid file's place blocks in its start until somebody
// reads the pid it writes there: tests hold a service in "starting" that way.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// Reads the pid a daemon writes into the FIFO (waiting at most 10 s), which lets it go on
// with its start; 0 when none came.
inline pid_t read_pid_from_fifo(const std::string& fifo_path) {
    const int fifo = ::open(fifo_path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fifo < 0)
        return 0;
    pollfd ready = {fifo, POLLIN, 0};
    char text[32] = {};
    const bool written = ::poll(&ready, 1, 10000) == 1 && ::read(fifo, text, sizeof(text) - 1) > 0;
    ::close(fifo);
    return written ? std::atoi(text) : 0;
}
