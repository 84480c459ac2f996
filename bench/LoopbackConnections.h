// Established TCP connections on loopback, for the benchmarks that measure
// the program on a busy machine: in a network namespace of the benchmark's
// own (made with unshare(CLONE_NEWNET) by the caller, as root).
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

// Brings the namespace's loopback interface up.
inline bool BringLoopbackUp() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

inline bool RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

// `count` established pairs and their listener: the listener and the
// accepted ends in this process, the connecting ends in a child holder (one
// process may not hold them all under the usual descriptor limit).  The
// caller ends the holder by its pid.
struct Connections {
    std::vector<int> fds;
    pid_t clientHolder = -1;
};

inline Connections OpenConnections(int count, int family = AF_INET, std::uint16_t port = 8080) {
    Connections c;
    const int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        auto* addr6 = reinterpret_cast<sockaddr_in6*>(&storage);
        addr6->sin6_family = AF_INET6;
        addr6->sin6_addr = in6addr_loopback;
        addr6->sin6_port = htons(port);
        length = sizeof *addr6;
    } else {
        auto* addr4 = reinterpret_cast<sockaddr_in*>(&storage);
        addr4->sin_family = AF_INET;
        addr4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr4->sin_port = htons(port);
        length = sizeof *addr4;
    }
    const auto* addr = reinterpret_cast<const sockaddr*>(&storage);
    if (listener < 0 || bind(listener, addr, length) != 0 || listen(listener, 4096) != 0) return c;
    c.fds.push_back(listener);
    c.clientHolder = fork();
    if (c.clientHolder == 0) {
        close(listener);
        for (int i = 0; i < count; ++i) {
            const int client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (client < 0 || connect(client, addr, length) != 0) _exit(1);
        }
        alarm(900);  // ends by itself should the benchmark die
        pause();
        _exit(0);
    }
    for (int i = 0; i < count; ++i) {
        const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (server < 0) break;
        c.fds.push_back(server);
    }
    return c;
}
