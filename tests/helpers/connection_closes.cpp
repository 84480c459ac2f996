// Closes TCP connections on loopback each way the connection log must tell
// once, with its true ends, in the network namespace it is started in:
//
//   connection_closes LIFETIME_MS
//
// It listens on 127.0.0.1 (a port the kernel picks) and opens two
// connections to itself.  Before they close it makes and closes sockets
// never bound nor connected (TCP and UDP of both families, as probes and
// ioctl helpers do).  After LIFETIME_MS it closes the first connection
// normally (the client's end first, then the accepted end) and aborts the
// second from its client (SO_LINGER 0: a reset, and the kernel clears the
// client end's local address and remote port before it tells the close);
// the accepted end of the aborted one, reset, stays open another
// LIFETIME_MS before it is closed, then the listener.  Standard output, one
// line each, flushed as written:
//   listening PORT     once the listener is up
//   normal PORT        the first connection's client port
//   abortive PORT      the second connection's client port
//   done               once every socket is closed
// It then exits 0.  Any failure prints a message on stderr and exits 1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "connection_closes: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) Fail("getsockname");
    return ntohs(address.sin_port);
}

struct Pair {
    int client;
    int accepted;
};

// A client connected to the listener at `port` and the end accepted for it
// (blocking: on loopback both are immediate).
Pair Connect(int listener, std::uint16_t port) {
    Pair pair{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), -1};
    if (pair.client < 0) Fail("socket");
    const sockaddr_in address = Loopback(port);
    if (::connect(pair.client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail("connect");
    pair.accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (pair.accepted < 0) Fail("accept");
    return pair;
}

void Say(const char* word, unsigned port) {
    std::printf("%s %u\n", word, port);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long lifetimeMs = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
    if (argc != 2 || end == argv[1] || *end != '\0' || lifetimeMs < 0 || lifetimeMs > 60000) {
        std::fprintf(stderr, "usage: connection_closes LIFETIME_MS (0..60000)\n");
        return 1;
    }
    const auto lifetime = std::chrono::milliseconds(lifetimeMs);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) Fail("socket");
    const sockaddr_in any = Loopback(0);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) Fail("bind");
    if (::listen(listener, 4) != 0) Fail("listen");
    const std::uint16_t port = LocalPort(listener);
    Say("listening", port);
    const Pair normal = Connect(listener, port);
    Say("normal", LocalPort(normal.client));
    const Pair aborted = Connect(listener, port);
    Say("abortive", LocalPort(aborted.client));

    // Sockets never bound nor connected.
    for (const int family : {AF_INET, AF_INET6})
        for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
            const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
            if (fd >= 0) ::close(fd);
        }

    std::this_thread::sleep_for(lifetime);
    ::close(normal.client);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(normal.accepted);
    const linger abort{1, 0};
    if (::setsockopt(aborted.client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) != 0) Fail("SO_LINGER");
    ::close(aborted.client);
    std::this_thread::sleep_for(lifetime);
    ::close(aborted.accepted);
    ::close(listener);
    std::printf("done\n");
    std::fflush(stdout);
    return 0;
}
