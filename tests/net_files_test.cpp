// Links, addresses, gateways and counts from the kernel's files: the parsers
// on a machine-root fixture and on every cut and random damage of its files,
// the provider's readers and entry points under TESSALINE_MACHINE_ROOT, and,
// in a network namespace of the test's own, the files against netlink's
// answer, and the files standing in when netlink is refused.
#include "NetFiles.h"

// clang-format off
#include <net/if.h>
// clang-format on
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ChildOutput.h"
#include "ProcFiles.h"
#include "TempDir.h"
#include "iphlpapi.h"

namespace {

namespace fs = std::filesystem;
using provider::InetAddress;
using provider::LinkRecord;

const std::string kMachine = std::string(FIXTURE_DIR) + "/machine-root";

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

std::string Text(const provider::Ipv4Address& a) {
    return std::to_string(a.index) + " " + provider::DottedQuad(a.address) + "/" + std::to_string(a.prefixLength);
}

std::string Text(const InetAddress& a) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(a.family, a.address, text, sizeof text);
    return std::to_string(a.index) + " " + text + "/" + std::to_string(a.prefixLength);
}

std::string Text(const provider::DefaultGateway& g) {
    return std::to_string(g.index) + " via " + provider::DottedQuad(g.gateway);
}

template <class T>
std::vector<std::string> Texts(const std::vector<T>& items, bool sorted = false) {
    std::vector<std::string> out;
    for (const T& item : items) out.push_back(Text(item));
    if (sorted) std::sort(out.begin(), out.end());
    return out;
}

// What a link is, without its counters, which move between two reads.
std::string Identity(const LinkRecord& l, unsigned flagMask = ~0u) {
    std::ostringstream out;
    out << l.index << " " << l.name << " type " << l.hardwareType << " flags " << std::hex << (l.flags & flagMask)
        << std::dec << " mtu " << l.mtu << " hw";
    for (const unsigned char b : l.hardwareAddress) out << " " << static_cast<unsigned>(b);
    return out.str();
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_saved = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_saved)
            setenv(m_name, m_saved->c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_saved;
};

// ---------------------------------------------------------------- roots

TEST(Roots, MachineRootMovesProcAndSysAndAProcRootStillWins) {
    unsetenv("TESSALINE_PROC_ROOT");
    unsetenv("TESSALINE_SYS_ROOT");
    unsetenv("TESSALINE_MACHINE_ROOT");
    EXPECT_EQ(provider::ProcRoot(), "/proc");
    EXPECT_EQ(provider::SysRoot(), "/sys");
    EXPECT_TRUE(provider::ReadsLocalKernel());
    EXPECT_TRUE(provider::LinksAreLocal());
    {
        ScopedEnv sys("TESSALINE_SYS_ROOT", "/fixture/sys");
        EXPECT_EQ(provider::SysRoot(), "/fixture/sys");
        EXPECT_TRUE(provider::ReadsLocalKernel());
        ScopedEnv machine("TESSALINE_MACHINE_ROOT", "/copy");
        EXPECT_EQ(provider::MachineRoot(), "/copy");
        EXPECT_EQ(provider::ProcRoot(), "/copy/proc");
        EXPECT_EQ(provider::SysRoot(), "/copy/sys");
        EXPECT_FALSE(provider::ReadsLocalKernel());
        EXPECT_FALSE(provider::LinksAreLocal());
        ScopedEnv proc("TESSALINE_PROC_ROOT", "/fixture/proc");
        EXPECT_EQ(provider::ProcRoot(), "/fixture/proc");
    }
    // A proc root alone stands for /proc's text files, not for the links.
    ScopedEnv proc("TESSALINE_PROC_ROOT", "/fixture/proc");
    EXPECT_FALSE(provider::ReadsLocalKernel());
    EXPECT_TRUE(provider::LinksAreLocal());
}

// -------------------------------------------------------------- parsers

TEST(LinkNames, OnlyNamesThatStayInTheirDirectory) {
    for (const char* good : {"lo", "eth0", "wlp0s20f3", "br-1a2b3c4d5e6f", "a", "name.with.dots", "..."})
        EXPECT_TRUE(provider::IsSafeLinkName(good)) << good;
    for (const std::string& bad : {std::string(), std::string("."), std::string(".."), std::string("../etc"),
                                   std::string("a/b"), std::string("/"), std::string(16, 'x'), std::string("eth\0", 4)})
        EXPECT_FALSE(provider::IsSafeLinkName(bad)) << bad;
}

