#include "ConnectionStats.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

namespace provider {

namespace {

struct KeyHash {
    std::size_t operator()(const ConnectionKey& k) const noexcept {
        // FNV-1a over the fields that tell connections apart.
        std::uint64_t h = 1469598103934665603ull;
        auto mix = [&h](const void* data, std::size_t size) {
            const auto* p = static_cast<const unsigned char*>(data);
            for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
        };
        const std::size_t addressBytes = k.family == 4 ? 4 : 16;
        mix(k.local.data(), addressBytes);
        mix(k.remote.data(), addressBytes);
        mix(&k.localPort, sizeof k.localPort);
        mix(&k.remotePort, sizeof k.remotePort);
        mix(&k.localScope, sizeof k.localScope);
        mix(&k.remoteScope, sizeof k.remoteScope);
        return static_cast<std::size_t>(h ^ k.family);
    }
};

// One family's connections, with an index of their keys' hashes sorted:
// cheaper to build than a node-based map for tens of thousands of rows.
struct FamilyStore {
    bool taken = false;
    std::uint64_t generation = 0;
    std::chrono::steady_clock::time_point when;
    std::vector<ConnectionTraffic> connections;
    std::vector<std::pair<std::size_t, std::uint32_t>> index;  // hash, position
};

struct Store {
    std::mutex lock;
    FamilyStore families[2];
    std::uint64_t generations = 0;
};

// Never destroyed: a worker thread may still ask while the process exits.
Store& TheStore() {
    static Store* const store = new Store;
    return *store;
}

std::atomic<bool> g_wanted{false};

}  // namespace

bool TcpTrafficWanted() { return g_wanted.load(std::memory_order_relaxed); }
void WantTcpTraffic() { g_wanted.store(true, std::memory_order_relaxed); }

void StoreTcpTraffic(std::uint8_t family, std::vector<ConnectionTraffic>&& connections) {
    std::vector<std::pair<std::size_t, std::uint32_t>> index;
    index.reserve(connections.size());
    const KeyHash hash;
    for (std::size_t i = 0; i < connections.size() && i < 0xFFFFFFFFu; ++i)
        index.emplace_back(hash(connections[i].key), static_cast<std::uint32_t>(i));
    std::sort(index.begin(), index.end());
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    FamilyStore& f = store.families[family == 6 ? 1 : 0];
    f.taken = true;
    f.generation = ++store.generations;
    f.when = std::chrono::steady_clock::now();
    f.connections.swap(connections);
    f.index.swap(index);
    // The old ones are freed outside the lock, with the arguments.
}

TrafficLookup FindTcpTraffic(const ConnectionKey& key, std::chrono::milliseconds maxAge, TcpTraffic& out) {
    // The same connection asked twice in a row (its data, then its path)
    // is answered again without a search, while its table is the latest.
    thread_local struct {
        bool valid = false;
        std::uint64_t generation = 0;
        ConnectionKey key;
        TcpTraffic traffic;
    } last;
    const std::size_t h = KeyHash{}(key);
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    const FamilyStore& f = store.families[key.family == 6 ? 1 : 0];
    if (!f.taken || std::chrono::steady_clock::now() - f.when > maxAge) return TrafficLookup::NotTaken;
    if (last.valid && last.generation == f.generation && last.key == key) {
        out = last.traffic;
        return TrafficLookup::Found;
    }
    auto it = std::lower_bound(f.index.begin(), f.index.end(), std::pair<std::size_t, std::uint32_t>(h, 0));
    for (; it != f.index.end() && it->first == h; ++it) {
        const ConnectionTraffic& c = f.connections[it->second];
        if (c.key == key) {
            out = c.traffic;
            last.valid = true;
            last.generation = f.generation;
            last.key = key;
            last.traffic = c.traffic;
            return TrafficLookup::Found;
        }
    }
    return TrafficLookup::NotFound;
}

}  // namespace provider
