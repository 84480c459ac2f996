// The provider's links: the rtnetlink decoders on hand-made messages (cut
// short, oversized, multipath, without a hardware address), the mappings to
// interface codes, the row filler, the device model look-up, and the calling
// rules of GetIfTable, GetAdaptersInfo and GetPerAdapterInfo on this
// machine's links and on a TUN link in a network namespace of the test's own.
#include "Links.h"

// clang-format off
// <net/if.h> comes before the kernel headers, which then leave its names alone.
#include <net/if.h>
// clang-format on
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/gen_stats.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildOutput.h"
#include "DeviceInfo.h"
#include "RecordText.h"
#include "iphlpapi.h"

namespace {

using provider::LinkRecord;

// Runs `fn` in a forked child ended after 10 s: true when it returned true
// in time.  A call that blocks then fails its test instead of hanging the run.
template <class Fn>
bool ReturnsWithin10s(Fn fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    return pid > 0 && WaitBounded(pid, std::chrono::seconds(10)) == 0;
}

// ------------------------------------------------------ message building

// A message payload: a fixed header followed by route attributes.
class Payload {
public:
    template <class Header>
    explicit Payload(const Header& header) {
        Append(&header, sizeof header);
        Pad();
    }
    Payload& Attribute(unsigned short type, const void* data, std::size_t size) {
        rtattr header{};
        header.rta_type = type;
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        Append(&header, sizeof header);
        Append(data, size);
        Pad();
        return *this;
    }
    Payload& Text(unsigned short type, const std::string& text) {
        return Attribute(type, text.c_str(), text.size() + 1);
    }
    Payload& U32(unsigned short type, std::uint32_t value) { return Attribute(type, &value, sizeof value); }
    // Nests the attributes of `inner` under `type`.
    Payload& Nest(unsigned short type, const std::vector<unsigned char>& inner) {
        return Attribute(type, inner.data(), inner.size());
    }
    const std::vector<unsigned char>& Bytes() const { return m_bytes; }
    const unsigned char* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }

private:
    void Append(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        m_bytes.insert(m_bytes.end(), p, p + size);
    }
    void Pad() { m_bytes.resize(RTA_ALIGN(m_bytes.size()), 0); }
    std::vector<unsigned char> m_bytes;
};

// Attributes alone, for nesting.
std::vector<unsigned char> Attributes(const std::vector<std::pair<unsigned short, std::vector<unsigned char>>>& list) {
    std::vector<unsigned char> out;
    for (const auto& [type, data] : list) {
        rtattr header{};
        header.rta_type = type;
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(data.size()));
        const auto* h = reinterpret_cast<const unsigned char*>(&header);
        out.insert(out.end(), h, h + sizeof header);
        out.insert(out.end(), data.begin(), data.end());
        out.resize(RTA_ALIGN(out.size()), 0);
    }
    return out;
}

template <class T>
std::vector<unsigned char> BytesOf(const T& value) {
    const auto* p = reinterpret_cast<const unsigned char*>(&value);
    return {p, p + sizeof value};
}

std::uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

Payload LinkMessage(int index, const std::string& name, unsigned flags = IFF_UP | IFF_RUNNING) {
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_type = ARPHRD_ETHER;
    info.ifi_index = index;
    info.ifi_flags = flags;
    Payload p(info);
    p.Text(IFLA_IFNAME, name).U32(IFLA_MTU, 1500);
    const unsigned char mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    p.Attribute(IFLA_ADDRESS, mac, sizeof mac);
    return p;
}

// ---------------------------------------------------------------- links