provider::LinkAttributes Attributes(std::initializer_list<std::pair<const std::string, std::string>> values) {
    provider::LinkAttributes out;
    for (const auto& v : values) out.emplace(v.first, v.second);
    return out;
}

// The flags the kernel derives for netlink from the link's state, and what
// makes a directory no link.
TEST(LinkAttributes, FlagsAsNetlinkGivesThemAndRequiredFields) {
    struct Case {
        const char* name;
        provider::LinkAttributes attributes;
        std::optional<unsigned> flags;  // nothing: no link
    };
    const auto base = [](const char* flags, const char* operstate, const char* carrier, const char* dormant) {
        return Attributes({{"ifindex", "5\n"},
                           {"type", "1\n"},
                           {"flags", std::string(flags) + "\n"},
                           {"mtu", "1500\n"},
                           {"operstate", std::string(operstate) + "\n"},
                           {"carrier", std::string(carrier) + "\n"},
                           {"dormant", std::string(dormant) + "\n"}});
    };
    const auto with = [&base](const char* file, const char* text) {
        provider::LinkAttributes a = base("0x1003", "up", "1", "0");
        a[file] = text;
        return a;
    };
    const std::vector<Case> cases = {
        {"up with carrier", base("0x1003", "up", "1", "0"), 0x1003u | 0x40u | 0x10000u},
        {"up, state unknown", base("0x1003", "unknown", "1", "0"), 0x1003u | 0x40u | 0x10000u},
        {"up without carrier", base("0x1003", "down", "0", "0"), 0x1003u},
        {"dormant", base("0x1003", "dormant", "1", "1"), 0x1003u | 0x10000u | 0x20000u},
        {"down: nothing derived", base("0x1002", "down", "1", "1"), 0x1002u},
        {"derived bits in the file are dropped", base("0x31042", "up", "0", "0"), 0x1002u},
        {"no index", Attributes({{"type", "1"}, {"flags", "0x1"}, {"mtu", "1"}}), std::nullopt},
        {"index 0", with("ifindex", "0\n"), std::nullopt},
        {"index not a number", with("ifindex", "2x\n"), std::nullopt},
        {"flags without 0x", with("flags", "1003\n"), std::nullopt},
        {"mtu past 32 bits", with("mtu", "4294967296\n"), std::nullopt},
        {"type past 16 bits", with("type", "65536\n"), std::nullopt},
    };
    for (const Case& c : cases) {
        const auto link = provider::LinkFromAttributes("eth9", c.attributes);
        ASSERT_EQ(link.has_value(), c.flags.has_value()) << c.name;
        if (link) {
            EXPECT_EQ(link->flags, *c.flags) << c.name;
        }
    }
    // A garbled address or counter leaves that field empty, not the link.
    auto attributes = base("0x1003", "up", "1", "0");
    for (const char* address : {"52:54:00:12:34", "", "5:54:00", "52:54:00:12:34:", "zz:00", "52-54-00-12-34-56"}) {
        attributes["address"] = address;
        attributes["statistics/rx_bytes"] = "-1";
        const auto link = provider::LinkFromAttributes("eth9", attributes);
        ASSERT_TRUE(link) << address;
        EXPECT_EQ(link->hardwareAddress.size(), std::string(address) == "52:54:00:12:34" ? 5u : 0u) << address;
        EXPECT_EQ(link->stats.rx_bytes, 0u);
    }
}

