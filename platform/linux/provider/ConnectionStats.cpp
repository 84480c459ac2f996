#include "ConnectionStats.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

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

struct FamilyStore {
    bool taken = false;
    std::chrono::steady_clock::time_point when;
    std::unordered_map<ConnectionKey, TcpTraffic, KeyHash> connections;
};

struct Store {
    std::mutex lock;
    FamilyStore families[2];
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
    std::unordered_map<ConnectionKey, TcpTraffic, KeyHash> map;
    map.reserve(connections.size());
    for (ConnectionTraffic& c : connections) map.insert_or_assign(c.key, c.traffic);
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    FamilyStore& f = store.families[family == 6 ? 1 : 0];
    f.taken = true;
    f.when = std::chrono::steady_clock::now();
    f.connections.swap(map);
    // The old map is freed outside the lock, with `map`.
}

TrafficLookup FindTcpTraffic(const ConnectionKey& key, std::chrono::milliseconds maxAge, TcpTraffic& out) {
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    const FamilyStore& f = store.families[key.family == 6 ? 1 : 0];
    if (!f.taken || std::chrono::steady_clock::now() - f.when > maxAge) return TrafficLookup::NotTaken;
    const auto it = f.connections.find(key);
    if (it == f.connections.end()) return TrafficLookup::NotFound;
    out = it->second;
    return TrafficLookup::Found;
}

}  // namespace provider