TEST(LinkDecoder, NameMtuAddressAndSixtyFourBitCounters) {
    Payload p = LinkMessage(3, "tsl0");
    rtnl_link_stats64 stats{};
    stats.rx_bytes = 0x1'0000'0005ull;  // past 32 bits
    stats.rx_packets = 10;
    stats.multicast = 4;
    stats.tx_packets = 7;
    stats.rx_nohandler = 2;
    p.Attribute(IFLA_STATS64, &stats, sizeof stats);
    const auto link = provider::DecodeLinkMessage(p.data(), p.size());
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->index, 3u);
    EXPECT_EQ(link->name, "tsl0");
    EXPECT_EQ(link->mtu, 1500u);
    EXPECT_EQ(link->hardwareAddress, (std::vector<unsigned char>{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));

    MIB_IFROW row;
    provider::FillInterfaceRow(*link, {false, 4294967295u, "tsl0 (Model)", 3}, row);
    EXPECT_EQ(row.dwIndex, 3u);
    EXPECT_EQ(row.dwType, 6u);
    EXPECT_EQ(row.dwPhysAddrLen, 6u);
    EXPECT_EQ(row.dwAdminStatus, 1u);
    EXPECT_EQ(row.dwOperStatus, 5u);
    EXPECT_EQ(row.dwInOctets, 5u);  // the low half
    EXPECT_EQ(row.dwInUcastPkts, 6u);
    EXPECT_EQ(row.dwInNUcastPkts, 4u);
    EXPECT_EQ(row.dwInUnknownProtos, 2u);
    EXPECT_EQ(row.dwOutUcastPkts, 7u);
    EXPECT_EQ(row.dwOutQLen, 3u);
    EXPECT_EQ(row.dwSpeed, 4294967295u);
    EXPECT_STREQ(reinterpret_cast<const char*>(row.bDescr), "tsl0 (Model)");
    EXPECT_EQ(row.dwDescrLen, 12u);
    EXPECT_EQ(std::u16string(row.wszName), u"tsl0");
}

TEST(LinkDecoder, ShortStatsOldRecordAndBrokenMessagesAreSafe) {
    // A kernel that sends a shorter 64-bit record, or only the 32-bit one.
    Payload shortStats = LinkMessage(2, "a");
    const std::uint64_t firstTwo[2] = {11, 22};
    shortStats.Attribute(IFLA_STATS64, firstTwo, sizeof firstTwo);
    auto link = provider::DecodeLinkMessage(shortStats.data(), shortStats.size());
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->stats.rx_packets, 11u);
    EXPECT_EQ(link->stats.tx_packets, 22u);
    EXPECT_EQ(link->stats.rx_bytes, 0u);

    Payload old = LinkMessage(2, "b");
    rtnl_link_stats stats32{};
    stats32.rx_bytes = 99;
    stats32.multicast = 5;
    stats32.rx_packets = 3;  // fewer than multicast: no unicast, not a wrapped count
    old.Attribute(IFLA_STATS, &stats32, sizeof stats32);
    link = provider::DecodeLinkMessage(old.data(), old.size());
    ASSERT_TRUE(link.has_value());
    MIB_IFROW row;
    provider::FillInterfaceRow(*link, {}, row);
    EXPECT_EQ(row.dwInOctets, 99u);
    EXPECT_EQ(row.dwInUcastPkts, 0u);

    // Every cut of a message decodes or is refused; none reads past it
    // (AddressSanitizer watches the copies).
    const Payload whole = LinkMessage(4, "cut-me");
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        std::vector<unsigned char> cut(whole.Bytes().begin(), whole.Bytes().begin() + static_cast<long>(n));
        (void)provider::DecodeLinkMessage(cut.data(), cut.size());
    }
    // An attribute claiming more than the message holds ends the decoding.
    Payload lying = LinkMessage(5, "liar");
    std::vector<unsigned char> bytes = lying.Bytes();
    rtattr huge{};
    huge.rta_type = IFLA_STATS64;
    huge.rta_len = 4000;
    const auto* h = reinterpret_cast<const unsigned char*>(&huge);
    bytes.insert(bytes.end(), h, h + sizeof huge);
    link = provider::DecodeLinkMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->stats.rx_packets, 0u);
    // No name, or index 0: not a link.
    ifinfomsg nameless{};
    nameless.ifi_index = 7;
    Payload noName(nameless);
    EXPECT_FALSE(provider::DecodeLinkMessage(noName.data(), noName.size()).has_value());
    Payload zero = LinkMessage(0, "zero");
    EXPECT_FALSE(provider::DecodeLinkMessage(zero.data(), zero.size()).has_value());
}

