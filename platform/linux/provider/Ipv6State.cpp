#include "Ipv6State.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "NetFiles.h"
#include "NetlinkDump.h"
#include "ProcFiles.h"

namespace provider {

namespace {

constexpr std::size_t kSmallFile = 4096;

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const std::size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool ReadSetting(const char* relativePath, DWORD& value, DWORD& error) {
    std::string text;
    if (!ReadProcFile(relativePath, text, error, kSmallFile)) return false;
    if (ParseSettingValue(text, value)) return true;
    error = ERROR_INVALID_DATA;
    return false;
}

template <class Body>
struct Request {
    nlmsghdr header;
    Body body;
};

// Counts the messages of one IPv6 rtnetlink dump of `type` that `keep`
// accepts; false when the dump fails.
template <class Body, class Keep>
bool CountDump(unsigned short type, DWORD& count, Keep keep) {
    Request<Body> request{};
    request.header.nlmsg_type = type;
    const unsigned char family = AF_INET6;
    std::memcpy(&request.body, &family, 1);  // every rtnetlink body starts with its family
    DWORD n = 0;
    const bool ok = NetlinkDump(NETLINK_ROUTE, &request, sizeof request,
                                [&n, &keep](const nlmsghdr& header, const unsigned char* payload, std::size_t size) {
                                    Body body;
                                    if (size < sizeof body) return;
                                    std::memcpy(&body, payload, sizeof body);
                                    if (keep(header, body)) ++n;
                                });
    if (ok) count = n;
    return ok;
}

}  // namespace

bool ParseSettingValue(std::string_view text, DWORD& value) {
    text = Trim(text);
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (negative ? magnitude > 0x80000000u : magnitude > 0xffffffffu) return false;
    value = static_cast<DWORD>(negative ? 0u - magnitude : magnitude);
    return true;
}

bool ReadIpv6Settings(Ipv6Settings& settings, DWORD& error) {
    Ipv6Settings out;
    DWORD forwarding = 0;
    if (!ReadSetting("sys/net/ipv6/conf/all/forwarding", forwarding, error) ||
        !ReadSetting("sys/net/ipv6/conf/default/hop_limit", out.hopLimit, error) ||
        !ReadSetting("sys/net/ipv6/ip6frag_time", out.reassemblySeconds, error))
        return false;
    out.forwarding = forwarding != 0 ? 1 : 2;
    settings = out;
    return true;
}

bool ParseSockstat6Udp(std::string_view text, DWORD& count) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (!line.starts_with("UDP6:")) continue;
        // Name-value pairs after the prefix: "inuse 3", and on some kernels more.
        line.remove_prefix(5);
        for (;;) {
            line = Trim(line);
            const std::string_view name = line.substr(0, line.find_first_of(" \t"));
            line.remove_prefix(name.size());
            line = Trim(line);
            const std::string_view value = line.substr(0, line.find_first_of(" \t"));
            line.remove_prefix(value.size());
            if (name.empty() || value.empty()) return false;
            if (name != "inuse") continue;
            return value[0] != '-' && ParseSettingValue(value, count);
        }
    }
    return false;
}

bool CountIpv6UdpSockets(DWORD& count, DWORD& error) {
    std::string text;
    if (!ReadProcFile("net/sockstat6", text, error, kSmallFile)) return false;
    if (ParseSockstat6Udp(text, count)) return true;
    error = ERROR_INVALID_DATA;
    return false;
}

// Each route is one message of the dump, as `ip -6 route show table all`
// shows one line per route; entries of the route cache (exceptions made by
// path MTU discovery or redirects) are not routes.  A link dump of the IPv6
// family lists only the links that have IPv6.  Another machine's counts
// come from its files alone, and this machine's from its files where netlink
// is refused (see NetFiles.h for how they count).
bool CountIpv6InterfacesAddressesRoutes(Ipv6Counts& counts) {
    if (!LinksAreLocal()) return CountIpv6FromFiles(CurrentFileRoots(), counts);
    Ipv6Counts out;
    const bool ok =
        CountDump<ifinfomsg>(RTM_GETLINK, out.interfaces,
                             [](const nlmsghdr& h, const ifinfomsg& link) {
                                 return h.nlmsg_type == RTM_NEWLINK && link.ifi_family == AF_INET6;
                             }) &&
        CountDump<ifaddrmsg>(RTM_GETADDR, out.addresses,
                             [](const nlmsghdr& h, const ifaddrmsg& address) {
                                 return h.nlmsg_type == RTM_NEWADDR && address.ifa_family == AF_INET6;
                             }) &&
        CountDump<rtmsg>(RTM_GETROUTE, out.routes, [](const nlmsghdr& h, const rtmsg& route) {
            return h.nlmsg_type == RTM_NEWROUTE && route.rtm_family == AF_INET6 &&
                   (route.rtm_flags & RTM_F_CLONED) == 0;
        });
    if (!ok) return CountIpv6FromFiles(CurrentFileRoots(), counts);
    counts = out;
    return true;
}

}  // namespace provider
