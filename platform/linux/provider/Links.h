// The network links of the namespace the program runs in, as rtnetlink
// reports them: each link with its counters, the IPv4 addresses, the default
// gateways and the queue lengths of the root queueing disciplines.  Each
// message is decoded by a pure function, bounded by the message's length, so
// that the decoders run on hand-made messages in the tests.
#pragma once

#include <linux/if_link.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "iphlpapi.h"

namespace provider {

struct LinkRecord {
    unsigned index = 0;
    std::string name;
    unsigned short hardwareType = 0;  // ARPHRD_*
    unsigned flags = 0;               // IFF_*
    unsigned mtu = 0;
    std::vector<unsigned char> hardwareAddress;  // as the kernel gives it; may be empty
    rtnl_link_stats64 stats{};                   // zero when the kernel sent none
};

struct Ipv4Address {
    unsigned index = 0;
    std::uint32_t address = 0;  // network byte order
    unsigned prefixLength = 0;
};

struct DefaultGateway {
    unsigned index = 0;
    std::uint32_t gateway = 0;  // network byte order
};

struct RootQueue {
    unsigned index = 0;
    std::uint32_t length = 0;  // packets waiting
};

// Decoders of one message's payload (the bytes after the netlink header).
std::optional<LinkRecord> DecodeLinkMessage(const unsigned char* payload, std::size_t size);
std::optional<Ipv4Address> DecodeAddressMessage(const unsigned char* payload, std::size_t size);
// The default routes of the main table that a route message holds: one per
// gateway (a multipath route holds several).
std::vector<DefaultGateway> DecodeRouteMessage(const unsigned char* payload, std::size_t size);
std::optional<RootQueue> DecodeQdiscMessage(const unsigned char* payload, std::size_t size);

// What the kernel holds now.  Links come sorted by index; addresses in the
// kernel's order (primary first).  Read over netlink, or from the files of
// NetFiles.h below a machine root or where netlink is refused.  False when
// the links can be read neither way; the other parts are best effort, since
// a link without them is still a link.
struct NetworkState {
    std::vector<LinkRecord> links;
    std::vector<Ipv4Address> addresses;
    std::vector<DefaultGateway> gateways;
    std::vector<RootQueue> queues;
};
enum StateParts : unsigned { kLinks = 1, kAddresses = 2, kGateways = 4, kQueues = 8 };
bool ReadNetworkState(NetworkState& state, unsigned parts);

// The interface type code of a link: Ethernet 6 (71 when the link is
// wireless), token ring 9, FDDI 15, PPP 23, loopback 24, SLIP 28, other 1.
DWORD InterfaceTypeOf(unsigned short hardwareType, bool wireless);
// Administrative status: 1 up, 2 down.
DWORD AdminStatusOf(unsigned flags);
// Operational status: 5 when up and running (loopback included), 2 when up
// without carrier, 0 when down.
DWORD OperStatusOf(unsigned flags);

// Dotted-decimal text of an address in network byte order, and the mask of a
// prefix length.
std::string DottedQuad(std::uint32_t address);
std::string MaskOfPrefix(unsigned prefixLength);

// Fills one interface row from a link and what is known of its device.
struct DeviceFacts {
    bool wireless = false;
    DWORD speed = 0;  // bits per second, clamped; 0 unknown
    std::string description;
    DWORD queueLength = 0;
    std::uint64_t speedBits = 0;  // bits per second, whole; 0 unknown
};
void FillInterfaceRow(const LinkRecord& link, const DeviceFacts& facts, MIB_IFROW& row);

// Copies the link's hardware address into a record's field of `capacity`
// bytes, cut to fit, and returns how many bytes it copied.  A link without
// one (TUN, WireGuard, ipip, sit) copies nothing: 0.
std::size_t CopyHardwareAddress(const LinkRecord& link, unsigned char* field, std::size_t capacity);

}  // namespace provider
