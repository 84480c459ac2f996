#include <arpa/inet.h>
// The interface and adapter reports, built into an in-memory tree from rows
// and records scripted in the fake provider, and the code names and texts
// they are made of.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "FakeProvider.h"
#include "FakeReportFixture.h"
#include "InterfaceNames.h"
#include "InterfaceReports.h"
#include "IpHelper.h"
#include "NetworkReport.h"
#include "WideText.h"

namespace {

using Lines = std::vector<std::string>;

std::string Utf8(const char16_t* text) { return WideToUtf8(text); }

// ------------------------------------------------------------- code names

TEST(InterfaceNames, EveryTableWithItsEdges) {
    struct Case {
        const WCHAR* (*lookup)(DWORD);
        DWORD code;
        const char* text;
    };
    const Case cases[] = {
        {GetInterfaceTypeName, 6, "ETHERNET"},
        {GetInterfaceTypeName, 9, "TOKENRING"},
        {GetInterfaceTypeName, 15, "FDDI"},
        {GetInterfaceTypeName, 23, "PPP"},
        {GetInterfaceTypeName, 24, "LOOPBACK"},
        {GetInterfaceTypeName, 28, "SLIP"},
        {GetInterfaceTypeName, 1, "[UNKNOWN]"},
        {GetInterfaceTypeName, 71, "[UNKNOWN]"},
        {GetInterfaceTypeName, 0, "[UNKNOWN]"},
        {GetOperStatusName, 0, "NON_OPERATIONAL"},
        {GetOperStatusName, 1, "UNREACHABLE"},
        {GetOperStatusName, 2, "DISCONNECTED"},
        {GetOperStatusName, 3, "CONNECTING"},
        {GetOperStatusName, 4, "CONNECTED"},
        {GetOperStatusName, 5, "OPERATIONAL"},
        {GetOperStatusName, 6, "[UNKNOWN]"},
        {GetOperStatusName, 0xffffffffu, "[UNKNOWN]"},
        {GetInterfaceCounterName, 0, "AdminStatus"},
        {GetInterfaceCounterName, 8, "InUnknownProtos"},
        {GetInterfaceCounterName, 14, "OutQLen"},
        {GetInterfaceCounterName, 15, "[UNKNOWN]"},
        {GetInterfaceCounterName, static_cast<DWORD>(-1), "[UNKNOWN]"},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8(c.lookup(c.code)), c.text) << c.code;
    // The counter labels are the row's field names without "dw", in order.
    const char* const fields[] = {"AdminStatus",  "OperStatus",    "LastChange",  "InOctets",        "InUcastPkts",
                                  "InNUcastPkts", "InDiscards",    "InErrors",    "InUnknownProtos", "OutOctets",
                                  "OutUcastPkts", "OutNUcastPkts", "OutDiscards", "OutErrors",       "OutQLen"};
    for (DWORD i = 0; i < 15; ++i) EXPECT_EQ(Utf8(GetInterfaceCounterName(i)), fields[i]);
}

// -------------------------------------------------------------- lease text

TEST(LeaseTextTest, LocalTimeInTheFixedLayoutWithinTheConvertibleRange) {
    // The tests run with TZ=UTC.
    struct Case {
        std::int64_t seconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "Thu Jan 01 00:00:00 1970"},
        {1700000000, "Tue Nov 14 22:13:20 2023"},
        {32535244799LL, "Thu Jan 01 07:59:59 3001"},
        {32535244800LL, "[invalid data]"},
        {-1, "[invalid data]"},
        {INT64_MIN, "[invalid data]"},
        {INT64_MAX, "[invalid data]"},
    };
    for (const Case& c : cases) EXPECT_EQ(WideToUtf8(LeaseText(c.seconds)), c.text) << c.seconds;
    EXPECT_EQ(LeaseText(0).size(), 24u);
}

TEST(LeaseTextTest, FollowsTheLocalTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    setenv("TZ", "Asia/Kolkata", 1);  // UTC+05:30, no summer time
    tzset();
    EXPECT_EQ(WideToUtf8(LeaseText(0)), "Thu Jan 01 05:30:00 1970");
    setenv("TZ", before.c_str(), 1);
    tzset();
}

// ------------------------------------------------------- interface report

MIB_IFROW Row(const char* descr, DWORD type, DWORD status, std::vector<BYTE> mac = {}) {
    MIB_IFROW row{};
    std::memcpy(row.bDescr, descr, std::strlen(descr));
    row.dwDescrLen = static_cast<DWORD>(std::strlen(descr));
    row.dwType = type;
    row.dwOperStatus = status;
    row.dwAdminStatus = 1;
    row.dwMtu = 1500;
    row.dwSpeed = 1000000000;
    row.dwPhysAddrLen = static_cast<DWORD>(mac.size());
    std::memcpy(row.bPhysAddr, mac.data(), std::min<std::size_t>(mac.size(), 8));
    return row;
}

