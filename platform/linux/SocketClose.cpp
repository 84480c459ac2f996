// The kernel's socket-destroy broadcasts on NETLINK_SOCK_DIAG.  Each
// destroyed TCP or UDP socket of the namespace comes as one
// SOCK_DIAG_BY_FAMILY message to the group of its family and protocol: an
// inet_diag_msg (addresses, ports, state, bound interface and the socket's
// cookie; no inode, the socket being gone) followed by attributes, of which
// INET_DIAG_PROTOCOL tells TCP from UDP.  Everything received is decoded with bounds: a
// message or attribute whose length does not fit is never read.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ProcRootEnv.h"
#include "sockclose.h"

namespace {

// A burst of thousands of closes a second fits: a notification with its
// socket buffer costs about 1 KiB of receive buffer.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
// One call reads at most this many datagrams, so that a flood of closes
// cannot hold the caller; what is left waits for the next call.
constexpr int kMaxDatagramsPerRead = 4096;
// A notification is a few hundred bytes; a datagram holds one.
constexpr std::size_t kDatagramBuffer = 16 * 1024;

// Attributes start after the record, aligned as the kernel lays them out.
constexpr std::size_t kAttributesOffset = NLMSG_ALIGN(sizeof(inet_diag_msg));

// Finds INET_DIAG_PROTOCOL among the attributes at `bytes`.  False when it is
// missing or without a value, or when an attribute's length does not fit:
// a message with a broken attribute list is not trusted for any of it.
bool FindProtocol(const unsigned char* bytes, std::size_t size, std::uint8_t& protocol) {
    bool found = false;
    std::size_t offset = 0;
    while (size - offset >= sizeof(nlattr)) {
        nlattr attr;
        std::memcpy(&attr, bytes + offset, sizeof attr);
        if (attr.nla_len < sizeof(nlattr) || attr.nla_len > size - offset) return false;
        const unsigned type = attr.nla_type & NLA_TYPE_MASK;
        if (type == INET_DIAG_PROTOCOL && !found && attr.nla_len >= NLA_HDRLEN + 1u) {
            protocol = bytes[offset + NLA_HDRLEN];
            found = true;
        }
        // The last attribute may end unpadded at the end of its message.
        const std::size_t step = NLA_ALIGN(attr.nla_len);
        if (step >= size - offset) break;
        offset += step;
    }
    return found;
}

// One SOCK_DIAG_BY_FAMILY payload of `size` bytes into `event`.
bool DecodeDestroy(const unsigned char* payload, std::size_t size, SOCKET_CLOSE_EVENT& event) {
    if (size < sizeof(inet_diag_msg)) return false;
    inet_diag_msg msg;
    std::memcpy(&msg, payload, sizeof msg);
    if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) return false;
    std::uint8_t protocol = 0;
    const std::size_t attributes = size > kAttributesOffset ? size - kAttributesOffset : 0;
    if (!FindProtocol(payload + kAttributesOffset, attributes, protocol)) return false;
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return false;

    event = SOCKET_CLOSE_EVENT{};
    event.family = msg.idiag_family;
    event.protocol = protocol;
    event.state = msg.idiag_state;
    // An IPv4 socket's address is the first word; the rest is not its own.
    const std::size_t addressSize = msg.idiag_family == AF_INET ? 4 : 16;
    std::memcpy(event.localAddress, msg.id.idiag_src, addressSize);
    std::memcpy(event.remoteAddress, msg.id.idiag_dst, addressSize);
    event.localPort = ntohs(msg.id.idiag_sport);
    event.remotePort = ntohs(msg.id.idiag_dport);
    event.scopeId = msg.id.idiag_if;
    // The kernel writes the cookie as two 32-bit halves, the low one first;
    // both halves INET_DIAG_NOCOOKIE is no cookie.
    const std::uint64_t cookie =
        static_cast<std::uint64_t>(msg.id.idiag_cookie[0]) | static_cast<std::uint64_t>(msg.id.idiag_cookie[1]) << 32;
    event.cookie = cookie == ~std::uint64_t{0} ? 0 : cookie;
    return true;
}

}  // namespace

int DecodeSocketCloseDatagram(const void* buffer, std::size_t length, std::vector<SOCKET_CLOSE_EVENT>& events) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    int appended = 0;
    std::size_t offset = 0;
    // Messages are 4-byte aligned within the datagram; headers and records
    // are copied out rather than read in place.
    while (bytes != nullptr && length - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, bytes + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) break;
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            SOCKET_CLOSE_EVENT event;
            if (DecodeDestroy(bytes + offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN, event)) {
                events.push_back(event);
                ++appended;
            }
        }
        const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        if (step >= length - offset) break;
        offset += step;
    }
    return appended;
}

int OpenSocketCloseNotifications(unsigned protocols) {
    unsigned groups[4];
    int count = 0;
    if (protocols & kSockCloseTcp) {
        groups[count++] = SKNLGRP_INET_TCP_DESTROY;
        groups[count++] = SKNLGRP_INET6_TCP_DESTROY;
    }
    if (protocols & kSockCloseUdp) {
        groups[count++] = SKNLGRP_INET_UDP_DESTROY;
        groups[count++] = SKNLGRP_INET6_UDP_DESTROY;
    }
    if (count == 0) {
        errno = EINVAL;
        return -1;
    }
    // Another machine read from a copy of its files (TESSALINE_MACHINE_ROOT)
    // has no notifications to give; this kernel's would be of the wrong
    // machine.
    if (MachineRootFromEnvironment() != nullptr) {
        errno = EOPNOTSUPP;
        return -1;
    }

    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    auto fail = [fd] {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    };
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;  // the kernel assigns the port id
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) return fail();
    // Groups are joined one by one by number rather than through the bind
    // mask, which only reaches groups 1 to 32.
    for (int i = 0; i < count; ++i)
        if (::setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &groups[i], sizeof groups[i]) < 0) return fail();
    // SO_RCVBUFFORCE goes past the system's rmem_max but needs CAP_NET_ADMIN;
    // without it SO_RCVBUF is capped by rmem_max.  A smaller buffer still
    // works, losing more in a burst.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) < 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    return fd;
}

int ReadSocketCloseNotifications(int fd, std::vector<SOCKET_CLOSE_EVENT>& events, std::uint64_t* lost) {
    alignas(nlmsghdr) unsigned char buffer[kDatagramBuffer];
    int appended = 0;
    for (int datagrams = 0; datagrams < kMaxDatagramsPerRead; ++datagrams) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno == EINTR) continue;
            // The kernel dropped notifications for want of buffer space; how
            // many is not told.  What is still queued reads as before.
            if (errno == ENOBUFS) {
                if (lost != nullptr) ++*lost;
                continue;
            }
            return -1;
        }
        // Only the kernel speaks for the kernel: another process that knows
        // this socket's port id can send it anything.
        if (fromLength < sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != 0) continue;
        appended += DecodeSocketCloseDatagram(buffer, static_cast<std::size_t>(n), events);
    }
    return appended;
}

void CloseSocketCloseNotifications(int fd) {
    if (fd >= 0) ::close(fd);
}
