#include "ProcessTable.h"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <unordered_map>

namespace sockets {

namespace {

// Up to how many comparisons MatchKeys pairs keys without a hash table.
constexpr std::size_t kFewPairs = 256;

// The family, the address's bytes (with its zone for IPv6) and the port;
// the family byte tells the lengths apart.  An IPv4 socket's key stays
// within a string's own buffer: keys of thousands of sockets each refresh
// cost no allocation.
void AppendAddress(std::string& key, const IpAddress& address, std::uint16_t port) {
    key += static_cast<char>(address.family);
    if (address.family == 4) {
        key.append(reinterpret_cast<const char*>(address.bytes.data()), 4);
    } else if (address.family == 6) {
        key.append(reinterpret_cast<const char*>(address.bytes.data()), 16);
        key.append(reinterpret_cast<const char*>(&address.zone), sizeof address.zone);
    }
    key += static_cast<char>(port >> 8);
    key += static_cast<char>(port & 0xFF);
}

bool SameAddress(const IpAddress& a, const IpAddress& b) {
    return a.family == b.family && a.bytes == b.bytes && a.zone == b.zone && a.zoneName == b.zoneName;
}

bool SameTraffic(const Traffic& a, const Traffic& b) {
    return a.counted == b.counted && a.sent == b.sent && a.received == b.received && a.hasPath == b.hasPath &&
           a.rttMs == b.rttMs && a.retransmits == b.retransmits && a.hasRate == b.hasRate && a.sendRate == b.sendRate &&
           a.receiveRate == b.receiveRate;
}

// Sent and received per second together; 0 when not measured (or not a
// number, which would leave the order undefined).
double TotalRate(const Record& r) {
    if (!r.traffic.hasRate) return 0;
    const double rate = r.traffic.sendRate + r.traffic.receiveRate;
    return rate == rate ? rate : 0;
}

// The Processes lines' order, then a process's sockets by their identity.
int CompareDefault(const Record& a, const Record& b) {
    const double ra = TotalRate(a), rb = TotalRate(b);
    if (ra != rb) return ra > rb ? -1 : 1;
    if (a.pid != b.pid) return a.pid < b.pid ? -1 : 1;
    for (Column c :
         {Column::Protocol, Column::LocalAddress, Column::LocalPort, Column::RemoteAddress, Column::RemotePort})
        if (const int order = CompareBy(a, b, c); order != 0) return order;
    return 0;
}

}  // namespace

std::string ProcessKey(const Record& process) {
    return std::string(reinterpret_cast<const char*>(&process.pid), sizeof process.pid);
}

std::string SocketKey(const Record& socket) {
    std::string key;
    if (socket.local.family == 6 || socket.remote.family == 6) key.reserve(2 * (1 + 16 + 4 + 2) + 1);
    key += static_cast<char>(socket.table);
    AppendAddress(key, socket.local, socket.localPort);
    AppendAddress(key, socket.remote, socket.remotePort);
    return key;
}

std::vector<std::size_t> MatchKeys(const std::vector<std::string_view>& before,
                                   const std::vector<std::string_view>& next) {
    std::vector<std::size_t> from(next.size(), kNoLine);
    // Most refreshes find a process's sockets as they were; and a few keys
    // are paired faster by looking than by a table.
    if (before == next) {
        std::iota(from.begin(), from.end(), std::size_t{0});
        return from;
    }
    if (before.size() * next.size() <= kFewPairs) {
        std::vector<bool> taken(before.size(), false);
        for (std::size_t n = 0; n < next.size(); ++n)
            for (std::size_t i = 0; i < before.size(); ++i)
                if (!taken[i] && before[i] == next[n]) {
                    taken[i] = true;
                    from[n] = i;
                    break;
                }
        return from;
    }
    // For each key the first row of `before` not yet taken, and for each row
    // the next one with the same key.
    std::unordered_map<std::string_view, std::size_t> firstOf;
    firstOf.reserve(before.size());
    std::vector<std::size_t> sameAfter(before.size(), kNoLine);
    for (std::size_t i = before.size(); i-- > 0;) {
        const auto [at, added] = firstOf.try_emplace(before[i], i);
        if (!added) {
            sameAfter[i] = at->second;
            at->second = i;
        }
    }
    for (std::size_t n = 0; n < next.size(); ++n) {
        const auto found = firstOf.find(next[n]);
        if (found == firstOf.end() || found->second == kNoLine) continue;
        from[n] = found->second;
        found->second = sameAfter[found->second];
    }
    return from;
}

bool SameValues(const Record& a, const Record& b) {
    return a.kind == b.kind && a.table == b.table && SameAddress(a.local, b.local) && SameAddress(a.remote, b.remote) &&
           a.localPort == b.localPort && a.remotePort == b.remotePort && a.state == b.state && a.closed == b.closed &&
           a.bothFamilies == b.bothFamilies && a.pid == b.pid && a.sockets == b.sockets &&
           SameTraffic(a.traffic, b.traffic) && a.timeMs == b.timeMs && a.process == b.process && a.path == b.path &&
           a.user == b.user && a.service == b.service && a.container == b.container &&
           a.ownerMissing == b.ownerMissing && a.event == b.event;
}

bool Before(const Record& a, const Record& b, const RowOrder& order) {
    if (!order.column) return CompareDefault(a, b) < 0;
    const int c = CompareBy(a, b, *order.column);
    return order.descending ? c > 0 : c < 0;
}

std::vector<std::size_t> SortedOrder(const std::vector<const Record*>& rows, const RowOrder& order) {
    std::vector<std::size_t> indices(rows.size());
    std::iota(indices.begin(), indices.end(), std::size_t{0});
    std::stable_sort(indices.begin(), indices.end(),
                     [&](std::size_t x, std::size_t y) { return Before(*rows[x], *rows[y], order); });
    return indices;
}

std::vector<std::size_t> MergedOrder(const std::vector<const Record*>& kept, const std::vector<const Record*>& added,
                                     const RowOrder& order) {
    std::vector<std::size_t> keptOrder(kept.size());
    std::iota(keptOrder.begin(), keptOrder.end(), std::size_t{0});
    std::vector<std::size_t> addedOrder = SortedOrder(added, order);
    for (std::size_t& j : addedOrder) j += kept.size();
    const auto record = [&](std::size_t i) { return i < kept.size() ? kept[i] : added[i - kept.size()]; };
    std::vector<std::size_t> merged;
    merged.reserve(kept.size() + added.size());
    // std::merge takes from the first range (the kept rows) among equals.
    std::merge(keptOrder.begin(), keptOrder.end(), addedOrder.begin(), addedOrder.end(), std::back_inserter(merged),
               [&](std::size_t x, std::size_t y) { return Before(*record(x), *record(y), order); });
    return merged;
}

bool ShownUnder(const RecordFilter& filter, const Record& process, const std::vector<const Record*>& sockets,
                std::vector<bool>& shownSockets) {
    const bool all = !filter || filter(process);
    shownSockets.assign(sockets.size(), all);
    bool any = all;
    if (!all)
        for (std::size_t i = 0; i < sockets.size(); ++i)
            if (filter(*sockets[i])) shownSockets[i] = any = true;
    return any;
}

}  // namespace sockets
