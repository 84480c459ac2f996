#include "Links.h"

// clang-format off
// <net/if.h> comes before the kernel headers, which then leave its names alone.
#include <net/if.h>
// clang-format on
#include <arpa/inet.h>
#include <linux/gen_stats.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "NetFiles.h"
#include "NetlinkDump.h"
#include "ProcFiles.h"
#include "RecordText.h"

namespace provider {

namespace {

// Calls `attribute(type, data, length)` for each route attribute in
// [data, data + size), never reading past the end; stops at the first
// attribute whose length does not fit.
void ForEachAttribute(const unsigned char* data, std::size_t size,
                      const std::function<void(unsigned short, const unsigned char*, std::size_t)>& attribute) {
    std::size_t offset = 0;
    while (offset + sizeof(rtattr) <= size) {
        rtattr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.rta_len < sizeof(rtattr) || header.rta_len > size - offset) return;
        attribute(static_cast<unsigned short>(header.rta_type & NLA_TYPE_MASK), data + offset + RTA_LENGTH(0),
                  header.rta_len - RTA_LENGTH(0));
        offset += RTA_ALIGN(header.rta_len);
    }
}

std::uint32_t ReadU32(const unsigned char* data, std::size_t size) {
    std::uint32_t value = 0;
    if (size >= sizeof value) std::memcpy(&value, data, sizeof value);
    return value;
}

template <class Body>
struct Request {
    nlmsghdr header;
    Body body;
};

// One rtnetlink dump: `request` of `family`, each `reply` message's payload
// handed to `handle`.
template <class Body, class Handle>
bool Dump(unsigned short request, unsigned short reply, unsigned char family, Handle handle) {
    Request<Body> message{};
    message.header.nlmsg_type = request;
    std::memcpy(&message.body, &family, 1);  // every rtnetlink body starts with its family
    return NetlinkDump(NETLINK_ROUTE, &message, sizeof message,
                       [&handle, reply](const nlmsghdr& header, const unsigned char* payload, std::size_t size) {
                           if (header.nlmsg_type == reply) handle(payload, size);
                       });
}

}  // namespace

std::optional<LinkRecord> DecodeLinkMessage(const unsigned char* payload, std::size_t size) {
    if (size < NLMSG_ALIGN(sizeof(ifinfomsg))) return std::nullopt;
    ifinfomsg info;
    std::memcpy(&info, payload, sizeof info);
    if (info.ifi_index <= 0) return std::nullopt;
    LinkRecord link;
    link.index = static_cast<unsigned>(info.ifi_index);
    link.hardwareType = info.ifi_type;
    link.flags = info.ifi_flags;
    bool have64 = false;
    rtnl_link_stats stats32{};
    bool have32 = false;
    const std::size_t head = NLMSG_ALIGN(sizeof(ifinfomsg));
    ForEachAttribute(payload + head, size - head, [&](unsigned short type, const unsigned char* data, std::size_t n) {
        switch (type) {
            case IFLA_IFNAME:
                link.name.assign(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), n));
                break;
            case IFLA_MTU: link.mtu = ReadU32(data, n); break;
            case IFLA_ADDRESS: link.hardwareAddress.assign(data, data + std::min<std::size_t>(n, 32)); break;
            case IFLA_STATS64:
                // Older kernels send a shorter record, newer ones a longer one.
                std::memcpy(&link.stats, data, std::min(n, sizeof link.stats));
                have64 = true;
                break;
            case IFLA_STATS:
                std::memcpy(&stats32, data, std::min(n, sizeof stats32));
                have32 = true;
                break;
            default: break;
        }
    });
    if (link.name.empty()) return std::nullopt;
    if (!have64 && have32) {
        link.stats.rx_packets = stats32.rx_packets;
        link.stats.tx_packets = stats32.tx_packets;
        link.stats.rx_bytes = stats32.rx_bytes;
        link.stats.tx_bytes = stats32.tx_bytes;
        link.stats.rx_errors = stats32.rx_errors;
        link.stats.tx_errors = stats32.tx_errors;
        link.stats.rx_dropped = stats32.rx_dropped;
        link.stats.tx_dropped = stats32.tx_dropped;
        link.stats.multicast = stats32.multicast;
        link.stats.rx_nohandler = stats32.rx_nohandler;
    }
    return link;
}

std::optional<Ipv4Address> DecodeAddressMessage(const unsigned char* payload, std::size_t size) {
    if (size < NLMSG_ALIGN(sizeof(ifaddrmsg))) return std::nullopt;
    ifaddrmsg info;
    std::memcpy(&info, payload, sizeof info);
    if (info.ifa_family != AF_INET || info.ifa_prefixlen > 32) return std::nullopt;
    Ipv4Address out;
    out.index = info.ifa_index;
    out.prefixLength = info.ifa_prefixlen;
    bool haveLocal = false, haveAddress = false;
    std::uint32_t local = 0, address = 0;
    const std::size_t head = NLMSG_ALIGN(sizeof(ifaddrmsg));
    ForEachAttribute(payload + head, size - head, [&](unsigned short type, const unsigned char* data, std::size_t n) {
        if (n < 4) return;
        // On a point-to-point link IFA_ADDRESS is the peer; IFA_LOCAL is ours.
        if (type == IFA_LOCAL) haveLocal = true, local = ReadU32(data, n);
        if (type == IFA_ADDRESS) haveAddress = true, address = ReadU32(data, n);
    });
    if (!haveLocal && !haveAddress) return std::nullopt;
    out.address = haveLocal ? local : address;
    return out;
}