// TUN, WireGuard, ipip and sit links: the kernel sends no IFLA_ADDRESS.
// Filling a row from one copies no address (and hands memcpy no null
// pointer, which the sanitizer build would stop at).
TEST(LinkDecoder, LinkWithoutHardwareAddressFillsARowWithout) {
    ifinfomsg info{};
    info.ifi_type = ARPHRD_NONE;
    info.ifi_index = 9;
    info.ifi_flags = IFF_UP | IFF_RUNNING | IFF_POINTOPOINT;
    Payload p(info);
    p.Text(IFLA_IFNAME, "wg0").U32(IFLA_MTU, 1420);
    const auto link = provider::DecodeLinkMessage(p.data(), p.size());
    ASSERT_TRUE(link.has_value());
    EXPECT_TRUE(link->hardwareAddress.empty());

    MIB_IFROW row;
    provider::FillInterfaceRow(*link, {false, 0, "wg0", 0}, row);
    EXPECT_EQ(row.dwIndex, 9u);
    EXPECT_EQ(row.dwType, 1u);
    EXPECT_EQ(row.dwMtu, 1420u);
    EXPECT_EQ(row.dwPhysAddrLen, 0u);
    EXPECT_EQ(std::vector<unsigned char>(row.bPhysAddr, row.bPhysAddr + MAXLEN_PHYSADDR),
              std::vector<unsigned char>(MAXLEN_PHYSADDR, 0));
    EXPECT_EQ(row.dwOperStatus, 5u);

    // The copy the adapter record shares: nothing for no address, an address
    // cut to the field (InfiniBand's are 20 bytes), the rest left alone.
    unsigned char field[MAX_ADAPTER_ADDRESS_LENGTH];
    std::memset(field, 0xA5, sizeof field);
    EXPECT_EQ(provider::CopyHardwareAddress(*link, field, sizeof field), 0u);
    EXPECT_EQ(std::vector<unsigned char>(field, field + sizeof field), std::vector<unsigned char>(sizeof field, 0xA5));
    LinkRecord infiniband = *link;
    for (unsigned char b = 1; b <= 20; ++b) infiniband.hardwareAddress.push_back(b);
    EXPECT_EQ(provider::CopyHardwareAddress(infiniband, field, sizeof field), sizeof field);
    EXPECT_EQ(std::vector<unsigned char>(field, field + sizeof field),
              (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(LinkCodes, TypesAndStates) {
    struct TypeCase {
        unsigned short hardware;
        bool wireless;
        DWORD type;
    };
    const TypeCase types[] = {
        {ARPHRD_ETHER, false, 6},     {ARPHRD_ETHER, true, 71},  {ARPHRD_IEEE80211_RADIOTAP, false, 71},
        {ARPHRD_LOOPBACK, false, 24}, {ARPHRD_PPP, false, 23},   {ARPHRD_SLIP, false, 28},
        {ARPHRD_CSLIP6, false, 28},   {ARPHRD_FDDI, false, 15},  {ARPHRD_IEEE802_TR, false, 9},
        {ARPHRD_NONE, false, 1},      {ARPHRD_TUNNEL, false, 1}, {ARPHRD_INFINIBAND, false, 1},
    };
    for (const TypeCase& c : types) EXPECT_EQ(provider::InterfaceTypeOf(c.hardware, c.wireless), c.type) << c.hardware;

    struct StateCase {
        unsigned flags;
        DWORD admin, oper;
    };
    const StateCase states[] = {
        {IFF_UP | IFF_RUNNING | IFF_LOWER_UP, 1, 5},
        {IFF_UP | IFF_LOOPBACK | IFF_RUNNING, 1, 5},
        {IFF_UP, 1, 2},  // up without carrier
        {IFF_RUNNING, 2, 0},
        {0, 2, 0},
    };
    for (const StateCase& c : states) {
        EXPECT_EQ(provider::AdminStatusOf(c.flags), c.admin) << c.flags;
        EXPECT_EQ(provider::OperStatusOf(c.flags), c.oper) << c.flags;
    }
    EXPECT_EQ(provider::MaskOfPrefix(0), "0.0.0.0");
    EXPECT_EQ(provider::MaskOfPrefix(16), "255.255.0.0");
    EXPECT_EQ(provider::MaskOfPrefix(27), "255.255.255.224");
    EXPECT_EQ(provider::MaskOfPrefix(32), "255.255.255.255");
    EXPECT_EQ(provider::SpeedFromMbps(1000), 1000000000u);
    EXPECT_EQ(provider::SpeedFromMbps(10000), 4294967295u);  // clamped
    EXPECT_EQ(provider::SpeedFromMbps(0xffffffffu), 0u);     // unknown
    EXPECT_EQ(provider::SpeedBitsFromMbps(10000), 10000000000u);  // whole
    EXPECT_EQ(provider::SpeedBitsFromMbps(0xffffffffu), 0u);
    EXPECT_EQ(provider::SpeedFromMbps(0), 0u);
}

TEST(LinkText, FieldsAreCutWithTheirZeroAndNamesDecodeSafely) {
    char field[8];
    provider::CopyField(field, sizeof field, "0123456789");
    EXPECT_STREQ(field, "0123456");

    struct Case {
        std::string name;
        std::u16string wide;
    };
    const Case cases[] = {
        {"eth0", u"eth0"},
        {"caf\xc3\xa9", u"caf\u00e9"},            // UTF-8
        {"\xf0\x9f\x94\x8c", u"\U0001F50C"},      // outside the basic plane: a surrogate pair
        {"bad\xff", u"bad\uFFFD"},                // not UTF-8
        {"cut\xe2\x82", u"cut\uFFFD\uFFFD"},      // a sequence cut short
        {"\xc0\xaf", u"\uFFFD\uFFFD"},            // an overlong form
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
    };
    for (const Case& c : cases) {
        WCHAR wide[MAX_INTERFACE_NAME_LEN];
        provider::CopyWideField(wide, MAX_INTERFACE_NAME_LEN, c.name);
        EXPECT_EQ(std::u16string(wide), c.wide) << c.name;
    }
    // A pair that does not fit before the terminating zero is left out whole.
    WCHAR small[3];
    provider::CopyWideField(small, 3, "a\xf0\x9f\x94\x8c");
    EXPECT_EQ(std::u16string(small), u"a");
}

// ------------------------------------------------- addresses and routes

TEST(AddressDecoder, LocalAddressWinsAndOthersAreRefused) {
    ifaddrmsg info{};
    info.ifa_family = AF_INET;
    info.ifa_prefixlen = 24;
    info.ifa_index = 3;
    Payload p(info);
    p.U32(IFA_ADDRESS, Ip("10.0.0.9")).U32(IFA_LOCAL, Ip("10.0.0.5"));  // a point-to-point peer, then ours
    auto a = provider::DecodeAddressMessage(p.data(), p.size());
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(provider::DottedQuad(a->address), "10.0.0.5");
    EXPECT_EQ(a->prefixLength, 24u);
    EXPECT_EQ(a->index, 3u);

    ifaddrmsg v6 = info;
    v6.ifa_family = AF_INET6;
    Payload six(v6);
    EXPECT_FALSE(provider::DecodeAddressMessage(six.data(), six.size()).has_value());
    ifaddrmsg wide = info;
    wide.ifa_prefixlen = 33;
    Payload badPrefix(wide);
    badPrefix.U32(IFA_LOCAL, Ip("10.0.0.5"));
    EXPECT_FALSE(provider::DecodeAddressMessage(badPrefix.data(), badPrefix.size()).has_value());
    Payload none(info);
    EXPECT_FALSE(provider::DecodeAddressMessage(none.data(), none.size()).has_value());
}

TEST(RouteDecoder, DefaultRoutesOfTheMainTableWithEveryNextHop) {
    rtmsg info{};
    info.rtm_family = AF_INET;
    info.rtm_table = RT_TABLE_MAIN;
    info.rtm_type = RTN_UNICAST;
    Payload single(info);
    single.U32(RTA_GATEWAY, Ip("192.0.2.1")).U32(RTA_OIF, 4);
    auto gateways = provider::DecodeRouteMessage(single.data(), single.size());
    ASSERT_EQ(gateways.size(), 1u);
    EXPECT_EQ(gateways[0].index, 4u);
    EXPECT_EQ(provider::DottedQuad(gateways[0].gateway), "192.0.2.1");

    // Two next hops of one multipath route.
    std::vector<unsigned char> hops;
    for (const auto& [index, gw] : {std::pair{5, "198.51.100.1"}, std::pair{6, "198.51.100.2"}}) {
        const std::vector<unsigned char> attrs = Attributes({{RTA_GATEWAY, BytesOf(Ip(gw))}});
        rtnexthop hop{};
        hop.rtnh_len = static_cast<unsigned short>(RTNH_LENGTH(attrs.size()));
        hop.rtnh_ifindex = index;
        const std::vector<unsigned char> head = BytesOf(hop);
        hops.insert(hops.end(), head.begin(), head.end());
        hops.insert(hops.end(), attrs.begin(), attrs.end());
    }
    Payload multipath(info);
    multipath.Nest(RTA_MULTIPATH, hops);
    gateways = provider::DecodeRouteMessage(multipath.data(), multipath.size());
    ASSERT_EQ(gateways.size(), 2u);
    EXPECT_EQ(gateways[1].index, 6u);
    EXPECT_EQ(provider::DottedQuad(gateways[1].gateway), "198.51.100.2");

    // Not the main table, not a default route, or no gateway: nothing.
    rtmsg local = info;
    local.rtm_table = RT_TABLE_LOCAL;
    Payload other(local);
    other.U32(RTA_GATEWAY, Ip("192.0.2.1")).U32(RTA_OIF, 4);
    EXPECT_TRUE(provider::DecodeRouteMessage(other.data(), other.size()).empty());
    rtmsg subnet = info;
    subnet.rtm_dst_len = 24;
    Payload notDefault(subnet);
    notDefault.U32(RTA_GATEWAY, Ip("192.0.2.1")).U32(RTA_OIF, 4);
    EXPECT_TRUE(provider::DecodeRouteMessage(notDefault.data(), notDefault.size()).empty());
    Payload direct(info);
    direct.U32(RTA_OIF, 4);
    EXPECT_TRUE(provider::DecodeRouteMessage(direct.data(), direct.size()).empty());
}

TEST(QdiscDecoder, RootQueueLengthFromEitherStatsRecord) {
    tcmsg info{};
    info.tcm_family = AF_UNSPEC;
    info.tcm_ifindex = 4;
    info.tcm_parent = TC_H_ROOT;
    gnet_stats_queue queue{};
    queue.qlen = 17;
    Payload modern(info);
    modern.Nest(TCA_STATS2, Attributes({{TCA_STATS_QUEUE, BytesOf(queue)}}));
    auto root = provider::DecodeQdiscMessage(modern.data(), modern.size());
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->index, 4u);
    EXPECT_EQ(root->length, 17u);

    tc_stats old{};
    old.qlen = 3;
    Payload legacy(info);
    legacy.Attribute(TCA_STATS, &old, sizeof old);
    root = provider::DecodeQdiscMessage(legacy.data(), legacy.size());
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->length, 3u);

    tcmsg child = info;
    child.tcm_parent = 0x10001;
    Payload inner(child);
    inner.Nest(TCA_STATS2, Attributes({{TCA_STATS_QUEUE, BytesOf(queue)}}));
    EXPECT_FALSE(provider::DecodeQdiscMessage(inner.data(), inner.size()).has_value());
}

// ------------------------------------------------------------ PCI model

TEST(PciModel, VendorAndDeviceFromTheDatabase) {
    const std::string database =
        "# comment\n"
        "1af4  Red Hat, Inc.\n"
        "\t1000  Virtio network device\n"
        "\t\t01de fffb  Subsystem line, not a device\n"
        "\t1041  Virtio 1.0 network device\n"
        "8086  Intel Corporation\n"
        "\t100e  82540EM Gigabit Ethernet Controller\n"
        "C 02  Network controller\n"
        "\t00  Ethernet controller\n";
    EXPECT_EQ(provider::LookUpPciModel(database, 0x1af4, 0x1041), "Red Hat, Inc. Virtio 1.0 network device");
    EXPECT_EQ(provider::LookUpPciModel(database, 0x8086, 0x100e),
              "Intel Corporation 82540EM Gigabit Ethernet Controller");
    EXPECT_EQ(provider::LookUpPciModel(database, 0x8086, 0x1234), "Intel Corporation");
    EXPECT_EQ(provider::LookUpPciModel(database, 0x1234, 0x0000), "");
    // The class section is not read as vendors.
    EXPECT_EQ(provider::LookUpPciModel(database, 0x0002, 0x0000), "");
    EXPECT_EQ(provider::LookUpPciModel("1af4", 0x1af4, 0), "");  // a line cut short

    // A database of many vendors in ascending order, as the real one is, and
    // the same with one vendor moved out of order.
    std::string many = "# header\n\n";
    for (unsigned v = 0x0010; v < 0x2000; v += 3) {
        char line[64];
        std::snprintf(line, sizeof line, "%04x  Vendor %u\n\t%04x  Device of %u\n", v, v, v ^ 0x5a5a, v);
        many += line;
    }
    many += "C 02  Network controller\n\t00  Ethernet controller\n";
    for (unsigned v : {0x0010u, 0x0013u, 0x1003u, 0x1fffu}) {
        EXPECT_EQ(provider::LookUpPciModel(many, v, v ^ 0x5a5a), "Vendor " + std::to_string(v) + " Device of " +
                                                                       std::to_string(v))
            << v;
    }
    EXPECT_EQ(provider::LookUpPciModel(many, 0x0011, 0), "");  // between two vendors
    EXPECT_EQ(provider::LookUpPciModel(many, 0x2000, 0), "");  // past the last
    EXPECT_EQ(provider::LookUpPciModel(many, 0x0002, 0), "");  // a class, not a vendor
    std::string moved = "1ffe  Late Vendor\n\t0001  Late Device\n" + many;
    EXPECT_EQ(provider::LookUpPciModel(moved, 0x1ffe, 0x0001), "Late Vendor Late Device");

    EXPECT_EQ(provider::InterfaceDescription("eth0", ""), "eth0");
    EXPECT_EQ(provider::InterfaceDescription("eth0", "Model"), "eth0 (Model)");
}

// The database read from its file: a regular file is looked up, anything
// else (a FIFO that no one writes would block a plain open for good) gives
// no model, at once.  The look-up runs in a child that is ended after 10 s,
// so that a read that blocks fails the test instead of hanging it.
TEST(PciModel, DatabaseFileIsReadOnlyWhenItIsARegularFile) {
    char dirTemplate[] = "/tmp/tessaline-pci-ids-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string database = dir + "/pci.ids", fifo = dir + "/fifo.ids";
    std::ofstream(database) << "1af4  Red Hat, Inc.\n\t1041  Virtio 1.0 network device\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(provider::PciModelFromFile(database, 0x1af4, 0x1041), "Red Hat, Inc. Virtio 1.0 network device");
    EXPECT_TRUE(ReturnsWithin10s([&] { return provider::PciModelFromFile(fifo, 0x1af4, 0x1041).empty(); }));
    EXPECT_EQ(provider::PciModelFromFile(dir, 0x1af4, 0x1041), "");  // a directory
    EXPECT_EQ(provider::PciModelFromFile(dir + "/missing.ids", 0x1af4, 0x1041), "");
    std::filesystem::remove_all(dir);
}

// ------------------------------------------- entry points on this machine

struct Library {
    void* handle = nullptr;
    PFN_GetIfTable ifTable = nullptr;
    PFN_GetAdaptersInfo adapters = nullptr;
    PFN_GetPerAdapterInfo perAdapter = nullptr;
    PFN_GetIfTable2 ifTable2 = nullptr;
    PFN_FreeMibTable freeTable = nullptr;
};

const Library& Provider() {
    static const Library library = [] {
        Library l;
        l.handle = dlopen(PROVIDER_DIR "/libiphlpapi.so", RTLD_NOW | RTLD_LOCAL);
        if (l.handle == nullptr) return l;
        const auto get = [&](const char* name, auto& fn) {
            void* symbol = dlsym(l.handle, name);
            std::memcpy(&fn, &symbol, sizeof fn);
        };
        get("GetIfTable", l.ifTable);
        get("GetAdaptersInfo", l.adapters);
        get("GetPerAdapterInfo", l.perAdapter);
        get("GetIfTable2", l.ifTable2);
        get("FreeMibTable", l.freeTable);
        return l;
    }();
    return library;
}

TEST(InterfaceTableEntryPoint, GrowCodeWithHeadroomThenEveryLinkInIndexOrder) {
    const Library& p = Provider();
    ASSERT_NE(p.ifTable, nullptr);
    ULONG size = 0;
    EXPECT_EQ(p.ifTable(nullptr, &size, TRUE), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(size, offsetof(MIB_IFTABLE, table) + sizeof(MIB_IFROW));
    EXPECT_EQ(p.ifTable(nullptr, nullptr, TRUE), ERROR_INVALID_PARAMETER);

    std::vector<unsigned char> buffer(size);
    ULONG tooSmall = 8;
    EXPECT_EQ(p.ifTable(reinterpret_cast<PMIB_IFTABLE>(buffer.data()), &tooSmall, TRUE), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tooSmall, size);

    ULONG capacity = size;
    ASSERT_EQ(p.ifTable(reinterpret_cast<PMIB_IFTABLE>(buffer.data()), &capacity, TRUE), NO_ERROR);
    const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buffer.data());
    ASSERT_GE(table->dwNumEntries, 1u);  // lo at least
    ASSERT_LE(offsetof(MIB_IFTABLE, table) + table->dwNumEntries * sizeof(MIB_IFROW), buffer.size());
    bool sawLoopback = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IFROW& row = table->table[i];
        if (i > 0) {
            EXPECT_LT(table->table[i - 1].dwIndex, row.dwIndex);
        }
        char name[IF_NAMESIZE] = {};
        ASSERT_NE(if_indextoname(row.dwIndex, name), nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(row.bDescr)).rfind(name, 0), 0u) << name;
        EXPECT_LT(row.dwDescrLen, static_cast<DWORD>(MAXLEN_IFDESCR));
        if (row.dwType == 24) {
            sawLoopback = true;
            EXPECT_EQ(row.dwOperStatus, 5u);
        }
    }
    EXPECT_TRUE(sawLoopback);
}

