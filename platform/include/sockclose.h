// Notifications of the sockets the kernel destroys, TCP and UDP over IPv4
// and IPv6, as they happen: a socket that opens and closes between two
// snapshots of the tables is still seen closing.  Linux delivers them to
// the sock_diag multicast groups of the caller's network namespace.  The
// kernel lets any process join them (its sock_diag socket is created with
// NL_CFG_F_NONROOT_RECV); CAP_NET_ADMIN only buys a larger receive buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SOCKET_CLOSE_EVENT {
    std::uint8_t family;    // AF_INET or AF_INET6
    std::uint8_t protocol;  // IPPROTO_TCP or IPPROTO_UDP
    std::uint8_t state;     // the kernel's TCP state number at destruction
    std::uint8_t localAddress[16];   // IPv4: first four bytes, network order
    std::uint8_t remoteAddress[16];
    std::uint16_t localPort;         // host order
    std::uint16_t remotePort;
    std::uint32_t scopeId;           // the interface the socket was bound to, 0 for none
    // The kernel's cookie of the socket: the one a sock_diag dump of the
    // tables gave it while it was open, so it names the socket seen there.
    // The ends above may no longer be those it had: a connection aborted by
    // its process (SO_LINGER 0) has its local address and remote port
    // cleared before it is destroyed.  0 when the kernel gave none.
    std::uint64_t cookie;
};

// Opens a notification socket for the groups of `protocols` (a mask of
// kSockCloseTcp, kSockCloseUdp) over both families.  Returns the descriptor
// to poll for input (non-blocking, close-on-exec), or -1 with errno set
// (EPERM should a kernel refuse the groups, EINVAL for an empty mask).
inline constexpr unsigned kSockCloseTcp = 1;
inline constexpr unsigned kSockCloseUdp = 2;
int OpenSocketCloseNotifications(unsigned protocols);

// Reads what is waiting on `fd` without blocking and appends one event per
// destroyed socket to `events`.  Returns how many were appended, or -1 when
// the descriptor fails (events appended before the failure stay).
// Notifications the kernel dropped because the receive buffer was full are
// counted in *lost (when not null) and reading goes on.  Datagrams not sent
// by the kernel are ignored; at most 4096 datagrams are read per call.
int ReadSocketCloseNotifications(int fd, std::vector<SOCKET_CLOSE_EVENT>& events, std::uint64_t* lost);

// Decodes one datagram of notifications: appends an event per well-formed
// destroy message of TCP or UDP; skips others.  Never reads past `length`.
// Returns how many were appended.
int DecodeSocketCloseDatagram(const void* buffer, std::size_t length, std::vector<SOCKET_CLOSE_EVENT>& events);

void CloseSocketCloseNotifications(int fd);
