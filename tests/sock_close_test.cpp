// Socket-close notifications: decoding of crafted datagrams, broken ones
// included, and live notifications for loopback sockets this test opens and
// closes, with a forged sender and an overflowing receive buffer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "sockclose.h"

namespace {

using Bytes = std::vector<unsigned char>;

// ------------------------------------------------------------ datagrams

struct Attr {
    unsigned short type;
    Bytes value;
    int length = -1;  // the nla_len written, when not the true one
};

Attr Protocol(unsigned char protocol) { return {INET_DIAG_PROTOCOL, {protocol}}; }

inet_diag_msg Record(int family, const char* src, unsigned short sport, const char* dst, unsigned short dport,
                     unsigned char state = 1, unsigned ifindex = 0) {
    inet_diag_msg m{};
    m.idiag_family = static_cast<unsigned char>(family);
    m.idiag_state = state;
    const int af = family == AF_INET6 ? AF_INET6 : AF_INET;
    inet_pton(af, src, m.id.idiag_src);
    inet_pton(af, dst, m.id.idiag_dst);
    m.id.idiag_sport = htons(sport);
    m.id.idiag_dport = htons(dport);
    m.id.idiag_if = ifindex;
    return m;
}

// A record followed by its attributes, each padded to 4 bytes but the last
// when `padLast` is false.
Bytes Payload(const inet_diag_msg& m, const std::vector<Attr>& attrs, bool padLast = true) {
    Bytes p(NLMSG_ALIGN(sizeof m));
    std::memcpy(p.data(), &m, sizeof m);
    for (std::size_t i = 0; i < attrs.size(); ++i) {
        const Attr& a = attrs[i];
        nlattr header{};
        header.nla_len = static_cast<unsigned short>(a.length >= 0 ? a.length : NLA_HDRLEN + a.value.size());
        header.nla_type = a.type;
        const std::size_t at = p.size();
        p.resize(at + NLA_HDRLEN + a.value.size());
        std::memcpy(p.data() + at, &header, sizeof header);
        std::copy(a.value.begin(), a.value.end(), p.begin() + static_cast<long>(at + NLA_HDRLEN));
        if (padLast || i + 1 < attrs.size()) p.resize(NLA_ALIGN(p.size()));
    }
    return p;
}

// Appends one netlink message; the datagram is padded after it unless it
// is the last and `padEnd` is false.
void Append(Bytes& datagram, unsigned short type, const Bytes& payload, bool padEnd = true) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<unsigned>(NLMSG_LENGTH(payload.size()));
    header.nlmsg_type = type;
    const std::size_t at = datagram.size();
    datagram.resize(at + NLMSG_HDRLEN);
    std::memcpy(datagram.data() + at, &header, sizeof header);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    if (padEnd) datagram.resize(NLMSG_ALIGN(datagram.size()));
}

Bytes Datagram(const std::vector<Bytes>& payloads) {
    Bytes d;
    for (const Bytes& p : payloads) Append(d, SOCK_DIAG_BY_FAMILY, p);
    return d;
}

Bytes WithLength(Bytes datagram, std::size_t at, unsigned length) {
    std::memcpy(datagram.data() + at, &length, sizeof length);
    return datagram;
}

std::string Endpoint(int family, const std::uint8_t* address, unsigned port) {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family, address, text, sizeof text);
    return family == AF_INET6 ? "[" + std::string(text) + "]:" + std::to_string(port)
                              : std::string(text) + ":" + std::to_string(port);
}

// "tcp4 127.0.0.1:80 10.0.0.2:5000": what a live test can know of an event.
std::string Endpoints(const SOCKET_CLOSE_EVENT& e) {
    const char* protocol = e.protocol == IPPROTO_TCP ? "tcp" : e.protocol == IPPROTO_UDP ? "udp" : "?";
    std::string text = protocol + std::string(e.family == AF_INET ? "4 " : e.family == AF_INET6 ? "6 " : "? ");
    text += Endpoint(e.family, e.localAddress, e.localPort) + " " + Endpoint(e.family, e.remoteAddress, e.remotePort);
    // An IPv4 address is four bytes; anything after them is garbage kept.
    if (e.family == AF_INET) {
        const auto clean = [](const std::uint8_t* a) {
            return std::all_of(a + 4, a + 16, [](auto b) { return b == 0; });
        };
        if (!clean(e.localAddress) || !clean(e.remoteAddress)) text += " (bytes past the IPv4 address)";
    }
    return text;
}

