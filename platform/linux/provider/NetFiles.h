// The links, addresses, default gateways and counts of a network namespace
// read from the kernel's files instead of rtnetlink: for another machine
// whose /proc and /sys were copied under a machine root, where the running
// kernel must never be asked, and for this machine where netlink is refused
// (a sandbox).  Each file has a pure parser of its text, bounded by the text
// and by kMaxFileRows, that skips lines it cannot read; the readers apply
// them to the files under a proc root and a sys root.
//
// What the files cannot tell, and so what differs from rtnetlink's answer:
//   - Links come from SYS/class/net/NAME/: ifindex, type, flags, mtu,
//     address and the statistics directory.  IFF_RUNNING, IFF_LOWER_UP and
//     IFF_DORMANT of an up link are derived from operstate, carrier and
//     dormant, as the kernel derives them for netlink.  IFF_PROMISC and
//     IFF_ALLMULTI are the device's state, not only what was asked for.
//     PROC/net/dev, when it can be read, names the links of the namespace:
//     a directory of SYS/class/net it does not list is taken for another
//     namespace's link and left out, and its counters stand in for a link
//     whose statistics directory cannot be read (its "drop" column holds
//     the missed packets too).  A directory with no readable ifindex, type,
//     flags or mtu is no link.  Queue lengths are never known from files
//     (tx_queue_len is the queue's size, not what waits in it).
//   - IPv4 addresses are the "/32 ... LOCAL" entries of PROC/net/fib_trie,
//     every table.  Each belongs to the link of the longest on-link prefix
//     that contains it: a row of PROC/net/route without the gateway flag
//     (the main table), or a LOCAL prefix shorter than 32 in fib_trie,
//     which the kernel adds only for an address on a loopback link (127/8
//     on lo).  Equal prefixes go to the lower metric, then the lower index.
//     The prefix length is that prefix's.  An address no prefix contains
//     (added with noprefixroute, the local end of a peer address, its
//     prefix route deleted or in another table) is dropped: no file names
//     its link.  A link that is down has no local routes, so its IPv4
//     addresses are not seen at all.  The flags are IFA_F_PERMANENT and the
//     lifetimes forever, which the files do not give: an address a DHCP
//     client holds shows as a manual one.  The same address on two links
//     is seen once.  Addresses come sorted by link index, then address.
//   - IPv6 addresses are the rows of PROC/net/if_inet6 with the low eight
//     bits of their flags (IFA_F_PERMANENT among them, so origins from
//     router advertisements are still told apart), no IFA_PROTO and forever
//     lifetimes; OriginsOf then takes a stable-privacy link-local address
//     for a manual one.  Sorted by link index, then address.
//   - Default gateways are the rows of PROC/net/route for 0.0.0.0/0 with the
//     gateway flag: of a multipath route only the first next hop.
//   - IPv4 routes are counted as the entries of fib_trie, every table, the
//     main and local tables once when the kernel has merged them (it lists
//     the merged table under both names); that is what a netlink dump of
//     every table counts.  IPv6 routes are the rows of PROC/net/ipv6_route
//     but the kernel's null entry (the reject route ::/0 of metric
//     0xffffffff that roots each table), which netlink never lists.  IPv6
//     interfaces are the entries of PROC/net/dev_snmp6.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceInfo.h"
#include "InetAddresses.h"
#include "Ipv6State.h"
#include "Links.h"
#include "NetCounts.h"