TEST(FibTrie, MergedMainAndLocalTablesCountOnce) {
    const std::string table =
        "  +-- 0.0.0.0/0 3 0 5\n     |-- 0.0.0.0\n        /0 universe UNICAST\n"
        "     |-- 127.0.0.1\n        /32 host LOCAL\n     |-- 192.0.2.2\n        /32 host LOCAL\n";
    const provider::FibTrieFacts merged = provider::ParseFibTrie("Main:\n" + table + "Local:\n" + table);
    EXPECT_EQ(merged.routes, 3u);
    EXPECT_EQ(merged.localAddresses, (std::vector<std::uint32_t>{Ip("127.0.0.1"), Ip("192.0.2.2")}));
    // Tables that differ in one entry are two tables.
    const provider::FibTrieFacts apart =
        provider::ParseFibTrie("Main:\n" + table + "Local:\n" + table + "        /32 link BROADCAST\n");
    EXPECT_EQ(apart.routes, 7u);
    // An entry under no leaf, or after a garbled leaf, belongs to nothing.
    const provider::FibTrieFacts orphans = provider::ParseFibTrie(
        "Local:\n        /32 host LOCAL\n     |-- 300.1.2.3\n        /32 host LOCAL\n"
        "     |-- 1.2.3\n        /32 host LOCAL\n     |-- 10.0.0.1\n        /33 host LOCAL\n");
    EXPECT_TRUE(orphans.localAddresses.empty());
    EXPECT_EQ(orphans.routes, 0u);
}

// The on-link prefix an address falls in: the longest, then the lowest
// metric, then the lowest index; a mask with a hole names no prefix.
TEST(Ipv4Assignment, LongestPrefixThenMetricThenIndex) {
    std::vector<LinkRecord> links(3);
    links[0].index = 1, links[0].name = "lo", links[0].hardwareType = ARPHRD_LOOPBACK;
    links[1].index = 2, links[1].name = "a";
    links[2].index = 3, links[2].name = "b";
    const auto row = [](const char* name, const char* destination, const char* mask, unsigned metric) {
        provider::RouteRow r;
        r.name = name;
        r.destination = Ip(destination);
        r.mask = Ip(mask);
        r.flags = 0x1;  // RTF_UP
        r.metric = metric;
        return r;
    };
    std::vector<provider::RouteRow> routes = {
        row("a", "10.0.0.0", "255.0.0.0", 0),    row("b", "10.1.0.0", "255.255.0.0", 0),
        row("a", "10.2.0.0", "255.255.0.0", 50), row("b", "10.2.0.0", "255.255.0.0", 10),
        row("b", "10.3.0.0", "255.255.0.0", 0),  row("a", "10.3.0.0", "255.255.0.0", 0),
        row("a", "10.4.0.0", "255.0.255.0", 0),  row("nosuch", "10.5.0.0", "255.255.0.0", 0),
        row("a", "10.6.0.0", "255.255.0.0", 0),  row("b", "10.7.0.0", "255.255.0.0", 0),
    };
    routes.back().flags = 0x201;  // rejected
    routes[8].flags = 0x3;        // through a gateway: not on link
    provider::FibTrieFacts trie;
    for (const char* a : {"10.1.2.3", "10.2.0.1", "10.3.0.1", "10.4.0.1", "10.5.0.1", "10.6.0.1", "10.7.0.1",
                          "10.99.0.7", "127.0.0.1", "172.16.0.1"})
        trie.localAddresses.push_back(Ip(a));
    std::sort(trie.localAddresses.begin(), trie.localAddresses.end(),
              [](std::uint32_t x, std::uint32_t y) { return ntohl(x) < ntohl(y); });
    trie.localPrefixes = {{Ip("127.0.0.0"), 8}, {Ip("10.99.0.0"), 24}};
    EXPECT_EQ(
        Texts(provider::AssignIpv4Addresses(trie, routes, links)),
        (std::vector<std::string>{"1 10.99.0.7/24", "1 127.0.0.1/8", "2 10.3.0.1/16", "2 10.4.0.1/8", "2 10.5.0.1/8",
                                  "2 10.6.0.1/8", "2 10.7.0.1/8", "3 10.1.2.3/16", "3 10.2.0.1/16"}));
    // Without a loopback link the local prefixes belong to no link.
    links.erase(links.begin());
    for (const auto& a : provider::AssignIpv4Addresses(trie, routes, links)) EXPECT_NE(a.index, 1u) << Text(a);
}

