#include "InetAddresses.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "NetFiles.h"
#include "NetlinkDump.h"
#include "ProcFiles.h"

namespace provider {

namespace {

constexpr USHORT kCatalogInet = 2;
constexpr USHORT kCatalogInet6 = 23;

// Calls `attribute(type, data, length)` for each route attribute in
// [data, data + size), never reading past the end; stops at the first
// attribute whose length does not fit.
template <class Attribute>
void ForEachAttribute(const unsigned char* data, std::size_t size, Attribute attribute) {
    std::size_t offset = 0;
    while (offset + sizeof(rtattr) <= size) {
        rtattr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.rta_len < sizeof(rtattr) || header.rta_len > size - offset) return;
        attribute(static_cast<unsigned short>(header.rta_type & NLA_TYPE_MASK), data + offset + RTA_LENGTH(0),
                  static_cast<std::size_t>(header.rta_len - RTA_LENGTH(0)));
        offset += RTA_ALIGN(header.rta_len);
    }
}

bool IsLoopback(const InetAddress& a) {
    if (a.protocol == IFAPROT_KERNEL_LO) return true;
    if (a.family == AF_INET) return a.address[0] == 127;
    static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.address, loopback, sizeof loopback) == 0;
}

// An interface identifier made from a 48-bit hardware address: ff:fe in the
// middle of the low 64 bits.
bool IsEui64(const InetAddress& a) { return a.address[11] == 0xff && a.address[12] == 0xfe; }

}  // namespace

std::optional<InetAddress> DecodeInetAddressMessage(const unsigned char* payload, std::size_t size) {
    const std::size_t head = NLMSG_ALIGN(sizeof(ifaddrmsg));
    if (payload == nullptr || size < head) return std::nullopt;
    ifaddrmsg info;
    std::memcpy(&info, payload, sizeof info);
    std::size_t length = 0;
    if (info.ifa_family == AF_INET)
        length = 4;
    else if (info.ifa_family == AF_INET6)
        length = 16;
    else
        return std::nullopt;
    if (info.ifa_index == 0 || info.ifa_prefixlen > length * 8) return std::nullopt;

    InetAddress out;
    out.family = info.ifa_family;
    out.prefixLength = info.ifa_prefixlen;
    out.index = info.ifa_index;
    out.flags = info.ifa_flags;
    const unsigned char* local = nullptr;
    const unsigned char* address = nullptr;
    ForEachAttribute(payload + head, size - head, [&](unsigned short type, const unsigned char* data, std::size_t n) {
        switch (type) {
            case IFA_LOCAL:
                if (n == length) local = data;
                break;
            case IFA_ADDRESS:
                if (n == length) address = data;
                break;
            case IFA_FLAGS:
                if (n >= sizeof(std::uint32_t)) std::memcpy(&out.flags, data, sizeof out.flags);
                break;
            case IFA_PROTO:
                if (n >= 1) out.protocol = data[0];
                break;
            case IFA_CACHEINFO:
                if (n >= sizeof(ifa_cacheinfo)) {
                    ifa_cacheinfo cache;
                    std::memcpy(&cache, data, sizeof cache);
                    out.validLifetime = cache.ifa_valid;
                    out.preferredLifetime = cache.ifa_prefered;
                }
                break;
            default: break;
        }
    });
    const unsigned char* chosen = local != nullptr ? local : address;
    if (chosen == nullptr) return std::nullopt;
    std::memcpy(out.address, chosen, length);
    return out;
}

// Another machine's addresses are told by its files alone; this machine's
// by netlink, or by its files where netlink is refused (see NetFiles.h for
// what the files cannot tell).
bool ReadInetAddresses(int family, std::vector<InetAddress>& addresses) {
    if (!LinksAreLocal()) return ReadInetAddressesFromFiles(CurrentFileRoots(), family, addresses);
    struct {
        nlmsghdr header;
        ifaddrmsg body;
    } request{};
    request.header.nlmsg_type = RTM_GETADDR;
    request.body.ifa_family = static_cast<unsigned char>(family);
    std::vector<InetAddress> found;
    const bool ok = NetlinkDump(NETLINK_ROUTE, &request, sizeof request,
                                [&found, family](const nlmsghdr& header, const unsigned char* payload, std::size_t n) {
                                    if (header.nlmsg_type != RTM_NEWADDR) return;
                                    // A kernel without the family answers with every family.
                                    if (auto a = DecodeInetAddressMessage(payload, n); a && a->family == family)
                                        found.push_back(*a);
                                });
    if (!ok) return ReadInetAddressesFromFiles(CurrentFileRoots(), family, addresses);
    addresses.insert(addresses.end(), found.begin(), found.end());
    return true;
}

