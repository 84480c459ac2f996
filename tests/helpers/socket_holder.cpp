// Holds a known set of IPv4 sockets on loopback for the socket report checks,
// in the network namespace it is started in:
//   - a TCP listener on 127.0.0.1:80 (or PORT, given as --port=PORT; other
//     arguments are there for its command line alone),
//   - a UDP socket bound to 127.0.0.1:5353,
//   - an established pair: a client connected to the listener and the
//     accepted end,
//   - a second connection closed by the client first and then by the
//     accepted end, which leaves the client's port in TIME_WAIT with no
//     process holding it.
// Once all of them are in place it prints one line
//   ready LISTEN_PORT UDP_PORT ESTABLISHED_CLIENT_PORT TIME_WAIT_PORT
// and waits to be killed, ending by itself after 60 s at the latest.
// Any failure prints a message on stderr and exits with 1 before "ready".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::uint16_t g_listenPort = 80;
constexpr std::uint16_t kUdpPort = 5353;
constexpr int kLifetimeSeconds = 60;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "socket_holder: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int Socket(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    return fd;
}

void Bind(int fd, std::uint16_t port) {
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) Fail("SO_REUSEADDR");
    const sockaddr_in address = Loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail("bind");
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) Fail("getsockname");
    return ntohs(address.sin_port);
}

// A client connected to the listener, and the end the listener accepted.
void Connect(int listener, int& client, int& accepted) {
    client = Socket(SOCK_STREAM);
    const sockaddr_in address = Loopback(g_listenPort);
    if (::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail("connect");
    accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) Fail("accept");
}

void SleepMilliseconds(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// The kernel's state (hexadecimal, as /proc/net/tcp shows it) of every
// socket of this namespace whose local port is `port`, and whether one in
// LAST_ACK (09) is still there.
bool TimeWaitSettled(std::uint16_t port) {
    std::ifstream file("/proc/net/tcp");
    std::string line;
    std::getline(file, line);  // header
    bool timeWait = false, lastAck = false;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state)) continue;
        const std::size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        const unsigned long localPort = std::strtoul(local.c_str() + colon + 1, nullptr, 16);
        if (localPort == port && state == "06") timeWait = true;
        if (state == "09") lastAck = true;
    }
    return timeWait && !lastAck;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--port=", 7) != 0) continue;
        const unsigned long port = std::strtoul(argv[i] + 7, nullptr, 10);
        if (port == 0 || port > 65535) {
            std::fprintf(stderr, "socket_holder: bad port '%s'\n", argv[i] + 7);
            return 1;
        }
        g_listenPort = static_cast<std::uint16_t>(port);
    }
    const int listener = Socket(SOCK_STREAM);
    Bind(listener, g_listenPort);
    if (::listen(listener, 8) != 0) Fail("listen");

    const int udp = Socket(SOCK_DGRAM);
    Bind(udp, kUdpPort);

    int client = -1, accepted = -1;
    Connect(listener, client, accepted);
    const std::uint16_t clientPort = LocalPort(client);

    // The client closes first, so that it, not the accepted end, waits in
    // TIME_WAIT once the accepted end has closed as well.
    int closer = -1, closed = -1;
    Connect(listener, closer, closed);
    const std::uint16_t timeWaitPort = LocalPort(closer);
    ::close(closer);
    char byte = 0;
    ssize_t n = 0;
    while ((n = ::read(closed, &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n != 0) {
        std::fprintf(stderr, "socket_holder: expected the client's end of stream\n");
        return 1;
    }
    ::close(closed);
    bool settled = false;
    for (int attempt = 0; attempt < 100 && !(settled = TimeWaitSettled(timeWaitPort)); ++attempt) SleepMilliseconds(50);
    if (!settled) {
        std::fprintf(stderr, "socket_holder: port %u did not reach TIME_WAIT\n", timeWaitPort);
        return 1;
    }

    std::printf("ready %u %u %u %u\n", g_listenPort, kUdpPort, clientPort, timeWaitPort);
    std::fflush(stdout);

    const std::time_t end = std::time(nullptr) + kLifetimeSeconds;
    while (std::time(nullptr) < end) SleepMilliseconds(200);
    ::close(client);
    ::close(accepted);
    ::close(udp);
    ::close(listener);
    return 0;
}
