// The sock_diag dump: decoding of reply buffers, broken ones included, the
// IPv6 rows and their scope ids, and live dumps that find the sockets this
// test opens on loopback, each in its family's dump only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "SockDiag.h"
#include "SocketTables.h"

namespace {

constexpr unsigned kSeq = 42;

// Appends one netlink message of `type` carrying `payload` bytes.
void Append(std::vector<unsigned char>& buffer, unsigned short type, unsigned seq, const void* payload,
            std::size_t size) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<unsigned>(NLMSG_LENGTH(size));
    header.nlmsg_type = type;
    header.nlmsg_seq = seq;
    const std::size_t at = buffer.size();
    buffer.resize(at + NLMSG_SPACE(size));
    std::memcpy(buffer.data() + at, &header, sizeof header);
    if (size > 0) std::memcpy(buffer.data() + at + NLMSG_HDRLEN, payload, size);
}

void AppendSocket(std::vector<unsigned char>& buffer, unsigned inode, unsigned seq = kSeq) {
    inet_diag_msg msg{};
    msg.idiag_family = AF_INET;
    msg.idiag_inode = inode;
    Append(buffer, SOCK_DIAG_BY_FAMILY, seq, &msg, sizeof msg);
}

std::vector<unsigned> Decode(const std::vector<unsigned char>& buffer, int& state, std::size_t length) {
    std::vector<unsigned> inodes;
    state = provider::DecodeSockDiagBuffer(buffer.data(), length, kSeq,
                                           [&inodes](const inet_diag_msg& m) { inodes.push_back(m.idiag_inode); });
    return inodes;
}

TEST(SockDiagDecode, RowsThenDone) {
    std::vector<unsigned char> buffer;
    AppendSocket(buffer, 11);
    AppendSocket(buffer, 12);
    AppendSocket(buffer, 99, kSeq + 1);  // another request's answer is not ours
    int state = 0;
    EXPECT_EQ(Decode(buffer, state, buffer.size()), (std::vector<unsigned>{11, 12}));
    EXPECT_EQ(state, 0);

    Append(buffer, NLMSG_DONE, kSeq, nullptr, 0);
    Decode(buffer, state, buffer.size());
    EXPECT_EQ(state, 1);
}

TEST(SockDiagDecode, BrokenBuffersStopWithoutReadingPastTheEnd) {
    std::vector<unsigned char> good;
    AppendSocket(good, 7);

    int state = 0;
    // Cut inside the header, and inside the message: the cut message is
    // never delivered.
    EXPECT_TRUE(Decode(good, state, 10).empty());
    EXPECT_EQ(state, 0);
    EXPECT_TRUE(Decode(good, state, good.size() - 4).empty());
    EXPECT_EQ(state, -1);

    // A length that claims more than the buffer holds, and one below a header.
    for (unsigned bad : {10000u, 3u}) {
        std::vector<unsigned char> buffer = good;
        std::memcpy(buffer.data(), &bad, sizeof bad);
        EXPECT_TRUE(Decode(buffer, state, buffer.size()).empty()) << bad;
        EXPECT_EQ(state, -1) << bad;
    }

    // A socket message too short to hold its record is skipped.
    std::vector<unsigned char> shortMsg;
    const unsigned char tiny[8] = {};
    Append(shortMsg, SOCK_DIAG_BY_FAMILY, kSeq, tiny, sizeof tiny);
    EXPECT_TRUE(Decode(shortMsg, state, shortMsg.size()).empty());

    // An error message ends the dump as a failure.
    std::vector<unsigned char> error;
    const int code = -EPERM;
    Append(error, NLMSG_ERROR, kSeq, &code, sizeof code);
    Decode(error, state, error.size());
    EXPECT_EQ(state, -1);
}

// ------------------------------------------------------------ IPv6

using Address = std::array<std::uint8_t, 16>;

Address Parse6(const char* text) {
    Address a{};
    inet_pton(AF_INET6, text, a.data());
    return a;
}

std::string Text6(const Address& a, DWORD scope, unsigned port) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, a.data(), text, sizeof text);
    return "[" + std::string(text) + (scope != 0 ? "%" + std::to_string(scope) : "") + "]:" + std::to_string(port);
}

