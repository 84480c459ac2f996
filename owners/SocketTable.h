// The sockets the owner helper answers for: those of one table (TCP or UDP,
// over IPv4 or IPv6) in the helper's network namespace, which is its
// caller's, since the caller starts it.  They come from the kernel in one
// sock_diag dump per request, so that an inode a request names is answered
// only when that table holds it: never a Unix socket, a socket of another
// network namespace, or anything that is not a socket.
//
// - One netlink socket per dump, closed after it: a dump given up half-way
//   leaves nothing behind for the next.
// - Only the kernel's messages count: a message from any other sender (a
//   process that guessed the socket's port) or of another sequence number
//   is skipped.
// - Bounded: at most kMaxTableSockets inodes, each message within the
//   buffer (a truncated one fails the dump), and a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace owners {

inline constexpr std::size_t kMaxTableSockets = std::size_t{1} << 22;

// The address family and protocol of owner table `table` (0 TCP, 1 UDP, 2
// TCP over IPv6, 3 UDP over IPv6); false for an id that names none.
bool TableProtocol(unsigned table, int& family, int& protocol);

// Decodes one buffer of a dump of `family`: appends the inode of each
// socket message of sequence number `seq` and that family (inode 0, a
// socket in TIME_WAIT, left out) to `inodes`.  1 when the buffer ends the
// dump, -1 on an error message, a malformed buffer or more than
// kMaxTableSockets inodes, 0 when more is to come.  Never reads past
// `length`.
int DecodeTableBuffer(const std::uint8_t* data, std::size_t length, std::uint32_t seq, int family,
                      std::vector<std::uint64_t>& inodes);

// The inodes of every socket of `table` in this network namespace, sorted
// and each once; false when the table cannot be read in full before
// `deadline`.
bool ReadTableSockets(unsigned table, std::chrono::steady_clock::time_point deadline,
                      std::vector<std::uint64_t>& inodes);

}  // namespace owners