bool IsLinkLocal(const InetAddress& a) {
    return a.family == AF_INET6 && a.address[0] == 0xfe && (a.address[1] & 0xc0) == 0x80;
}

NL_DAD_STATE DadStateOf(const InetAddress& a) {
    if ((a.flags & IFA_F_DADFAILED) != 0) return IpDadStateDuplicate;
    if ((a.flags & (IFA_F_TENTATIVE | IFA_F_OPTIMISTIC)) != 0) return IpDadStateTentative;
    if ((a.flags & IFA_F_DEPRECATED) != 0) return IpDadStateDeprecated;
    return IpDadStatePreferred;
}

Origins OriginsOf(const InetAddress& a) {
    if (IsLoopback(a)) return {IpPrefixOriginWellKnown, IpSuffixOriginWellKnown};
    const bool permanent = (a.flags & IFA_F_PERMANENT) != 0;
    if (a.family == AF_INET6) {
        // IFA_F_TEMPORARY shares its bit with IPv4's IFA_F_SECONDARY, so it
        // is read for IPv6 only.
        const bool temporary = (a.flags & IFA_F_TEMPORARY) != 0;
        const bool stablePrivacy = (a.flags & IFA_F_STABLE_PRIVACY) != 0;
        if (IsLinkLocal(a)) {
            NL_SUFFIX_ORIGIN suffix = IpSuffixOriginManual;
            if (temporary || stablePrivacy)
                suffix = IpSuffixOriginRandom;
            else if (IsEui64(a))
                suffix = IpSuffixOriginLinkLayerAddress;
            else if (a.protocol == IFAPROT_KERNEL_LL)
                suffix = IpSuffixOriginRandom;
            return {IpPrefixOriginWellKnown, suffix};
        }
        if (temporary) return {IpPrefixOriginRouterAdvertisement, IpSuffixOriginRandom};
        if (a.protocol == IFAPROT_KERNEL_RA || (!permanent && a.prefixLength < 128))
            return {IpPrefixOriginRouterAdvertisement,
                    IsEui64(a) && !stablePrivacy ? IpSuffixOriginLinkLayerAddress : IpSuffixOriginRandom};
    }
    if (!permanent) return {IpPrefixOriginDhcp, IpSuffixOriginDhcp};
    return {IpPrefixOriginManual, IpSuffixOriginManual};
}

std::uint64_t LuidOfIndex(unsigned index) { return static_cast<std::uint64_t>(index) << 24; }

void FillUnicastRow(const InetAddress& a, MIB_UNICASTIPADDRESS_ROW& row) {
    std::memset(&row, 0, sizeof row);
    if (a.family == AF_INET6) {
        row.Address.Ipv6.sin6_family = kCatalogInet6;
        std::memcpy(row.Address.Ipv6.sin6_addr, a.address, 16);
        if (IsLinkLocal(a)) {
            row.Address.Ipv6.sin6_scope_id = a.index;
            row.ScopeId = a.index;
        }
    } else {
        row.Address.Ipv4.sin_family = kCatalogInet;
        std::memcpy(row.Address.Ipv4.sin_addr, a.address, 4);
    }
    row.InterfaceLuid = LuidOfIndex(a.index);
    row.InterfaceIndex = a.index;
    const Origins origins = OriginsOf(a);
    row.PrefixOrigin = origins.prefix;
    row.SuffixOrigin = origins.suffix;
    row.ValidLifetime = a.validLifetime;
    row.PreferredLifetime = a.preferredLifetime;
    row.OnLinkPrefixLength = static_cast<UCHAR>(a.prefixLength);
    row.SkipAsSource = 0;
    row.DadState = DadStateOf(a);
}

}  // namespace provider