// Every cut of every fixture file and random damage to each: no parser
// reads past its text or keeps what cannot be.
TEST(DamagedText, EveryCutAndRandomDamageIsSurvived) {
    const std::vector<std::string> files = {"proc/net/route", "proc/net/fib_trie", "proc/net/if_inet6",
                                            "proc/net/ipv6_route", "proc/net/dev"};
    std::mt19937 random(20240611);
    const auto parseAll = [](const std::string& text) {
        // Each text is handed over in a buffer of its exact size, so that
        // the sanitizer build sees any read past its end.
        const std::vector<char> exact(text.begin(), text.end());
        const std::string_view view(exact.data(), exact.size());
        for (const auto& r : provider::ParseRouteTable(view))
            EXPECT_TRUE(r.name == "*" || provider::IsSafeLinkName(r.name));
        const provider::FibTrieFacts trie = provider::ParseFibTrie(view);
        for (const auto& p : trie.localPrefixes) EXPECT_LT(p.length, 32u);
        for (const auto& a : provider::ParseIfInet6(view)) {
            EXPECT_LE(a.prefixLength, 128u);
            EXPECT_GT(a.index, 0u);
        }
        provider::CountIpv6RouteRows(view);
        for (const auto& d : provider::ParseNetDev(view)) EXPECT_TRUE(provider::IsSafeLinkName(d.name));
    };
    for (const std::string& file : files) {
        const std::string text = Slurp(kMachine + "/" + file);
        ASSERT_FALSE(text.empty()) << file;
        for (std::size_t n = 0; n <= text.size(); ++n) parseAll(text.substr(0, n));
        const std::string noise = " \t\n:/|-+.0123456789abcdefxLOCAL\xff";
        for (int round = 0; round < 300; ++round) {
            std::string damaged = text;
            for (int hits = 1 + static_cast<int>(random() % 8); hits > 0; --hits) {
                const std::size_t at = random() % damaged.size();
                switch (random() % 3) {
                    case 0: damaged[at] = noise[random() % noise.size()]; break;
                    case 1: damaged.erase(at, random() % 16); break;
                    default: damaged.insert(at, std::string(random() % 40, noise[random() % noise.size()])); break;
                }
                if (damaged.empty()) damaged = "\n";
            }
            parseAll(damaged);
        }
    }
}

TEST(DamagedText, RowsPastTheCapAreNotKept) {
    std::string text;
    const std::string row = "fe800000000000000000000000000001 02 40 20 80     eth0\n";
    text.reserve(row.size() * (provider::kMaxFileRows + 10));
    for (std::size_t i = 0; i < provider::kMaxFileRows + 10; ++i) text += row;
    EXPECT_EQ(provider::ParseIfInet6(text).size(), provider::kMaxFileRows);
}

// ------------------------------------------------ the machine-root fixture

const std::vector<std::string> kFixtureLinks = {"1 lo type 772 flags 10049 mtu 65536 hw 0 0 0 0 0 0",
                                                "2 eth0 type 1 flags 11043 mtu 1500 hw 82 84 0 18 52 86",
                                                "3 wlan0 type 1 flags 31003 mtu 1500 hw 2 17 34 51 68 85"};
const std::vector<std::string> kFixtureIpv4 = {"1 127.0.0.1/8", "2 10.20.0.5/16", "2 192.168.1.10/24",
                                               "2 192.168.1.11/24", "3 172.16.5.9/22"};
const std::vector<std::string> kFixtureIpv6 = {"1 ::1/128", "2 2001:db8::10/64", "2 fe80::5054:ff:fe12:3456/64",
                                               "3 2001:db8:1::99/64"};

