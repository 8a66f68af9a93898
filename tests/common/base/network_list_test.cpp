// Source networks: which peers a list lets in, at the edges of its prefixes (what a list
// refuses is proven with the configuration keys that take it).
#include <gtest/gtest.h>

#include "base/qk_network_list.h"

TEST(NetworkListTest, LetsInExactlyThePeersOfItsNetworks) {
    struct Case {
        const char* list;
        const char* peer;
        bool allowed;
    };
    const Case cases[] = {
        {"", "203.0.113.9", true},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"192.168.1.0/24", "192.168.1.255", true},
        {"192.168.1.0/24", "192.168.2.0", false},
        {"192.168.1.0/24", "192.168.0.255", false},
        {"10.0.0.7", "10.0.0.7", true},
        {"10.0.0.7", "10.0.0.6", false},
        {"172.16.0.0/12 10.0.0.7", "172.31.255.1", true},
        {"172.16.0.0/12,10.0.0.7", "172.32.0.1", false},
        {"127.0.0.0/8", "::1", false},
        {"fd00::/8", "fdff:1::2", true},
        {"fd00::/8", "fe00::1", false},
        {"fd42:213:77::/63", "fd42:213:77:1::9", true},
        {"fd42:213:77::/63", "fd42:213:77:2::", false},
        {"::1", "::1", true},
        {"::/0", "10.0.0.1", false},
        // A peer of IPv4 on a listener of both families is its IPv4 address.
        {"10.0.0.0/8", "::ffff:10.1.2.3", true},
        {"10.0.0.0/8", "::ffff:11.1.2.3", false},
    };
    for (const Case& c : cases) {
        CQKNetworkList list;
        ASSERT_EQ(list.assign(c.list), "") << c.list;
        EXPECT_EQ(list.allows(Poco::Net::IPAddress(c.peer)), c.allowed) << c.list << " " << c.peer;
    }
}
