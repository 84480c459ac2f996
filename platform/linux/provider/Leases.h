// DHCP leases and per-link DNS servers, as the network managers in common
// use record them: systemd-networkd, NetworkManager and dhclient.  Each file
// format has a parser that is a pure function of the text; the finders look
// for the files of one link under a root directory ("" for the live system)
// so that tests can point them at a fixture tree.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace provider {

// One DHCP lease.  Addresses are dotted-decimal IPv4 texts; times are
// seconds since 1970-01-01 00:00:00 UTC.
struct DhcpLease {
    std::string address;  // the address the lease grants
    std::string server;   // the DHCP server that granted it; empty when the file does not name it
    std::int64_t obtained = 0;
    std::int64_t expires = 0;
};

// `expires` of a lease that never ends: DHCP's infinite lease time
// (0xffffffff seconds), networkd's "infinity", dhclient's "never".
inline constexpr std::int64_t kLeaseNeverExpires = std::numeric_limits<std::int64_t>::max();

// systemd-networkd's lease file, /run/systemd/netif/leases/IFINDEX (KEY=VALUE
// lines).  `written` is the file's modification time, taken as the time the
// lease was obtained or last renewed, since the file holds no time of its
// own (networkd rewrites it with the link's state, so `written` may come
// somewhat after the renewal).  LIFETIME is whole seconds in older systemd
// (4294967295 for an infinite lease), a time span ("1d 2h", "infinity") in
// newer:
//   # This is private data. Do not parse.
//   ADDRESS=192.168.122.57
//   NETMASK=255.255.255.0
//   SERVER_ADDRESS=192.168.122.1
//   LIFETIME=1h
// A lease without LIFETIME (the oldest systemd wrote none) has an unknown length:
// expires = obtained, so that no end is claimed that the file does not
// give.  Empty when the text names no valid address, or when its LIFETIME
// is not a time or overflows the time arithmetic.
std::optional<DhcpLease> ParseNetworkdLease(std::string_view text, std::int64_t written);

// dhclient's lease file (also NetworkManager's when it runs dhclient): the
// last complete "lease { ... }" block for `interfaceName`.  Times are UTC
// ("expire 3 2026/12/09 10:10:00;"), seconds ("expire epoch 1796811000; #
// <local time>" with db-time-format local) or "never".  expires = expire;
// obtained = expire - "option dhcp-lease-time", and a lease time of
// 0xffffffff never expires.  Without a lease time (dhclient refuses such a
// lease, so only a hand-written file lacks one) obtained is the earliest of
// renew, rebind and expire: no earlier time is known.  Empty when there is
// no such block.
std::optional<DhcpLease> ParseDhclientLeases(std::string_view text, std::string_view interfaceName);

// NetworkManager's own record of a device's DHCPv4 lease: the lease file of
// its internal client, /var/lib/NetworkManager/internal-UUID-IFNAME.lease
// (or /run/NetworkManager/... when handed over from the initrd).  Its
// current client keeps only the address there, rewriting the file at every
// renewal:
//   # This is private data. Do not parse.
//   ADDRESS=10.42.0.17
// so obtained = `written` and the length is unknown (expires = obtained);
// the earlier client wrote systemd-networkd's format, read here as
// ParseNetworkdLease reads it.  The device state files
// (/run/NetworkManager/devices/IFINDEX, [device] managed=, connection-uuid=,
// next-server=...) hold no lease.  Empty when the text holds none.
std::optional<DhcpLease> ParseNetworkManagerLease(std::string_view text, std::int64_t written);

// The IPv4 DNS servers of one link, in order, without repeats and without
// port, interface or server name, from systemd-resolved's per-link state
// (/run/systemd/resolve/netif/IFINDEX, "SERVERS=", written for links whose
// servers came over the bus, as NetworkManager's do) or systemd-networkd's
// (/run/systemd/netif/links/IFINDEX, "DNS=").  Entries are
//   192.0.2.1  192.0.2.1:5353  192.0.2.1#dns.example  192.0.2.1:853#dns.example
//   2001:db8::1  fe80::1%3  [2001:db8::1]:53#dns.example
// of which the IPv6 ones are left out.  At most 64 servers.
std::vector<std::string> ParseResolvedLinkDns(std::string_view text);
std::vector<std::string> ParseNetworkdLinkDns(std::string_view text);

// The lease in use on one link: the newest lease any known client holds for
// it whose address is one of `addresses` (the link's current IPv4
// addresses), so that a stale file, or one of another network namespace
// whose interface has the same index or name, is never taken.  Files are
// read below `root`: networkd's lease of the index; NetworkManager's
// internal-UUID-IFNAME.lease and dhclient-UUID-IFNAME.lease in
// /run/NetworkManager and /var/lib/NetworkManager; dhclient's
// /var/lib/dhcp/dhclient*.leases and /var/lib/dhclient/*.lease*.  Only
// regular files are read, at most 1 MiB of each (the end of a dhclient
// file, where its newest leases are), and at most 256 entries of each
// directory.
std::optional<DhcpLease> FindLease(const std::string& root, unsigned ifindex, std::string_view ifname,
                                   const std::vector<std::string>& addresses);

// The IPv4 DNS servers that the resolver holds for one link, from
// systemd-resolved's state when it lists any, else systemd-networkd's;
// empty when neither knows the link.
std::vector<std::string> FindLinkDnsServers(const std::string& root, unsigned ifindex);

}  // namespace provider
