// DHCP leases and per-link DNS servers: the parsers of networkd's,
// NetworkManager's and dhclient's files on files as those programs write
// them and on damaged ones, and the finders on a fixture tree copied to a
// temporary directory, where the test sets the modification times that git
// does not keep.
#include "Leases.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace provider {

// Readable failures: the lease as its fields.
void PrintTo(const DhcpLease& lease, std::ostream* out) {
    *out << "{" << lease.address << ", server \"" << lease.server << "\", obtained " << lease.obtained << ", expires "
         << lease.expires << "}";
}

bool operator==(const DhcpLease& a, const DhcpLease& b) {
    return a.address == b.address && a.server == b.server && a.obtained == b.obtained && a.expires == b.expires;
}

}  // namespace provider

namespace {

namespace fs = std::filesystem;
using provider::DhcpLease;
using provider::kLeaseNeverExpires;

std::string ReadFixture(const std::string& name) {
    const std::string path = std::string(FIXTURE_DIR) + "/leases/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << "cannot open " << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

constexpr std::int64_t kWritten = 1796810400;  // 2026-12-09 10:00:00 UTC

// ------------------------------------------------------------ networkd and NetworkManager lease files

enum class Writer { Networkd, NetworkManager };

struct KeyValueLeaseCase {
    const char* file;
    Writer writer;
    std::optional<DhcpLease> expected;
};

TEST(KeyValueLeaseFiles, AsTheWritersLeaveThem) {
    const std::vector<KeyValueLeaseCase> cases = {
        // Lifetime in seconds (older systemd) and as a time span (newer).
        {"networkd-seconds.lease", Writer::Networkd,
         DhcpLease{"192.168.122.57", "192.168.122.1", kWritten, kWritten + 3600}},
        {"networkd-timespan.lease", Writer::Networkd,
         DhcpLease{"10.20.30.40", "10.20.30.2", kWritten, kWritten + 86400 + 3600 + 1800}},
        // An infinite lease in both of networkd's spellings.
        {"networkd-infinite.lease", Writer::Networkd,
         DhcpLease{"172.31.0.9", "172.31.0.1", kWritten, kLeaseNeverExpires}},
        {"networkd-infinite-seconds.lease", Writer::Networkd,
         DhcpLease{"172.31.0.9", "172.31.0.1", kWritten, kLeaseNeverExpires}},
        // No lifetime at all: no end is claimed.
        {"networkd-no-lifetime.lease", Writer::Networkd, DhcpLease{"192.168.1.105", "192.168.1.1", kWritten, kWritten}},
        {"networkd-cut-in-address.lease", Writer::Networkd, std::nullopt},
        {"networkd-garbage-lifetime.lease", Writer::Networkd, std::nullopt},
        // A bad server address costs the server, not the lease.
        {"networkd-garbage-server.lease", Writer::Networkd, DhcpLease{"192.168.122.57", "", kWritten, kWritten + 3600}},
        {"networkd-zero-filled.lease", Writer::Networkd, std::nullopt},
        // NetworkManager's current client keeps the address alone.
        {"nm-internal.lease", Writer::NetworkManager, DhcpLease{"10.42.0.17", "", kWritten, kWritten}},
        {"nm-internal-systemd-client.lease", Writer::NetworkManager,
         DhcpLease{"192.168.100.44", "192.168.100.1", kWritten, kWritten + 86400}},
        {"nm-device-state", Writer::NetworkManager, std::nullopt},
    };
    for (const KeyValueLeaseCase& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string text = ReadFixture(c.file);
        const std::optional<DhcpLease> lease = c.writer == Writer::Networkd
                                                   ? provider::ParseNetworkdLease(text, kWritten)
                                                   : provider::ParseNetworkManagerLease(text, kWritten);
        EXPECT_EQ(lease, c.expected);
    }
}

struct KeyValueTextCase {
    const char* name;
    std::string text;
    std::int64_t written;
    std::optional<DhcpLease> expected;
};

TEST(KeyValueLeaseFiles, TimesAndValues) {
    const std::string head = "# This is private data. Do not parse.\nADDRESS=10.1.2.3\nSERVER_ADDRESS=10.1.2.1\n";
    const auto lease = [](std::int64_t obtained, std::int64_t expires) {
        return DhcpLease{"10.1.2.3", "10.1.2.1", obtained, expires};
    };
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::vector<KeyValueTextCase> cases = {
        {"one second short of infinite", head + "LIFETIME=4294967294\n", kWritten,
         lease(kWritten, kWritten + 4294967294)},
        {"zero", head + "LIFETIME=0\n", kWritten, lease(kWritten, kWritten)},
        {"every unit of the span", head + "LIFETIME=1y 1month 1w 1d 1h 1min 1s 1000ms\n", kWritten,
         lease(kWritten, kWritten + 31557600 + 2629800 + 604800 + 86400 + 3600 + 60 + 1 + 1)},
        {"decimals and blanks", head + "LIFETIME=1.5h 90 s\n", kWritten, lease(kWritten, kWritten + 5400 + 90)},
        {"below a second", head + "LIFETIME=500ms\n", kWritten, lease(kWritten, kWritten)},
        {"quoted", head + "LIFETIME=\"2h\"\n", kWritten, lease(kWritten, kWritten + 7200)},
        {"before 1970", head + "LIFETIME=10\n", -1000, lease(-1000, -990)},
        {"sum past the largest time", head + "LIFETIME=3600\n", kMax - 100, std::nullopt},
        {"a lifetime past the largest time", head + "LIFETIME=9223372036854775807\n", 1, std::nullopt},
        {"a lifetime past 64 bits", head + "LIFETIME=18446744073709551616\n", kWritten, std::nullopt},
        {"a span past 64 bits", head + "LIFETIME=600000000000y\n", kWritten, std::nullopt},
        {"negative", head + "LIFETIME=-1\n", kWritten, std::nullopt},
        {"unknown unit", head + "LIFETIME=1 parsec\n", kWritten, std::nullopt},
        {"empty", head + "LIFETIME=\n", kWritten, std::nullopt},
        // Lines and keys as systemd's reader takes them.
        {"later line wins", "ADDRESS=10.9.9.9\nADDRESS=10.1.2.3\nSERVER_ADDRESS=10.1.2.1\n", kWritten,
         lease(kWritten, kWritten)},
        {"CRLF and blanks", "ADDRESS = 10.1.2.3 \r\nSERVER_ADDRESS=10.1.2.1\r\nLIFETIME=60\r\n", kWritten,
         lease(kWritten, kWritten + 60)},
        {"commented out", "#ADDRESS=10.1.2.3\n;ADDRESS=10.1.2.4\n", kWritten, std::nullopt},
        {"a longer key", "ADDRESSES=10.1.2.3\n", kWritten, std::nullopt},
        {"no newline at the end", "ADDRESS=10.1.2.3\nSERVER_ADDRESS=10.1.2.1", kWritten, lease(kWritten, kWritten)},
        // Addresses: four dotted decimals, nothing after them.
        {"NUL inside the address", std::string("ADDRESS=10.1.2.3\0.9\n", 21), kWritten, std::nullopt},
        {"leading zero", "ADDRESS=010.1.2.3\n", kWritten, std::nullopt},
        {"three parts", "ADDRESS=10.1.2\n", kWritten, std::nullopt},
        {"IPv6", "ADDRESS=2001:db8::1\n", kWritten, std::nullopt},
        {"binary", std::string("\xff\xfe\0ADDRESS\0=\x80\n=\n\n", 14), kWritten, std::nullopt},
    };
    for (const KeyValueTextCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(provider::ParseNetworkdLease(c.text, c.written), c.expected);
    }
}

// ------------------------------------------------------------ dhclient lease files

struct DhclientFileCase {
    const char* file;
    const char* interfaceName;
    std::optional<DhcpLease> expected;
};

TEST(DhclientLeases, FilesAsDhclientWritesThem) {
    const std::vector<DhclientFileCase> cases = {
        {"dhclient-eth0.leases", "eth0", DhcpLease{"192.0.2.10", "192.0.2.1", 1710196802, 1710283202}},
        {"dhclient-eth0.leases", "eth1", std::nullopt},
        {"dhclient-eth0.leases", "eth", std::nullopt},
        {"dhclient-eth0.leases", "", std::nullopt},
        {"dhclient-wlan0.leases", "wlan0", DhcpLease{"10.20.0.41", "10.20.0.1", 1715276403, 1715283603}},
        // The last block is cut short: the one before it is the newest lease.
        {"dhclient-enp0s3-cut-short.leases", "enp0s3", DhcpLease{"10.0.2.15", "10.0.2.2", 1718291031, 1718377431}},
        // Two interfaces take turns, a DHCPv6 block with nested blocks sits
        // between them, and strings and comments hold ';', '{' and '}'.
        {"dhclient-shared.leases", "eth1", DhcpLease{"198.51.100.21", "198.51.100.1", 1796810400, 1796811000}},
        {"dhclient-shared.leases", "eth0", DhcpLease{"192.0.2.77", "192.0.2.1", 1796806800, 1796810400}},
        // db-time-format local: seconds, with the local time in a comment.
        {"dhclient-epoch.leases", "enp1s0", DhcpLease{"172.16.5.23", "172.16.0.1", 1796767200, 1796810400}},
        // An infinite lease as a 64-bit dhclient dates it, and as "never".
        {"dhclient-infinite.leases", "eth0", DhcpLease{"10.9.8.7", "10.9.8.1", 1796810400, kLeaseNeverExpires}},
        {"dhclient-never.leases", "eth0", DhcpLease{"10.9.8.7", "10.9.8.1", 0, kLeaseNeverExpires}},
        // Later blocks with a bad address, date, lease time, hour, address
        // count or epoch: the last good block stands.
        {"dhclient-garbage.leases", "eth0", DhcpLease{"192.0.2.30", "192.0.2.1", 1796810400, 1796811000}},
        // Zeros where a power failure lost the end of a write, alone and
        // with a lease written after them.
        {"dhclient-zero-filled-tail.leases", "eth0", DhcpLease{"192.0.2.10", "192.0.2.1", 1710196802, 1710283202}},
        {"dhclient-zeros-then-lease.leases", "eth0", DhcpLease{"192.0.2.12", "192.0.2.1", 1710283202, 1710369602}},
    };
    for (const DhclientFileCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " for \"" + c.interfaceName + "\"");
        EXPECT_EQ(provider::ParseDhclientLeases(ReadFixture(c.file), c.interfaceName), c.expected);
    }
}

struct DhclientTextCase {
    const char* name;
    std::string text;
    const char* interfaceName;
    std::optional<DhcpLease> expected;
};

std::string Block(const std::string& interfaceLine, const std::string& body) {
    return "lease {\n  interface " + interfaceLine + ";\n  fixed-address 10.0.0.2;\n" + body + "}\n";
}

TEST(DhclientLeases, StatementsAndTimes) {
    const std::string tenMinutes = "  option dhcp-lease-time 600;\n";
    const std::string expire = "  expire 3 2026/12/09 10:10:00;\n";
    const DhcpLease plain{"10.0.0.2", "", 1796810400, 1796811000};
    const std::vector<DhclientTextCase> cases = {
        {"no lease time: the earliest time given",
         Block("\"e\"", "  renew 3 2026/12/09 10:05:00;\n  rebind 3 2026/12/09 10:08:45;\n" + expire), "e",
         DhcpLease{"10.0.0.2", "", 1796810700, 1796811000}},
        {"no lease time, expiry alone", Block("\"e\"", expire), "e", DhcpLease{"10.0.0.2", "", 1796811000, 1796811000}},
        {"weekday left out", Block("\"e\"", tenMinutes + "  expire 2026/12/09 10:10:00;\n"), "e", plain},
        {"unpadded, as BSD clients write", Block("\"e\"", tenMinutes + "  expire 3 2026/12/9 10:10:0;\n"), "e", plain},
        {"leap day", Block("\"e\"", tenMinutes + "  expire 4 2028/02/29 00:10:00;\n"), "e",
         DhcpLease{"10.0.0.2", "", 1835395200, 1835395800}},
        {"no leap day", Block("\"e\"", tenMinutes + "  expire 0 2026/02/29 00:10:00;\n"), "e", std::nullopt},
        {"no expiry", Block("\"e\"", tenMinutes), "e", std::nullopt},
        {"epoch at the largest time", Block("\"e\"", tenMinutes + "  expire epoch 9223372036854775807;\n"), "e",
         std::nullopt},
        {"epoch past 64 bits", Block("\"e\"", tenMinutes + "  expire epoch 99999999999999999999;\n"), "e",
         std::nullopt},
        {"the later statement wins", Block("\"e\"", tenMinutes + "  expire 3 2026/12/09 09:00:00;\n" + expire), "e",
         plain},
        {"escaped quote and octal in the name", Block("\"w\\\"e\\101rd;{}\"", tenMinutes + expire), "w\"eArd;{}",
         plain},
        {"name unquoted", Block("e", tenMinutes + expire), "e", std::nullopt},
        {"name cut by a newline", "lease {\n  interface \"e\n  fixed-address 10.0.0.2;\n" + tenMinutes + expire + "}\n",
         "e", std::nullopt},
        {"commented-out block",
         "# lease { interface \"e\"; fixed-address 10.0.0.9; expire never; }\n" + Block("\"e\"", tenMinutes + expire),
         "e", plain},
        {"stray closing brace first", "}\n}\n" + Block("\"e\"", tenMinutes + expire), "e", plain},
        {"open block at the end", Block("\"e\"", tenMinutes + expire) + "lease {\n", "e", plain},
        {"cut in a statement, then a new block",
         "lease {\n  interface \"e\";\n  fixed-address 10.0.0.9;\n  option dhcp-lease-ti\n" +
             Block("\"e\"", tenMinutes + expire),
         "e", plain},
        {"a lease block in another kind of block", "lease6 {\n  " + Block("\"e\"", tenMinutes + expire) + "}\n", "e",
         std::nullopt},
        {"nothing", "", "e", std::nullopt},
    };
    for (const DhclientTextCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(provider::ParseDhclientLeases(c.text, c.interfaceName), c.expected);
    }
}

// A file cut at any length yields one of the leases it holds in full, or
// none, and never a lease made of the parts of two blocks.
TEST(DhclientLeases, EveryCutOfAFile) {
    const std::string text = ReadFixture("dhclient-shared.leases");
    const std::string full = provider::ParseDhclientLeases(text, "eth1").value().address;
    const DhcpLease earlier{"198.51.100.20", "198.51.100.1", 1796810400 - 3600, 1796810400 - 3600 + 600};
    const std::size_t lastEnd = text.find("}\n", text.find("198.51.100.21")) + 1;
    for (std::size_t length = 0; length <= text.size(); ++length) {
        const std::optional<DhcpLease> lease = provider::ParseDhclientLeases(text.substr(0, length), "eth1");
        if (length >= lastEnd) {
            ASSERT_TRUE(lease.has_value()) << "cut at " << length;
            ASSERT_EQ(lease->address, full) << "cut at " << length;
        } else if (lease) {
            ASSERT_EQ(*lease, earlier) << "cut at " << length;
        }
    }
}

TEST(DhclientLeases, JunkNeitherCrashesNorYieldsALease) {
    std::mt19937 random(20261209);
    std::string junk(1 << 16, '\0');
    for (char& c : junk) c = static_cast<char>(random() & 0xffu);
    EXPECT_EQ(provider::ParseDhclientLeases(junk, "eth0"), std::nullopt);
    EXPECT_EQ(provider::ParseNetworkdLease(junk, kWritten), std::nullopt);
    EXPECT_TRUE(provider::ParseResolvedLinkDns(junk).empty());
    // Punctuation alone, nested deep, and a string that never ends.
    EXPECT_EQ(provider::ParseDhclientLeases(std::string(100000, '{') + std::string(100000, '}'), "eth0"), std::nullopt);
    EXPECT_EQ(provider::ParseDhclientLeases("lease { interface \"eth0", "eth0"), std::nullopt);
}

// ------------------------------------------------------------ per-link DNS servers

struct DnsCase {
    const char* name;
    std::string text;
    std::vector<std::string> resolved;  // from ParseResolvedLinkDns
    std::vector<std::string> networkd;  // from ParseNetworkdLinkDns
};

TEST(LinkDns, EntriesKeysAndLines) {
    std::string many = "DNS=";
    for (int i = 0; i < 100; ++i) many += "10.0." + std::to_string(i) + ".1 ";
    std::vector<std::string> first64;
    for (int i = 0; i < 64; ++i) first64.push_back("10.0." + std::to_string(i) + ".1");
    const std::vector<DnsCase> cases = {
        {"realistic resolved file", ReadFixture("root/run/systemd/resolve/netif/3"), {"192.0.2.53", "192.0.2.54"}, {}},
        {"realistic networkd file",
         ReadFixture("root/run/systemd/netif/links/4"),
         {},
         {"203.0.113.53", "203.0.113.54"}},
        {"every entry form",
         "SERVERS=192.0.2.1 192.0.2.1:53 192.0.2.1#dns.example [2001:db8::1]:53%3#dns.example 2001:db8::1 fe80::1%3 "
         "::ffff:192.0.2.9 192.0.2.2:853#dns.example 192.0.2.3%4\n"
         "DNS=192.0.2.4 2001:db8::4\n",
         {"192.0.2.1", "192.0.2.2", "192.0.2.3"},
         {"192.0.2.4"}},
        {"malformed entries",
         "SERVERS=192.0.2.256 192.0.2.5:0 192.0.2.5:65536 192.0.2.5: 192.0.2.5:53x 192.0.2.5junk 192.0.2 "
         "0x7f.0.0.1 192.0.2.5% 192.0.2.6\n",
         {"192.0.2.6"},
         {}},
        {"keys that start alike",
         "DNSSEC=192.0.2.9\nDNS_OVER_TLS=192.0.2.9\nNTP=192.0.2.9\nDNS=192.0.2.7\nSERVERS_X=192.0.2.9\n",
         {},
         {"192.0.2.7"}},
        {"later line wins", "DNS=192.0.2.1\nDNS=192.0.2.2\n", {}, {"192.0.2.2"}},
        {"quoted and tab-separated", "DNS=\"192.0.2.8\t192.0.2.9\"\n", {}, {"192.0.2.8", "192.0.2.9"}},
        {"empty value", "SERVERS=\nDNS=\n", {}, {}},
        {"at most 64", many, {}, first64},
    };
    for (const DnsCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(provider::ParseResolvedLinkDns(c.text), c.resolved);
        EXPECT_EQ(provider::ParseNetworkdLinkDns(c.text), c.networkd);
    }
}

// ------------------------------------------------------------ the finders

// The fixture tree in a temporary directory, so that modification times
// can be set and files added.
class LeaseTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "leases-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::copy(std::string(FIXTURE_DIR) + "/leases/root", root_, fs::copy_options::recursive);
        // Everything older than any lease in the tree, until a test says.
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.is_regular_file()) SetModified(entry.path().string().substr(root_.size()), 1000000000);
        }
    }
    void TearDown() override { fs::remove_all(root_); }

    void SetModified(const std::string& relative, std::int64_t seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (root_ + relative).c_str(), times, 0), 0) << relative;
    }
    void Write(const std::string& relative, const std::string& text) {
        fs::create_directories(fs::path(root_ + relative).parent_path());
        std::ofstream(root_ + relative, std::ios::binary) << text;
    }

    std::string root_;
};