const std::vector<BYTE> kMac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

class InterfaceList : public FakeReportFixture {
protected:
    void Script(const std::vector<MIB_IFROW>& rows) {
        ASSERT_LE(rows.size(), kFakeMaxIfRows);
        fake_->ifRowCount = static_cast<unsigned>(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) fake_->ifRows[i] = rows[i];
        fake_->interfaces.rows[0] = static_cast<unsigned>(rows.size());
        Build(kKindInterfaceList);
    }
};

TEST_F(InterfaceList, WorkingEthernetIsExpandedWithItsStatistics) {
    MIB_IFROW row = Row("eth0 (Fake NIC)", 6, 5, kMac);
    row.dwInOctets = 0xffffffffu;
    row.dwInUnknownProtos = 7;
    row.dwOutQLen = 2;
    Script({row});
    const Lines expected = {
        "0B+ Interface List",
        "  1+ eth0 (Fake NIC)",
        "    3 Type: ETHERNET",
        "    3 OperationalStatus: OPERATIONAL",
        "    3 MACAddr: 00:1a:2b:3c:4d:5e",
        "    3 MTUSize: 1500",
        "    3 Speed: 1000000000",
        "    1+ Statistics",
        "      3 AdminStatus    :          1",
        "      3 OperStatus     :          5",
        "      3 LastChange     :          0",
        "      3 InOctets       :         -1",
        "      3 InUcastPkts    :          0",
        "      3 InNUcastPkts   :          0",
        "      3 InDiscards     :          0",
        "      3 InErrors       :          0",
        "      3 InUnknownProtos:          7",
        "      3 OutOctets      :          0",
        "      3 OutUcastPkts   :          0",
        "      3 OutNUcastPkts  :          0",
        "      3 OutDiscards    :          0",
        "      3 OutErrors      :          0",
        "      3 OutQLen        :          2",
    };
    EXPECT_EQ(Dump(), expected);
}

TEST_F(InterfaceList, OnlyAnOperationalInterfaceWithAnEthernetAddressOpens) {
    MIB_IFROW wide = Row("big", 6, 5, kMac);
    wide.dwMtu = 0x80000000u;
    wide.dwSpeed = 0xffffffffu;
    Script({
        Row("lo", 24, 5, {0, 0, 0, 0, 0, 0}),   // loopback: never opens
        Row("wlan0", 71, 5, kMac),              // wireless: no Ethernet address text
        Row("eth1", 6, 4, kMac),                // CONNECTED is not OPERATIONAL
        Row("eth2", 6, 5, {0, 0, 0, 0, 0, 0}),  // all-zero address
        Row("eth3", 6, 7, kMac),                // a status without a name
        wide,
    });
    const Lines tree = Dump();
    ASSERT_EQ(tree.size(), 1u + 6 * 22);
    const auto block = [&](std::size_t i) { return Lines(tree.begin() + 1 + 22 * i, tree.begin() + 1 + 22 * i + 7); };
    EXPECT_EQ(block(0), (Lines{"  1 lo", "    3 Type: LOOPBACK", "    3 OperationalStatus: OPERATIONAL",
                               "    3 MACAddr: 00:00:00:00:00:00", "    3 MTUSize: 1500", "    3 Speed: 1000000000",
                               "    1 Statistics"}));
    EXPECT_EQ(block(1)[0], "  1 wlan0");
    EXPECT_EQ(block(1)[1], "    3 Type: [UNKNOWN]");
    EXPECT_EQ(block(1)[3], "    3 MACAddr: 00:00:00:00:00:00");
    EXPECT_EQ(block(2)[0], "  1 eth1");
    EXPECT_EQ(block(2)[2], "    3 OperationalStatus: CONNECTED");
    EXPECT_EQ(block(2)[3], "    3 MACAddr: 00:1a:2b:3c:4d:5e");
    EXPECT_EQ(block(3)[0], "  1 eth2");
    EXPECT_EQ(block(4)[0], "  1 eth3");
    EXPECT_EQ(block(4)[2], "    3 OperationalStatus: [UNKNOWN]");
    EXPECT_EQ(block(5)[0], "  1+ big");
    EXPECT_EQ(block(5)[4], "    3 MTUSize: -2147483648");
    EXPECT_EQ(block(5)[5], "    3 Speed: -1");
    EXPECT_EQ(block(5)[6], "    1+ Statistics");
}