std::string Describe(const SOCKET_CLOSE_EVENT& e) {
    return Endpoints(e) + " state " + std::to_string(e.state) + " if " + std::to_string(e.scopeId);
}

// The datagram is its own exact-size heap buffer, so that a read past its
// end is caught by the sanitizer build.
std::vector<std::string> Decode(const Bytes& datagram, int* returned = nullptr) {
    std::vector<SOCKET_CLOSE_EVENT> events;
    const int n = DecodeSocketCloseDatagram(datagram.data(), datagram.size(), events);
    if (returned != nullptr) *returned = n;
    std::vector<std::string> text;
    for (const SOCKET_CLOSE_EVENT& e : events) text.push_back(Describe(e));
    return text;
}

TEST(SockCloseDecode, DatagramsGoodAndBroken) {
    inet_diag_msg tcp4 = Record(AF_INET, "127.0.0.1", 80, "10.0.0.2", 50000, 7);
    tcp4.id.idiag_src[1] = 0xdeadbeef;  // past an IPv4 address: not the socket's
    tcp4.id.idiag_dst[3] = 0xdeadbeef;
    tcp4.idiag_inode = 0;
    const Bytes goodTcp4 = Payload(tcp4, {Protocol(IPPROTO_TCP)});
    const std::string tcp4Text = "tcp4 127.0.0.1:80 10.0.0.2:50000 state 7 if 0";
    const Bytes goodUdp6 = Payload(Record(AF_INET6, "fe80::1", 5353, "fe80::2", 53, 7, 3), {Protocol(IPPROTO_UDP)});
    const std::string udp6Text = "udp6 [fe80::1]:5353 [fe80::2]:53 state 7 if 3";
    // Attributes before the protocol, one of a length not a multiple of 4,
    // and the protocol with a flag bit in its type.
    Attr flagged = Protocol(IPPROTO_TCP);
    flagged.type |= NLA_F_NET_BYTEORDER;
    const Bytes paddedWalk = Payload(Record(AF_INET6, "::1", 22, "::1", 40000, 1),
                                     {{INET_DIAG_SHUTDOWN, {0, 0, 0, 0, 0}}, {INET_DIAG_TOS, {}}, flagged});
    const std::string paddedWalkText = "tcp6 [::1]:22 [::1]:40000 state 1 if 0";

    const std::size_t second = Datagram({goodTcp4}).size();  // where a second message starts
    const Bytes two = Datagram({goodTcp4, goodUdp6});
    Bytes unpadded;
    Append(unpadded, SOCK_DIAG_BY_FAMILY,
           Payload(tcp4, {{INET_DIAG_SHUTDOWN, {1, 2, 3, 4}}, Protocol(IPPROTO_TCP)}, false), false);
    Bytes otherTypes;
    Append(otherTypes, NLMSG_ERROR, goodTcp4);
    Append(otherTypes, NLMSG_DONE, goodTcp4);
    Append(otherTypes, NLMSG_NOOP, goodTcp4);
    Append(otherTypes, SOCK_DESTROY, goodTcp4);
    Append(otherTypes, SOCK_DIAG_BY_FAMILY, goodUdp6);
    inet_diag_msg local = tcp4;
    local.idiag_family = AF_UNIX;

    struct Case {
        const char* what;
        Bytes datagram;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"a TCP over IPv4 close", Datagram({goodTcp4}), {tcp4Text}},
        {"a UDP over IPv6 close with its interface", Datagram({goodUdp6}), {udp6Text}},
        {"several messages in one datagram",
         Datagram({goodTcp4, goodUdp6, paddedWalk, goodTcp4}),
         {tcp4Text, udp6Text, paddedWalkText, tcp4Text}},
        {"attributes of odd lengths before the protocol", Datagram({paddedWalk}), {paddedWalkText}},
        {"the last attribute and message unpadded at the end", unpadded, {tcp4Text}},
        {"empty", {}, {}},
        {"a header cut short", Bytes(goodTcp4.begin(), goodTcp4.begin() + 10), {}},
        {"a message, then a header cut short",
         Bytes(two.begin(), two.begin() + static_cast<long>(second + 10)),
         {tcp4Text}},
        {"a message cut inside its attributes", Bytes(two.begin(), two.end() - 4), {tcp4Text}},
        {"a length past the end", WithLength(two, second, 10000), {tcp4Text}},
        {"a length one past the end",
         WithLength(two, second, static_cast<unsigned>(two.size() - second + 1)),
         {tcp4Text}},
        {"a length below a header", WithLength(two, second, 15), {tcp4Text}},
        {"a length of zero", WithLength(two, second, 0), {tcp4Text}},
        {"a record too short, then a good message",
         Datagram({Bytes(goodTcp4.begin(), goodTcp4.begin() + sizeof(inet_diag_msg) - 1), goodUdp6}),
         {udp6Text}},
        {"a record without attributes", Datagram({Payload(tcp4, {})}), {}},
        {"an attribute running past its message, then a good message",
         Datagram({Payload(tcp4, {Protocol(IPPROTO_TCP), {INET_DIAG_TOS, {1}, 200}}), goodUdp6}),
         {udp6Text}},
        {"an attribute length below its header",
         Datagram({Payload(tcp4, {{INET_DIAG_TOS, {}, 2}, Protocol(IPPROTO_TCP)}), goodUdp6}),
         {udp6Text}},
        {"an attribute length of zero", Datagram({Payload(tcp4, {Protocol(IPPROTO_TCP), {INET_DIAG_TOS, {}, 0}})}), {}},
        {"no protocol attribute", Datagram({Payload(tcp4, {{INET_DIAG_SHUTDOWN, {1}}})}), {}},
        {"a protocol attribute without a value", Datagram({Payload(tcp4, {{INET_DIAG_PROTOCOL, {}}})}), {}},
        {"another protocol", Datagram({Payload(tcp4, {Protocol(132)}), Payload(tcp4, {Protocol(IPPROTO_RAW)})}), {}},
        {"another family", Datagram({Payload(local, {Protocol(IPPROTO_TCP)})}), {}},
        {"other message types", otherTypes, {udp6Text}},
    };
    for (const Case& c : cases) {
        int returned = -1;
        EXPECT_EQ(Decode(c.datagram, &returned), c.events) << c.what;
        EXPECT_EQ(returned, static_cast<int>(c.events.size())) << c.what;
    }
}