const std::string kNetworkd = "/run/systemd/netif/leases/3";
const std::string kNmInternal = "/var/lib/NetworkManager/internal-6b3f8a52-1c2d-4e5f-8a9b-0c1d2e3f4a5b-eth1.lease";
const std::string kNmBridge = "/var/lib/NetworkManager/internal-0f4e8d21-9a7b-4c3d-8e2f-1a2b3c4d5e6f-br-eth1.lease";
const std::string kNmInternal6 = "/var/lib/NetworkManager/internal6-6b3f8a52-1c2d-4e5f-8a9b-0c1d2e3f4a5b-eth1.lease";

struct FindCase {
    const char* name;
    std::int64_t networkdWritten, nmWritten;
    unsigned ifindex;
    const char* ifname;
    std::vector<std::string> addresses;
    std::optional<DhcpLease> expected;
};

TEST_F(LeaseTree, FindLeaseTakesTheNewestLeaseOfTheLinksAddresses) {
    // dhclient's leases in the tree, for 198.51.100.21 on eth1, were obtained
    // at 09:00 (/var/lib/dhcp/dhclient.leases), 10:00 (NetworkManager's
    // dhclient) and 11:00 (/var/lib/dhclient); 203.0.113.5 at 12:00
    // (/var/lib/dhcp/dhclient.eth1.leases), eth0's 192.0.2.10 at 11:30.
    constexpr std::int64_t k0900 = 1796806800, k1100 = 1796814000, k1130 = 1796815800, k1200 = 1796817600,
                           k1240 = 1796820000, k1250 = 1796820600;
    const std::vector<std::string> eth1 = {"198.51.100.21"};
    const std::vector<FindCase> cases = {
        {"networkd newest", k1240, k0900, 3, "eth1", eth1, DhcpLease{"198.51.100.21", "198.51.100.1", k1240, k1250}},
        {"NetworkManager's client newest", k0900, k1240, 3, "eth1", eth1, DhcpLease{"198.51.100.21", "", k1240, k1240}},
        {"dhclient newest", k0900, k0900, 3, "eth1", eth1,
         DhcpLease{"198.51.100.21", "198.51.100.3", k1100, k1100 + 600}},
        {"only the address the link has",
         k1240,
         k1240,
         3,
         "eth1",
         {"203.0.113.5"},
         DhcpLease{"203.0.113.5", "203.0.113.1", k1200, k1200 + 600}},
        {"addresses given loosely",
         k1240,
         k0900,
         3,
         "eth1",
         {"not an address", "", "198.51.100.21"},
         DhcpLease{"198.51.100.21", "198.51.100.1", k1240, k1250}},
        {"no lease of the address", k1240, k1240, 3, "eth1", {"192.0.2.99"}, std::nullopt},
        {"no address", k1240, k1240, 3, "eth1", {}, std::nullopt},
        // Index 3's lease is of another address: another namespace's link.
        {"the index's lease of another address",
         k1240,
         k1240,
         3,
         "eth0",
         {"192.0.2.10"},
         DhcpLease{"192.0.2.10", "192.0.2.1", k1130, k1130 + 600}},
        {"by index alone", k1240, k1240, 3, "wlan7", eth1, DhcpLease{"198.51.100.21", "198.51.100.1", k1240, k1250}},
        // Names compare whole: neither the end of another name nor a pattern.
        {"a name that ends another", k0900, k0900, 0, "br-eth1", eth1, DhcpLease{"198.51.100.21", "", k1240, k1240}},
        {"a pattern for a name", k1240, k1240, 0, "*", eth1, std::nullopt},
        {"the start of a name", k1240, k1240, 0, "eth", eth1, std::nullopt},
        {"no name", k1240, k1240, 0, "", eth1, std::nullopt},
        {"a path for a name", k1240, k1240, 0, "../NetworkManager/x", eth1, std::nullopt},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetModified(kNetworkd, c.networkdWritten);
        SetModified(kNmInternal, c.nmWritten);
        // Newer than all: taken only for the name that is theirs.
        SetModified(kNmBridge, k1240);
        SetModified(kNmInternal6, k1250 + 3600);
        EXPECT_EQ(provider::FindLease(root_, c.ifindex, c.ifname, c.addresses), c.expected);
    }
}

