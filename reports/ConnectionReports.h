// Texts of the socket reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "IpHelper.h"
#include "SocketDiff.h"
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

// What the connection log needs of a socket beside its line: both ends as
// text ("127.0.0.1:5000", "[::1]:5000"; remote empty for UDP), the owner
// label in UTF-8, and the socket's endpoints as bytes (its protocol and
// ends, without owner or zone), by which a socket the kernel reports closed
// is found among those seen before.
struct Detail {
    std::string local;
    std::string remote;
    std::string owner;
    std::string endpoints;
    DWORD pid = 0;  // 0: no process holds it (a socket in TIME_WAIT) or none was found
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
};

// The rows of the first `count` rows of `table`, whose record type follows
// `kind` (null: none).
TableRows MakeRows(Table kind, const void* table, DWORD count);
// Takes `table` again and makes its rows.
TableRows TakeRows(CSocketTable& table);

// "TCP", "UDP", "TCPv6", "UDPv6".
const char* ProtocolName(Table kind);
// The name of a TCP state as the lines show it ("ESTABLISHED"), in UTF-8.
std::string StateText(std::uint32_t state);

// The table and the endpoints bytes of a socket the kernel reports closed
// (as Detail::endpoints), and its ends as text; false for a socket no table
// lists (another family or protocol).
struct ClosedSocket {
    Table table;
    std::string endpoints;
    std::string local;
    std::string remote;
};
bool DescribeClosedSocket(const SOCKET_CLOSE_EVENT& event, ClosedSocket& out);

}  // namespace sockets