TEST_F(InterfaceList, DescriptionEndsAtItsFieldAndAnEmptyTableShowsTheRootAlone) {
    MIB_IFROW full = Row("", 6, 2, kMac);
    std::memset(full.bDescr, 'd', sizeof full.bDescr);  // no terminating zero
    Script({full});
    EXPECT_EQ(Dump()[1], "  1 " + std::string(256, 'd'));

    Script({});
    EXPECT_EQ(Dump(), (Lines{"0B+ Interface List"}));
}

TEST_F(InterfaceList, WithoutTheTableOnlyTheRoot) {
    fake_->interfaces.forcedCode = ERROR_NOT_SUPPORTED;
    Build(kKindInterfaceList);
    EXPECT_EQ(Dump(), (Lines{"0B+ Interface List"}));
    setenv("TESSALINE_LIBRARY_PATH", FAKE_NONE_DIR, 1);
    iphelper_testing::ResetProcessState();
    Build(kKindInterfaceList);
    EXPECT_EQ(Dump(), (Lines{"0B+ Interface List"}));
}

// --------------------------------------------------------- adapter report

struct AdapterScript {
    const char* description = "Fake adapter";
    const char* name = "eth0";
    UINT type = 6;
    std::vector<BYTE> address = kMac;
    UINT addressLength = 6;
    std::vector<std::pair<const char*, const char*>> addresses = {{"10.0.0.5", "255.255.255.0"}};
    DWORD index = 2;
    UINT dhcp = 0;
    std::int64_t obtained = 0, expires = 0;
};

class AdapterList : public FakeReportFixture {
protected:
    void Script(const std::vector<AdapterScript>& adapters) {
        ASSERT_LE(adapters.size(), kFakeMaxAdapterRecords);
        fake_->adapterRecordCount = static_cast<unsigned>(adapters.size());
        for (std::size_t a = 0; a < adapters.size(); ++a) {
            const AdapterScript& s = adapters[a];
            IP_ADAPTER_INFO& r = fake_->adapterRecords[a];
            r = IP_ADAPTER_INFO{};
            FakeSetField(r.Description, s.description);
            FakeSetField(r.AdapterName, s.name);
            r.Type = s.type;
            std::memcpy(r.Address, s.address.data(), std::min<std::size_t>(s.address.size(), 8));
            r.AddressLength = s.addressLength;
            r.Index = s.index;
            r.DhcpEnabled = s.dhcp;
            FakeSetField(r.DhcpServer.IpAddress.String, "10.0.0.1");
            r.LeaseObtained = s.obtained;
            r.LeaseExpires = s.expires;
            ASSERT_LE(s.addresses.size(), kFakeMaxAdapterAddresses);
            fake_->adapterAddressCount[a] = static_cast<unsigned>(s.addresses.size());
            for (std::size_t k = 0; k < s.addresses.size(); ++k) {
                if (k == 0) {
                    FakeSetField(r.IpAddressList.IpAddress.String, s.addresses[0].first);
                    FakeSetField(r.IpAddressList.IpMask.String, s.addresses[0].second);
                } else {
                    FakeSetField(fake_->adapterAddresses[a][k], s.addresses[k].first);
                    FakeSetField(fake_->adapterMasks[a][k], s.addresses[k].second);
                }
            }
        }
    }
};

TEST_F(AdapterList, DhcpAdapterWithTwoAddressesAndItsDnsServers) {
    AdapterScript s;
    s.addresses = {{"10.0.0.5", "255.255.255.0"}, {"192.168.7.2", "255.255.0.0"}};
    s.dhcp = 1;
    s.obtained = 1700000000;
    s.expires = -1;
    Script({s});
    fake_->perAdapter.rows[0] = 1;  // two servers
    Build(kKindAdapterList);
    const Lines expected = {
        "0B+ Adapter List",
        "  1+ Fake adapter",
        "    3 Type: ETHERNET",
        "    3 HW Addr: 00:1a:2b:3c:4d:5e:00:00",
        "    3 OS Name: eth0",
        "    1+ IP Addresses",
        "      3 10.0.0.5 - Mask: 255.255.255.0",
        "      3 192.168.7.2 - Mask: 255.255.0.0",
        "    1 DHCP Server: 10.0.0.1",
        "      3 Lease Obtained: Tue Nov 14 22:13:20 2023",
        "      3 Lease Expires: [invalid data]",
        "    1 DNS Servers",
        "      3 198.51.100.1",
        "      3 198.51.100.2",
    };
    EXPECT_EQ(Dump(), expected);
    EXPECT_EQ(fake_->perAdapterIndexIn[fake_->perAdapter.calls - 1], 2u);
}

