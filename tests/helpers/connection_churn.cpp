// Opens and closes short TCP connections on loopback at a steady rate, for
// the --watch checks, in the network namespace it is started in:
//
//   connection_churn RATE LIFETIME_MS SECONDS
//
// It listens on 127.0.0.1 (a port the kernel picks), then for SECONDS opens
// RATE connections a second to itself, accepts each, keeps both ends open
// for LIFETIME_MS and closes them, the client's end first.  Standard output,
// one line each, flushed as written:
//   listening PORT          once the listener is up
//   client PORT             the client's local port of each connection opened
//   done COUNT              once every connection is closed again
// It then exits 0.  Any failure prints a message on stderr and exits 1; it
// also gives up after SECONDS + LIFETIME_MS + 30 s whatever happens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How long a connect or an accept on loopback may take before it is a failure.
constexpr int kStepTimeoutMs = 2000;
constexpr int kSpareSeconds = 30;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "connection_churn: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: connection_churn RATE LIFETIME_MS SECONDS\n"
                 "  RATE 1..10000 connections a second, LIFETIME_MS 0..60000, SECONDS 1..3600\n");
    std::exit(1);
}

// A whole number within [low, high], else the usage.
long Argument(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) Usage();
    return value;
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

// Waits for `events` on `fd`, at most kStepTimeoutMs.
void Await(int fd, short events, const char* what) {
    pollfd p{fd, events, 0};
    int ready;
    while ((ready = ::poll(&p, 1, kStepTimeoutMs)) < 0 && errno == EINTR) {
    }
    if (ready < 0) Fail(what);
    if (ready == 0) {
        errno = ETIMEDOUT;
        Fail(what);
    }
}

struct Pair {
    int client;
    int accepted;
    Clock::time_point closeAt;
};

// A client connected to the listener at `port` and the end accepted for it;
// both calls are bounded in time.
Pair Connect(int listener, std::uint16_t port) {
    Pair pair{};
    pair.client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (pair.client < 0) Fail("socket");
    const sockaddr_in address = Loopback(port);
    if (::connect(pair.client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) Fail("connect");
        Await(pair.client, POLLOUT, "connect");
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(pair.client, SOL_SOCKET, SO_ERROR, &error, &length) != 0) Fail("SO_ERROR");
        if (error != 0) {
            errno = error;
            Fail("connect");
        }
    }
    for (;;) {
        pair.accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (pair.accepted >= 0) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Fail("accept");
        Await(listener, POLLIN, "accept");
    }
    return pair;
}

void ClosePair(const Pair& pair) {
    // The client first: its port then waits in TIME_WAIT, as a client's does.
    ::close(pair.client);
    ::close(pair.accepted);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) Usage();
    const long rate = Argument(argv[1], 1, 10000);
    const long lifetimeMs = Argument(argv[2], 0, 60000);
    const long seconds = Argument(argv[3], 1, 3600);
    const long total = rate * seconds;
    const auto lifetime = std::chrono::milliseconds(lifetimeMs);
    const auto interval = std::chrono::nanoseconds(1000000000L / rate);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) Fail("socket");
    const sockaddr_in any = Loopback(0);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) Fail("bind");
    if (::listen(listener, 1024) != 0) Fail("listen");
    const std::uint16_t port = LocalPort(listener);
    std::printf("listening %u\n", port);
    std::fflush(stdout);

    const Clock::time_point start = Clock::now();
    const Clock::time_point giveUp = start + std::chrono::seconds(seconds + kSpareSeconds) + lifetime;
    std::deque<Pair> open;  // oldest first: each closes `lifetime` after it opened
    long opened = 0;
    while (opened < total || !open.empty()) {
        const Clock::time_point now = Clock::now();
        if (now >= giveUp) {
            std::fprintf(stderr, "connection_churn: gave up with %ld of %ld connections opened\n", opened, total);
            return 1;
        }
        while (!open.empty() && open.front().closeAt <= now) {
            ClosePair(open.front());
            open.pop_front();
        }
        // Behind time (a slow machine), connections open back to back until
        // the schedule is met; never more than `total`.
        const Clock::time_point nextOpen = start + interval * opened;
        if (opened < total && nextOpen <= now) {
            Pair pair = Connect(listener, port);
            pair.closeAt = Clock::now() + lifetime;
            open.push_back(pair);
            ++opened;
            std::printf("client %u\n", LocalPort(pair.client));
            std::fflush(stdout);
            continue;
        }
        if (opened == total && open.empty()) break;
        Clock::time_point wake = giveUp;
        if (opened < total) wake = std::min(wake, nextOpen);
        if (!open.empty()) wake = std::min(wake, open.front().closeAt);
        std::this_thread::sleep_until(wake);
    }
    ::close(listener);
    std::printf("done %ld\n", opened);
    std::fflush(stdout);
    return 0;
}
