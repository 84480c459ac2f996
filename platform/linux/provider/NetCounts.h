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

// Asks the kernel over rtnetlink, or counts what the files of NetFiles.h
// give below a machine root or where netlink is refused; leaves `counts`
// alone and returns false when neither can be read.
bool CountLinksAddressesRoutes(RouteCounts& counts);

// The number of IPv4 TCP ("tcp") or UDP ("udp") sockets, from the same
// source as the owner tables.  False with a system error code when it
// cannot be read.
bool CountSockets(const char* table, DWORD& count, DWORD& error);

}  // namespace provider