TEST(MachineRoot, ReadersGiveTheMachinesLinksAddressesGatewaysAndCounts) {
    ScopedEnv machine("TESSALINE_MACHINE_ROOT", kMachine);
    provider::NetworkState state;
    ASSERT_TRUE(provider::ReadNetworkState(
        state, provider::kLinks | provider::kAddresses | provider::kGateways | provider::kQueues));
    std::vector<std::string> links;
    for (const LinkRecord& l : state.links) links.push_back(Identity(l));
    EXPECT_EQ(links, kFixtureLinks);
    ASSERT_EQ(state.links.size(), 3u);
    // eth0's own statistics; wlan0 has none, so net/dev's.
    EXPECT_EQ(state.links[1].stats.rx_bytes, 123456789012u);
    EXPECT_EQ(state.links[1].stats.rx_nohandler, 9u);
    EXPECT_EQ(state.links[2].stats.rx_bytes, 777777u);
    EXPECT_EQ(state.links[2].stats.tx_dropped, 8u);
    EXPECT_EQ(state.links[2].stats.multicast, 11u);
    EXPECT_EQ(Texts(state.addresses), kFixtureIpv4);
    EXPECT_EQ(Texts(state.gateways), (std::vector<std::string>{"2 via 192.168.1.1", "3 via 172.16.4.1"}));
    EXPECT_TRUE(state.queues.empty());

    std::vector<InetAddress> addresses;
    ASSERT_TRUE(provider::ReadInetAddresses(AF_INET, addresses));
    ASSERT_TRUE(provider::ReadInetAddresses(AF_INET6, addresses));
    std::vector<std::string> texts = Texts(addresses);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 5), kFixtureIpv4);
    EXPECT_EQ(std::vector<std::string>(texts.begin() + 5, texts.end()), kFixtureIpv6);
    // IPv6 flags are the file's: an address from a router advertisement
    // (not permanent) is told from a manual one.
    ASSERT_EQ(addresses.size(), 9u);
    EXPECT_EQ(provider::OriginsOf(addresses[6]).prefix, IpPrefixOriginManual);
    EXPECT_EQ(provider::OriginsOf(addresses[7]).suffix, IpSuffixOriginLinkLayerAddress);
    EXPECT_EQ(provider::OriginsOf(addresses[8]).prefix, IpPrefixOriginRouterAdvertisement);

    provider::RouteCounts counts;
    ASSERT_TRUE(provider::CountLinksAddressesRoutes(counts));
    EXPECT_EQ(std::make_tuple(counts.interfaces, counts.ipv4Addresses, counts.ipv4Routes),
              std::make_tuple(3u, 5u, 18u));
    provider::Ipv6Counts counts6;
    ASSERT_TRUE(provider::CountIpv6InterfacesAddressesRoutes(counts6));
    EXPECT_EQ(std::make_tuple(counts6.interfaces, counts6.addresses, counts6.routes), std::make_tuple(3u, 4u, 4u));

    const provider::DeviceDetails eth0 = provider::DeviceFromFiles("eth0", kMachine + "/sys", "");
    EXPECT_EQ(std::make_tuple(eth0.wireless, eth0.speed), std::make_tuple(false, 1000000000u));
    const provider::DeviceDetails wlan0 = provider::DeviceFromFiles("wlan0", kMachine + "/sys", "");
    EXPECT_EQ(std::make_tuple(wlan0.wireless, wlan0.speed), std::make_tuple(true, 0u));
    EXPECT_EQ(provider::DeviceFromFiles("../../../etc", kMachine + "/sys", "").speed, 0u);
}

