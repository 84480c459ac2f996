// A socket table as the socket panes, the detail lines and the log take it:
// a row per socket with its line, its endpoints and owner as facts, and
// the traffic and owner details beside them.  Qt-free.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "IpHelper.h"
#include "SocketDiff.h"
#include "processinfo.h"
#include "win32.h"

namespace sockets {

using Table = CSocketTable::Kind;

// Whether an IPv6 socket takes IPv4 too (IPV6_V6ONLY off).
enum class DualStack : std::uint8_t {
    Unknown,  // not said (an IPv4 socket, a connection in TIME_WAIT, a library without the facts)
    No,       // IPv6 alone
    Yes,      // IPv4 too, as the socket itself says
    Assumed,  // IPv4 too by the system's default, the socket's own choice not known (a table read from files)
};

// What the connection log needs of a socket beside its line: both ends as
// text ("127.0.0.1:5000", "[::1]:5000"; remote empty for UDP), the owner
// label in UTF-8, and the socket's identity: the kernel's cookie when the
// library gave it, by which a socket the kernel reports closed is found
// among those seen before whatever has become of its ends; else its
// endpoints as bytes (its protocol and ends, without owner or zone).
struct Detail {
    std::string local;
    std::string remote;
    std::string owner;
    std::string endpoints;
    DWORD pid = 0;  // 0: no process holds it (a socket in TIME_WAIT) or none was found
    std::uint16_t localPort = 0;
    bool localAny = false;  // bound to every address of its family (0.0.0.0, ::)
    std::string process{};  // the owner's executable name, UTF-8; empty when not known
    std::uint64_t cookie = 0;  // the kernel's socket cookie; 0 when not known
    DualStack dualStack = DualStack::Unknown;
};

// What a TCP connection has carried, for its detail lines and its
// process's totals.
struct Traffic {
    bool counted = false;       // the system gave the connection's statistics
    std::uint64_t sent = 0;     // payload bytes sent, each counted once
    std::uint64_t received = 0; // payload bytes received
    bool hasPath = false;       // the round trip and retransmissions are known
    std::uint32_t rttMs = 0;
    std::uint32_t retransmits = 0;
    bool hasRate = false;       // the table before counted it too
    double sendRate = 0;        // bytes per second since that table
    double receiveRate = 0;
};

using OwnerDetails = std::unordered_map<DWORD, ProcessDetails>;

// What the detail lines and the process totals need of a table beside its
// lines, row by row in the table's order.
struct TableFacts {
    Table table = Table::Tcp;
    std::vector<DWORD> pids;             // the owner of each row, 0 for none found
    std::vector<std::uint32_t> states;   // each row's TCP state, 0 for UDP
    std::vector<Traffic> traffic;        // TCP: each row's traffic; UDP: none
    std::shared_ptr<const OwnerDetails> owners;  // every owner's details
    // Why owners may be missing from the table (OwnersIncompleteReason);
    // empty when none is known to be.
    std::string ownersIncomplete;
};

// One table as the socket panes show it: a row per socket, its line as the
// pane writes it, in the table's order, with its detail.  A row's key is
// its endpoints and the zones of its addresses: not its owner, which a
// connection loses when it enters TIME_WAIT, still the same socket.
struct TableRows {
    Table table = Table::Tcp;
    bool valid = false;   // the snapshot succeeded
    bool noIpv6 = false;  // it failed because the machine has no IPv6
    std::vector<Row> rows;
    std::vector<Detail> details;
    // The facts of the rows, when asked for (null otherwise).
    std::shared_ptr<TableFacts> facts;
};

}  // namespace sockets
