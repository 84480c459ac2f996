// The provider's per-connection TCP statistics, loaded as the program loads
// them: the bytes a loopback connection of the test's own carried, each way
// and on both families, as the two ends counted them; and the calling
// rules (records of the wrong size or version, kinds it does not keep, a
// connection that is not there, a proc root that is a fixture).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "iphlpapi.h"

namespace {

struct Provider {
    void* handle = nullptr;
    PFN_GetPerTcpConnectionEStats v4 = nullptr;
    PFN_GetPerTcp6ConnectionEStats v6 = nullptr;
};

const Provider& Library() {
    static const Provider provider = [] {
        Provider p;
        p.handle = dlopen(PROVIDER_DIR "/libiphlpapi.so", RTLD_NOW | RTLD_LOCAL);
        if (p.handle == nullptr) return p;
        void* a = dlsym(p.handle, "GetPerTcpConnectionEStats");
        void* b = dlsym(p.handle, "GetPerTcp6ConnectionEStats");
        std::memcpy(&p.v4, &a, sizeof a);
        std::memcpy(&p.v6, &b, sizeof b);
        return p;
    }();
    return provider;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// A connection over the loopback of `family`: its two ends, and the
// addresses the kernel gave them.
struct Connection {
    Fd listener, client, server;
    sockaddr_storage clientAddress{}, serverAddress{};
    bool ok = false;
};

void Open(int family, Connection& c) {
    c.listener.fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage any{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&any);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&any);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    }
    if (c.listener.fd < 0 || ::bind(c.listener.fd, reinterpret_cast<sockaddr*>(&any), length) != 0 ||
        ::listen(c.listener.fd, 1) != 0)
        return;
    socklen_t l = sizeof c.serverAddress;
    ::getsockname(c.listener.fd, reinterpret_cast<sockaddr*>(&c.serverAddress), &l);
    c.client.fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(c.client.fd, reinterpret_cast<sockaddr*>(&c.serverAddress), length) != 0) return;
    c.server.fd = ::accept4(c.listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    l = sizeof c.clientAddress;
    ::getsockname(c.client.fd, reinterpret_cast<sockaddr*>(&c.clientAddress), &l);
    c.ok = c.server.fd >= 0;
}

// Sends `bytes` from the client and reads them all on the server.
bool Carry(Connection& c, std::size_t bytes) {
    std::vector<char> data(65536, 'x');
    std::size_t sent = 0, received = 0;
    for (int rounds = 0; received < bytes && rounds < 100000; ++rounds) {
        if (sent < bytes) {
            const ssize_t n = ::send(c.client.fd, data.data(), std::min(data.size(), bytes - sent), MSG_DONTWAIT);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        const ssize_t m = ::recv(c.server.fd, data.data(), data.size(), MSG_DONTWAIT);
        if (m > 0) received += static_cast<std::size_t>(m);
    }
    return received == bytes;
}

MIB_TCPROW Row4(const sockaddr_storage& local, const sockaddr_storage& remote) {
    const auto* l = reinterpret_cast<const sockaddr_in*>(&local);
    const auto* r = reinterpret_cast<const sockaddr_in*>(&remote);
    MIB_TCPROW row{};
    row.dwState = 5;
    row.dwLocalAddr = l->sin_addr.s_addr;
    row.dwLocalPort = l->sin_port;
    row.dwRemoteAddr = r->sin_addr.s_addr;
    row.dwRemotePort = r->sin_port;
    return row;
}

MIB_TCP6ROW Row6(const sockaddr_storage& local, const sockaddr_storage& remote) {
    const auto* l = reinterpret_cast<const sockaddr_in6*>(&local);
    const auto* r = reinterpret_cast<const sockaddr_in6*>(&remote);
    MIB_TCP6ROW row{};
    row.State = 5;
    std::memcpy(row.LocalAddr, &l->sin6_addr, 16);
    row.dwLocalPort = l->sin6_port;
    std::memcpy(row.RemoteAddr, &r->sin6_addr, 16);
    row.dwRemotePort = r->sin6_port;
    return row;
}

template <class Fn, class Row>
ULONG Data(Fn fn, Row row, TCP_ESTATS_DATA_ROD_v0& data) {
    return fn(&row, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, reinterpret_cast<UCHAR*>(&data), 0,
              sizeof data);
}

class ConnectionEStats : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_NE(Library().v4, nullptr);
        ASSERT_NE(Library().v6, nullptr);
    }
};

