// The facts beside a socket's line: what its connection carried and at
// what rate, and who owns it (process, command line, user, service,
// container, start), written as detail lines under the line.  Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "SocketRows.h"

namespace sockets {

// Gathers the facts of `rows` (made from every row of `table`, whose record
// type follows rows.table; null for none): each TCP connection's traffic,
// and the details of each owner.
void GatherFacts(TableRows& rows, const void* table);

// Milliseconds of a clock that only goes forward, for rates.
std::int64_t SteadyMs();

// The rates of a table's connections, from the counts of the table taken
// before it: keep one per table kind, and give it each table in turn with
// the time it was taken (SteadyMs).
class RateKeeper {
public:
    // Sets the rates of rows.facts (when there are facts).
    void Apply(TableRows& rows, std::int64_t nowMs);

private:
    struct Counts {
        std::uint64_t sent;
        std::uint64_t received;
    };
    std::unordered_map<std::string, Counts> m_last;  // by row key
    std::int64_t m_lastMs = -1;
};

// The detail lines of row `i` ("Label: value"): the owner's, or why the
// owner is unknown; then the traffic's.  Empty for a row the facts lack.
std::vector<std::u16string> DetailLines(const TableFacts& facts, std::size_t i);

// "0 bytes", "512 bytes", "20971520 bytes (20.0 MiB)": three significant
// digits in the unit.
std::string ByteCountText(std::uint64_t bytes);
// "0 B/s", "1.95 KiB/s", "19.5 MiB/s", "195 MiB/s".
std::string RateText(double bytesPerSecond);

inline constexpr const char* kOwnerNotVisible = "Owner not visible to this user";
inline constexpr const char* kClosedBeforeOwnerFound = "Socket closed before its owner was found";
inline constexpr const char* kOwnerInOtherNamespace = "Owner in another network namespace";
inline constexpr const char* kOwnersIncomplete = "Owners incomplete";
inline constexpr const char* kNotCountedForUdp = "not counted for UDP";

}  // namespace sockets
