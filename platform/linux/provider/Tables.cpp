// The provider's socket table entry points: every IPv4 TCP and UDP socket
// with the process that holds it.
#include <netinet/in.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "OwnerClient.h"
#include "SocketOwners.h"
#include "ProcFiles.h"
#include "SocketTables.h"
#include "iphlpapi.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr ULONG kAfInet = 2;

// Per protocol: the owner index and the row scratch, reused between calls.
struct TableState {
    std::mutex lock;
    provider::SocketOwnerIndex owners;
    std::vector<provider::SocketRow> rows;
    std::unordered_set<std::uint64_t> live;
    std::vector<std::uint64_t> inodes;  // the helper's request and answer
    std::vector<std::uint32_t> pids;
};

// Never destroyed: a thread that takes a table ahead may still be inside a
// call while the process exits.
TableState& StateOf(int protocol) {
    static TableState* const tcp = new TableState;
    static TableState* const udp = new TableState;
    return protocol == IPPROTO_TCP ? *tcp : *udp;
}

// Owners come from the owner helper, which alone may look into other users'
// processes, in one round trip for the table.  Without a helper, or under a
// proc root other than the machine's (which the helper never reads), they
// are looked for here, among the processes the user may see.
void ResolveOwners(int protocol, TableState& state) {
    const std::string root = provider::ProcRoot();
    if (root == "/proc") {
        state.inodes.clear();
        state.inodes.reserve(state.rows.size());
        for (const provider::SocketRow& row : state.rows) state.inodes.push_back(row.inode);
        if (owners::QueryOwners(protocol == IPPROTO_TCP ? 0 : 1, state.inodes, state.pids) &&
            state.pids.size() == state.rows.size()) {
            for (std::size_t i = 0; i < state.rows.size(); ++i) state.rows[i].pid = state.pids[i];
            return;
        }
    }
    // The index forgets what it remembers of sockets no longer open.
    state.live.clear();
    state.live.reserve(state.rows.size());
    for (const provider::SocketRow& row : state.rows)
        if (row.inode != 0) state.live.insert(row.inode);
    state.owners.Resolve(root, state.rows, state.live);
}

// Room for the rows there are now and for the sockets that may open before
// the caller's second call.
std::size_t WithHeadroom(std::size_t rows) { return rows + rows / 4 + 64; }

// Collects, sizes and, when the buffer is big enough, resolves owners and
// writes the table.  `write(buffer, rows)` lays out the published record.
template <class Table, class Row, class Fill>
DWORD BuildTable(int protocol, PVOID buffer, PDWORD size, BOOL order, Fill fill) {
    TableState& state = StateOf(protocol);
    std::lock_guard<std::mutex> guard(state.lock);
    constexpr std::size_t kHeader = offsetof(Table, table);

    // A caller without a buffer asks only for the size: the kernel's socket
    // counters give it without listing every socket.
    std::size_t estimate = 0;
    if ((buffer == nullptr || *size < sizeof(Table)) && provider::ProcRoot() == "/proc" &&
        provider::EstimateSocketCount(protocol, estimate)) {
        const std::size_t wanted = kHeader + WithHeadroom(estimate) * sizeof(Row);
        if (wanted > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
        *size = static_cast<DWORD>(wanted);
        return ERROR_INSUFFICIENT_BUFFER;
    }

    DWORD error = NO_ERROR;
    if (!provider::CollectSockets(protocol, state.rows, error)) return error;
    const std::size_t needed = std::max(sizeof(Table), kHeader + state.rows.size() * sizeof(Row));
    if (buffer == nullptr || *size < needed) {
        const std::size_t wanted = kHeader + WithHeadroom(state.rows.size()) * sizeof(Row);
        if (wanted > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
        *size = static_cast<DWORD>(wanted);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    ResolveOwners(protocol, state);
    if (order) provider::SortRows(state.rows);

    auto* out = static_cast<unsigned char*>(buffer);
    const DWORD count = static_cast<DWORD>(state.rows.size());
    std::memcpy(out, &count, sizeof count);
    for (std::size_t i = 0; i < state.rows.size(); ++i) {
        const Row row = fill(state.rows[i]);
        std::memcpy(out + kHeader + i * sizeof(Row), &row, sizeof row);
    }
    return NO_ERROR;
}

}  // namespace

PROVIDER_EXPORT DWORD GetExtendedTcpTable(PVOID pTcpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf,
                                          TCP_TABLE_CLASS TableClass, ULONG) {
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (ulAf != kAfInet || TableClass != TCP_TABLE_OWNER_PID_ALL) return ERROR_NOT_SUPPORTED;
    return BuildTable<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID>(
        IPPROTO_TCP, pTcpTable, pdwSize, bOrder, [](const provider::SocketRow& r) {
            MIB_TCPROW_OWNER_PID row{};
            row.dwState = r.state;
            row.dwLocalAddr = r.localAddr;
            row.dwLocalPort = htons(r.localPort);
            row.dwRemoteAddr = r.remoteAddr;
            row.dwRemotePort = htons(r.remotePort);
            row.dwOwningPid = r.pid;
            return row;
        });
}

PROVIDER_EXPORT DWORD GetExtendedUdpTable(PVOID pUdpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf,
                                          UDP_TABLE_CLASS TableClass, ULONG) {
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (ulAf != kAfInet || TableClass != UDP_TABLE_OWNER_PID) return ERROR_NOT_SUPPORTED;
    return BuildTable<MIB_UDPTABLE_OWNER_PID, MIB_UDPROW_OWNER_PID>(
        IPPROTO_UDP, pUdpTable, pdwSize, bOrder, [](const provider::SocketRow& r) {
            MIB_UDPROW_OWNER_PID row{};
            row.dwLocalAddr = r.localAddr;
            row.dwLocalPort = htons(r.localPort);
            row.dwOwningPid = r.pid;
            return row;
        });
}