inet_diag_msg Message6(const char* src, unsigned short sport, const char* dst, unsigned short dport,
                       unsigned char state, unsigned ifindex, unsigned inode) {
    inet_diag_msg m{};
    m.idiag_family = AF_INET6;
    m.idiag_state = state;
    const Address s = Parse6(src), d = Parse6(dst);
    std::memcpy(m.id.idiag_src, s.data(), s.size());
    std::memcpy(m.id.idiag_dst, d.data(), d.size());
    m.id.idiag_sport = htons(sport);
    m.id.idiag_dport = htons(dport);
    m.id.idiag_if = ifindex;
    m.idiag_inode = inode;
    return m;
}

void Append6(std::vector<unsigned char>& buffer, const inet_diag_msg& m, unsigned seq = kSeq) {
    Append(buffer, SOCK_DIAG_BY_FAMILY, seq, &m, sizeof m);
}

std::vector<std::string> Decode6(const std::vector<unsigned char>& buffer, int& state, std::size_t length) {
    std::vector<std::string> rows;
    state = provider::DecodeSockDiag6Buffer(buffer.data(), length, kSeq, [&rows](const inet_diag_msg& m) {
        const provider::Socket6Row r = provider::Socket6RowOf(m, true);
        rows.push_back(std::to_string(r.state) + " " + Text6(r.localAddr, r.localScope, r.localPort) + " " +
                       Text6(r.remoteAddr, r.remoteScope, r.remotePort) + " inode " + std::to_string(r.inode));
    });
    return rows;
}

// The interface of the socket is the zone of a link-local address (on
// either end) and of interface- and link-scope multicast, and of nothing
// else: not of a v4-mapped or global address on a socket bound to a device.
TEST(SockDiag6Decode, RowsWithAddressesPortsStatesAndScopes) {
    std::vector<unsigned char> buffer;
    Append6(buffer, Message6("::1", 22, "::", 0, 10, 0, 11));
    Append6(buffer, Message6("fe80::1", 40012, "fe80::2", 47780, 1, 3, 12));
    Append6(buffer, Message6("::ffff:127.0.0.1", 40011, "::ffff:127.0.0.1", 37618, 1, 5, 13));
    Append6(buffer, Message6("2001:db8::1", 443, "fe80::9", 50000, 8, 4, 14));
    Append6(buffer, Message6("ff02::fb", 5353, "::", 0, 7, 2, 15));
    Append6(buffer, Message6("ff05::2", 1, "ff01::1", 2, 7, 2, 16));
    inet_diag_msg v4 = Message6("::1", 22, "::", 0, 10, 0, 17);
    v4.idiag_family = AF_INET;  // not ours in an IPv6 dump
    Append6(buffer, v4);
    Append6(buffer, Message6("::1", 23, "::", 0, 10, 0, 18), kSeq + 1);  // another request's
    Append(buffer, NLMSG_DONE, kSeq, nullptr, 0);
    int state = 0;
    EXPECT_EQ(Decode6(buffer, state, buffer.size()), (std::vector<std::string>{
                                                         "2 [::1]:22 [::]:0 inode 11",
                                                         "5 [fe80::1%3]:40012 [fe80::2%3]:47780 inode 12",
                                                         "5 [::ffff:127.0.0.1]:40011 [::ffff:127.0.0.1]:37618 inode 13",
                                                         "8 [2001:db8::1]:443 [fe80::9%4]:50000 inode 14",
                                                         "1 [ff02::fb%2]:5353 [::]:0 inode 15",
                                                         "1 [ff05::2]:1 [ff01::1%2]:2 inode 16",
                                                     }));
    EXPECT_EQ(state, 1);
}