// The IPv6 addresses of an adapter come last, in their own group: the
// address in its recommended text, the prefix, the scope and the states that
// apply; addresses of other interfaces and IPv4 rows are not listed.  An
// adapter without IPv6 addresses, or a table the library cannot give, leaves
// the report as it was.
TEST_F(AdapterList, Ipv6AddressesComeLastWithPrefixScopeAndStates) {
    AdapterScript s;
    s.addresses = {{"10.0.0.5", "255.255.255.0"}};
    Script({s});  // interface index 2
    const auto row = [](USHORT family, const char* text, ULONG index, UCHAR prefix, NL_SUFFIX_ORIGIN suffix,
                        NL_DAD_STATE dad) {
        MIB_UNICASTIPADDRESS_ROW r{};
        r.Address.si_family = family;
        if (family == 23) {
            EXPECT_EQ(inet_pton(AF_INET6, text, r.Address.Ipv6.sin6_addr), 1) << text;
        }
        r.InterfaceIndex = index;
        r.OnLinkPrefixLength = prefix;
        r.SuffixOrigin = suffix;
        r.DadState = dad;
        return r;
    };
    const MIB_UNICASTIPADDRESS_ROW rows[] = {
        row(23, "2001:db8::5", 2, 64, IpSuffixOriginManual, IpDadStatePreferred),
        row(2, "", 2, 24, IpSuffixOriginManual, IpDadStatePreferred),  // IPv4: in the group above already
        row(23, "fe80::1a:2bff:fe3c:4d5e", 2, 64, IpSuffixOriginLinkLayerAddress, IpDadStatePreferred),
        row(23, "2001:db8::9", 3, 64, IpSuffixOriginManual, IpDadStatePreferred),  // another interface
        row(23, "2001:db8:0:0:8d3a:1:2:3", 2, 64, IpSuffixOriginRandom, IpDadStateDeprecated),
        row(23, "fd00::7", 2, 48, IpSuffixOriginManual, IpDadStateTentative),
        row(23, "2001:db8::dead", 2, 128, IpSuffixOriginManual, IpDadStateDuplicate),
    };
    fake_->unicastRowCount = static_cast<unsigned>(std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) fake_->unicastRows[i] = rows[i];
    Build(kKindAdapterList);
    const Lines expected = {
        "0B+ Adapter List",
        "  1+ Fake adapter",
        "    3 Type: ETHERNET",
        "    3 HW Addr: 00:1a:2b:3c:4d:5e:00:00",
        "    3 OS Name: eth0",
        "    1+ IP Addresses",
        "      3 10.0.0.5 - Mask: 255.255.255.0",
        "    1 DNS Servers",
        "      3 198.51.100.1",
        "    1+ IPv6 Addresses",
        "      3 2001:db8::5/64 - global",
        "      3 fe80::1a:2bff:fe3c:4d5e/64 - link",
        "      3 2001:db8::8d3a:1:2:3/64 - global, temporary, deprecated",
        "      3 fd00::7/48 - unique-local, tentative",
        "      3 2001:db8::dead/128 - global, duplicate",
    };
    EXPECT_EQ(Dump(), expected);
    EXPECT_EQ(fake_->unicastTables, fake_->unicastFreed) << "every table the library made is freed";

    // No IPv6 address for this adapter, or no table: the report of before.
    const Lines before(expected.begin(), expected.begin() + 9);
    for (const DWORD code : {DWORD{NO_ERROR}, ERROR_NOT_SUPPORTED}) {
        fake_->unicastRowCount = 2;
        fake_->unicastRows[0] = rows[1];
        fake_->unicastRows[1] = rows[3];
        fake_->unicastCode = code;
        Build(kKindAdapterList);
        EXPECT_EQ(Dump(), before) << code;
    }
}

TEST(AdapterAddress, AllEightBytesWithTheOneAtTheLengthReadAsZero) {
    struct Case {
        std::vector<BYTE> bytes;
        UINT length;
        const char* text;
    };
    const Case cases[] = {
        {kMac, 0, "xx:xx:xx:xx:xx:xx:"},
        {kMac, 6, "00:1a:2b:3c:4d:5e:00:00"},
        {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x7f, 0x80}, 6, "00:1a:2b:3c:4d:5e:00:80"},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 8, "01:02:03:04:05:06:07:08"},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 20, "01:02:03:04:05:06:07:08"},  // longer than the field: all eight
        {{0xc0, 0xa8, 0, 1}, 4, "c0:a8:00:01:00:00:00:00"},
    };
    for (const Case& c : cases) {
        IP_ADAPTER_INFO a{};
        std::memcpy(a.Address, c.bytes.data(), std::min<std::size_t>(c.bytes.size(), 8));
        a.AddressLength = c.length;
        const IP_ADAPTER_INFO before = a;
        EXPECT_EQ(WideToUtf8(AdapterAddressText(a)), c.text) << c.length;
        EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);  // the record is not changed
    }
}

