// The provider's socket table entry points: every TCP and UDP socket, IPv4
// and IPv6, with the process that holds it.
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "OwnerClient.h"
#include "ProcFiles.h"
#include "SocketOwners.h"
#include "SocketTables.h"
#include "iphlpapi.h"
#include "socketfacts.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr ULONG kAfInet = 2;
constexpr ULONG kAfInet6 = 23;
constexpr DWORD kMibListen = 2;

using provider::Socket6Row;
using provider::SocketRow;

// The rows a TCP table class asks for.
enum class Rows { All, Listening, NotListening };

// Per table: the row scratch, reused between calls.
template <class Row>
struct TableState {
    std::mutex lock;
    std::vector<Row> rows;
};

// Never destroyed: a thread that takes a table ahead may still be inside a
// call while the process exits.
template <class Row>
TableState<Row>& StateOf(unsigned table) {
    static TableState<Row>* const tcp = new TableState<Row>;
    static TableState<Row>* const udp = new TableState<Row>;
    return table == provider::kTcpTable || table == provider::kTcp6Table ? *tcp : *udp;
}

// One owner index for all four tables, so that a socket's owner is found
// once whichever table lists it, with the helper's request and answer.
struct OwnerState {
    std::mutex lock;
    provider::SocketOwnerIndex index;
    std::unordered_set<std::uint64_t> live;
    std::vector<std::uint64_t> inodes;
    std::vector<std::uint32_t> pids;
};

OwnerState& Owners() {
    static OwnerState* const state = new OwnerState;
    return *state;
}

bool Collect(int protocol, std::vector<SocketRow>& rows, DWORD& error) {
    return provider::CollectSockets(protocol, rows, error);
}
bool Collect(int protocol, std::vector<Socket6Row>& rows, DWORD& error) {
    return provider::CollectSockets6(protocol, rows, error);
}

// Owners come from the owner helper, which alone may look into other users'
// processes, in one round trip for the table.  Without a helper, or under a
// proc root other than the machine's (which the helper never reads), they
// are looked for here, among the processes the user may see.
template <class Row>
void ResolveOwners(unsigned table, std::vector<Row>& rows) {
    const std::string root = provider::ProcRoot();
    OwnerState& owners = Owners();
    std::lock_guard<std::mutex> guard(owners.lock);
    if (root == "/proc") {
        owners.inodes.clear();
        owners.inodes.reserve(rows.size());
        for (const Row& row : rows) owners.inodes.push_back(row.inode);
        if (owners::QueryOwners(table, owners.inodes, owners.pids) && owners.pids.size() == rows.size()) {
            for (std::size_t i = 0; i < rows.size(); ++i) rows[i].pid = owners.pids[i];
            return;
        }
    }
    // The index forgets what it remembers of this table's sockets no longer
    // open.
    owners.live.clear();
    owners.live.reserve(rows.size());
    for (const Row& row : rows)
        if (row.inode != 0) owners.live.insert(row.inode);
    owners.index.Resolve(root, table, rows, owners.live);
}

// Room for the rows there are now and for the sockets that may open before
// the caller's second call.
std::size_t WithHeadroom(std::size_t rows) { return rows + rows / 4 + 64; }

template <class Row>
bool Kept(const Row& row, Rows which) {
    switch (which) {
        case Rows::All: return true;
        case Rows::Listening: return row.state == kMibListen;
        case Rows::NotListening: return row.state != kMibListen;
    }
    return true;
}

