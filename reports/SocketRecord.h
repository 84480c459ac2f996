// A socket, a process or a log event as typed values: what the table view
// shows in columns, sorts by and the filter matches, made once per refresh
// on the worker beside the line of text that the tree shows.  Qt-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ConnectionLog.h"
#include "SocketRows.h"

namespace sockets {

// The columns of the table view, in their first order.  The log's table
// starts with Time and Event; the Processes table has Sockets.
enum class Column : std::uint8_t {
    Time,
    Event,
    Protocol,
    LocalAddress,
    LocalPort,
    RemoteAddress,
    RemotePort,
    State,
    Pid,
    Process,
    User,
    Sent,
    Received,
    SendRate,
    ReceiveRate,
    RoundTrip,
    Retransmits,
    Service,
    Container,
    Sockets,
};
inline constexpr std::size_t kColumnCount = static_cast<std::size_t>(Column::Sockets) + 1;

// The heading of a column ("Local Address").
const char* ColumnTitle(Column column);

// An address as bytes: 4 for IPv4, 16 for IPv6 (an IPv4 client of a
// dual-stack socket stays ::ffff:a.b.c.d), family 0 for none.
struct IpAddress {
    std::uint8_t family = 0;  // 0, 4 or 6
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t zone = 0;  // the interface index of a link-scoped IPv6 address
    std::string zoneName;    // and its interface's name, when known
};

// Plain text of an address: "127.0.0.1", "fe80::1%eth0" ... (RFC 5952 for
// IPv6, with the zone's interface name when it has one); "" for none.
std::string AddressText(const IpAddress& address);

struct Record {
    enum class Kind : std::uint8_t { Socket, Process, Event } kind = Kind::Socket;
    Table table = Table::Tcp;  // the protocol and family of a socket or an event
    IpAddress local, remote;   // remote.family 0 for UDP
    std::uint16_t localPort = 0, remotePort = 0;
    std::uint32_t state = 0;   // TCP state as the lines number it (1 CLOSED ... 12); 0 for UDP
    bool closed = false;       // a closed socket's line, kept one refresh: State reads "CLOSED"
    bool bothFamilies = false; // a listening line that stands for IPv4 and IPv6
    DWORD pid = 0;             // 0: none found
    std::string process;       // the executable's name; empty when not known
    std::string path, user, service, container;  // the owner's, empty when not known
    // Why there is no owner, for the table ("— (TIME_WAIT)", "needs
    // privileges", "closed before it was seen"); empty when there is one.
    std::string ownerMissing;
    Traffic traffic;           // TCP with facts
    // Log events: when (ms since the epoch) and what ("opened", "closed",
    // a new state's name).
    std::int64_t timeMs = 0;
    std::string event;
    // Process rows: the sockets it holds, and those sockets as records
    // (the children of its row in the table).
    std::size_t sockets = 0;
    std::vector<std::shared_ptr<const Record>> children;
};

using RecordPtr = std::shared_ptr<const Record>;

// Which records a view shows (empty: all of them).
using RecordFilter = std::function<bool(const Record&)>;

// The text of a column as the table shows it: addresses plain, ports and
// numbers in decimal, bytes and rates as the detail lines write them,
// "" where the record has no value.
std::string ColumnText(const Record& record, Column column);

// Orders two records by a column's kind: addresses by their bytes (IPv4
// before IPv6), numbers as numbers, times as times, text without regard to
// case; records without a value come first.  <0, 0 or >0.
int CompareBy(const Record& a, const Record& b, Column column);

// The records of a table's rows, made from its details and facts (the
// facts' traffic and owners when it has them), row by row.
std::vector<RecordPtr> MakeRecords(const TableRows& rows);
// Fills `record` (a record made afresh) with row `i` of `rows`, as
// MakeRecords makes it: for a test of each row without keeping the records.
void FillRecord(const TableRows& rows, std::size_t i, Record& record);
// Gives each row of `rows` its record.
void AttachRecords(TableRows& rows);
// The records of closed lines say so (Record::closed).
void MarkClosedRecords(std::vector<Line>& lines);
// A log event as a record: its time, what happened, the protocol, both
// ends (parsed from their text) and the owner.
RecordPtr EventRecord(const Event& event);
// The record of each line.
std::vector<RecordPtr> LineRecords(const std::vector<Line>& lines);

}  // namespace sockets