// Every prefix of a datagram yields exactly the messages it holds whole,
// and nothing is read past the prefix.
TEST(SockCloseDecode, EveryCutOfADatagram) {
    const Bytes a =
        Payload(Record(AF_INET, "10.1.2.3", 1, "10.1.2.4", 2), {{INET_DIAG_SHUTDOWN, {3}}, Protocol(IPPROTO_TCP)});
    const Bytes b = Payload(Record(AF_INET6, "2001:db8::1", 3, "2001:db8::2", 4), {Protocol(IPPROTO_UDP)});
    const Bytes datagram = Datagram({a, b, a});
    std::vector<std::size_t> ends;  // where each message's own length ends
    for (std::size_t at = 0; at < datagram.size();) {
        nlmsghdr h;
        std::memcpy(&h, datagram.data() + at, sizeof h);
        ends.push_back(at + h.nlmsg_len);
        at += NLMSG_ALIGN(h.nlmsg_len);
    }
    ASSERT_EQ(ends.size(), 3u);
    for (std::size_t cut = 0; cut <= datagram.size(); ++cut) {
        const auto whole = static_cast<std::size_t>(
            std::count_if(ends.begin(), ends.end(), [cut](std::size_t e) { return e <= cut; }));
        EXPECT_EQ(Decode(Bytes(datagram.begin(), datagram.begin() + static_cast<long>(cut))).size(), whole) << cut;
    }
}

// The socket's cookie comes whole, its low half first as the kernel writes
// it; both halves INET_DIAG_NOCOOKIE are no cookie.
TEST(SockCloseDecode, TheCookieComesWhole) {
    struct Case {
        std::uint32_t low, high;
        std::uint64_t cookie;
    };
    const Case cases[] = {
        {0x89abcdef, 0x01234567, 0x0123456789abcdefull},
        {7, 0, 7},
        {0, 0, 0},
        {INET_DIAG_NOCOOKIE, INET_DIAG_NOCOOKIE, 0},
        {INET_DIAG_NOCOOKIE, 0, 0xffffffffull},
    };
    for (const Case& c : cases) {
        inet_diag_msg m = Record(AF_INET, "127.0.0.1", 1, "127.0.0.1", 2);
        m.id.idiag_cookie[0] = c.low;
        m.id.idiag_cookie[1] = c.high;
        const Bytes datagram = Datagram({Payload(m, {Protocol(IPPROTO_TCP)})});
        std::vector<SOCKET_CLOSE_EVENT> events;
        ASSERT_EQ(DecodeSocketCloseDatagram(datagram.data(), datagram.size(), events), 1);
        EXPECT_EQ(events[0].cookie, c.cookie) << c.low << " " << c.high;
    }
}