TEST(SockDiag6Decode, BrokenBuffersStopWithoutReadingPastTheEnd) {
    std::vector<unsigned char> good;
    Append6(good, Message6("::1", 22, "::", 0, 10, 0, 7));
    auto withLength = [&good](unsigned length) {
        std::vector<unsigned char> b = good;
        std::memcpy(b.data(), &length, sizeof length);
        return b;
    };
    std::vector<unsigned char> shortMessage;
    const unsigned char tiny[sizeof(inet_diag_msg) - 1] = {};
    Append(shortMessage, SOCK_DIAG_BY_FAMILY, kSeq, tiny, sizeof tiny);
    Append6(shortMessage, Message6("::1", 22, "::", 0, 10, 0, 8));
    std::vector<unsigned char> error;
    const int code = -EPERM;
    Append(error, NLMSG_ERROR, kSeq, &code, sizeof code);
    struct Case {
        const char* what;
        std::vector<unsigned char> buffer;
        std::size_t length;
        std::vector<std::string> rows;
        int state;
    };
    const Case cases[] = {
        {"whole", good, good.size(), {"2 [::1]:22 [::]:0 inode 7"}, 0},
        {"cut inside the header", good, 10, {}, 0},
        {"cut inside the message", good, good.size() - 4, {}, -1},
        {"a length past the buffer", withLength(10000), good.size(), {}, -1},
        {"a length one past the buffer", withLength(static_cast<unsigned>(good.size() + 1)), good.size(), {}, -1},
        {"a length below a header", withLength(3), good.size(), {}, -1},
        {"a message too short for its record, then a good one", shortMessage, shortMessage.size(),
         {"2 [::1]:22 [::]:0 inode 8"}, 0},
        {"an error", error, error.size(), {}, -1},
    };
    for (const Case& c : cases) {
        // Decoded from an exact-size heap copy, so that a read past the end
        // is caught by the sanitizer build.
        const std::vector<unsigned char> exact(c.buffer.begin(), c.buffer.begin() + static_cast<long>(c.length));
        int state = 9;
        EXPECT_EQ(Decode6(exact, state, exact.size()), c.rows) << c.what;
        EXPECT_EQ(state, c.state) << c.what;
    }
}

TEST(SockDiag6Decode, ScopeIdsOfAddresses) {
    const std::vector<std::pair<const char*, DWORD>> table = {
        {"fe80::1", 7},    {"febf:ffff::1", 7}, {"fec0::1", 0}, {"fe7f::1", 0}, {"ff02::1", 7}, {"ff12::1", 7},
        {"ff01::1", 7},    {"ff05::1", 0},      {"ff0e::1", 0}, {"::1", 0},     {"::", 0},      {"::ffff:169.254.0.1", 0},
        {"2001:db8::", 0}, {"fd00::2", 0},
    };
    for (const auto& [text, scope] : table) EXPECT_EQ(provider::ScopeIdOf(Parse6(text), 7), scope) << text;
}