// Collects, sizes and, when the buffer is big enough, resolves owners and
// writes the table.  `fill(row)` lays out the published record.
template <class Table, class Record, class Row, class Fill>
DWORD BuildTable(unsigned table, int protocol, PVOID buffer, PDWORD size, BOOL order, Rows which, Fill fill) {
    TableState<Row>& state = StateOf<Row>(table);
    std::lock_guard<std::mutex> guard(state.lock);
    constexpr std::size_t kHeader = offsetof(Table, table);
    // The facts of the rows are the table's that this call writes, if any.
    provider::ForgetRowFacts(table);

    // A caller without a buffer asks only for the size: the kernel's socket
    // counters give it without listing every socket.
    std::size_t estimate = 0;
    bool estimated = false;
    if ((buffer == nullptr || *size < sizeof(Table)) && provider::ProcRoot() == "/proc") {
        if constexpr (std::is_same_v<Row, SocketRow>)
            estimated = provider::EstimateSocketCount(protocol, estimate);
        else
            estimated = provider::EstimateSocket6Count(protocol, estimate);
    }
    if (estimated) {
        const std::size_t wanted = kHeader + WithHeadroom(estimate) * sizeof(Record);
        if (wanted > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
        *size = static_cast<DWORD>(wanted);
        return ERROR_INSUFFICIENT_BUFFER;
    }

    DWORD error = NO_ERROR;
    if (!Collect(protocol, state.rows, error)) return error;
    const std::size_t count =
        which == Rows::All ? state.rows.size()
                           : static_cast<std::size_t>(std::count_if(state.rows.begin(), state.rows.end(),
                                                                    [which](const Row& r) { return Kept(r, which); }));
    const std::size_t needed = std::max(sizeof(Table), kHeader + count * sizeof(Record));
    if (buffer == nullptr || *size < needed) {
        const std::size_t wanted = kHeader + WithHeadroom(count) * sizeof(Record);
        if (wanted > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
        *size = static_cast<DWORD>(wanted);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    // Owners of the whole table, so that what is remembered of the rows a
    // class leaves out is not forgotten.
    ResolveOwners(table, state.rows);
    if (which != Rows::All)
        state.rows.erase(
            std::remove_if(state.rows.begin(), state.rows.end(), [which](const Row& r) { return !Kept(r, which); }),
            state.rows.end());
    if (order) provider::SortRows(state.rows);

    auto* out = static_cast<unsigned char*>(buffer);
    const DWORD rows = static_cast<DWORD>(state.rows.size());
    std::memcpy(out, &rows, sizeof rows);
    for (std::size_t i = 0; i < state.rows.size(); ++i) {
        const Record record = fill(state.rows[i]);
        std::memcpy(out + kHeader + i * sizeof(Record), &record, sizeof record);
    }
    provider::KeepRowFacts(table, state.rows);
    return NO_ERROR;
}

}  // namespace

PROVIDER_EXPORT DWORD GetExtendedTcpTable(PVOID pTcpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf,
                                          TCP_TABLE_CLASS TableClass, ULONG) {
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    Rows which = Rows::All;
    switch (TableClass) {
        case TCP_TABLE_OWNER_PID_ALL: which = Rows::All; break;
        case TCP_TABLE_OWNER_PID_LISTENER: which = Rows::Listening; break;
        case TCP_TABLE_OWNER_PID_CONNECTIONS: which = Rows::NotListening; break;
        default: return ERROR_NOT_SUPPORTED;
    }
    if (ulAf == kAfInet)
        return BuildTable<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID, SocketRow>(
            provider::kTcpTable, IPPROTO_TCP, pTcpTable, pdwSize, bOrder, which, [](const SocketRow& r) {
                MIB_TCPROW_OWNER_PID row{};
                row.dwState = r.state;
                row.dwLocalAddr = r.localAddr;
                row.dwLocalPort = htons(r.localPort);
                row.dwRemoteAddr = r.remoteAddr;
                row.dwRemotePort = htons(r.remotePort);
                row.dwOwningPid = r.pid;
                return row;
            });
    if (ulAf == kAfInet6)
        return BuildTable<MIB_TCP6TABLE_OWNER_PID, MIB_TCP6ROW_OWNER_PID, Socket6Row>(
            provider::kTcp6Table, IPPROTO_TCP, pTcpTable, pdwSize, bOrder, which, [](const Socket6Row& r) {
                MIB_TCP6ROW_OWNER_PID row{};
                std::memcpy(row.ucLocalAddr, r.localAddr.data(), sizeof row.ucLocalAddr);
                row.dwLocalScopeId = r.localScope;
                row.dwLocalPort = htons(r.localPort);
                std::memcpy(row.ucRemoteAddr, r.remoteAddr.data(), sizeof row.ucRemoteAddr);
                row.dwRemoteScopeId = r.remoteScope;
                row.dwRemotePort = htons(r.remotePort);
                row.dwState = r.state;
                row.dwOwningPid = r.pid;
                return row;
            });
    return ERROR_NOT_SUPPORTED;
}

PROVIDER_EXPORT DWORD GetExtendedUdpTable(PVOID pUdpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf,
                                          UDP_TABLE_CLASS TableClass, ULONG) {
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (TableClass != UDP_TABLE_OWNER_PID) return ERROR_NOT_SUPPORTED;
    if (ulAf == kAfInet)
        return BuildTable<MIB_UDPTABLE_OWNER_PID, MIB_UDPROW_OWNER_PID, SocketRow>(
            provider::kUdpTable, IPPROTO_UDP, pUdpTable, pdwSize, bOrder, Rows::All, [](const SocketRow& r) {
                MIB_UDPROW_OWNER_PID row{};
                row.dwLocalAddr = r.localAddr;
                row.dwLocalPort = htons(r.localPort);
                row.dwOwningPid = r.pid;
                return row;
            });
    if (ulAf == kAfInet6)
        return BuildTable<MIB_UDP6TABLE_OWNER_PID, MIB_UDP6ROW_OWNER_PID, Socket6Row>(
            provider::kUdp6Table, IPPROTO_UDP, pUdpTable, pdwSize, bOrder, Rows::All, [](const Socket6Row& r) {
                MIB_UDP6ROW_OWNER_PID row{};
                std::memcpy(row.ucLocalAddr, r.localAddr.data(), sizeof row.ucLocalAddr);
                row.dwLocalScopeId = r.localScope;
                row.dwLocalPort = htons(r.localPort);
                row.dwOwningPid = r.pid;
                return row;
            });
    return ERROR_NOT_SUPPORTED;
}

PROVIDER_EXPORT DWORD GetSocketRowFacts(ULONG family, ULONG protocol, SOCKET_ROW_FACTS* facts, DWORD rows) {
    if (family != kAfInet && family != kAfInet6) return ERROR_INVALID_PARAMETER;
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return ERROR_INVALID_PARAMETER;
    if (facts == nullptr && rows != 0) return ERROR_INVALID_PARAMETER;
    const bool tcp = protocol == IPPROTO_TCP;
    const unsigned table = family == kAfInet ? (tcp ? provider::kTcpTable : provider::kUdpTable)
                                             : (tcp ? provider::kTcp6Table : provider::kUdp6Table);
    return provider::KeptRowFacts(table, facts, rows) ? NO_ERROR : ERROR_NOT_FOUND;
}
