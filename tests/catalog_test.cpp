// The protocol catalog against this machine's Winsock layer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ProtocolCatalog.h"
#include "WideText.h"
#include "winsock.h"

namespace {

class WinsockStarted : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &m_data), 0); }
    void TearDown() override { WSACleanup(); }
    WSADATA m_data{};
};

bool KernelOpens(int family, int type, int protocol = 0) {
    const int fd = ::socket(family, type, protocol);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// The largest Unix datagram a fresh socket sends: its send buffer less the
// 32 bytes the kernel keeps back.
DWORD UnixDatagramLimit() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    int buffer = 0;
    socklen_t length = sizeof buffer;
    ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, &length);
    ::close(fd);
    return static_cast<DWORD>(buffer - 32);
}

TEST(Winsock, StartupIsCountedAndCleanupBelowZeroFails) {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 0));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    DWORD length = 0;
    EXPECT_EQ(WSAEnumProtocolsW(nullptr, nullptr, &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSAStartup(0, &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 0), nullptr), WSAEFAULT);
}

TEST_F(WinsockStarted, EnumerationReportsTheNeededLengthThenFills) {
    DWORD length = 0;
    ASSERT_EQ(WSAEnumProtocolsW(nullptr, nullptr, &length), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAENOBUFS);
    ASSERT_GT(length, 0u);
    ASSERT_EQ(length % sizeof(WSAPROTOCOL_INFOW), 0u);

    // One entry's room short still fails, and says the same length again.
    std::vector<WSAPROTOCOL_INFOW> buffer(length / sizeof(WSAPROTOCOL_INFOW));
    DWORD shortLength = length - 1;
    EXPECT_EQ(WSAEnumProtocolsW(nullptr, buffer.data(), &shortLength), SOCKET_ERROR);
    EXPECT_EQ(shortLength, length);

    const int n = WSAEnumProtocolsW(nullptr, buffer.data(), &length);
    ASSERT_EQ(n, static_cast<int>(buffer.size()));

    std::set<std::string> names;
    for (const WSAPROTOCOL_INFOW& e : buffer) names.insert(WideToUtf8(e.szProtocol));
    // Every machine this runs on opens IPv4 TCP and UDP sockets.
    EXPECT_TRUE(names.count("TCP/IP"));
    EXPECT_TRUE(names.count("UDP/IP"));
    EXPECT_EQ(names.count("TCP/IPv6") == 1, KernelOpens(AF_INET6, SOCK_STREAM));
    EXPECT_EQ(names.count("UDP/IPv6") == 1, KernelOpens(AF_INET6, SOCK_DGRAM));
}

TEST_F(WinsockStarted, EntriesDescribeTheirProtocolTruthfully) {
    CProtocolCatalog catalog;
    catalog.Enumerate();
    ASSERT_TRUE(catalog.m_bValid);
    struct Expected {
        int family, type, protocol;
        DWORD flags, messageSize;
    };
    const std::pair<std::string, Expected> table[] = {
        {"TCP/IP", {WS_AF_INET, WS_SOCK_STREAM, 6, 0x20066, 0}},
        {"UDP/IP", {WS_AF_INET, WS_SOCK_DGRAM, 17, 0x20609, 65507}},
        {"TCP/IPv6", {WS_AF_INET6, WS_SOCK_STREAM, 6, 0x20066, 0}},
        {"UDP/IPv6", {WS_AF_INET6, WS_SOCK_DGRAM, 17, 0x20409, 65527}},
        {"Unix stream", {WS_AF_UNIX, WS_SOCK_STREAM, 0, 0x20026, 0}},
        {"Unix datagram", {WS_AF_UNIX, WS_SOCK_DGRAM, 0, 0x2000f, UnixDatagramLimit()}},
        {"Unix sequenced packet", {WS_AF_UNIX, WS_SOCK_SEQPACKET, 0, 0x2002e, UnixDatagramLimit()}},
    };
    int matched = 0;
    for (int i = 0; i < catalog.m_nProtocols; ++i) {
        const WSAPROTOCOL_INFOW& e = catalog.m_pProtocols[i];
        for (const auto& [name, want] : table) {
            if (WideToUtf8(e.szProtocol) != name) continue;
            ++matched;
            EXPECT_EQ(e.iAddressFamily, want.family) << name;
            EXPECT_EQ(e.iSocketType, want.type) << name;
            EXPECT_EQ(e.iProtocol, want.protocol) << name;
            EXPECT_EQ(e.dwServiceFlags1, want.flags) << name;
            EXPECT_EQ(e.dwMessageSize, want.messageSize) << name;
            EXPECT_EQ(e.dwProviderFlags & PFL_MATCHES_PROTOCOL_ZERO, PFL_MATCHES_PROTOCOL_ZERO) << name;
            EXPECT_EQ(e.iNetworkByteOrder, want.family == WS_AF_UNIX ? LITTLEENDIAN : BIGENDIAN) << name;
            EXPECT_EQ(e.iSecurityScheme, 0) << name;
        }
    }
    EXPECT_GE(matched, 5);
}

