#include "NetCounts.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "NetFiles.h"
#include "NetlinkDump.h"
#include "ProcFiles.h"
#include "SocketTables.h"

namespace provider {

namespace {

// Counts the messages of one rtnetlink dump that `keep` accepts.
template <class Request, class Keep>
bool CountDump(Request request, DWORD& count, Keep keep) {
    DWORD n = 0;
    const bool ok = NetlinkDump(NETLINK_ROUTE, &request, sizeof request,
                                [&n, &keep](const nlmsghdr& header, const unsigned char* payload, std::size_t size) {
                                    if (keep(header, payload, size)) ++n;
                                });
    if (ok) count = n;
    return ok;
}

template <class Body>
struct RouteRequest {
    nlmsghdr header;
    Body body;
};

}  // namespace

// Each route is one message of the dump, as `ip route show table all` shows
// one line per route: routes that share a destination on other devices stay
// apart, and a multipath route counts once.  Another machine's counts come
// from its files alone, and this machine's from its files where netlink is
// refused (see NetFiles.h for how they count).
bool CountLinksAddressesRoutes(RouteCounts& counts) {
    if (!LinksAreLocal()) return CountLinksAddressesRoutesFromFiles(CurrentFileRoots(), counts);
    RouteRequest<ifinfomsg> links{};
    links.header.nlmsg_type = RTM_GETLINK;
    links.body.ifi_family = AF_UNSPEC;
    RouteRequest<ifaddrmsg> addrs{};
    addrs.header.nlmsg_type = RTM_GETADDR;
    addrs.body.ifa_family = AF_INET;
    RouteRequest<rtmsg> routes{};
    routes.header.nlmsg_type = RTM_GETROUTE;
    routes.body.rtm_family = AF_INET;

    RouteCounts out;
    const bool ok =
        CountDump(links, out.interfaces,
                  [](const nlmsghdr& h, const unsigned char*, std::size_t) { return h.nlmsg_type == RTM_NEWLINK; }) &&
        CountDump(addrs, out.ipv4Addresses,
                  [](const nlmsghdr& h, const unsigned char* p, std::size_t size) {
                      if (h.nlmsg_type != RTM_NEWADDR || size < sizeof(ifaddrmsg)) return false;
                      ifaddrmsg a;
                      std::memcpy(&a, p, sizeof a);
                      return a.ifa_family == AF_INET;
                  }) &&
        CountDump(routes, out.ipv4Routes, [](const nlmsghdr& h, const unsigned char* p, std::size_t size) {
            if (h.nlmsg_type != RTM_NEWROUTE || size < sizeof(rtmsg)) return false;
            rtmsg r;
            std::memcpy(&r, p, sizeof r);
            // Entries of the route cache are not routes.
            return r.rtm_family == AF_INET && (r.rtm_flags & RTM_F_CLONED) == 0;
        });
    if (!ok) return CountLinksAddressesRoutesFromFiles(CurrentFileRoots(), counts);
    counts = out;
    return true;
}

bool CountSockets(const char* table, DWORD& count, DWORD& error) {
    std::vector<SocketRow> rows;
    if (!CollectSockets(std::string_view(table) == "tcp" ? IPPROTO_TCP : IPPROTO_UDP, rows, error)) return false;
    count = static_cast<DWORD>(rows.size());
    return true;
}

}  // namespace provider
