// The IPv4 TCP and UDP socket tables of the kernel, as rows of the owner
// tables: from a netlink sock_diag dump, or from /proc/net/tcp and
// /proc/net/udp where netlink is refused or the proc root is a fixture.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

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

// Every IPv4 socket of the protocol (IPPROTO_TCP or IPPROTO_UDP): through
// netlink when the proc root is /proc, else (or when netlink is refused) from
// ROOT/net/tcp or ROOT/net/udp.  False with a system error code when neither
// can be read.
bool CollectSockets(int protocol, std::vector<SocketRow>& rows, DWORD& error);

// How many rows the table may have, from the kernel's socket counters
// (/proc/net/sockstat: sockets in use plus those in TIME_WAIT), without
// listing them; an upper estimate for sizing a buffer.  False when the
// counters cannot be read.
bool EstimateSocketCount(int protocol, std::size_t& count);

// Parses the counters of /proc/net/sockstat for `protocol`; false when the
// text does not hold them.
//   TCP: inuse 1 orphan 0 tw 0 alloc 1 mem 17
//   UDP: inuse 0 mem 0
bool ParseSockstat(std::string_view text, int protocol, std::size_t& count);

// Sorts ascending by local address, local port, remote address, remote port
// (addresses compared as numbers, first byte most significant).
void SortRows(std::vector<SocketRow>& rows);

}  // namespace provider
