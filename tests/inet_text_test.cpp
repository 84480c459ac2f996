// IPv6 address and endpoint texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "InetText.h"

namespace {

struct Address {
    std::uint8_t bytes[16];
};

Address Parse(const char* text) {
    Address a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.bytes), 1) << text;
    return a;
}

TEST(Ipv6Text, FollowsTheRecommendedTextForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"2001:0db8:0000:0000:0000:0000:0000:0005", "2001:db8::5"},      // leading zeros, longest run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                // one zero group stays "0"
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},                   // equal runs: the first
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},                         // the longer run, though later
        {"2001:DB8::ABCD", "2001:db8::abcd"},                            // lower case
        {"fe80::1a:2bff:fe3c:4d5e", "fe80::1a:2bff:fe3c:4d5e"},
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        {"1:0:0:0:0:0:0:0", "1::"},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1"},                         // mapped: dotted IPv4 part
        {"::ffff:0:0", "::ffff:0.0.0.0"},
        {"::1.2.3.4", "::102:304"},                                      // the old compatible form is not kept
        {"::ffff:1:2", "::ffff:0.1.0.2"},
        {"0:0:0:0:0:fffe:102:304", "::fffe:102:304"},                    // not mapped
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Ipv6Text(Parse(in).bytes), out) << in;
}

TEST(Ipv6Text, EndpointsCarryTheZoneOfLinkScopedAddressesOnly) {
    struct Case {
        const char* address;
        std::uint32_t scope;
        unsigned port;
        const char* zone;
        const char* text;
    };
    const Case cases[] = {
        {"::", 0, 22, "", "[::]:22"},
        {"::ffff:127.0.0.1", 0, 8080, "", "[::ffff:127.0.0.1]:8080"},
        {"fe80::1", 2, 546, "eth0", "[fe80::1%eth0]:546"},
        {"fe80::1", 7, 546, "", "[fe80::1%7]:546"},     // no name known: the number
        {"fe80::1", 0, 546, "eth0", "[fe80::1]:546"},   // no scope id: no zone
        {"ff02::1:2", 3, 547, "br0", "[ff02::1:2%br0]:547"},
        {"2001:db8::5", 3, 443, "eth0", "[2001:db8::5]:443"},  // a global address has no zone
        {"::1", 0, 0, "", "[::1]:0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ipv6Endpoint(Parse(c.address).bytes, c.scope, c.port, c.zone), c.text) << c.address;
}

TEST(Ipv6Text, ScopeNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"::", "unspecified"},   {"::1", "host"},        {"fe80::1", "link"},    {"febf::1", "link"},
        {"fec0::1", "site"},     {"fd00::1", "unique-local"}, {"fc00::1", "unique-local"},
        {"ff02::1", "multicast"}, {"2001:db8::5", "global"}, {"::ffff:10.0.0.1", "global"},
    };
    for (const auto& [in, out] : cases) EXPECT_STREQ(Ipv6ScopeName(Parse(in).bytes), out) << in;
}

}  // namespace
