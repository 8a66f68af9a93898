// Receiver addresses: which values a sender takes, and the host it resolves for each.
#include <gtest/gtest.h>

#include <string>

#include "base/qk_host_address.h"

TEST(HostAddressTest, TakesHostNamesAndAddressLiteralsOnly) {
    const std::string label63(63, 'a');
    const std::string name253 =
        label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    const char* const accepted[] = {
        "localhost",
        "localhost.localdomain",
        "rx",
        "rx.corp.internal",
        "relay.example.org.",
        "a-1.b2",
        "1host.example",
        "0.0.0.0",
        "192.0.2.1",
        "255.255.255.255",
        "::1",
        "[::1]",
        "2001:db8::7",
        "::ffff:192.0.2.1",
    };
    for (const char* value : accepted)
        EXPECT_TRUE(qk_is_server_address(value)) << value;
    EXPECT_TRUE(qk_is_server_address(label63 + ".example"));
    EXPECT_TRUE(qk_is_server_address(name253));

    const char* const refused[] = {
        "",
        ".",
        "a..b",
        ".a",
        "-rx",
        "rx-",
        "rx.-a",
        "under_score",
        "rx.example org",
        "256.1.1.1",
        "1.2.3",
        "1.2.3.4.5",
        "010.0.0.1",
        "10.0.0.1.",
        "1.2.3.-4",
        "[::1",
        "::1]",
        "[]",
        "[192.0.2.1]",
        "[rx]",
        ":::1",
        "fe80::1%eth0",
        "rx:5000",
    };
    for (const char* value : refused)
        EXPECT_FALSE(qk_is_server_address(value)) << value;
    EXPECT_FALSE(qk_is_server_address(std::string(64, 'a') + ".example"));
    EXPECT_FALSE(qk_is_server_address(name253 + "b"));
    EXPECT_FALSE(qk_is_server_address(std::string("::1\0x", 5)));

    EXPECT_EQ(qk_server_host("[::1]"), "::1");
    EXPECT_EQ(qk_server_host("::1"), "::1");
    EXPECT_EQ(qk_server_host("relay.example.org"), "relay.example.org");
}
