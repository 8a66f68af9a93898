// The id of a process that has exited and been reaped: a pid that names no live process (until
// the system hands it out again, which takes a full turn of the pid space).
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

inline pid_t exited_process_id() {
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}