// The 64-bit table says what the 32-bit one says, its counters whole: taken
// after it, each counter is at least the 32-bit one's (none of this
// machine's passes 2^32 between the two calls).
TEST(InterfaceTableEntryPoint, SixtyFourBitTableAgreesWithTheRecordTable) {
    const Library& p = Provider();
    ASSERT_NE(p.ifTable, nullptr);
    ASSERT_NE(p.ifTable2, nullptr);
    EXPECT_EQ(p.ifTable2(nullptr), ERROR_INVALID_PARAMETER);
    ULONG size = 1 << 20;
    std::vector<unsigned char> buffer(size);
    ASSERT_EQ(p.ifTable(reinterpret_cast<PMIB_IFTABLE>(buffer.data()), &size, TRUE), NO_ERROR);
    const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buffer.data());
    PMIB_IF_TABLE2 table2 = nullptr;
    ASSERT_EQ(p.ifTable2(&table2), NO_ERROR);
    ASSERT_NE(table2, nullptr);
    ASSERT_EQ(table2->NumEntries, table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IFROW& row = table->table[i];
        const MIB_IF_ROW2& row2 = table2->Table[i];
        EXPECT_EQ(row2.InterfaceIndex, row.dwIndex);
        EXPECT_EQ(std::u16string(row2.Alias), std::u16string(row.wszName));
        EXPECT_EQ(row2.Type, row.dwType);
        EXPECT_EQ(row2.Mtu, row.dwMtu);
        EXPECT_EQ(row2.PhysicalAddressLength, row.dwPhysAddrLen);
        EXPECT_EQ(std::memcmp(row2.PhysicalAddress, row.bPhysAddr, row.dwPhysAddrLen), 0);
        EXPECT_EQ(row2.AdminStatus == NET_IF_ADMIN_STATUS_UP, row.dwAdminStatus == 1);
        EXPECT_EQ(row2.OperStatus == IfOperStatusUp, row.dwOperStatus == 5);
        EXPECT_GE(row2.InOctets, row.dwInOctets);
        EXPECT_GE(row2.OutOctets, row.dwOutOctets);
        EXPECT_GE(row2.InUcastPkts, row.dwInUcastPkts);
        EXPECT_EQ(std::u16string(row2.Description).size(), row.dwDescrLen);
    }
    p.freeTable(table2);
}

