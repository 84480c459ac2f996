// The kernel's socket-destroy notifications: sock_diag multicast.  Each
// destroyed socket comes as one SOCK_DIAG_BY_FAMILY message, an
// inet_diag_msg (family, state, both ends; no inode, the socket has left
// its file by then) and attributes, INET_DIAG_PROTOCOL among them.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "sockclose.h"

namespace {

// Large enough for a burst of thousands of closes between two reads.
constexpr int kReceiveBuffer = 4 << 20;
// A read takes at most this many datagrams, so that a flood of closes
// cannot hold the caller.
constexpr int kMostDatagramsPerRead = 4096;

// The attributes after the message, walked with their lengths checked.
bool ProtocolOf(const unsigned char* attributes, std::size_t size, std::uint8_t& protocol) {
    std::size_t offset = 0;
    while (size - offset >= sizeof(nlattr)) {
        nlattr attribute;
        std::memcpy(&attribute, attributes + offset, sizeof attribute);
        const std::size_t length = attribute.nla_len;
        if (length < sizeof(nlattr) || length > size - offset) return false;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_PROTOCOL && length >= sizeof(nlattr) + 1) {
            protocol = attributes[offset + sizeof(nlattr)];
            return true;
        }
        const std::size_t step = NLA_ALIGN(length);
        if (step > size - offset) return false;
        offset += step;
    }
    return false;
}

}  // namespace

int DecodeSocketCloseDatagram(const void* buffer, std::size_t length, std::vector<SOCKET_CLOSE_EVENT>& events) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    int added = 0;
    std::size_t offset = 0;
    while (buffer != nullptr && length - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, bytes + offset, sizeof header);
        const std::size_t size = header.nlmsg_len;
        if (size < sizeof(nlmsghdr) || size > length - offset) break;
        const unsigned char* payload = bytes + offset + NLMSG_HDRLEN;
        const std::size_t payloadSize = size >= NLMSG_HDRLEN ? size - NLMSG_HDRLEN : 0;
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && payloadSize >= sizeof(inet_diag_msg)) {
            inet_diag_msg msg;
            std::memcpy(&msg, payload, sizeof msg);
            const std::size_t attributesAt = NLMSG_ALIGN(sizeof(inet_diag_msg));
            std::uint8_t protocol = 0;
            const bool known = attributesAt <= payloadSize &&
                               ProtocolOf(payload + attributesAt, payloadSize - attributesAt, protocol);
            if (known && (protocol == IPPROTO_TCP || protocol == IPPROTO_UDP) &&
                (msg.idiag_family == AF_INET || msg.idiag_family == AF_INET6)) {
                SOCKET_CLOSE_EVENT event{};
                event.family = msg.idiag_family;
                event.protocol = protocol;
                event.state = msg.idiag_state;
                const std::size_t addressBytes = msg.idiag_family == AF_INET ? 4 : 16;
                std::memcpy(event.localAddress, msg.id.idiag_src, addressBytes);
                std::memcpy(event.remoteAddress, msg.id.idiag_dst, addressBytes);
                event.localPort = ntohs(msg.id.idiag_sport);
                event.remotePort = ntohs(msg.id.idiag_dport);
                event.scopeId = msg.id.idiag_if;
                events.push_back(event);
                ++added;
            }
        }
        const std::size_t step = NLMSG_ALIGN(size);
        if (step > length - offset) break;
        offset += step;
    }
    return added;
}

int OpenSocketCloseNotifications(unsigned protocols) {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    int groups[4];
    int n = 0;
    if ((protocols & kSockCloseTcp) != 0) {
        groups[n++] = SKNLGRP_INET_TCP_DESTROY;
        groups[n++] = SKNLGRP_INET6_TCP_DESTROY;
    }
    if ((protocols & kSockCloseUdp) != 0) {
        groups[n++] = SKNLGRP_INET_UDP_DESTROY;
        groups[n++] = SKNLGRP_INET6_UDP_DESTROY;
    }
    bool ok = n > 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    for (int i = 0; ok && i < n; ++i)
        ok = setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &groups[i], sizeof groups[i]) == 0;
    if (!ok) {
        const int error = n > 0 ? errno : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    const int size = kReceiveBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

int ReadSocketCloseNotifications(int fd, std::vector<SOCKET_CLOSE_EVENT>& events, std::uint64_t* lost) {
    alignas(nlmsghdr) unsigned char buffer[16384];
    int added = 0;
    for (int i = 0; i < kMostDatagramsPerRead; ++i) {
        sockaddr_nl from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &fromSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno == ENOBUFS) {
                // The kernel dropped notifications: how many is not told.
                if (lost != nullptr) ++*lost;
                continue;
            }
            return -1;
        }
        // Only the kernel speaks on these groups.
        if (fromSize < sizeof from || from.nl_pid != 0) continue;
        added += DecodeSocketCloseDatagram(buffer, static_cast<std::size_t>(n), events);
    }
    return added;
}

void CloseSocketCloseNotifications(int fd) {
    if (fd >= 0) close(fd);
}