namespace provider {

// At most this many rows are kept of any one file, and at most four times
// as many lines read, so that a hostile file exhausts neither memory nor
// time.
inline constexpr std::size_t kMaxFileRows = 1000000;

// Whether a link name may be joined to a path: not empty, no '/', not "."
// or "..", and at most IFNAMSIZ - 1 bytes.
bool IsSafeLinkName(std::string_view name);

// The texts of one link's attribute files, by their path under the link's
// directory ("ifindex", "flags", "statistics/rx_bytes"); a file that could
// not be read is absent.
using LinkAttributes = std::map<std::string, std::string, std::less<>>;

// The attribute files a link record is made from.
const std::vector<std::string>& LinkAttributeFiles();

// A link record from its attributes; nothing when ifindex, type, flags or
// mtu is missing or garbled.  A garbled address is left empty, a garbled
// counter 0.
std::optional<LinkRecord> LinkFromAttributes(std::string_view name, const LinkAttributes& attributes);

// PROC/net/dev: each link's counters, by name.
struct NetDevRow {
    std::string name;
    rtnl_link_stats64 stats{};
};
std::vector<NetDevRow> ParseNetDev(std::string_view text);

// One row of PROC/net/route.  Addresses in network order: the file prints
// them as the hexadecimal of a little-endian word.
struct RouteRow {
    std::string name;  // "*" for a route without a device
    std::uint32_t destination = 0;
    std::uint32_t gateway = 0;
    std::uint32_t mask = 0;
    unsigned flags = 0;  // RTF_*
    unsigned metric = 0;
};
std::vector<RouteRow> ParseRouteTable(std::string_view text);

// What PROC/net/fib_trie tells.
struct FibPrefix {
    std::uint32_t network = 0;  // network order
    unsigned length = 0;
};
struct FibTrieFacts {
    std::vector<std::uint32_t> localAddresses;  // network order; sorted by address, unique
    std::vector<FibPrefix> localPrefixes;       // LOCAL entries shorter than 32
    std::size_t routes = 0;                     // entries of every table, merged tables once
};
FibTrieFacts ParseFibTrie(std::string_view text);

// PROC/net/if_inet6, in the file's order.
std::vector<InetAddress> ParseIfInet6(std::string_view text);

// The routes of PROC/net/ipv6_route, without the null entries.
std::size_t CountIpv6RouteRows(std::string_view text);

// The IPv4 addresses of fib_trie with their links and prefix lengths, by the
// on-link prefixes of the route table and fib_trie, as the header tells.
std::vector<Ipv4Address> AssignIpv4Addresses(const FibTrieFacts& trie, const std::vector<RouteRow>& routes,
                                             const std::vector<LinkRecord>& links);

// The default gateways of the route table, on links known by name.
std::vector<DefaultGateway> DefaultGatewaysOf(const std::vector<RouteRow>& routes,
                                              const std::vector<LinkRecord>& links);

// What SYS/class/net/NAME/ tells of a link's device, for links the running
// kernel cannot be asked about: wireless when the directory holds "wireless"
// or "phy80211", the speed of "speed" (Mbit/s), and the model from the
// vendor and device ids of a PCI device (its "device" link names a PCI
// address, or its subsystem is bus/pci) looked up in `pciIds`.
DeviceDetails DeviceFromFiles(const std::string& name, const std::string& sysRoot, const std::string& pciIds);

// The directories the readers look in.
struct FileRoots {
    std::string proc;  // "/proc", or a fixture or a copy
    std::string sys;   // "/sys", or the same
};
// ProcRoot() and SysRoot().
FileRoots CurrentFileRoots();

// The links of SYS/class/net, sorted by index, one per index; false when the
// directory cannot be read.
bool ReadLinksFromFiles(const FileRoots& roots, std::vector<LinkRecord>& links);

// As ReadNetworkState: false when the links cannot be read; addresses and
// gateways are best effort; queues are never filled.
bool ReadNetworkStateFromFiles(const FileRoots& roots, NetworkState& state, unsigned parts);

// As ReadInetAddresses: appends the addresses of `family` (AF_INET needs the
// links, fib_trie and the route table; AF_INET6 if_inet6); false, leaving
// `addresses` alone, when those files cannot be read.
bool ReadInetAddressesFromFiles(const FileRoots& roots, int family, std::vector<InetAddress>& addresses);

// As CountLinksAddressesRoutes and CountIpv6InterfacesAddressesRoutes; false,
// leaving `counts` alone, when a file they need cannot be read.
bool CountLinksAddressesRoutesFromFiles(const FileRoots& roots, RouteCounts& counts);
bool CountIpv6FromFiles(const FileRoots& roots, Ipv6Counts& counts);

}  // namespace provider
