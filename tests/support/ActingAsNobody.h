// Acts as the unprivileged account "nobody" (uid 65534) for the object's lifetime: root reads
// and writes anything, so what an account of its own may not do is tried as nobody. The
// effective uid is the whole process's: every thread acts as nobody meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

struct ActingAsNobody {
    ActingAsNobody() : acting(::seteuid(65534) == 0) {}
    ~ActingAsNobody() {
        if (acting) {
            EXPECT_EQ(::seteuid(0), 0);
        }
    }
    ActingAsNobody(const ActingAsNobody&) = delete;
    ActingAsNobody& operator=(const ActingAsNobody&) = delete;
    const bool acting;
};
