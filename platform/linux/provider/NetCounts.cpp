#include "NetCounts.h"

#include <netlink/cache.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "ProcFiles.h"
#include "SockDiag.h"

namespace provider {

namespace {

struct SocketCloser {
    void operator()(nl_sock* s) const { nl_socket_free(s); }
};
struct CacheFreer {
    void operator()(nl_cache* c) const { nl_cache_free(c); }
};
using Socket = std::unique_ptr<nl_sock, SocketCloser>;
using Cache = std::unique_ptr<nl_cache, CacheFreer>;

template <class Pred>
DWORD CountObjects(nl_cache* cache, Pred pred) {
    DWORD n = 0;
    for (nl_object* o = nl_cache_get_first(cache); o != nullptr; o = nl_cache_get_next(o))
        if (pred(o)) ++n;
    return n;
}

}  // namespace

bool CountLinksAddressesRoutes(RouteCounts& counts) {
    Socket sock(nl_socket_alloc());
    if (!sock || nl_connect(sock.get(), NETLINK_ROUTE) < 0) return false;

    nl_cache* raw = nullptr;
    if (rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw) < 0) return false;
    Cache links(raw);
    raw = nullptr;
    if (rtnl_addr_alloc_cache(sock.get(), &raw) < 0) return false;
    Cache addrs(raw);
    raw = nullptr;
    if (rtnl_route_alloc_cache(sock.get(), AF_INET, 0, &raw) < 0) return false;
    Cache routes(raw);

    counts.interfaces = CountObjects(links.get(), [](nl_object*) { return true; });
    counts.ipv4Addresses = CountObjects(addrs.get(), [](nl_object* o) {
        return rtnl_addr_get_family(reinterpret_cast<rtnl_addr*>(o)) == AF_INET;
    });
    counts.ipv4Routes = CountObjects(routes.get(), [](nl_object* o) {
        return rtnl_route_get_family(reinterpret_cast<rtnl_route*>(o)) == AF_INET;
    });
    return true;
}

DWORD CountSocketTableRows(std::string_view text) {
    DWORD rows = 0;
    bool header = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        if (header) {
            header = false;
            continue;
        }
        ++rows;
    }
    return rows;
}

bool CountSockets(const char* table, DWORD& count, DWORD& error) {
    DWORD rows = 0;
    const int protocol = std::string_view(table) == "tcp" ? IPPROTO_TCP : IPPROTO_UDP;
    if (ProcRoot() == "/proc" && DumpInetSockets(protocol, [&rows](const inet_diag_msg&) { ++rows; })) {
        count = rows;
        return true;
    }
    // Where netlink is refused, or the files are fixtures, count the rows of
    // the /proc table.
    std::string text;
    if (!ReadProcFile(std::string("net/") + table, text, error)) return false;
    count = CountSocketTableRows(text);
    return true;
}

}  // namespace provider
