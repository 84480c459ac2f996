// The unicast addresses of the network namespace, as rtnetlink reports them
// (RTM_GETADDR), and their rows in the unicast address table.  Netlink, not
// /proc/net/if_inet6, where it can be had (the files of NetFiles.h answer
// where it cannot), because only netlink gives an address's lifetimes,
// its flags past the low eight bits and who made it (IFA_PROTO), and it
// gives IPv4 and IPv6 alike.  Each message is decoded by a pure function,
// bounded by the message's length, so that the decoder runs on hand-made
// messages in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "iphlpapi.h"

namespace provider {

struct InetAddress {
    int family = 0;                    // AF_INET or AF_INET6: Linux's numbers
    unsigned char address[16] = {};    // network order; IPv4 uses the first 4
    unsigned prefixLength = 0;
    unsigned index = 0;                // interface index
    std::uint32_t flags = 0;           // IFA_F_*: IFA_FLAGS when sent, else ifa_flags
    unsigned protocol = 0;             // IFAPROT_*: who made it; 0 when not sent
    std::uint32_t validLifetime = 0xffffffffu;      // seconds left; 0xffffffff forever
    std::uint32_t preferredLifetime = 0xffffffffu;  // the same
};

// One RTM_NEWADDR message's payload (the bytes after the netlink header).
// Nothing when it is short, of another family, has no interface, a prefix
// longer than the address, or no address attribute of the family's size.
// The address is IFA_LOCAL when sent (IFA_ADDRESS is the peer on a
// point-to-point link), else IFA_ADDRESS.
std::optional<InetAddress> DecodeInetAddressMessage(const unsigned char* payload, std::size_t size);

// Every unicast address of `family` (AF_INET or AF_INET6) in the kernel's
// order, appended to `addresses`: over netlink, or from the files of
// NetFiles.h below a machine root or where netlink is refused.  False when
// they can be read neither way.
bool ReadInetAddresses(int family, std::vector<InetAddress>& addresses);

// Whether the address is IPv6 link-local (fe80::/10).
bool IsLinkLocal(const InetAddress& address);

// Duplicate for IFA_F_DADFAILED, Tentative for IFA_F_TENTATIVE (an
// optimistic address too), Deprecated for IFA_F_DEPRECATED, else Preferred.
NL_DAD_STATE DadStateOf(const InetAddress& address);

// Where the prefix and the interface identifier came from:
//   loopback (made by the kernel for lo, ::1, 127/8)   WellKnown, WellKnown
//   IPv6 link-local                                     WellKnown, and the
//     suffix Random for a stable-privacy or kernel-made identifier that is
//     no EUI-64 (addr_gen_mode random), LinkLayerAddress for an EUI-64 one
//     (ff:fe in its middle), Manual otherwise
//   IPv6 temporary (privacy) address                    RouterAdvertisement, Random
//   IPv6 from a router advertisement: the kernel says so, or the address
//     has lifetimes and a prefix shorter than 128      RouterAdvertisement,
//     LinkLayerAddress for an EUI-64 identifier, else Random
//   any other address with lifetimes: an IPv6 /128 or an IPv4 address,
//     as DHCP clients add them                          Dhcp, Dhcp
//   an address without lifetimes (IFA_F_PERMANENT)      Manual, Manual
struct Origins {
    NL_PREFIX_ORIGIN prefix;
    NL_SUFFIX_ORIGIN suffix;
};
Origins OriginsOf(const InetAddress& address);

// The interface's LUID as the table gives it: the interface index in the
// NetLuidIndex bits (24 up), the interface type bits left 0.  Distinct for
// every index.
std::uint64_t LuidOfIndex(unsigned index);

// Fills a row of the unicast address table.  The family in the address is
// the catalog's (2, 23); a link-local address carries the interface index as
// its zone, in ScopeId and in the address's scope id.  CreationTimeStamp,
// which the kernel keeps only as time since boot, is 0.
void FillUnicastRow(const InetAddress& address, MIB_UNICASTIPADDRESS_ROW& row);

}  // namespace provider
