// Counts that the kernel does not keep in /proc/net/snmp but the counter
// records carry: interfaces, IPv4 addresses and IPv4 routes of the network
// namespace, and the IPv4 TCP and UDP sockets.
#pragma once

#include <string_view>

#include "win32.h"

namespace provider {

struct RouteCounts {
    DWORD interfaces = 0;
    DWORD ipv4Addresses = 0;
    DWORD ipv4Routes = 0;  // every table: the local and broadcast routes too
};

// Asks the kernel over rtnetlink; leaves `counts` alone and returns false
// when netlink is refused.
bool CountLinksAddressesRoutes(RouteCounts& counts);

// Rows of a socket table in the format of /proc/net/tcp: every non-blank
// line after the header line.
//   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode
//    0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 17873 1 ...
DWORD CountSocketTableRows(std::string_view text);

// The IPv4 TCP ("tcp") or UDP ("udp") sockets: from a netlink dump, or,
// when netlink is refused or the proc root is not /proc, from the rows of
// net/tcp or net/udp under the root.  False with a system error code when
// neither can be read.
bool CountSockets(const char* table, DWORD& count, DWORD& error);

}  // namespace provider
