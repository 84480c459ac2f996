// The reports made from all four socket tables at once: the processes that
// hold sockets, with their socket counts and traffic, and the listening
// ports.  Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionReports.h"

namespace sockets {

// A socket as these reports need it, from any of the four tables.
struct SocketFact {
    Table table = Table::Tcp;
    std::uint32_t state = 0;  // TCP state, 0 for UDP
    DWORD pid = 0;
    std::string owner;        // the owner label, UTF-8
    std::string local;        // "127.0.0.1:5000", "[::]:22"
    std::uint16_t port = 0;
    bool anyAddress = false;
    DualStack dualStack = DualStack::Unknown;  // an IPv6 socket's
    Traffic traffic;          // TCP with facts
    std::shared_ptr<const Record> record{};  // its typed values, when made
};

// The four tables, as taken together for these reports.
struct Summary {
    std::array<bool, 4> valid{};     // each table's snapshot succeeded
    std::array<bool, 4> noIpv6{};    // failed because the machine has no IPv6
    std::vector<SocketFact> sockets;
};

// Adds a table's sockets (with the traffic of its facts, when it has them).
void AddToSummary(Summary& summary, const TableRows& rows);

// A process's sockets and traffic, summed over the four tables.
struct ProcessTotals {
    DWORD pid = 0;
    std::string label;                    // the owner label, UTF-8
    std::array<std::size_t, 4> sockets{}; // by table
    std::array<std::map<std::uint32_t, std::size_t>, 4> states;  // TCP tables by state
    std::uint64_t sent = 0, received = 0;
    bool counted = false, rated = false;
    double sendRate = 0, receiveRate = 0;
    std::vector<std::shared_ptr<const Record>> records;  // its sockets' typed values, those made
};
// Every process that holds sockets, by total rate, highest first, then by
// process id.
std::vector<ProcessTotals> TotalsByProcess(const Summary& summary);

// The listening sockets: each with whether it stands for both families (an
// IPv6 socket on every address that takes IPv4 too, or a process on every
// address of both, same port and protocol), in the Listening Ports order.
struct Listener {
    const SocketFact* fact;
    bool both;
};
std::vector<Listener> Listeners(const Summary& summary);

// The Processes lines: one per process that holds sockets, its label, its
// sockets per protocol (TCP ones by state), its TCP bytes and rates summed;
// by total rate, highest first, then by process id.  A row's key is the
// process id.
std::vector<Row> ProcessRows(const Summary& summary);

// The Listening Ports lines: one per listening TCP socket and bound UDP
// socket of either family, by port, then TCP before UDP, then address; a
// process listening on the same port and protocol on both families' every
// address is one line marked "(IPv4 and IPv6)", and so is an IPv6 socket on
// every address that takes IPv4 too (IPV6_V6ONLY off).  Where that is only
// the system's default (a table read from files), an IPv4 socket of the
// same protocol on the same port says otherwise: the kernel would have
// refused one of the two binds.
std::vector<Row> ListeningRows(const Summary& summary);

inline constexpr const char16_t* kBothFamilies = u"(IPv4 and IPv6)";

}  // namespace sockets
