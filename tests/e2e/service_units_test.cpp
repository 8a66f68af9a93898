// The services' systemd units, as staged by the build, pass systemd's own analyser (systemd
// does not run here; its analyser does).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ProgramRunner.h"

namespace {

TEST(E2eServiceUnits, PassTheSystemdAnalyser) {
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    for (const char* service : {"qk_relay_srvsvc", "qk_relay_clnsvc"}) {
        const std::string unit =
            ProgramRunner::stageDir() + "/lib/systemd/system/" + service + ".service";
        EXPECT_EQ(std::system(("systemd-analyze verify '" + unit + "'").c_str()), 0) << unit;
    }
}

}  // namespace
