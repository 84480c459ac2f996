// The kernel's socket tables over netlink sock_diag: one request, one dump,
// a fraction of the cost of /proc/net/tcp, which walks the whole connection
// hash once per read.
#pragma once

#include <linux/inet_diag.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace provider {

// Dumps every IPv4 socket of `protocol` (IPPROTO_TCP or IPPROTO_UDP), in all
// states, calling `row` once per socket.  False when netlink is refused or
// the dump breaks off; rows already delivered stay delivered.
bool DumpInetSockets(int protocol, const std::function<void(const inet_diag_msg&)>& row);

// The same for the sockets of `family` (AF_INET or AF_INET6); of an AF_INET6
// dump only messages that say AF_INET6 are delivered.  IPv4-mapped
// addresses are IPv6 sockets: a dual-stack listener's connections from IPv4
// clients come with the IPv6 dump.
bool DumpInetSockets(int family, int protocol, const std::function<void(const inet_diag_msg&)>& row);

// A socket message with its attributes: the record, and the whole payload
// (`size` bytes from the record's start) in which they follow it.
using SocketMessageFn = std::function<void(const inet_diag_msg&, const unsigned char* payload, std::size_t size)>;

// The sockets of `family` (AF_INET or AF_INET6) and `protocol`, each with
// its attributes (INET_DIAG_SKV6ONLY among them for an IPv6 socket, which
// the kernel sends unasked: it lies beyond the request's bits of extensions).
// As DumpInetSockets.
bool DumpInetSocketMessages(int family, int protocol, const SocketMessageFn& row);

// The socket's cookie in a message: 0 for none (INET_DIAG_NOCOOKIE).
std::uint64_t CookieOf(const inet_diag_msg& message);

// Whether the IPv6 socket of a message (`size` bytes after the netlink
// header) takes IPv6 alone, from its INET_DIAG_SKV6ONLY attribute; nullopt
// when the message has none (an IPv4 socket, a connection in TIME_WAIT or a
// connection request, which are no full sockets) or its attributes run
// past it.
std::optional<bool> V6OnlyOfMessage(const void* payload, std::size_t size);

// The TCP sockets of `family` (AF_INET or AF_INET6), each with its tcp_info
// record (INET_DIAG_INFO) among its attributes.  As DumpInetSockets.
bool DumpTcpSocketsWithInfo(int family, const SocketMessageFn& row);

// The one TCP socket of `family` with these ends (addresses in network
// order, as the kernel's socket id holds them; ports in network order;
// `ifindex` the interface of a link-local IPv6 address, else 0), with its
// tcp_info; false when there is none.
bool QueryTcpSocketWithInfo(int family, const inet_diag_sockid& id, const SocketMessageFn& row);

// Decodes one buffer of a sock_diag reply: calls `row` for each socket
// message whose sequence number is `seq`.  Returns 1 when the buffer ends the
// dump (NLMSG_DONE), -1 on an error message or a malformed buffer, 0 when
// more is to come.  Never reads past `length`.
int DecodeSockDiagBuffer(const void* buffer, std::size_t length, unsigned seq,
                         const std::function<void(const inet_diag_msg&)>& row);

// The same for an AF_INET6 dump: messages too short for their record, or of
// another family, are skipped.
int DecodeSockDiag6Buffer(const void* buffer, std::size_t length, unsigned seq,
                          const std::function<void(const inet_diag_msg&)>& row);

}  // namespace provider