std::vector<DefaultGateway> DecodeRouteMessage(const unsigned char* payload, std::size_t size) {
    std::vector<DefaultGateway> out;
    if (size < NLMSG_ALIGN(sizeof(rtmsg))) return out;
    rtmsg info;
    std::memcpy(&info, payload, sizeof info);
    if (info.rtm_family != AF_INET || info.rtm_dst_len != 0 || info.rtm_type != RTN_UNICAST ||
        (info.rtm_flags & RTM_F_CLONED) != 0)
        return out;
    unsigned table = info.rtm_table;
    unsigned oif = 0;
    std::uint32_t gateway = 0;
    bool haveGateway = false;
    const std::size_t head = NLMSG_ALIGN(sizeof(rtmsg));
    ForEachAttribute(payload + head, size - head, [&](unsigned short type, const unsigned char* data, std::size_t n) {
        switch (type) {
            case RTA_TABLE: table = ReadU32(data, n); break;
            case RTA_OIF: oif = ReadU32(data, n); break;
            case RTA_GATEWAY:
                if (n >= 4) haveGateway = true, gateway = ReadU32(data, n);
                break;
            case RTA_MULTIPATH: {
                // A run of next hops, each an rtnexthop followed by its own
                // attributes within rtnh_len.
                std::size_t offset = 0;
                while (offset + sizeof(rtnexthop) <= n) {
                    rtnexthop hop;
                    std::memcpy(&hop, data + offset, sizeof hop);
                    if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > n - offset) break;
                    std::uint32_t hopGateway = 0;
                    bool hopHasGateway = false;
                    ForEachAttribute(data + offset + RTNH_LENGTH(0), hop.rtnh_len - RTNH_LENGTH(0),
                                     [&](unsigned short t, const unsigned char* d, std::size_t m) {
                                         if (t == RTA_GATEWAY && m >= 4)
                                             hopHasGateway = true, hopGateway = ReadU32(d, m);
                                     });
                    if (hopHasGateway && hop.rtnh_ifindex > 0)
                        out.push_back({static_cast<unsigned>(hop.rtnh_ifindex), hopGateway});
                    offset += RTNH_ALIGN(hop.rtnh_len);
                }
                break;
            }
            default: break;
        }
    });
    if (table != RT_TABLE_MAIN) return {};
    if (haveGateway && oif != 0) out.push_back({oif, gateway});
    return out;
}

std::optional<RootQueue> DecodeQdiscMessage(const unsigned char* payload, std::size_t size) {
    if (size < NLMSG_ALIGN(sizeof(tcmsg))) return std::nullopt;
    tcmsg info;
    std::memcpy(&info, payload, sizeof info);
    if (info.tcm_parent != TC_H_ROOT || info.tcm_ifindex <= 0) return std::nullopt;
    std::optional<std::uint32_t> length;
    const std::size_t head = NLMSG_ALIGN(sizeof(tcmsg));
    ForEachAttribute(payload + head, size - head, [&](unsigned short type, const unsigned char* data, std::size_t n) {
        if (type == TCA_STATS2) {
            ForEachAttribute(data, n, [&](unsigned short t, const unsigned char* d, std::size_t m) {
                if (t == TCA_STATS_QUEUE && m >= sizeof(std::uint32_t)) length = ReadU32(d, m);
            });
        } else if (type == TCA_STATS && !length && n >= sizeof(tc_stats)) {
            tc_stats stats;
            std::memcpy(&stats, data, sizeof stats);
            length = stats.qlen;
        }
    });
    if (!length) return std::nullopt;
    return RootQueue{static_cast<unsigned>(info.tcm_ifindex), *length};
}

bool ReadNetworkState(NetworkState& state, unsigned parts) {
    // Another machine's links are told by its files alone; this machine's
    // by netlink, or by its files where netlink is refused.
    if (!LinksAreLocal()) return ReadNetworkStateFromFiles(CurrentFileRoots(), state, parts);
    NetworkState out;
    if ((parts & kLinks) != 0) {
        if (!Dump<ifinfomsg>(RTM_GETLINK, RTM_NEWLINK, AF_UNSPEC, [&out](const unsigned char* p, std::size_t n) {
                if (auto link = DecodeLinkMessage(p, n)) out.links.push_back(std::move(*link));
            }))
            return ReadNetworkStateFromFiles(CurrentFileRoots(), state, parts);
        std::sort(out.links.begin(), out.links.end(),
                  [](const LinkRecord& a, const LinkRecord& b) { return a.index < b.index; });
        // A link renamed or re-created during the dump can appear twice.
        out.links.erase(std::unique(out.links.begin(), out.links.end(),
                                    [](const LinkRecord& a, const LinkRecord& b) { return a.index == b.index; }),
                        out.links.end());
    }
    if ((parts & kAddresses) != 0)
        Dump<ifaddrmsg>(RTM_GETADDR, RTM_NEWADDR, AF_INET, [&out](const unsigned char* p, std::size_t n) {
            if (auto address = DecodeAddressMessage(p, n)) out.addresses.push_back(*address);
        });
    if ((parts & kGateways) != 0)
        Dump<rtmsg>(RTM_GETROUTE, RTM_NEWROUTE, AF_INET, [&out](const unsigned char* p, std::size_t n) {
            for (const DefaultGateway& g : DecodeRouteMessage(p, n)) out.gateways.push_back(g);
        });
    if ((parts & kQueues) != 0)
        Dump<tcmsg>(RTM_GETQDISC, RTM_NEWQDISC, AF_UNSPEC, [&out](const unsigned char* p, std::size_t n) {
            if (auto queue = DecodeQdiscMessage(p, n)) out.queues.push_back(*queue);
        });
    state = std::move(out);
    return true;
}