template <class Fn>
Fn Symbol(const char* name) {
    static void* const library = dlopen(PROVIDER_DIR "/libiphlpapi.so", RTLD_NOW | RTLD_LOCAL);
    void* symbol = library != nullptr ? dlsym(library, name) : nullptr;
    Fn fn = nullptr;
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

// The entry points under a machine root: that machine's links, devices,
// addresses, gateways and resolver, and nothing of the running kernel's.
TEST(MachineRoot, EntryPointsShowTheMachine) {
    const auto getIfTable = Symbol<PFN_GetIfTable>("GetIfTable");
    const auto getAdapters = Symbol<PFN_GetAdaptersInfo>("GetAdaptersInfo");
    const auto getPerAdapter = Symbol<PFN_GetPerAdapterInfo>("GetPerAdapterInfo");
    ASSERT_TRUE(getIfTable && getAdapters && getPerAdapter) << dlerror();
    ScopedEnv machine("TESSALINE_MACHINE_ROOT", kMachine);

    ULONG size = 0;
    ASSERT_EQ(getIfTable(nullptr, &size, TRUE), ERROR_INSUFFICIENT_BUFFER);
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<PMIB_IFTABLE>(buffer.data());
    ASSERT_EQ(getIfTable(table, &size, TRUE), NO_ERROR);
    ASSERT_EQ(table->dwNumEntries, 3u);
    const MIB_IFROW& eth0 = table->table[1];
    EXPECT_EQ(eth0.dwIndex, 2u);
    EXPECT_EQ(eth0.dwSpeed, 1000000000u) << "the speed of the copy's eth0, not this machine's";
    EXPECT_EQ(eth0.dwInOctets, static_cast<DWORD>(123456789012u & 0xffffffffu));
    EXPECT_EQ(eth0.dwOperStatus, 5u);
    EXPECT_EQ(table->table[2].dwType, 71u) << "wlan0 is wireless by its phy80211";
    EXPECT_EQ(table->table[2].dwOperStatus, 2u) << "dormant: up, not running";

    size = 0;
    ASSERT_EQ(getAdapters(nullptr, &size), ERROR_BUFFER_OVERFLOW);
    buffer.assign(size, 0);
    auto* adapters = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
    ASSERT_EQ(getAdapters(adapters, &size), NO_ERROR);
    std::vector<std::string> seen;
    for (const IP_ADAPTER_INFO* a = adapters; a != nullptr; a = a->Next) {
        std::string line = std::string(a->AdapterName) + ":";
        for (const IP_ADDR_STRING* s = &a->IpAddressList; s != nullptr; s = s->Next)
            line += std::string(" ") + s->IpAddress.String + "/" + s->IpMask.String;
        for (const IP_ADDR_STRING* s = &a->GatewayList; s != nullptr; s = s->Next)
            line += std::string(" gw ") + s->IpAddress.String;
        seen.push_back(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "eth0: 10.20.0.5/255.255.0.0 192.168.1.10/255.255.255.0 192.168.1.11/255.255.255.0 gw "
                        "192.168.1.1",
                        "wlan0: 172.16.5.9/255.255.252.0 gw 172.16.4.1"}));

    size = 0;
    EXPECT_EQ(getPerAdapter(2, nullptr, &size), ERROR_BUFFER_OVERFLOW);
    buffer.assign(size, 0);
    auto* perAdapter = reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data());
    ASSERT_EQ(getPerAdapter(2, perAdapter, &size), NO_ERROR);
    ASSERT_NE(perAdapter->DnsServerList.Next, nullptr);
    EXPECT_STREQ(perAdapter->DnsServerList.IpAddress.String, "192.0.2.53");
    EXPECT_STREQ(perAdapter->DnsServerList.Next->IpAddress.String, "198.51.100.53");
    EXPECT_EQ(getPerAdapter(7, perAdapter, &size), ERROR_INVALID_PARAMETER) << "ghost0 is another namespace's";
}

// Damage to a copy of the fixture: each reader answers, or says it cannot,
// at once.
TEST(MachineRoot, DamagedCopiesNeitherHangNorLie) {
    struct Damage {
        const char* name;
        std::function<void(const fs::path&)> apply;
        bool links, ipv4, ipv6;
    };
    const auto fifo = [](const char* file) {
        return [file](const fs::path& root) {
            fs::remove(root / file);
            ASSERT_EQ(mkfifo((root / file).c_str(), 0600), 0);
        };
    };
    const auto remove = [](const char* file) { return [file](const fs::path& root) { fs::remove_all(root / file); }; };
    const std::vector<Damage> damages = {
        {"fib_trie a FIFO", fifo("proc/net/fib_trie"), true, false, true},
        {"if_inet6 a FIFO", fifo("proc/net/if_inet6"), true, true, false},
        {"an ifindex a FIFO", fifo("sys/class/net/eth0/ifindex"), true, true, true},
        {"no sys", remove("sys"), false, false, true},
        {"no route", remove("proc/net/route"), true, false, true},
        {"no net/dev: every directory a link", remove("proc/net/dev"), true, true, true},
        {"a name too long to be a link's",
         [](const fs::path& root) { fs::copy(root / "sys/class/net/eth0", root / "sys/class/net/averyverylongname0"); },
         true, true, true},
    };
    for (const Damage& d : damages) {
        TempDir copy("tessaline-net-files-");
        ASSERT_FALSE(copy.Path().empty());
        fs::copy(kMachine, copy.Path(), fs::copy_options::recursive);
        d.apply(copy.Path());
        ScopedEnv machine("TESSALINE_MACHINE_ROOT", copy.Path().string());
        provider::NetworkState state;
        EXPECT_EQ(provider::ReadNetworkState(state, provider::kLinks), d.links) << d.name;
        for (const LinkRecord& l : state.links) EXPECT_NE(l.name, "averyverylongname0") << d.name;
        std::vector<InetAddress> addresses;
        EXPECT_EQ(provider::ReadInetAddresses(AF_INET, addresses), d.ipv4) << d.name;
        EXPECT_EQ(provider::ReadInetAddresses(AF_INET6, addresses), d.ipv6) << d.name;
        if (std::string(d.name) == "no net/dev: every directory a link") {
            EXPECT_EQ(state.links.size(), 4u) << "ghost0 too, when nothing tells the namespace's links";
        }
        if (std::string(d.name) == "an ifindex a FIFO") {
            EXPECT_EQ(state.links.size(), 2u) << d.name;
        }
    }
}

