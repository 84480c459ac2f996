// Holds four TCP servers on loopback, each with a client connected to it,
// in the network namespace it is started in:
//   - 4001: an IPv4-only listener on 127.0.0.1, an IPv4 client;
//   - 4002: an IPv6-only listener on ::1 (IPV6_V6ONLY on), an IPv6 client;
//   - 4003: a dual-stack listener on :: (IPV6_V6ONLY off), an IPv4 client,
//     whose accepted end is an IPv6 socket with a mapped address;
//   - 4004: an IPv4 listener on 0.0.0.0 and an IPv6-only listener on :: on
//     the same port, an IPv4 client to the first and an IPv6 one to the
//     second;
//   - 4005: an IPv6-only listener on :: alone, without a client;
// and two UDP sockets on ::, 4006 dual-stack and 4007 IPv6-only.
// Once all are connected and accepted it prints "ready" and waits to be
// killed, ending by itself after 60 s at the latest.  A failure prints a
// message on stderr and exits with 1 before "ready".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kLifetimeSeconds = 60;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "dual_stack_holder: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in V4(const char* address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &a.sin_addr) != 1) Fail("address");
    return a;
}

sockaddr_in6 V6(const char* address, std::uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (inet_pton(AF_INET6, address, &a.sin6_addr) != 1) Fail("address");
    return a;
}

int Listen(int family, const sockaddr* address, socklen_t length, int v6only) {
    const int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0) Fail("socket");
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) Fail("SO_REUSEADDR");
    if (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0)
        Fail("IPV6_V6ONLY");
    if (bind(fd, address, length) != 0) Fail("bind");
    if (listen(fd, 4) != 0) Fail("listen");
    return fd;
}

int BoundUdp6(std::uint16_t port, int v6only) {
    const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) Fail("socket");
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) Fail("IPV6_V6ONLY");
    const sockaddr_in6 address = V6("::", port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail("bind");
    return fd;
}

int Connect(int family, const sockaddr* address, socklen_t length) {
    const int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0) Fail("socket");
    if (connect(fd, address, length) != 0) Fail("connect");
    return fd;
}

}  // namespace

int main() {
    std::vector<int> held;
    const auto serve = [&held](int listener, int family, const sockaddr* to, socklen_t length) {
        held.push_back(listener);
        held.push_back(Connect(family, to, length));
        const int accepted = accept(listener, nullptr, nullptr);
        if (accepted < 0) Fail("accept");
        held.push_back(accepted);
    };
    const sockaddr_in v4only = V4("127.0.0.1", 4001);
    serve(Listen(AF_INET, reinterpret_cast<const sockaddr*>(&v4only), sizeof v4only, 0), AF_INET,
          reinterpret_cast<const sockaddr*>(&v4only), sizeof v4only);
    const sockaddr_in6 v6only = V6("::1", 4002);
    serve(Listen(AF_INET6, reinterpret_cast<const sockaddr*>(&v6only), sizeof v6only, 1), AF_INET6,
          reinterpret_cast<const sockaddr*>(&v6only), sizeof v6only);
    const sockaddr_in6 dual = V6("::", 4003);
    const sockaddr_in dualClient = V4("127.0.0.1", 4003);
    serve(Listen(AF_INET6, reinterpret_cast<const sockaddr*>(&dual), sizeof dual, 0), AF_INET,
          reinterpret_cast<const sockaddr*>(&dualClient), sizeof dualClient);
    const sockaddr_in pair4 = V4("0.0.0.0", 4004);
    const sockaddr_in pair4Client = V4("127.0.0.1", 4004);
    serve(Listen(AF_INET, reinterpret_cast<const sockaddr*>(&pair4), sizeof pair4, 0), AF_INET,
          reinterpret_cast<const sockaddr*>(&pair4Client), sizeof pair4Client);
    const sockaddr_in6 pair6 = V6("::", 4004);
    const sockaddr_in6 pair6Client = V6("::1", 4004);
    serve(Listen(AF_INET6, reinterpret_cast<const sockaddr*>(&pair6), sizeof pair6, 1), AF_INET6,
          reinterpret_cast<const sockaddr*>(&pair6Client), sizeof pair6Client);

    const sockaddr_in6 alone = V6("::", 4005);
    held.push_back(Listen(AF_INET6, reinterpret_cast<const sockaddr*>(&alone), sizeof alone, 1));
    held.push_back(BoundUdp6(4006, 0));
    held.push_back(BoundUdp6(4007, 1));

    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < kLifetimeSeconds; ++i) sleep(1);
    for (int fd : held) close(fd);
    return 0;
}