DWORD InterfaceTypeOf(unsigned short hardwareType, bool wireless) {
    switch (hardwareType) {
        case ARPHRD_ETHER:
        case ARPHRD_EETHER: return wireless ? 71 : 6;
        case ARPHRD_IEEE802:
        case ARPHRD_IEEE802_TR: return 9;
        case ARPHRD_FDDI: return 15;
        case ARPHRD_PPP: return 23;
        case ARPHRD_LOOPBACK: return 24;
        case ARPHRD_SLIP:
        case ARPHRD_CSLIP:
        case ARPHRD_SLIP6:
        case ARPHRD_CSLIP6: return 28;
        case ARPHRD_IEEE80211:
        case ARPHRD_IEEE80211_PRISM:
        case ARPHRD_IEEE80211_RADIOTAP: return 71;
        default: return 1;
    }
}

DWORD AdminStatusOf(unsigned flags) { return (flags & IFF_UP) != 0 ? 1 : 2; }

DWORD OperStatusOf(unsigned flags) {
    if ((flags & IFF_UP) == 0) return 0;
    return (flags & IFF_RUNNING) != 0 ? 5 : 2;
}

std::string DottedQuad(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    ::inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

std::string MaskOfPrefix(unsigned prefixLength) {
    const std::uint32_t hostOrder =
        prefixLength == 0 ? 0u : (prefixLength >= 32 ? 0xffffffffu : ~((1u << (32 - prefixLength)) - 1u));
    return DottedQuad(htonl(hostOrder));
}

void FillInterfaceRow(const LinkRecord& link, const DeviceFacts& facts, MIB_IFROW& row) {
    std::memset(&row, 0, sizeof row);
    CopyWideField(row.wszName, MAX_INTERFACE_NAME_LEN, link.name);
    row.dwIndex = link.index;
    row.dwType = InterfaceTypeOf(link.hardwareType, facts.wireless);
    row.dwMtu = link.mtu;
    row.dwSpeed = facts.speed;
    row.dwPhysAddrLen = static_cast<DWORD>(CopyHardwareAddress(link, row.bPhysAddr, MAXLEN_PHYSADDR));
    row.dwAdminStatus = AdminStatusOf(link.flags);
    row.dwOperStatus = OperStatusOf(link.flags);
    row.dwLastChange = 0;  // the kernel keeps no time of a link's last change
    // The counters are the low halves of the kernel's 64-bit counters, as the
    // 32-bit fields of the record wrap.
    const auto low = [](std::uint64_t v) { return static_cast<DWORD>(v & 0xffffffffu); };
    const rtnl_link_stats64& s = link.stats;
    row.dwInOctets = low(s.rx_bytes);
    row.dwInUcastPkts = low(s.rx_packets >= s.multicast ? s.rx_packets - s.multicast : 0);
    row.dwInNUcastPkts = low(s.multicast);
    row.dwInDiscards = low(s.rx_dropped);
    row.dwInErrors = low(s.rx_errors);
    row.dwInUnknownProtos = low(s.rx_nohandler);
    row.dwOutOctets = low(s.tx_bytes);
    // The kernel counts no multicast it sends: every packet out is unicast.
    row.dwOutUcastPkts = low(s.tx_packets);
    row.dwOutNUcastPkts = 0;
    row.dwOutDiscards = low(s.tx_dropped);
    row.dwOutErrors = low(s.tx_errors);
    row.dwOutQLen = facts.queueLength;
    CopyField(reinterpret_cast<char*>(row.bDescr), MAXLEN_IFDESCR, facts.description);
    row.dwDescrLen = static_cast<DWORD>(strnlen(reinterpret_cast<const char*>(row.bDescr), MAXLEN_IFDESCR));
}

std::size_t CopyHardwareAddress(const LinkRecord& link, unsigned char* field, std::size_t capacity) {
    // An empty vector's data() may be null, which memcpy must never be
    // handed, even for no bytes.
    const std::size_t n = std::min(link.hardwareAddress.size(), capacity);
    if (n > 0) std::memcpy(field, link.hardwareAddress.data(), n);
    return n;
}

}  // namespace provider
