// Texts of the socket reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "IpHelper.h"
#include "SocketDiff.h"
#include "processinfo.h"
#include "sockclose.h"
#include "win32.h"

// The state text of row `row` of the current TCP owner table: "CLOSED" ...
// "DELETE_TCB", or "[UNKNOWN]" for another state or a row that is not there.
const char16_t* GetTcpStateName(int row);

// "%03d.%03d.%03d.%03d:%-6d": the four bytes of an address held in network
// order, in memory order, and a port in host order.
std::u16string FormatAddressPort(DWORD address, unsigned port);

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

// The rows of the first `count` rows of `table`, whose record type follows
// `kind` (null: none), with their facts when asked.  `rowFacts`, when not
// null, holds the library's facts of each of those rows (cookie, families).
TableRows MakeRows(Table kind, const void* table, DWORD count, bool withFacts = false,
                   const SOCKET_ROW_FACTS* rowFacts = nullptr);
// Takes `table` again and makes its rows.
TableRows TakeRows(CSocketTable& table, bool withFacts = false);

// "TCP", "UDP", "TCPv6", "UDPv6".
const char* ProtocolName(Table kind);
// The name of a TCP state as the lines show it ("ESTABLISHED"), in UTF-8.
std::string StateText(std::uint32_t state);

// The table and the endpoints bytes of a socket the kernel reports closed
// (as Detail::endpoints), and its ends as text as the notification gives
// them; false for a socket no table lists (another family or protocol).
// `unbound`: both ends are unset (0.0.0.0:0 or [::]:0, no remote end), a
// socket never bound nor connected.
struct ClosedSocket {
    Table table;
    std::string endpoints;
    std::string local;
    std::string remote;
    bool unbound = false;
};
bool DescribeClosedSocket(const SOCKET_CLOSE_EVENT& event, ClosedSocket& out);

}  // namespace sockets
