// Makes a file or directory immutable for the object's lifetime: it still opens for reading,
// but no account, root included, may remove, rename or write it, nor create anything in a
// directory so marked. What as root only a flag can refuse is tried this way; the destructor
// lifts the flag, so a failing test leaves nothing behind. set() is false where the file
// system does not allow it.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <utility>

class Immutable {
public:
    explicit Immutable(std::string path) : m_path(std::move(path)) { m_set = flag(true); }
    ~Immutable() { release(); }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;

    void release() {
        if (m_set)
            m_set = !flag(false);
    }
    bool set() const { return m_set; }

private:
    bool flag(bool on) const {
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int flags = 0;
        bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return done;
    }
    std::string m_path;
    bool m_set = false;
};