// ------------------------------------- against netlink, in a namespace

// Runs `cmd` and waits for it, at most 10 s; true when it exits 0.
bool RunCommand(std::vector<std::string> cmd) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1), dup2(null, 2);
        std::vector<char*> argv;
        for (std::string& s : cmd) argv.push_back(s.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid > 0 && WaitBounded(pid, std::chrono::seconds(10)) == 0;
}

// Refuses socket(AF_NETLINK, ...) to this process from now on, as a sandbox
// would; false when the filter cannot be set.
bool RefuseNetlink() {
#if defined(__x86_64__)
    constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// One answer about the namespace, as text lines to compare.
struct Answer {
    std::vector<std::string> links, ipv4, gateways, ipv6;
    std::string counts;
    bool ok = false;
};

constexpr unsigned kKernelOnlyFlags = IFF_PROMISC | IFF_ALLMULTI;

Answer Describe(const provider::NetworkState& state, bool statesOk, const std::vector<InetAddress>& v4,
                const std::vector<InetAddress>& v6, const provider::RouteCounts& c, const provider::Ipv6Counts& c6,
                bool ok) {
    Answer a;
    a.ok = ok && statesOk;
    for (const LinkRecord& l : state.links) a.links.push_back(Identity(l, ~kKernelOnlyFlags));
    a.ipv4 = Texts(v4, true);
    a.gateways = Texts(state.gateways, true);
    a.ipv6 = Texts(v6, true);
    std::ostringstream counts;
    counts << c.interfaces << " links, " << c.ipv4Addresses << " IPv4 addresses, " << c.ipv4Routes << " IPv4 routes; "
           << c6.interfaces << " IPv6 links, " << c6.addresses << " IPv6 addresses, " << c6.routes << " IPv6 routes";
    a.counts = counts.str();
    return a;
}

// What the provider's readers answer: netlink's while it is allowed.
Answer ProviderAnswer() {
    provider::NetworkState state;
    const bool stateOk = provider::ReadNetworkState(state, provider::kLinks | provider::kGateways);
    std::vector<InetAddress> v4, v6;
    provider::RouteCounts c;
    provider::Ipv6Counts c6;
    const bool ok = provider::ReadInetAddresses(AF_INET, v4) && provider::ReadInetAddresses(AF_INET6, v6) &&
                    provider::CountLinksAddressesRoutes(c) && provider::CountIpv6InterfacesAddressesRoutes(c6);
    return Describe(state, stateOk, v4, v6, c, c6, ok);
}

Answer FilesAnswer() {
    const provider::FileRoots roots{"/proc", "/sys"};
    provider::NetworkState state;
    const bool stateOk = provider::ReadNetworkStateFromFiles(roots, state, provider::kLinks | provider::kGateways);
    std::vector<InetAddress> v4, v6;
    provider::RouteCounts c;
    provider::Ipv6Counts c6;
    const bool ok = provider::ReadInetAddressesFromFiles(roots, AF_INET, v4) &&
                    provider::ReadInetAddressesFromFiles(roots, AF_INET6, v6) &&
                    provider::CountLinksAddressesRoutesFromFiles(roots, c) && provider::CountIpv6FromFiles(roots, c6);
    return Describe(state, stateOk, v4, v6, c, c6, ok);
}

std::string Differences(const char* what, const Answer& want, const Answer& got) {
    std::ostringstream out;
    const auto list = [&out](const char* name, const std::vector<std::string>& a, const std::vector<std::string>& b) {
        if (a == b) return;
        out << "  " << name << ":\n    netlink:";
        for (const auto& s : a) out << " [" << s << "]";
        out << "\n    "
            << "other:  ";
        for (const auto& s : b) out << " [" << s << "]";
        out << "\n";
    };
    if (!got.ok) out << "  a reader failed\n";
    list("links", want.links, got.links);
    list("IPv4 addresses", want.ipv4, got.ipv4);
    list("gateways", want.gateways, got.gateways);
    list("IPv6 addresses", want.ipv6, got.ipv6);
    if (want.counts != got.counts) out << "  counts: netlink " << want.counts << "\n    other   " << got.counts << "\n";
    const std::string text = out.str();
    return text.empty() ? "" : std::string(what) + " differ from netlink's:\n" + text;
}

constexpr int kSkip = 77;

// In a network namespace of the test's own, with a sysfs of that namespace:
// links of several kinds, addresses on shared and nested prefixes, an
// address on lo outside 127/8, a default gateway.  The files must say what
// netlink says; then, netlink refused, the provider's readers must still
// say it.
TEST(AgainstNetlink, FilesAgreeAndStandInWhenNetlinkIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network and mount namespace of its own";
    int report[2], errors[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(errors), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        close(errors[0]);
        dup2(errors[1], 2);
        const auto finish = [&](int status, const std::string& text) {
            (void)!write(report[1], text.data(), text.size());
            _exit(status);
        };
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
            finish(kSkip, "no network and mount namespace with a sysfs of its own here");
        using V = std::vector<std::string>;
        const std::vector<V> setup = {
            {"ip", "link", "set", "lo", "up"},
            {"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"},
            {"ip", "link", "set", "v0", "mtu", "1400", "up"},
            {"ip", "link", "set", "v1", "up"},
            {"ip", "addr", "add", "10.9.0.1/24", "dev", "v0"},
            {"ip", "addr", "add", "10.9.0.2/24", "dev", "v0"},
            {"ip", "addr", "add", "10.10.0.1/16", "dev", "v0"},
            {"ip", "addr", "add", "10.9.1.1/30", "dev", "v1"},
            {"ip", "addr", "add", "10.99.0.1/24", "dev", "lo"},
            {"ip", "-6", "addr", "add", "2001:db8:9::1/64", "dev", "v0", "nodad"},
            {"ip", "-6", "addr", "add", "2001:db8:9::2/128", "dev", "v1", "nodad"},
            {"ip", "route", "add", "default", "via", "10.9.0.254", "dev", "v0"},
        };
        for (const V& cmd : setup)
            if (!RunCommand(cmd))
                finish(cmd[2] == "link" && cmd[3] == "add" ? kSkip : 1,
                       "could not run: ip " + cmd[1] + " " + cmd[2] + " " + cmd[3]);
        if (!RunCommand({"ip", "tuntap", "add", "dev", "t0", "mode", "tun"})) finish(1, "no TUN link");

        // Compared when two rounds of netlink agree, so that a link-local
        // address still being added is waited for, not reported.
        std::string problems = "never settled";
        Answer netlink;
        for (int attempt = 0; attempt < 20; ++attempt) {
            netlink = ProviderAnswer();
            const Answer files = FilesAnswer();
            const Answer again = ProviderAnswer();
            if (!Differences("netlink twice", netlink, again).empty()) {
                usleep(100000);
                continue;
            }
            problems = Differences("files", netlink, files);
            if (problems.empty()) break;
            usleep(100000);
        }
        if (!problems.empty()) finish(1, problems);
        if (netlink.links.size() != 4 || netlink.ipv4.size() != 6 || netlink.gateways.size() != 1)
            finish(1, "the namespace is not as made: " + netlink.counts);

        if (!RefuseNetlink()) finish(kSkip, "no seccomp filter here");
        if (socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE) >= 0) finish(1, "netlink still allowed");
        finish(0, Differences("with netlink refused, the readers", netlink, ProviderAnswer()));
    }
    close(report[1]);
    close(errors[1]);
    std::string out, err;
    const int status = CollectOutput(pid, report[0], errors[0], out, err, std::chrono::seconds(60));
    if (status == kSkip) GTEST_SKIP() << out;
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_EQ(out, "") << err;
}

}  // namespace