// The counts of each end, asked the way a caller asks (the table of the
// family may or may not have been taken first), match what was carried.
TEST_P(ConnectionEStats, BothEndsCountWhatTheConnectionCarried) {
    const int family = GetParam();
    Connection c;
    Open(family, c);
    if (!c.ok && family == AF_INET6) GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(c.ok);
    constexpr std::size_t kBytes = 3 * 1000 * 1000 + 7;
    ASSERT_TRUE(Carry(c, kBytes));
    TCP_ESTATS_DATA_ROD_v0 client{}, server{};
    // The peer's acknowledgement of the last bytes may still be on its way.
    // The octets acknowledged count the connecting end's SYN too.
    for (int tries = 0; tries < 100; ++tries) {
        const ULONG a = family == AF_INET ? Data(Library().v4, Row4(c.clientAddress, c.serverAddress), client)
                                          : Data(Library().v6, Row6(c.clientAddress, c.serverAddress), client);
        ASSERT_EQ(a, NO_ERROR);
        if (client.ThruBytesAcked == kBytes + 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const ULONG b = family == AF_INET ? Data(Library().v4, Row4(c.serverAddress, c.clientAddress), server)
                                      : Data(Library().v6, Row6(c.serverAddress, c.clientAddress), server);
    ASSERT_EQ(b, NO_ERROR);
    EXPECT_EQ(client.ThruBytesAcked, kBytes + 1);
    EXPECT_EQ(client.ThruBytesReceived, 0u);
    EXPECT_EQ(server.ThruBytesReceived, kBytes);
    EXPECT_EQ(server.DataBytesIn, kBytes);
    EXPECT_EQ(server.ThruBytesAcked, 0u);

    TCP_ESTATS_PATH_ROD_v0 path{};
    TCP_ESTATS_PATH_RW_v0 rw{};
    MIB_TCPROW row4 = Row4(c.clientAddress, c.serverAddress);
    MIB_TCP6ROW row6 = Row6(c.clientAddress, c.serverAddress);
    const ULONG p = family == AF_INET
                        ? Library().v4(&row4, TcpConnectionEstatsPath, reinterpret_cast<UCHAR*>(&rw), 0, sizeof rw,
                                       nullptr, 0, 0, reinterpret_cast<UCHAR*>(&path), 0, sizeof path)
                        : Library().v6(&row6, TcpConnectionEstatsPath, reinterpret_cast<UCHAR*>(&rw), 0, sizeof rw,
                                       nullptr, 0, 0, reinterpret_cast<UCHAR*>(&path), 0, sizeof path);
    EXPECT_EQ(p, NO_ERROR);
    EXPECT_EQ(client.DataBytesOut - path.BytesRetrans, kBytes) << "each payload byte once";
    EXPECT_EQ(rw.EnableCollection, 1) << "the kernel always counts";
    EXPECT_LT(path.SmoothedRtt, 1000u) << "a loopback round trip, in milliseconds";
}

INSTANTIATE_TEST_SUITE_P(Families, ConnectionEStats, testing::Values(AF_INET, AF_INET6),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::string(param.param == AF_INET ? "Ipv4" : "Ipv6");
                         });

TEST(ConnectionEStatsRules, BadArgumentsAreRefusedAndNothingIsWritten) {
    ASSERT_NE(Library().v4, nullptr);
    Connection c;
    Open(AF_INET, c);
    ASSERT_TRUE(c.ok);
    MIB_TCPROW row = Row4(c.clientAddress, c.serverAddress);
    TCP_ESTATS_DATA_ROD_v0 data;
    std::memset(&data, 0xA5, sizeof data);
    const TCP_ESTATS_DATA_ROD_v0 sentinel = data;
    UCHAR ros[8] = {};
    auto* rod = reinterpret_cast<UCHAR*>(&data);
    struct Case {
        const char* what;
        ULONG expected;
        ULONG rc;
    };
    const auto fn = Library().v4;
    const Case cases[] = {
        {"null row", ERROR_INVALID_PARAMETER,
         fn(nullptr, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, rod, 0, sizeof data)},
        {"record one byte short", ERROR_INVALID_PARAMETER,
         fn(&row, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, rod, 0, sizeof data - 1)},
        {"record version 1", ERROR_INVALID_PARAMETER,
         fn(&row, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, rod, 1, sizeof data)},
        {"a size without a record", ERROR_INVALID_PARAMETER,
         fn(&row, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, sizeof data)},
        {"a static record the kind has not", ERROR_INVALID_PARAMETER,
         fn(&row, TcpConnectionEstatsData, nullptr, 0, 0, ros, 0, sizeof ros, rod, 0, sizeof data)},
        {"a kind not kept", ERROR_NOT_SUPPORTED,
         fn(&row, TcpConnectionEstatsSndCong, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0)},
        {"a kind past the last", ERROR_NOT_SUPPORTED,
         fn(&row, static_cast<TCP_ESTATS_TYPE>(99), nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0)},
    };
    for (const Case& k : cases) EXPECT_EQ(k.rc, k.expected) << k.what;
    EXPECT_EQ(std::memcmp(&data, &sentinel, sizeof data), 0);

    // The same ends once the connection is gone.
    MIB_TCPROW gone = row;
    gone.dwRemotePort = htons(1);  // nobody's
    EXPECT_EQ(fn(&gone, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, rod, 0, sizeof data), ERROR_NOT_FOUND);
    EXPECT_EQ(std::memcmp(&data, &sentinel, sizeof data), 0);
}

TEST(ConnectionEStatsRules, AFixtureProcRootHasNoStatistics) {
    ASSERT_NE(Library().v4, nullptr);
    TempDir root;
    ASSERT_FALSE(root.Path().empty());
    ::setenv("TESSALINE_PROC_ROOT", root.Path().c_str(), 1);
    MIB_TCPROW row{};
    TCP_ESTATS_DATA_ROD_v0 data{};
    const ULONG rc = Library().v4(&row, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0,
                                  reinterpret_cast<UCHAR*>(&data), 0, sizeof data);
    ::unsetenv("TESSALINE_PROC_ROOT");
    EXPECT_EQ(rc, ERROR_NOT_SUPPORTED);
}

}  // namespace