TEST_F(LeaseTree, FindLeaseOnAMissingRoot) {
    EXPECT_EQ(provider::FindLease(root_ + "/nowhere", 3, "eth1", {"198.51.100.21"}), std::nullopt);
    EXPECT_TRUE(provider::FindLinkDnsServers(root_ + "/nowhere", 3).empty());
}

TEST_F(LeaseTree, FindLeasePassesOverWhatIsNoRegularFile) {
    // A FIFO where networkd's lease belongs would block a plain open.
    fs::remove(root_ + kNetworkd);
    ASSERT_EQ(mkfifo((root_ + kNetworkd).c_str(), 0600), 0);
    fs::remove(root_ + kNmInternal);
    fs::create_directory(root_ + kNmInternal);
    alarm(10);
    EXPECT_EQ(provider::FindLease(root_, 3, "eth1", {"198.51.100.21"}),
              (DhcpLease{"198.51.100.21", "198.51.100.3", 1796814000, 1796814600}));
    alarm(0);
}

TEST_F(LeaseTree, FindLeaseReadsTheEndOfALongDhclientFile) {
    // Two megabytes of older leases before the newest: the end is read, from
    // the first whole block in it.
    std::string text;
    for (int i = 0; text.size() < (2u << 20); ++i) {
        text +=
            "lease {\n  interface \"eth1\";\n  fixed-address 198.51.100.21;\n  option dhcp-lease-time 600;\n"
            "  option dhcp-server-identifier 198.51.100.9;\n  option domain-name \"old-" +
            std::to_string(i) + ".example.test\";\n  expire 2 2026/12/08 10:10:00;\n}\n";
    }
    text +=
        "lease {\n  interface \"eth1\";\n  fixed-address 198.51.100.21;\n  option dhcp-lease-time 600;\n"
        "  option dhcp-server-identifier 198.51.100.8;\n  expire 3 2026/12/09 13:10:00;\n}\n";
    Write("/var/lib/dhclient/dhclient-eth1.leases", text);
    EXPECT_EQ(provider::FindLease(root_, 3, "eth1", {"198.51.100.21"}),
              (DhcpLease{"198.51.100.21", "198.51.100.8", 1796821200, 1796821800}));

    // A networkd lease as long is no lease networkd wrote.
    Write(kNetworkd, std::string(2u << 20, '#') + "\nADDRESS=198.51.100.21\nLIFETIME=1y\n");
    SetModified(kNetworkd, 1796900000);
    EXPECT_EQ(provider::FindLease(root_, 3, "eth1", {"198.51.100.21"})->server, "198.51.100.8");
}