TEST(SockCloseErrors, NoGroupsAndBadDescriptors) {
    errno = 0;
    EXPECT_EQ(OpenSocketCloseNotifications(0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(OpenSocketCloseNotifications(4), -1);
    std::vector<SOCKET_CLOSE_EVENT> events;
    std::uint64_t lost = 0;
    EXPECT_EQ(ReadSocketCloseNotifications(-1, events, &lost), -1);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(lost, 0u);
    CloseSocketCloseNotifications(-1);  // nothing to close
}

// ------------------------------------------------------------ live

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(2);

class SockCloseLive : public ::testing::Test {
protected:
    void SetUp() override {
        // Linux lets any process join the groups; a kernel that refuses is
        // not one this can be tested on.
        m_fd = OpenSocketCloseNotifications(kSockCloseTcp | kSockCloseUdp);
        if (m_fd < 0 && errno == EPERM) GTEST_SKIP() << "the kernel refuses the socket-destroy groups (EPERM) here";
        ASSERT_GE(m_fd, 0) << std::strerror(errno);
    }
    void TearDown() override { CloseSocketCloseNotifications(m_fd); }

    // Reads `fd` until every line of `wanted` is among the events' endpoints
    // or `wait` runs out; returns the endpoints of all events read.
    static std::vector<std::string> WaitFor(int fd, const std::vector<std::string>& wanted,
                                            std::uint64_t* lost = nullptr, std::chrono::milliseconds wait = kWait) {
        std::vector<std::string> seen;
        const auto deadline = Clock::now() + wait;
        for (;;) {
            std::vector<SOCKET_CLOSE_EVENT> events;
            EXPECT_GE(ReadSocketCloseNotifications(fd, events, lost), 0) << std::strerror(errno);
            for (const SOCKET_CLOSE_EVENT& e : events) seen.push_back(Endpoints(e));
            const bool all = std::all_of(wanted.begin(), wanted.end(), [&seen](const std::string& w) {
                return std::find(seen.begin(), seen.end(), w) != seen.end();
            });
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (all || left <= 0) return seen;
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
    }

    int m_fd = -1;
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    unsigned port() const {
        return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(storage).sin6_port
                                                   : reinterpret_cast<const sockaddr_in&>(storage).sin_port);
    }
};

Address Loopback(int family, unsigned short port = 0) {
    Address a;
    if (family == AF_INET6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(a.storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        in6.sin6_port = htons(port);
        a.length = sizeof in6;
    } else {
        auto& in = reinterpret_cast<sockaddr_in&>(a.storage);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in.sin_port = htons(port);
        a.length = sizeof in;
    }
    return a;
}

Address LocalOf(int fd) {
    Address a;
    a.length = sizeof a.storage;
    ::getsockname(fd, a.get(), &a.length);
    return a;
}

// A UDP socket bound on loopback; -1 when the family has no loopback here.
int BoundUdp(int family, unsigned* port) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Address a = Loopback(family);
    if (fd < 0 || ::bind(fd, a.get(), a.length) < 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *port = LocalOf(fd).port();
    return fd;
}

struct Closed {
    std::vector<std::string> tcp, udp;
};

// Opens a TCP connection and a connected UDP socket on the loopback address
// of `family`, closes them all, and returns the endpoints their closes
// should be told with.  Empty when the family's loopback cannot be used.
Closed OpenAndCloseOnLoopback(int family) {
    const std::string v = family == AF_INET6 ? "6 " : "4 ";
    const std::string host = family == AF_INET6 ? "[::1]:" : "127.0.0.1:";
    const std::string any = family == AF_INET6 ? "[::]:0" : "0.0.0.0:0";
    Closed closed;
    const int listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Address la = Loopback(family);
    if (listener < 0 || ::bind(listener, la.get(), la.length) < 0 || ::listen(listener, 1) < 0) {
        if (listener >= 0) ::close(listener);
        return closed;
    }
    const unsigned l = LocalOf(listener).port();
    const int client = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Address target = Loopback(family, static_cast<unsigned short>(l));
    const bool connected = client >= 0 && ::connect(client, target.get(), target.length) == 0;
    const int accepted = connected ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    const unsigned c = connected ? LocalOf(client).port() : 0;
    unsigned u = 0;
    const int udp = BoundUdp(family, &u);
    const bool udpConnected = udp >= 0 && ::connect(udp, target.get(), target.length) == 0;
    for (int fd : {client, accepted, listener, udp})
        if (fd >= 0) ::close(fd);
    EXPECT_TRUE(connected && accepted >= 0 && udpConnected) << "loopback sockets failed: " << std::strerror(errno);
    closed.tcp = {"tcp" + v + host + std::to_string(l) + " " + any,
                  "tcp" + v + host + std::to_string(l) + " " + host + std::to_string(c),
                  "tcp" + v + host + std::to_string(c) + " " + host + std::to_string(l)};
    closed.udp = {"udp" + v + host + std::to_string(u) + " " + host + std::to_string(l)};
    return closed;
}

// The listener, both ends of its connection and a UDP socket are each told
// once closed; a subscription to TCP alone hears none of the UDP socket.
TEST_F(SockCloseLive, LoopbackIPv4SocketsAreToldClosed) {
    const int tcpOnly = OpenSocketCloseNotifications(kSockCloseTcp);
    ASSERT_GE(tcpOnly, 0) << std::strerror(errno);
    const Closed closed = OpenAndCloseOnLoopback(AF_INET);
    ASSERT_FALSE(closed.tcp.empty()) << "cannot listen on 127.0.0.1";
    std::vector<std::string> wanted = closed.tcp;
    wanted.insert(wanted.end(), closed.udp.begin(), closed.udp.end());
    const std::vector<std::string> seen = WaitFor(m_fd, wanted);
    for (const std::string& w : wanted) EXPECT_EQ(std::count(seen.begin(), seen.end(), w), 1) << w;

    // Broadcast to both in one go: what the first has, the second has too.
    const std::vector<std::string> seenTcp = WaitFor(tcpOnly, closed.tcp);
    CloseSocketCloseNotifications(tcpOnly);
    for (const std::string& w : closed.tcp) EXPECT_EQ(std::count(seenTcp.begin(), seenTcp.end(), w), 1) << w;
    for (const std::string& line : seenTcp) EXPECT_EQ(line.rfind("tcp", 0), 0u) << line;
}

TEST_F(SockCloseLive, LoopbackIPv6SocketsAreToldClosed) {
    unsigned port = 0;
    const int probe = BoundUdp(AF_INET6, &port);
    if (probe < 0) GTEST_SKIP() << "no IPv6 loopback (::1) here";
    ::close(probe);
    const Closed closed = OpenAndCloseOnLoopback(AF_INET6);
    ASSERT_FALSE(closed.tcp.empty()) << "cannot listen on ::1";
    std::vector<std::string> wanted = closed.tcp;
    wanted.insert(wanted.end(), closed.udp.begin(), closed.udp.end());
    wanted.push_back("udp6 [::1]:" + std::to_string(port) + " [::]:0");  // the probe
    const std::vector<std::string> seen = WaitFor(m_fd, wanted);
    for (const std::string& w : wanted) EXPECT_EQ(std::count(seen.begin(), seen.end(), w), 1) << w;
}

// A connection its client aborts (SO_LINGER 0) and its reset server end are
// told closed with the cookies they had while open (SO_COOKIE), by which
// the sockets a table showed are found whatever the kernel has done to
// their ends by then.
TEST_F(SockCloseLive, AbortedConnectionsAreToldWithTheCookiesTheyHadOpen) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Address la = Loopback(AF_INET);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::bind(listener, la.get(), la.length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Address target = Loopback(AF_INET, static_cast<unsigned short>(LocalOf(listener).port()));
    const bool connected = client >= 0 && ::connect(client, target.get(), target.length) == 0;
    const int accepted = connected ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    std::uint64_t cookies[2] = {0, 0};
    socklen_t size = sizeof cookies[0];
    const bool known = accepted >= 0 && ::getsockopt(client, SOL_SOCKET, SO_COOKIE, &cookies[0], &size) == 0 &&
                       ::getsockopt(accepted, SOL_SOCKET, SO_COOKIE, &cookies[1], &size) == 0;
    const linger abort{1, 0};
    if (client >= 0) ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    for (int fd : {client, accepted, listener})
        if (fd >= 0) ::close(fd);
    ASSERT_TRUE(connected && accepted >= 0) << std::strerror(errno);
    if (!known) GTEST_SKIP() << "this kernel gives no socket cookies (SO_COOKIE)";

    int told[2] = {0, 0};
    const auto deadline = Clock::now() + kWait;
    while ((told[0] == 0 || told[1] == 0) && Clock::now() < deadline) {
        std::vector<SOCKET_CLOSE_EVENT> events;
        ASSERT_GE(ReadSocketCloseNotifications(m_fd, events, nullptr), 0) << std::strerror(errno);
        for (const SOCKET_CLOSE_EVENT& e : events)
            for (int i = 0; i < 2; ++i) told[i] += e.cookie == cookies[i] && e.protocol == IPPROTO_TCP;
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, 50);
    }
    EXPECT_EQ(told[0], 1) << "the aborted client end";
    EXPECT_EQ(told[1], 1) << "the reset server end";
}

// Another process may send to the notification socket's port id; what it
// sends is not a notification, however well formed.  Sending to another
// process's sock_diag socket needs CAP_NET_ADMIN.
TEST_F(SockCloseLive, DatagramsNotFromTheKernelAreIgnored) {
    sockaddr_nl self{};
    socklen_t length = sizeof self;
    ASSERT_EQ(::getsockname(m_fd, reinterpret_cast<sockaddr*>(&self), &length), 0);
    const int forger = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    ASSERT_GE(forger, 0);
    const Bytes forged = Datagram({Payload(Record(AF_INET, "192.0.2.1", 1, "192.0.2.2", 2), {Protocol(IPPROTO_TCP)})});
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = self.nl_pid;
    const ssize_t sent = ::sendto(forger, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int sendError = errno;
    ::close(forger);
    if (sent < 0 && sendError == EPERM)
        GTEST_SKIP() << "forging a sender needs root (CAP_NET_ADMIN) to send to another netlink socket";
    errno = sendError;
    ASSERT_EQ(sent, static_cast<ssize_t>(forged.size())) << std::strerror(errno);

    // A real close queued after the forgery: once it is read, so is the forgery.
    unsigned port = 0;
    const int udp = BoundUdp(AF_INET, &port);
    ASSERT_GE(udp, 0);
    ::close(udp);
    const std::string real = "udp4 127.0.0.1:" + std::to_string(port) + " 0.0.0.0:0";
    const std::vector<std::string> seen = WaitFor(m_fd, {real});
    EXPECT_EQ(std::count(seen.begin(), seen.end(), real), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "tcp4 192.0.2.1:1 192.0.2.2:2"), 0);
}

// A burst larger than the receive buffer: the kernel drops some, which is
// counted, what was queued is still read, and later closes are still told.
TEST_F(SockCloseLive, OverflowIsCountedAndReadingGoesOn) {
    const int small = 1;  // the kernel raises it to its minimum, a few notifications
    ASSERT_EQ(::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    auto closeUdp = [] {
        unsigned port = 0;
        const int udp = BoundUdp(AF_INET, &port);
        if (udp >= 0) ::close(udp);
        EXPECT_GE(udp, 0) << "cannot bind 127.0.0.1";
        return "udp4 127.0.0.1:" + std::to_string(port) + " 0.0.0.0:0";
    };
    constexpr int kBurst = 64;
    for (int i = 0; i < kBurst; ++i) closeUdp();
    // Nothing is read until the kernel reports the overflow on the socket.
    pollfd p{m_fd, POLLIN, 0};
    for (const auto deadline = Clock::now() + kWait; (p.revents & POLLERR) == 0 && Clock::now() < deadline;)
        ::poll(&p, 1, 20);
    ASSERT_TRUE(p.revents & POLLERR) << kBurst << " closes did not overflow the smallest receive buffer";

    std::uint64_t lost = 0;
    std::vector<SOCKET_CLOSE_EVENT> events;
    EXPECT_GT(ReadSocketCloseNotifications(m_fd, events, &lost), 0);
    EXPECT_GE(lost, 1u);
    EXPECT_LT(events.size(), static_cast<std::size_t>(kBurst));

    // The rest of the burst may still be arriving, overflowing the buffer
    // again and dropping a close made meanwhile; one of a few made apart
    // is told once the burst has passed.
    bool told = false;
    for (int attempt = 0; attempt < 10 && !told; ++attempt) {
        const std::string after = closeUdp();
        const std::vector<std::string> seen = WaitFor(m_fd, {after}, &lost, std::chrono::milliseconds(200));
        told = std::count(seen.begin(), seen.end(), after) == 1;
    }
    EXPECT_TRUE(told) << "no close was told after the overflow";
}

}  // namespace
