// Established loopback connections that come and go, for the benchmarks of
// a socket pane on a busy machine (in a network namespace of the caller's
// own, as root).  Two holder processes share one listener and each keeps
// half of the connections, both ends, so that the measuring process holds
// none and each holder stays under the usual descriptor limit.  A churn
// closes some of them with a reset (no TIME_WAIT lines pile up, the count
// stays) and opens as many new ones.  The holders are made before any
// thread exists, take commands over socket pairs, and are ended by pid.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace churn {

enum class Op : int { Open, Churn, Quit };

struct Command {
    Op op;
    int count;
};

struct Pair {
    int client;
    int server;
};

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

inline void CloseWithReset(const Pair& p) {
    const linger abort{1, 0};
    setsockopt(p.client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(p.client);
    close(p.server);
}

inline bool OpenPair(int listener, const sockaddr_in& addr, std::vector<Pair>& pairs) {
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0) return false;
    if (connect(client, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(client);
        return false;
    }
    const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0) {
        close(client);
        return false;
    }
    pairs.push_back({client, server});
    return true;
}

// A holder's life: Open replaces what it holds by `count` new pairs, Churn
// replaces `count` of them picked at random; each answers how many it holds.
[[noreturn]] inline void RunHolder(int channel, int listener, std::uint16_t port) {
    alarm(1800);  // ends by itself should the benchmark die
    const sockaddr_in addr = LoopbackAddress(port);
    std::vector<Pair> pairs;
    std::mt19937 random(static_cast<unsigned>(getpid()));
    for (;;) {
        Command command{};
        if (read(channel, &command, sizeof command) != static_cast<ssize_t>(sizeof command)) break;
        if (command.op == Op::Quit) break;
        if (command.op == Op::Open) {
            for (const Pair& p : pairs) CloseWithReset(p);
            pairs.clear();
            for (int i = 0; i < command.count; ++i)
                if (!OpenPair(listener, addr, pairs)) break;
        } else {
            const int n = std::min<int>(command.count, static_cast<int>(pairs.size()));
            for (int i = 0; i < n; ++i) {
                std::uniform_int_distribution<std::size_t> pick(0, pairs.size() - 1);
                const std::size_t at = pick(random);
                CloseWithReset(pairs[at]);
                pairs[at] = pairs.back();
                pairs.pop_back();
            }
            for (int i = 0; i < n; ++i)
                if (!OpenPair(listener, addr, pairs)) break;
        }
        const int held = static_cast<int>(pairs.size());
        if (write(channel, &held, sizeof held) != static_cast<ssize_t>(sizeof held)) break;
    }
    for (const Pair& p : pairs) CloseWithReset(p);
    _exit(0);
}

struct Holder {
    pid_t pid = -1;
    int channel = -1;

    int Send(Op op, int count) const {
        const Command command{op, count};
        if (write(channel, &command, sizeof command) != static_cast<ssize_t>(sizeof command)) return -1;
        int held = -1;
        if (read(channel, &held, sizeof held) != static_cast<ssize_t>(sizeof held)) return -1;
        return held;
    }
    void End() {
        if (pid <= 0) return;
        const Command quit{Op::Quit, 0};
        [[maybe_unused]] const ssize_t written = write(channel, &quit, sizeof quit);
        // A holder that does not go within two seconds is killed.
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            usleep(10 * 1000);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        close(channel);
    }
};

struct Holders {
    Holder half[2];

    bool Start(std::uint16_t port) {
        const sockaddr_in addr = LoopbackAddress(port);
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 4096) != 0) {
            if (listener >= 0) close(listener);
            return false;
        }
        for (Holder& h : half) {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) break;
            h.pid = fork();
            if (h.pid == 0) {
                close(pair[0]);
                RunHolder(pair[1], listener, port);
            }
            close(pair[1]);
            h.channel = pair[0];
            if (h.pid < 0) break;
        }
        close(listener);  // the holders keep it
        return half[0].pid > 0 && half[1].pid > 0;
    }
    // How many pairs the two hold after the command; -1 when one failed.
    // They are told one after the other, so that each accepts its own.
    int Send(Op op, int count) const {
        const int a = half[0].Send(op, count / 2);
        const int b = half[1].Send(op, count - count / 2);
        return a < 0 || b < 0 ? -1 : a + b;
    }
    void End() {
        for (Holder& h : half) h.End();
    }
};

}  // namespace churn