TEST(AdapterEntryPoints, AdaptersLeaveOutLoopbackAndPerAdapterRefusesUnknownIndexes) {
    const Library& p = Provider();
    ASSERT_NE(p.adapters, nullptr);
    ASSERT_NE(p.perAdapter, nullptr);
    ULONG size = 0;
    const DWORD rc = p.adapters(nullptr, &size);
    if (rc == ERROR_NO_DATA) GTEST_SKIP() << "this machine has no adapter besides loopback";
    ASSERT_EQ(rc, ERROR_BUFFER_OVERFLOW);
    std::vector<unsigned char> buffer(size);
    auto* head = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    ULONG capacity = size;
    ASSERT_EQ(p.adapters(head, &capacity), NO_ERROR);
    const unsigned char* end = buffer.data() + buffer.size();
    int count = 0;
    for (const IP_ADAPTER_INFO* a = head; a != nullptr && count < 4096; a = a->Next, ++count) {
        ASSERT_GE(reinterpret_cast<const unsigned char*>(a), buffer.data());
        ASSERT_LE(reinterpret_cast<const unsigned char*>(a + 1), end);
        EXPECT_NE(a->Type, 24u);
        EXPECT_LE(a->AddressLength, 8u);
        EXPECT_NE(std::memchr(a->AdapterName, 0, sizeof a->AdapterName), nullptr);
        EXPECT_NE(std::memchr(a->Description, 0, sizeof a->Description), nullptr);
        for (const IP_ADDR_STRING* e = &a->IpAddressList; e != nullptr; e = e->Next) {
            in_addr parsed{};
            EXPECT_EQ(inet_pton(AF_INET, e->IpAddress.String, &parsed), 1) << e->IpAddress.String;
            EXPECT_EQ(inet_pton(AF_INET, e->IpMask.String, &parsed), 1) << e->IpMask.String;
        }

        ULONG perSize = 0;
        ASSERT_EQ(p.perAdapter(a->Index, nullptr, &perSize), ERROR_BUFFER_OVERFLOW);
        std::vector<unsigned char> per(perSize);
        ULONG perCapacity = perSize;
        EXPECT_EQ(p.perAdapter(a->Index, reinterpret_cast<PIP_PER_ADAPTER_INFO>(per.data()), &perCapacity), NO_ERROR);
    }
    EXPECT_GE(count, 1);

    ULONG perSize = 0;
    EXPECT_NE(p.perAdapter(0, nullptr, &perSize), ERROR_BUFFER_OVERFLOW);
    EXPECT_NE(p.perAdapter(0x7ffffff0u, nullptr, &perSize), ERROR_BUFFER_OVERFLOW);
    EXPECT_NE(p.perAdapter(0x7ffffff0u, nullptr, &perSize), NO_ERROR);
}