// The kernel's list of loaded protocols, read again.
std::vector<std::string> Registered() {
    std::ifstream in("/proc/net/protocols");
    std::ostringstream text;
    text << in.rdbuf();
    return RegisteredProtocolNames(text.str());
}

bool IsRegistered(const std::string& name) {
    const std::vector<std::string> names = Registered();
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(RegisteredProtocols, FirstColumnBelowTheHeader) {
    const std::string text =
        "protocol  size sockets  memory press maxhdr  slab module     cl co di ac io in de sh ss gs se re sp bi br ha uh gp em\n"
        "SCTPv6    1600      0       0   no       0   no   sctp       y  y  y  y  y  y  y  y  y  y  y  y  n  y  n  y  y  y  y\n"
        "UNIX-STREAM 1024   12      -1   NI       0   yes  kernel     y  n  n  n  n  n  n  n  n  n  n  n  n  n  n  n  n  n  n\n"
        "\n"
        "TCP       2448      4       2   no     320   yes  kernel     y  y  y  y  y  y  y  y  y  y  y  y  y  n  y  y  y  y  y";
    EXPECT_EQ(RegisteredProtocolNames(text), (std::vector<std::string>{"SCTPv6", "UNIX-STREAM", "TCP"}));
    EXPECT_TRUE(RegisteredProtocolNames("").empty());
    EXPECT_TRUE(RegisteredProtocolNames("protocol size").empty());
}

TEST_F(WinsockStarted, OnlyLoadedProtocolsAreProbedAndNoneIsLoadedByProbing) {
    const std::vector<std::string> before = Registered();
    CProtocolCatalog catalog;
    catalog.Enumerate();
    ASSERT_TRUE(catalog.m_bValid);
    std::set<std::string> names;
    for (int i = 0; i < catalog.m_nProtocols; ++i) names.insert(WideToUtf8(catalog.m_pProtocols[i].szProtocol));
    // Enumerating made the kernel load no module.
    EXPECT_EQ(Registered(), before);
    EXPECT_EQ(names.count("SCTP/IP") == 1, IsRegistered("SCTP"));
    EXPECT_EQ(names.count("SCTP/IP sequenced packet") == 1, IsRegistered("SCTP"));
    EXPECT_EQ(names.count("Bluetooth RFCOMM") == 1, IsRegistered("RFCOMM"));
    EXPECT_EQ(names.count("AppleTalk DDP") == 1, IsRegistered("DDP"));
    EXPECT_EQ(names.count("IPX") == 1, IsRegistered("IPX"));
    // Raw IP needs CAP_NET_RAW: present exactly when a raw socket opens.
    EXPECT_EQ(names.count("RAW/IP") == 1, IsRegistered("RAW") && KernelOpens(AF_INET, SOCK_RAW, IPPROTO_RAW));
}

TEST_F(WinsockStarted, ProviderGuidsAreTheSameOnEveryCall) {
    CProtocolCatalog a, b;
    a.Enumerate();
    b.Enumerate();
    ASSERT_TRUE(a.m_bValid && b.m_bValid);
    ASSERT_EQ(a.m_nProtocols, b.m_nProtocols);
    for (int i = 0; i < a.m_nProtocols; ++i)
        EXPECT_EQ(std::memcmp(&a.m_pProtocols[i].ProviderId, &b.m_pProtocols[i].ProviderId, sizeof(GUID)), 0);
    // IPv4 and IPv6 come from two providers.
    const GUID& first = a.m_pProtocols[0].ProviderId;
    bool another = false;
    for (int i = 0; i < a.m_nProtocols; ++i)
        another |= std::memcmp(&a.m_pProtocols[i].ProviderId, &first, sizeof(GUID)) != 0;
    EXPECT_EQ(another, KernelOpens(AF_INET6, SOCK_STREAM));
}

TEST_F(WinsockStarted, FilterSelectsByProtocolNumber) {
    int udpOnly[] = {17, 0};
    DWORD length = 0;
    ASSERT_EQ(WSAEnumProtocolsW(udpOnly, nullptr, &length), SOCKET_ERROR);
    std::vector<WSAPROTOCOL_INFOW> buffer(length / sizeof(WSAPROTOCOL_INFOW));
    const int n = WSAEnumProtocolsW(udpOnly, buffer.data(), &length);
    ASSERT_GE(n, 1);
    for (int i = 0; i < n; ++i) EXPECT_EQ(buffer[static_cast<std::size_t>(i)].iProtocol, 17);
}

TEST_F(WinsockStarted, FreshRecordGrowsOnceThenReusesItsBuffer) {
    CProtocolCatalog catalog;
    catalog.Enumerate();
    ASSERT_TRUE(catalog.m_bValid);
    ASSERT_GT(catalog.m_nProtocols, 0);
    const WSAPROTOCOL_INFOW* buffer = catalog.m_pProtocols;
    const DWORD length = catalog.m_dwBufferLength;
    catalog.Enumerate();
    EXPECT_TRUE(catalog.m_bValid);
    EXPECT_EQ(catalog.m_pProtocols, buffer);
    EXPECT_EQ(catalog.m_dwBufferLength, length);
}

}  // namespace