TEST_F(LeaseTree, FindLinkDnsServersPrefersResolved) {
    // Link 3: resolved's IPv4 servers, over networkd's file without any.
    EXPECT_EQ(provider::FindLinkDnsServers(root_, 3), (std::vector<std::string>{"192.0.2.53", "192.0.2.54"}));
    // Link 4: resolved knows only IPv6 servers; networkd's IPv4 ones stand.
    EXPECT_EQ(provider::FindLinkDnsServers(root_, 4), (std::vector<std::string>{"203.0.113.53", "203.0.113.54"}));
    // Link 5: networkd alone.
    EXPECT_EQ(provider::FindLinkDnsServers(root_, 5), (std::vector<std::string>{"192.0.2.153"}));
    // Link 6: neither.
    EXPECT_TRUE(provider::FindLinkDnsServers(root_, 6).empty());
    EXPECT_TRUE(provider::FindLinkDnsServers(root_, 0).empty());

    // resolved's file for link 3 with IPv4 servers beats networkd's even
    // when networkd lists some.
    Write("/run/systemd/netif/links/3", "DNS=198.51.100.1\n");
    EXPECT_EQ(provider::FindLinkDnsServers(root_, 3), (std::vector<std::string>{"192.0.2.53", "192.0.2.54"}));
    fs::remove(root_ + "/run/systemd/resolve/netif/3");
    EXPECT_EQ(provider::FindLinkDnsServers(root_, 3), (std::vector<std::string>{"198.51.100.1"}));
}

}  // namespace
