// The TCP and UDP socket tables of the kernel, IPv4 and IPv6, as rows of
// the owner tables: from a netlink sock_diag dump, or from /proc/net/tcp,
// udp, tcp6 and udp6 where netlink is refused or the proc root is a fixture.
#pragma once

#include <linux/inet_diag.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ConnectionStats.h"
#include "socketfacts.h"
#include "win32.h"

namespace provider {

struct SocketRow {
    DWORD state = 0;       // MIB state for TCP (1 CLOSED ... 12 DELETE_TCB); 0 for UDP
    DWORD localAddr = 0;   // four bytes in network order
    WORD localPort = 0;    // host order
    DWORD remoteAddr = 0;  // network order
    WORD remotePort = 0;   // host order
    std::uint64_t inode = 0;  // 0 when no process holds the socket (TIME_WAIT)
    DWORD pid = 0;
    std::uint64_t cookie = 0;  // the kernel's socket cookie (sock_diag only); 0 unknown
};

// An IPv6 socket.  The scope id is the interface that zones a link-local
// address (fe80::/10) or an interface- or link-scope multicast address, 0
// for any other address.
struct Socket6Row {
    DWORD state = 0;                         // as in SocketRow
    std::array<std::uint8_t, 16> localAddr{};  // network order
    DWORD localScope = 0;
    WORD localPort = 0;  // host order
    std::array<std::uint8_t, 16> remoteAddr{};
    DWORD remoteScope = 0;
    WORD remotePort = 0;
    std::uint64_t inode = 0;
    DWORD pid = 0;
    std::uint64_t cookie = 0;
    // SOCKET_ROW_DUAL_STACK or SOCKET_ROW_V6ONLY, with
    // SOCKET_ROW_FAMILIES_BY_DEFAULT for a table read from files; 0 unknown.
    DWORD families = 0;
};

// Kernel TCP state (ESTABLISHED 1 ... CLOSING 11, NEW_SYN_RECV 12) to the
// MIB state; 0 for a value the kernel does not define.
DWORD MibTcpState(unsigned kernelState);

// Rows of /proc/net/tcp or /proc/net/udp text (IPv4).  The header is the
// line whose first column is "sl", wherever it stands and whether or not
// there is one; lines that are truncated or garbled are skipped and counted
// in `badLines`.
//   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode
//    0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 17873 1 ...
//    1: 0100007F:9C40 0100007F:0050 06 00000000:00000000 03:000016DA 00000000     0        0 0 3 ...
std::vector<SocketRow> ParseProcSocketTable(std::string_view text, bool tcp, int& badLines);

// The same for /proc/net/tcp6 or /proc/net/udp6.  An address is 32 hex
// digits: its four 32-bit words as the kernel holds them, each printed as a
// number of the host (so ::1 is 00000000000000000000000001000000 on
// little-endian).  The text carries no interface: every scope id is 0.
std::vector<Socket6Row> ParseProcSocket6Table(std::string_view text, bool tcp, int& badLines);

// The scope id of `address` on a socket bound to interface `ifindex` (the
// kernel's idiag_if): `ifindex` for a link-local unicast address and an
// interface- or link-scope multicast one, else 0.
DWORD ScopeIdOf(const std::array<std::uint8_t, 16>& address, std::uint32_t ifindex);

// The row of one sock_diag message of an AF_INET6 dump.
Socket6Row Socket6RowOf(const inet_diag_msg& message, bool tcp);

// The connection key of a socket message of a dump of `family` (4 or 6).
ConnectionKey ConnectionKeyOf(std::uint8_t family, const inet_diag_msg& message);

// Every IPv4 socket of the protocol (IPPROTO_TCP or IPPROTO_UDP): through
// netlink when the proc root is /proc, else (or when netlink is refused) from
// ROOT/net/tcp or ROOT/net/udp.  False with a system error code when neither
// can be read.  Once a caller has asked for connection statistics
// (TcpTrafficWanted), a TCP dump also keeps each connection's statistics.
bool CollectSockets(int protocol, std::vector<SocketRow>& rows, DWORD& error);

// Every IPv6 socket of the protocol, the same way from ROOT/net/tcp6 or
// ROOT/net/udp6.  Where the kernel has no IPv6 (booted with ipv6.disable=1,
// or built without it) there is no such file: false with
// ERROR_NOT_SUPPORTED.  Whether each socket takes IPv4 too comes with a
// dump from the socket itself; the files do not say, and their rows get the
// system's default (ROOT/sys/net/ipv6/bindv6only), when it can be read.
bool CollectSockets6(int protocol, std::vector<Socket6Row>& rows, DWORD& error);

// The families flags (SOCKET_ROW_*) the text of net.ipv6.bindv6only gives
// every IPv6 socket read from files: "0" dual-stack, "1" IPv6 alone, both
// with SOCKET_ROW_FAMILIES_BY_DEFAULT; 0 for any other text.
DWORD FamiliesByDefault(std::string_view bindv6only);

// The facts of the rows of the socket tables the calling thread is given,
// kept for it until it asks for them (GetSocketRowFacts): `table` is one of
// the four tables (kTcpTable ... kUdp6Table).  Forget drops what was kept of
// a table, as a call for it starts; Keep keeps its rows' facts, in the order
// the caller gets them, once it has them.
void ForgetRowFacts(unsigned table);
void KeepRowFacts(unsigned table, const std::vector<SocketRow>& rows);
void KeepRowFacts(unsigned table, const std::vector<Socket6Row>& rows);
// Copies the kept facts of `table` into facts[0 .. rows); false when none
// are kept or they are of another number of rows.
bool KeptRowFacts(unsigned table, SOCKET_ROW_FACTS* facts, std::size_t rows);

// How many rows the table may have, from the kernel's socket counters
// (/proc/net/sockstat: sockets in use plus those in TIME_WAIT), without
// listing them; an upper estimate for sizing a buffer.  False when the
// counters cannot be read.
bool EstimateSocketCount(int protocol, std::size_t& count);
bool EstimateSocket6Count(int protocol, std::size_t& count);

// Parses the counters of /proc/net/sockstat for `protocol`; false when the
// text does not hold them.
//   TCP: inuse 1 orphan 0 tw 0 alloc 1 mem 17
//   UDP: inuse 0 mem 0
bool ParseSockstat(std::string_view text, int protocol, std::size_t& count);

// The IPv6 counters: sockets in use from /proc/net/sockstat6, and for TCP
// the sockets in TIME_WAIT of both families, which only /proc/net/sockstat
// counts.
//   TCP6: inuse 9
//   UDP6: inuse 3
bool ParseSockstat6(std::string_view sockstat6, std::string_view sockstat, int protocol, std::size_t& count);

// Sorts ascending by local address, local port, remote address, remote port
// (addresses compared as numbers, first byte most significant).
void SortRows(std::vector<SocketRow>& rows);

// Sorts ascending by local address (byte by byte), local scope id, local
// port, remote address, remote scope id, remote port.
void SortRows(std::vector<Socket6Row>& rows);

}  // namespace provider
