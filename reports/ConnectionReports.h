// Texts of the socket reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "IpHelper.h"
#include "SocketRows.h"
#include "sockclose.h"
#include "win32.h"

// The state text of row `row` of the current TCP owner table: "CLOSED" ...
// "DELETE_TCB", or "[UNKNOWN]" for another state or a row that is not there.
const char16_t* GetTcpStateName(int row);

// "%03d.%03d.%03d.%03d:%-6d": the four bytes of an address held in network
// order, in memory order, and a port in host order.
std::u16string FormatAddressPort(DWORD address, unsigned port);

namespace sockets {

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
