// What the IPv6 counter records carry beside the counters of
// /proc/net/snmp6: the forwarding switch, the default hop limit and the
// reassembly time from the sysctl files, the IPv6 UDP socket count of
// /proc/net/sockstat6 (all read through the proc root), and the IPv6
// interfaces, addresses and routes of the network namespace (rtnetlink).
#pragma once

#include <string_view>

#include "win32.h"

namespace provider {

struct Ipv6Settings {
    DWORD forwarding = 0;         // 1 forwarding, 2 not, as MIB_IPSTATS has it
    DWORD hopLimit = 0;           // the hop limit interfaces start with
    DWORD reassemblySeconds = 0;  // how long fragments wait for the rest
};

// Reads ROOT/sys/net/ipv6/conf/all/forwarding (the namespace-wide switch),
// ROOT/sys/net/ipv6/conf/default/hop_limit and ROOT/sys/net/ipv6/ip6frag_time.
// False with a system error code when one cannot be read or holds no number.
bool ReadIpv6Settings(Ipv6Settings& settings, DWORD& error);

// The text of a sysctl file holding one integer: optional blanks, an
// optional minus sign, decimal digits, optional blanks and line feed.  A
// negative value keeps its bit pattern; one outside 32 bits is refused.
bool ParseSettingValue(std::string_view text, DWORD& value);

// The IPv6 UDP sockets of the namespace from /proc/net/sockstat6's line
//   UDP6: inuse 3
// False when the text has no such line or its count is no number.
bool ParseSockstat6Udp(std::string_view text, DWORD& count);
bool CountIpv6UdpSockets(DWORD& count, DWORD& error);

struct Ipv6Counts {
    DWORD interfaces = 0;  // links that have IPv6 (those in /proc/net/dev_snmp6)
    DWORD addresses = 0;   // unicast IPv6 addresses, tentative ones too
    DWORD routes = 0;      // every table, local and multicast routes too
};

// Asks the kernel over rtnetlink, or counts what the files of NetFiles.h
// give below a machine root or where netlink is refused; leaves `counts`
// alone and returns false when neither can be read.
bool CountIpv6InterfacesAddressesRoutes(Ipv6Counts& counts);

}  // namespace provider