// A link without a hardware address (a TUN device; WireGuard, ipip and sit
// links are the same to the provider) in a network namespace of the test's
// own: the interface row and the adapter record both list it with an
// address of no bytes.  The calls are made by a child that is ended after
// 30 s; in the sanitizer build it stops at any copy from a null address.
TEST(AdapterEntryPoints, LinkWithoutHardwareAddressIsListedWithoutOne) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: a network namespace and a TUN device";
    constexpr int kSkip = 77;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(kSkip);
        const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strcpy(request.ifr_name, "tsltun0");
        if (tun < 0 || ioctl(tun, TUNSETIFF, &request) != 0) _exit(kSkip);
        const Library& p = Provider();
        if (p.ifTable == nullptr || p.adapters == nullptr) _exit(1);

        ULONG size = 0;
        if (p.ifTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER) _exit(2);
        std::vector<unsigned char> rows(size);
        auto* table = reinterpret_cast<PMIB_IFTABLE>(rows.data());
        if (p.ifTable(table, &size, TRUE) != NO_ERROR) _exit(3);
        int found = 0;
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_IFROW& row = table->table[i];
            if (std::u16string(row.wszName) != u"tsltun0") continue;
            ++found;
            if (row.dwPhysAddrLen != 0 || row.dwType != 1) _exit(4);
        }
        if (found != 1) _exit(5);

        size = 0;
        if (p.adapters(nullptr, &size) != ERROR_BUFFER_OVERFLOW) _exit(6);
        std::vector<unsigned char> records(size);
        auto* adapter = reinterpret_cast<IP_ADAPTER_INFO*>(records.data());
        if (p.adapters(adapter, &size) != NO_ERROR) _exit(7);
        found = 0;
        for (int n = 0; adapter != nullptr && n < 64; adapter = adapter->Next, ++n) {
            if (std::string(adapter->AdapterName) != "tsltun0") continue;
            ++found;
            if (adapter->AddressLength != 0) _exit(8);
        }
        _exit(found == 1 ? 0 : 9);
    }
    const int status = WaitBounded(pid, std::chrono::seconds(30));
    if (status == kSkip) GTEST_SKIP() << "no network namespace or TUN device for the test";
    EXPECT_EQ(status, 0) << "exit 1-9: the step that failed; 128 + n: ended by signal n";
}

}  // namespace
