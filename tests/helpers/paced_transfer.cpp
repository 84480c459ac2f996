// One end of a loopback TCP transfer at a fixed rate, for the traffic test.
//
//   paced_transfer receive PORT        listens on 127.0.0.1:PORT, takes one
//                                      connection, reads until the sender
//                                      has been quiet for a second, prints
//                                      "received N" and keeps the
//                                      connection open until killed
//   paced_transfer send PORT RATE SECONDS
//                                      connects, sends RATE bytes a second
//                                      for SECONDS in 10 ms steps, prints
//                                      "sent N" and keeps the connection
//                                      open until killed
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

[[noreturn]] void HoldOpen() {
    // Until killed; bounded all the same.
    for (int i = 0; i < 600; ++i) std::this_thread::sleep_for(std::chrono::seconds(1));
    std::exit(0);
}

int Receive(int port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(port);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0) return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    const int c = ::accept(listener, nullptr, nullptr);
    if (c < 0) return 1;
    std::vector<char> buffer(1 << 16);
    unsigned long long received = 0;
    bool started = false;
    for (;;) {
        pollfd p{c, POLLIN, 0};
        // Quiet for a second once data has come: the sender is done.
        const int n = ::poll(&p, 1, started ? 1000 : 60000);
        if (n <= 0) break;
        const ssize_t got = ::recv(c, buffer.data(), buffer.size(), 0);
        if (got <= 0) break;
        received += static_cast<unsigned long long>(got);
        started = true;
    }
    std::printf("received %llu\n", received);
    std::fflush(stdout);
    HoldOpen();
}

int Send(int port, long rate, double seconds) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    const long step = rate / 100;  // every 10 ms
    std::vector<char> chunk(static_cast<std::size_t>(step), 'x');
    const Clock::time_point start = Clock::now();
    const long steps = static_cast<long>(seconds * 100);
    unsigned long long sent = 0;
    for (long i = 0; i < steps; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        std::size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t n = ::send(s, chunk.data() + done, chunk.size() - done, 0);
            if (n <= 0) return 1;
            done += static_cast<std::size_t>(n);
        }
        sent += chunk.size();
    }
    std::printf("sent %llu\n", sent);
    std::fflush(stdout);
    HoldOpen();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "receive" && argc == 3) return Receive(std::atoi(argv[2]));
    if (mode == "send" && argc == 5) return Send(std::atoi(argv[2]), std::atol(argv[3]), std::atof(argv[4]));
    std::fprintf(stderr, "usage: paced_transfer receive PORT | send PORT RATE SECONDS\n");
    return 2;
}
