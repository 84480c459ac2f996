// The statistics of each TCP connection (the data it carried, its round
// trip, its retransmissions) as the kernel's tcp_info gives them with the
// socket table.  Asking the kernel for them costs a third more on a dump,
// so TCP dumps carry them only once a caller of this process has asked for
// a connection's statistics; from then on, each TCP table taken keeps them
// for the questions that follow it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "TcpInfo.h"

namespace provider {

// A TCP connection by its ends: the family (4 or 6), the addresses in
// network order (an IPv4 address in the first four bytes), ports in host
// order and the scope ids of IPv6 addresses.
struct ConnectionKey {
    std::uint8_t family = 4;
    std::array<std::uint8_t, 16> local{};
    std::array<std::uint8_t, 16> remote{};
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::uint32_t localScope = 0;
    std::uint32_t remoteScope = 0;

    bool operator==(const ConnectionKey&) const = default;
};

struct ConnectionTraffic {
    ConnectionKey key;
    TcpTraffic traffic;
};

// Whether TCP dumps are to carry each connection's statistics; set by the
// first question (WantTcpTraffic) and kept for the life of the process.
bool TcpTrafficWanted();
void WantTcpTraffic();

// Keeps the statistics of the connections of one family's dump (4 or 6),
// replacing those of its dump before.
void StoreTcpTraffic(std::uint8_t family, std::vector<ConnectionTraffic>&& connections);

enum class TrafficLookup { Found, NotFound, NotTaken };

// The statistics of `key` from its family's latest dump: NotTaken when no
// dump kept them within `maxAge`, NotFound when the dump does not list the
// connection.
TrafficLookup FindTcpTraffic(const ConnectionKey& key, std::chrono::milliseconds maxAge, TcpTraffic& out);

}  // namespace provider