TEST_F(AdapterList, AnUnspecifiedAddressKeepsTheAdapterClosed) {
    AdapterScript bare, mixed, wireless;
    bare.name = "veth1";
    bare.addresses = {{"0.0.0.0", "0.0.0.0"}};
    bare.addressLength = 0;
    mixed.addresses = {{"10.0.0.5", "255.0.0.0"}, {"0.0.0.0", "0.0.0.0"}};
    wireless.type = 71;
    Script({bare, mixed, wireless});
    Build(kKindAdapterList);
    const Lines tree = Dump();
    const Lines bareLines(tree.begin() + 1, tree.begin() + 8);
    EXPECT_EQ(bareLines, (Lines{"  1 Fake adapter", "    3 Type: ETHERNET",
                                "    3 HW Addr: xx:xx:xx:xx:xx:xx:", "    3 OS Name: veth1", "    1 IP Addresses",
                                "      3 0.0.0.0 - Mask: 0.0.0.0", "    1 DNS Servers"}));
    EXPECT_EQ(tree[9], "  1 Fake adapter");  // the mixed one
    EXPECT_EQ(tree[13], "    1 IP Addresses");
    EXPECT_EQ(tree[18], "  1+ Fake adapter");  // the wireless one, with a real address
    EXPECT_EQ(tree[19], "    3 Type: [UNKNOWN]");
}

TEST_F(AdapterList, DnsGroupFollowsThePerAdapterRecord) {
    AdapterScript first, second;
    first.index = 5;
    second.index = 6;
    Script({first, second});
    fake_->perAdapterServerCount = 2;
    FakeSetField(fake_->perAdapterServers[0], "");
    FakeSetField(fake_->perAdapterServers[1], "192.0.2.9");
    fake_->perAdapterFailing[0] = 6;
    Build(kKindAdapterList);
    const Lines tree = Dump();
    ASSERT_EQ(tree.size(), 1u + 9 + 6);
    EXPECT_EQ(Lines(tree.begin() + 7, tree.begin() + 10),
              (Lines{"    1 DNS Servers", "      3 [UNKNOWN]", "      3 192.0.2.9"}));
    EXPECT_EQ(tree.back(), "      3 10.0.0.5 - Mask: 255.255.255.0");  // the second has no DNS group
}

TEST_F(AdapterList, PerAdapterBufferIsReusedAndGrownToTheReportedSize) {
    Script({AdapterScript{}, AdapterScript{}, AdapterScript{}});
    // One server for the first adapter, three for the second, two for the
    // third: the second replaces the buffer, the third fits into it.
    fake_->perAdapter.rows[0] = 0;
    fake_->perAdapter.rows[1] = 0;
    fake_->perAdapter.rows[2] = 2;
    fake_->perAdapter.rows[3] = 2;
    fake_->perAdapter.rows[4] = 1;
    fake_->perAdapter.rowSteps = 5;
    Build(kKindAdapterList);
    EXPECT_EQ(fake_->perAdapter.calls, 5u);  // grow, fill; grow, fill; fill
    EXPECT_EQ(iphelper_testing::PerAdapterBuffer().size, FakePerAdapterBytes(2));
    EXPECT_EQ(fake_->perAdapter.bufferIn[4], iphelper_testing::PerAdapterBuffer().buffer);
    EXPECT_EQ(fake_->perAdapter.capacityIn[4], FakePerAdapterBytes(2));
    const Lines tree = Dump();
    EXPECT_EQ(std::count(tree.begin(), tree.end(), "    1 DNS Servers"), 3);
}

TEST_F(AdapterList, WithoutTheListOnlyTheRoot) {
    Build(kKindAdapterList);  // no adapter: the provider answers ERROR_NO_DATA
    EXPECT_EQ(Dump(), (Lines{"0B+ Adapter List"}));
    EXPECT_EQ(fake_->perAdapter.calls, 0u);
}

TEST_F(AdapterList, WithoutThePerAdapterEntryPointTheAdaptersAreComplete) {
    AdapterScript s;
    Script({s});
    fake_->perAdapter.forcedCode = ERROR_NOT_SUPPORTED;
    Build(kKindAdapterList);
    EXPECT_EQ(Dump().size(), 1u + 6);
}

}  // namespace
