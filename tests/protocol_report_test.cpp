// The protocol list report, built into an in-memory tree from catalog
// entries scripted in a Winsock layer that replaces the real one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeReportFixture.h"
#include "FakeWinsock.h"
#include "NetworkReport.h"
#include "ProtocolCatalog.h"

namespace {

using Lines = std::vector<std::string>;

WSAPROTOCOL_INFOW Entry(const char16_t* name, int family, DWORD service, DWORD provider) {
    WSAPROTOCOL_INFOW e;
    std::memset(&e, 0, sizeof e);
    std::char_traits<char16_t>::copy(e.szProtocol, name, std::char_traits<char16_t>::length(name));
    e.iAddressFamily = family;
    e.dwServiceFlags1 = service;
    e.dwProviderFlags = provider;
    return e;
}

class ProtocolList : public FakeReportFixture {
protected:
    void SetUp() override {
        FakeReportFixture::SetUp();
        FakeWinsock() = FakeWinsockScript{};
    }
};

TEST_F(ProtocolList, EveryFieldOfAnEntryInOrder) {
    WSAPROTOCOL_INFOW e = Entry(u"TCP/IPv6", 23, 0x20066, 0x8);
    // The GUID's bytes as the platform stores them: the first three fields
    // little-endian, then the eight bytes of Data4.
    const unsigned char guid[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                    0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    std::memcpy(&e.ProviderId, guid, sizeof guid);
    e.iProtocol = 6;
    e.iSocketType = 1;
    FakeWinsock().content = {e};
    Build(kKindProtocolList);
    const Lines expected = {
        "0B+ Protocol List",
        "  1 TCP/IPv6",
        "    3 ProviderGUID: {00112233-4455-6677-8899-aabbccddeeff}",
        "    3 Family: AF_INET6",
        "    1 ServiceFlags1: 0x00020066",
        "      3 GUARANTEED_DELIVERY",
        "      3 GUARANTEED_ORDER",
        "      3 GRACEFUL_CLOSE",
        "      3 EXPEDITED_DATA",
        "      3 IFS_HANDLES",
        "    1 ServiceProviderFlags: 0x00000008",
        "      3 MATCHES_PROTOCOL_ZERO",
        "    3 BIGENDIAN",
        "    3 SecurityScheme: NONE",
        "    3 ProtocolID: 6",
        "    3 SocketType: 1",
        "    3 MaxMessageSize: 0",
    };
    EXPECT_EQ(Dump(), expected);
}

TEST_F(ProtocolList, FlagBitsLowestFirstWithUnknownOnesNamedSo) {
    WSAPROTOCOL_INFOW none = Entry(u"none", 0, 0, 0);
    WSAPROTOCOL_INFOW qos = Entry(u"qos", 1, 0x2000 | 0x4000, 0x10 | 0x2);
    qos.dwMessageSize = 0xffffffffu;
    qos.iNetworkByteOrder = 1;
    qos.iSecurityScheme = 7;
    WSAPROTOCOL_INFOW top = Entry(u"top", 26, 0x80000000u | 0x40000, 0x80000000u);
    top.iNetworkByteOrder = 2;
    FakeWinsock().content = {none, qos, top};
    Build(kKindProtocolList);
    const Lines tree = Dump();
    ASSERT_EQ(tree.size(), 1u + 10 + 14 + 13);
    EXPECT_EQ(
        Lines(tree.begin() + 1, tree.begin() + 11),
        (Lines{"  1 none", "    3 ProviderGUID: {00000000-0000-0000-0000-000000000000}", "    3 Family: [UNKNOWN]",
               "    1 ServiceFlags1: 0x00000000", "    1 ServiceProviderFlags: 0x00000000", "    3 BIGENDIAN",
               "    3 SecurityScheme: NONE", "    3 ProtocolID: 0", "    3 SocketType: 0", "    3 MaxMessageSize: 0"}));
    EXPECT_EQ(Lines(tree.begin() + 11, tree.begin() + 25),
              (Lines{"  1 qos", "    3 ProviderGUID: {00000000-0000-0000-0000-000000000000}", "    3 Family: AF_UNIX",
                     "    1 ServiceFlags1: 0x00006000", "      3 QOS_SUPPORTED", "      3 [UNKNOWN]",
                     "    1 ServiceProviderFlags: 0x00000012", "      3 RECOMMENDED_PROTO_ENTRY", "      3 [UNKNOWN]",
                     "    3 LITTLEENDIAN", "    3 SecurityScheme: AVAILABLE", "    3 ProtocolID: 0",
                     "    3 SocketType: 0", "    3 MaxMessageSize: -1"}));
    EXPECT_EQ(tree[27], "    3 Family: [UNKNOWN]");
    EXPECT_EQ(Lines(tree.begin() + 28, tree.begin() + 33),
              (Lines{"    1 ServiceFlags1: 0x80040000", "      3 PARTIAL_MESSAGE", "      3 [UNKNOWN]",
                     "    1 ServiceProviderFlags: 0x80000000", "      3 [UNKNOWN]"}));
    EXPECT_EQ(tree[33], "    3 [UNKNOWN]");  // byte order 2
}

TEST_F(ProtocolList, NameEndsAtItsFieldAndEachBuildRefillsTheCatalog) {
    WSAPROTOCOL_INFOW full = Entry(u"", 2, 0, 0);
    for (char16_t& c : full.szProtocol) c = u'p';  // no terminating zero
    FakeWinsock().content = {full};
    Build(kKindProtocolList);
    const Lines first = Dump();
    EXPECT_EQ(first[1], "  1 " + std::string(WSAPROTOCOL_LEN + 1, 'p'));
    const std::size_t calls = FakeWinsock().calls.size();
    report_->BuildReport();
    EXPECT_EQ(Dump(), first);                          // the same tree, root alone expanded
    EXPECT_EQ(FakeWinsock().calls.size(), calls + 1);  // refilled into the buffer it has
}

TEST_F(ProtocolList, FailedEnumerationLeavesTheRootAlone) {
    FakeWinsock().forcedError = WSAEINVAL;
    Build(kKindProtocolList);
    EXPECT_EQ(Dump(), (Lines{"0B+ Protocol List"}));
}

TEST(AddressFamilyName, ByEntryIndexWithinTheCatalog) {
    FakeWinsock() = FakeWinsockScript{};
    for (int family : {0, 1, 6, 7, 12, 16, 23, 25, 26, -1}) {
        WSAPROTOCOL_INFOW e;
        std::memset(&e, 0, sizeof e);
        e.iAddressFamily = family;
        FakeWinsock().content.push_back(e);
    }
    CProtocolCatalog catalog;
    catalog.Enumerate();
    CProtocolCatalog* saved = g_pProtocolCatalog;
    g_pProtocolCatalog = &catalog;
    const char* const want[] = {"[UNKNOWN]",    "AF_UNIX",  "AF_NS/AF_IPX", "AF_ISO/AF_OSI", "AF_DECnet",
                                "AF_APPLETALK", "AF_INET6", "AF_12844",     "[UNKNOWN]",     "[UNKNOWN]"};
    for (int i = 0; i < 10; ++i) EXPECT_STREQ(GetAddressFamilyName(i), want[i]) << i;
    EXPECT_STREQ(GetAddressFamilyName(-1), "[UNKNOWN]");
    EXPECT_STREQ(GetAddressFamilyName(10), "[UNKNOWN]");
    g_pProtocolCatalog = saved;
}

}  // namespace