// Whether an IPv6 socket takes IPv6 alone, from its INET_DIAG_SKV6ONLY
// attribute among others; nothing from a message without it or whose
// attributes do not fit.  Every cut of a message is read within its bytes
// (each its own exact-size buffer, for the sanitizer build).
TEST(SockDiag6Decode, V6OnlyFromItsAttribute) {
    const auto message = [](std::vector<std::pair<unsigned short, std::vector<unsigned char>>> attributes,
                            int badLength = -1) {
        std::vector<unsigned char> m(NLMSG_ALIGN(sizeof(inet_diag_msg)));
        for (const auto& [type, value] : attributes) {
            nlattr header{};
            header.nla_len = static_cast<unsigned short>(badLength >= 0 ? badLength : NLA_HDRLEN + value.size());
            header.nla_type = type;
            const std::size_t at = m.size();
            m.resize(at + NLA_ALIGN(NLA_HDRLEN + value.size()));
            std::memcpy(m.data() + at, &header, sizeof header);
            std::copy(value.begin(), value.end(), m.begin() + static_cast<long>(at + NLA_HDRLEN));
        }
        return m;
    };
    const auto read = [](const std::vector<unsigned char>& m, std::size_t length) {
        const std::vector<unsigned char> cut(m.begin(), m.begin() + static_cast<long>(length));
        const std::optional<bool> only = provider::V6OnlyOfMessage(cut.data(), cut.size());
        return only ? (*only ? "v6only" : "dual") : "unknown";
    };
    struct Case {
        const char* what;
        std::vector<unsigned char> message;
        const char* said;
    };
    const Case cases[] = {
        {"on", message({{INET_DIAG_SKV6ONLY, {1}}}), "v6only"},
        {"off, after other attributes",
         message({{INET_DIAG_SHUTDOWN, {0}}, {INET_DIAG_TOS, {0, 0, 0, 0, 0}}, {INET_DIAG_SKV6ONLY, {0}}}), "dual"},
        {"with a flag bit in its type", message({{INET_DIAG_SKV6ONLY | NLA_F_NESTED, {1}}}), "v6only"},
        {"absent (TIME_WAIT)", message({{INET_DIAG_SHUTDOWN, {0}}}), "unknown"},
        {"no attributes", message({}), "unknown"},
        {"without a value", message({{INET_DIAG_SKV6ONLY, {}}}), "unknown"},
        {"a length past the message", message({{INET_DIAG_SKV6ONLY, {1}}}, 200), "unknown"},
        {"a length below its header", message({{INET_DIAG_SHUTDOWN, {0}}, {INET_DIAG_SKV6ONLY, {1}}}, 2), "unknown"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(read(c.message, c.message.size()), c.said) << c.what;
        for (std::size_t length = 0; length < c.message.size(); ++length) read(c.message, length);
    }
    EXPECT_STREQ(read(message({{INET_DIAG_SKV6ONLY, {1}}}), NLMSG_ALIGN(sizeof(inet_diag_msg)) + NLA_HDRLEN), "unknown")
        << "its value cut off";
}

TEST(SockDiagDump, EachFamilysListenerOnlyInItsOwnDump) {
    const int fd4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int fd6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd6 < 0) {
        ::close(fd4);
        GTEST_SKIP() << "no IPv6 here";
    }
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(fd4, reinterpret_cast<sockaddr*>(&a4), sizeof a4) == 0 && ::listen(fd4, 1) == 0 &&
                       ::bind(fd6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0 && ::listen(fd6, 1) == 0;
    socklen_t len4 = sizeof a4, len6 = sizeof a6;
    ::getsockname(fd4, reinterpret_cast<sockaddr*>(&a4), &len4);
    ::getsockname(fd6, reinterpret_cast<sockaddr*>(&a6), &len6);
    struct stat st4 {}, st6{};
    ::fstat(fd4, &st4);
    ::fstat(fd6, &st6);
    int found6 = 0, v4In6 = 0, v6In4 = 0;
    const bool ok6 = provider::DumpInetSockets(AF_INET6, IPPROTO_TCP, [&](const inet_diag_msg& m) {
        if (m.idiag_inode == st6.st_ino && m.id.idiag_sport == a6.sin6_port && m.idiag_state == 10 &&
            std::memcmp(m.id.idiag_src, &in6addr_loopback, 16) == 0)
            ++found6;
        if (m.idiag_inode == st4.st_ino) ++v4In6;
    });
    const bool ok4 = provider::DumpInetSockets(AF_INET, IPPROTO_TCP, [&](const inet_diag_msg& m) {
        if (m.idiag_inode == st6.st_ino) ++v6In4;
    });
    ::close(fd4);
    ::close(fd6);
    ASSERT_TRUE(bound) << "cannot listen on both loopback addresses";
    if (!ok6 || !ok4) GTEST_SKIP() << "netlink sock_diag is refused here";
    EXPECT_EQ(found6, 1);
    EXPECT_EQ(v4In6, 0);
    EXPECT_EQ(v6In4, 0);
    EXPECT_FALSE(provider::DumpInetSockets(AF_UNIX, IPPROTO_TCP, [](const inet_diag_msg&) {}));
}

TEST(SockDiagDump, FindsAListenerOnLoopback) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    int found = 0;
    const bool ok = provider::DumpInetSockets(IPPROTO_TCP, [&](const inet_diag_msg& m) {
        if (m.id.idiag_sport == addr.sin_port && m.id.idiag_src[0] == addr.sin_addr.s_addr && m.idiag_state == 10)
            ++found;
    });
    ::close(fd);
    if (!ok) GTEST_SKIP() << "netlink sock_diag is refused here";
    EXPECT_EQ(found, 1);
}

}  // namespace
