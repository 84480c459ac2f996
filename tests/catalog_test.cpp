// The protocol catalog against this machine's Winsock layer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

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

bool KernelOpens(int family, int type) {
    const int fd = ::socket(family, type, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
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
            EXPECT_EQ(e.iNetworkByteOrder, BIGENDIAN) << name;
            EXPECT_EQ(e.iSecurityScheme, 0) << name;
        }
    }
    EXPECT_GE(matched, 2);
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
