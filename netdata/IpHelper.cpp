#include "IpHelper.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <mutex>

namespace {

// ---------------------------------------------------------------- binding

struct Binding {
    int bound = 0;
    HMODULE library = nullptr;
    IpHelperEntryPoints entries{};
};
Binding g_binding;

template <class Fn>
void LookUp(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(GetProcAddress(g_binding.library, name));
}

// ---------------------------------------------------------------- records

MIB_IPSTATS g_ipStats{};
MIB_ICMP g_icmpStats{};
MIB_TCPSTATS g_tcpStats{};
MIB_UDPSTATS g_udpStats{};
MIB_IPSTATS g_ip6Stats{};
MIB_ICMP_EX g_icmp6Stats{};
MIB_UDPSTATS g_udp6Stats{};
std::vector<MIB_UNICASTIPADDRESS_ROW> g_unicastAddresses;
std::vector<MIB_IF_ROW2> g_interfaceRows2;

// The catalog's number of the IPv6 family, as the entry points take it.
constexpr ULONG kAfInet6 = 23;

}  // namespace

// --------------------------------------------------------- table snapshots

struct TableSnapshot {
    void* buffer = nullptr;
    ULONG bufferSize = 0;  // bytes allocated behind buffer
    ULONG capacity = 0;    // handed to the entry point; never above bufferSize
    void* current = nullptr;
    // A socket table's: the facts of its rows, one per row, when the library
    // gave them for `current`.
    bool hasFacts = false;
    std::vector<SOCKET_ROW_FACTS> facts;
};

namespace {

TableSnapshot g_networkParams;
TableSnapshot g_adapterList;
TableSnapshot g_interfaceTable;
TableSnapshot g_tcpOwnerTable;
TableSnapshot g_udpOwnerTable;
TableSnapshot g_perAdapter;
TableSnapshot g_tcp6OwnerTable;
TableSnapshot g_udp6OwnerTable;
TableSnapshot g_zoneNames;  // an interface table of its own, for the names of scope ids
unsigned g_zoneGeneration = 0;
bool g_zoneTaken = false;
unsigned long g_tableAllocations = 0;

IP_ADDR_STRING g_addressError{};

// Clears a 16-byte address text and writes `text` into it, cut to fit with
// its terminating zero.
void WriteCut(char (&field)[16], std::string_view text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

// One snapshot of a table: one call when the buffer is big enough; otherwise
// one reallocation to the size the entry point reported and one second call.
// There is never a third call.  The entry point is read after binding, and
// `call(entry, buffer, &capacity)` makes its call with its further arguments.
template <class Fn, class Call>
void TakeTableSnapshot(TableSnapshot& t, Fn IpHelperEntryPoints::*slot, DWORD growCode, Call call,
                       unsigned long& allocations = g_tableAllocations) {
    void* result = nullptr;
    Fn entry = BindIpHelper() ? g_binding.entries.*slot : nullptr;
    if (entry != nullptr) {
        // The capacity stored by an earlier failed call may exceed the buffer;
        // the entry point is told only what is really there.
        t.capacity = t.bufferSize;
        const DWORD rc = call(entry, t.buffer, &t.capacity);
        if (rc == NO_ERROR) {
            result = t.buffer;
        } else if (rc == growCode) {
            const ULONG needed = t.capacity;
            std::free(t.buffer);
            t.buffer = needed > 0 ? std::malloc(needed) : nullptr;
            t.bufferSize = t.buffer != nullptr ? needed : 0;
            t.capacity = t.bufferSize;
            if (t.buffer != nullptr) {
                ++allocations;
                if (call(entry, t.buffer, &t.capacity) == NO_ERROR) result = t.buffer;
            }
        }
    }
    t.current = result;
}

// One snapshot of a counter record: true when the entry point returned 0.
template <class Fn, class Record>
bool TakeCounterSnapshot(Fn IpHelperEntryPoints::*slot, Record* record) {
    Fn entry = BindIpHelper() ? g_binding.entries.*slot : nullptr;
    return entry != nullptr && entry(record) == NO_ERROR;
}

// The rows of a table snapshot that lie inside its buffer: a provider may
// answer success with a row count larger than the buffer it was handed.
template <class Table>
DWORD RowsInBuffer(const TableSnapshot& t) {
    const std::size_t header = offsetof(Table, table);
    if (t.current == nullptr || t.bufferSize < header) return 0;
    const auto* table = static_cast<const Table*>(t.current);
    const std::size_t fit = (t.bufferSize - header) / sizeof table->table[0];
    return table->dwNumEntries < fit ? table->dwNumEntries : static_cast<DWORD>(fit);
}

DWORD SocketRows(const TableSnapshot& t, CSocketTable::Kind kind) {
    switch (kind) {
        case CSocketTable::Kind::Tcp: return RowsInBuffer<MIB_TCPTABLE_OWNER_PID>(t);
        case CSocketTable::Kind::Udp: return RowsInBuffer<MIB_UDPTABLE_OWNER_PID>(t);
        case CSocketTable::Kind::Tcp6: return RowsInBuffer<MIB_TCP6TABLE_OWNER_PID>(t);
        case CSocketTable::Kind::Udp6: return RowsInBuffer<MIB_UDP6TABLE_OWNER_PID>(t);
    }
    return 0;
}

// One snapshot of a socket table of either family: the owner tables of TCP
// in every state and of UDP, and the facts of their rows when the library
// has them.  Returns what the entry point last answered.
DWORD TakeSocketTable(TableSnapshot& t, CSocketTable::Kind kind, unsigned long& allocations = g_tableAllocations) {
    const ULONG family = kind == CSocketTable::Kind::Tcp6 || kind == CSocketTable::Kind::Udp6 ? kAfInet6 : 2;
    const bool tcp = kind == CSocketTable::Kind::Tcp || kind == CSocketTable::Kind::Tcp6;
    DWORD answer = NO_ERROR;
    if (tcp) {
        TakeTableSnapshot(
            t, &IpHelperEntryPoints::pGetExtendedTcpTable, ERROR_INSUFFICIENT_BUFFER,
            [&](auto entry, void* buffer, ULONG* capacity) {
                return answer = entry(buffer, capacity, TRUE, family, TCP_TABLE_OWNER_PID_ALL, 0);
            },
            allocations);
    } else {
        TakeTableSnapshot(
            t, &IpHelperEntryPoints::pGetExtendedUdpTable, ERROR_INSUFFICIENT_BUFFER,
            [&](auto entry, void* buffer, ULONG* capacity) {
                return answer = entry(buffer, capacity, TRUE, family, UDP_TABLE_OWNER_PID, 0);
            },
            allocations);
    }
    // The facts are asked for exactly the rows the table holds within its
    // buffer; a library that kept another number of rows gives none.
    t.hasFacts = false;
    const PFN_GetSocketRowFacts facts = g_binding.entries.pGetSocketRowFacts;
    if (t.current != nullptr && facts != nullptr) {
        const DWORD rows = SocketRows(t, kind);
        t.facts.resize(rows);
        t.hasFacts = facts(family, tcp ? 6 : 17, t.facts.data(), rows) == NO_ERROR;
    }
    if (!t.hasFacts) t.facts.clear();
    return answer;
}

}  // namespace

bool BindIpHelper() {
    if (g_binding.bound == 1) return true;
    g_binding.library = LoadLibraryA("iphlpapi.dll");
    if (reinterpret_cast<std::uintptr_t>(g_binding.library) < 32) {
        g_binding.bound = 0;
        g_binding.library = nullptr;
        return false;
    }
    g_binding.bound = 1;
    IpHelperEntryPoints& e = g_binding.entries;
    LookUp(e.pGetAdaptersInfo, "GetAdaptersInfo");
    LookUp(e.pGetIfTable, "GetIfTable");
    LookUp(e.pGetTcpTable2, "GetTcpTable2");
    LookUp(e.pGetExtendedTcpTable, "GetExtendedTcpTable");
    LookUp(e.pGetExtendedUdpTable, "GetExtendedUdpTable");
    LookUp(e.pGetUdpTable, "GetUdpTable");
    LookUp(e.pGetUdpStatistics, "GetUdpStatistics");
    LookUp(e.pGetTcpStatistics, "GetTcpStatistics");
    LookUp(e.pGetIcmpStatistics, "GetIcmpStatistics");
    LookUp(e.pGetIpStatistics, "GetIpStatistics");
    LookUp(e.pGetNetworkParams, "GetNetworkParams");
    LookUp(e.pGetPerAdapterInfo, "GetPerAdapterInfo");
    LookUp(e.pSetIpTTL, "SetIpTTL");
    LookUp(e.pGetIpStatisticsEx, "GetIpStatisticsEx");
    LookUp(e.pGetIcmpStatisticsEx, "GetIcmpStatisticsEx");
    LookUp(e.pGetUdpStatisticsEx, "GetUdpStatisticsEx");
    LookUp(e.pGetUnicastIpAddressTable, "GetUnicastIpAddressTable");
    LookUp(e.pFreeMibTable, "FreeMibTable");
    LookUp(e.pGetPerTcpConnectionEStats, "GetPerTcpConnectionEStats");
    LookUp(e.pGetPerTcp6ConnectionEStats, "GetPerTcp6ConnectionEStats");
    LookUp(e.pGetIfTable2, "GetIfTable2");
    LookUp(e.pGetSocketRowFacts, "GetSocketRowFacts");
    return true;
}

const IpHelperEntryPoints& IpHelper() { return g_binding.entries; }

const MIB_IPSTATS& IpStatisticsRecord() { return g_ipStats; }
const MIB_ICMP& IcmpStatisticsRecord() { return g_icmpStats; }
const MIB_TCPSTATS& TcpStatisticsRecord() { return g_tcpStats; }
const MIB_UDPSTATS& UdpStatisticsRecord() { return g_udpStats; }

const FIXED_INFO* CurrentNetworkParams() { return static_cast<const FIXED_INFO*>(g_networkParams.current); }
const IP_ADAPTER_INFO* CurrentAdapterList() { return static_cast<const IP_ADAPTER_INFO*>(g_adapterList.current); }
const MIB_IFTABLE* CurrentInterfaceTable() { return static_cast<const MIB_IFTABLE*>(g_interfaceTable.current); }
const MIB_TCPTABLE_OWNER_PID* CurrentTcpOwnerTable() {
    return static_cast<const MIB_TCPTABLE_OWNER_PID*>(g_tcpOwnerTable.current);
}
const MIB_UDPTABLE_OWNER_PID* CurrentUdpOwnerTable() {
    return static_cast<const MIB_UDPTABLE_OWNER_PID*>(g_udpOwnerTable.current);
}

// ------------------------------------------------------ counter snapshots

CIcmpStatistics::CIcmpStatistics() { Refresh(); }
bool CIcmpStatistics::Refresh() {
    m_bValid = TakeCounterSnapshot(&IpHelperEntryPoints::pGetIcmpStatistics, &g_icmpStats);
    return m_bValid;
}

CTcpStatistics::CTcpStatistics() { Refresh(); }
bool CTcpStatistics::Refresh() {
    m_bValid = TakeCounterSnapshot(&IpHelperEntryPoints::pGetTcpStatistics, &g_tcpStats);
    return m_bValid;
}

CUdpStatistics::CUdpStatistics() { Refresh(); }
bool CUdpStatistics::Refresh() {
    m_bValid = TakeCounterSnapshot(&IpHelperEntryPoints::pGetUdpStatistics, &g_udpStats);
    return m_bValid;
}

CIpStatistics::CIpStatistics() = default;
bool CIpStatistics::Refresh() {
    m_bValid = TakeCounterSnapshot(&IpHelperEntryPoints::pGetIpStatistics, &g_ipStats);
    return m_bValid;
}

// -------------------------------------------------------- table snapshots

CNetworkParams::CNetworkParams() { Refresh(); }
void CNetworkParams::Refresh() {
    TakeTableSnapshot(
        g_networkParams, &IpHelperEntryPoints::pGetNetworkParams, ERROR_BUFFER_OVERFLOW,
        [](auto entry, void* buffer, ULONG* capacity) { return entry(static_cast<PFIXED_INFO>(buffer), capacity); });
    m_bValid = g_networkParams.current != nullptr;
}

CAdapterList::CAdapterList() { Refresh(); }
void CAdapterList::Refresh() {
    DWORD answer = ERROR_PROC_NOT_FOUND;  // kept when there is no entry point to call
    TakeTableSnapshot(g_adapterList, &IpHelperEntryPoints::pGetAdaptersInfo, ERROR_BUFFER_OVERFLOW,
                      [&answer](auto entry, void* buffer, ULONG* capacity) {
                          answer = entry(static_cast<PIP_ADAPTER_INFO>(buffer), capacity);
                          return answer;
                      });
    m_bValid = g_adapterList.current != nullptr;
    m_bNoAdapters = !m_bValid && answer == ERROR_NO_DATA;
}

CInterfaceTable::CInterfaceTable() { Refresh(); }
void CInterfaceTable::Refresh() {
    TakeTableSnapshot(g_interfaceTable, &IpHelperEntryPoints::pGetIfTable, ERROR_INSUFFICIENT_BUFFER,
                      [](auto entry, void* buffer, ULONG* capacity) {
                          return entry(static_cast<PMIB_IFTABLE>(buffer), capacity, TRUE);
                      });
    m_bValid = g_interfaceTable.current != nullptr;
}

CTcpOwnerTable::CTcpOwnerTable() { Refresh(); }
void CTcpOwnerTable::Refresh() {
    TakeSocketTable(g_tcpOwnerTable, CSocketTable::Kind::Tcp);
    m_bValid = g_tcpOwnerTable.current != nullptr;
}

CUdpOwnerTable::CUdpOwnerTable() { Refresh(); }
void CUdpOwnerTable::Refresh() {
    TakeSocketTable(g_udpOwnerTable, CSocketTable::Kind::Udp);
    m_bValid = g_udpOwnerTable.current != nullptr;
}

void CTcp6OwnerTable::Refresh() {
    const DWORD answer = TakeSocketTable(g_tcp6OwnerTable, CSocketTable::Kind::Tcp6);
    m_bValid = g_tcp6OwnerTable.current != nullptr;
    m_bNoIpv6 = !m_bValid && answer == ERROR_NOT_SUPPORTED;
}

void CUdp6OwnerTable::Refresh() {
    const DWORD answer = TakeSocketTable(g_udp6OwnerTable, CSocketTable::Kind::Udp6);
    m_bValid = g_udp6OwnerTable.current != nullptr;
    m_bNoIpv6 = !m_bValid && answer == ERROR_NOT_SUPPORTED;
}

void CIp6Statistics::Refresh() {
    const IpHelperEntryPoints* e = BindIpHelper() ? &g_binding.entries : nullptr;
    // Each record keeps its earlier content when its call fails.
    MIB_IPSTATS ip{};
    MIB_ICMP_EX icmp{};
    MIB_UDPSTATS udp{};
    const DWORD ipAnswer = e != nullptr && e->pGetIpStatisticsEx != nullptr ? e->pGetIpStatisticsEx(&ip, kAfInet6)
                                                                             : ERROR_PROC_NOT_FOUND;
    const DWORD icmpAnswer = e != nullptr && e->pGetIcmpStatisticsEx != nullptr
                                 ? e->pGetIcmpStatisticsEx(&icmp, kAfInet6)
                                 : ERROR_PROC_NOT_FOUND;
    const DWORD udpAnswer = e != nullptr && e->pGetUdpStatisticsEx != nullptr ? e->pGetUdpStatisticsEx(&udp, kAfInet6)
                                                                              : ERROR_PROC_NOT_FOUND;
    const bool ipOk = ipAnswer == NO_ERROR, icmpOk = icmpAnswer == NO_ERROR, udpOk = udpAnswer == NO_ERROR;
    m_bNoIpv6 = ipAnswer == ERROR_NOT_SUPPORTED && icmpAnswer == ERROR_NOT_SUPPORTED && udpAnswer == ERROR_NOT_SUPPORTED;
    if (ipOk) g_ip6Stats = ip;
    if (icmpOk) g_icmp6Stats = icmp;
    if (udpOk) g_udp6Stats = udp;
    m_bValid = ipOk && icmpOk && udpOk;
}

void CUnicastAddressTable::Refresh() {
    g_unicastAddresses.clear();
    m_bValid = false;
    const IpHelperEntryPoints* e = BindIpHelper() ? &g_binding.entries : nullptr;
    if (e == nullptr || e->pGetUnicastIpAddressTable == nullptr || e->pFreeMibTable == nullptr) return;
    PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
    const DWORD rc = e->pGetUnicastIpAddressTable(0, &table);
    if (rc == NO_ERROR && table != nullptr) {
        // The library sized the table for its count; a count beyond any
        // machine's addresses is not believed.
        constexpr ULONG kMostAddresses = 1u << 16;
        if (table->NumEntries <= kMostAddresses) {
            g_unicastAddresses.assign(table->Table, table->Table + table->NumEntries);
            m_bValid = true;
        }
    } else if (rc == ERROR_NOT_FOUND) {
        m_bValid = true;  // no address at all: an empty list, not a failure
    }
    if (table != nullptr) e->pFreeMibTable(table);
}

void CInterfaceTable2::Refresh() {
    g_interfaceRows2.clear();
    m_bValid = false;
    const IpHelperEntryPoints* e = BindIpHelper() ? &g_binding.entries : nullptr;
    if (e == nullptr || e->pGetIfTable2 == nullptr || e->pFreeMibTable == nullptr) return;
    PMIB_IF_TABLE2 table = nullptr;
    if (e->pGetIfTable2(&table) == NO_ERROR && table != nullptr) {
        // A count beyond any machine's interfaces is not believed.
        constexpr ULONG kMostInterfaces = 1u << 16;
        if (table->NumEntries <= kMostInterfaces) {
            g_interfaceRows2.assign(table->Table, table->Table + table->NumEntries);
            m_bValid = true;
        }
    }
    if (table != nullptr) e->pFreeMibTable(table);
}

const std::vector<MIB_IF_ROW2>& CurrentInterfaceRows2() { return g_interfaceRows2; }

CIcmpStatistics* g_pIcmpStatistics = nullptr;
CTcpStatistics* g_pTcpStatistics = nullptr;
CUdpStatistics* g_pUdpStatistics = nullptr;
CIpStatistics* g_pIpStatistics = nullptr;
CNetworkParams* g_pNetworkParams = nullptr;
CAdapterList* g_pAdapterList = nullptr;
CInterfaceTable* g_pInterfaceTable = nullptr;
CTcpOwnerTable* g_pTcpOwnerTable = nullptr;
CUdpOwnerTable* g_pUdpOwnerTable = nullptr;
CTcp6OwnerTable* g_pTcp6OwnerTable = nullptr;
CUdp6OwnerTable* g_pUdp6OwnerTable = nullptr;
CIp6Statistics* g_pIp6Statistics = nullptr;
CUnicastAddressTable* g_pUnicastAddressTable = nullptr;

// ---------------------------------------------------------------- adapters

IP_ADAPTER_INFO* GetAdapter(int n) {
    auto* adapter = static_cast<IP_ADAPTER_INFO*>(g_adapterList.current);
    if (adapter == nullptr) return nullptr;
    for (int i = 0; i < n && adapter != nullptr; ++i) adapter = adapter->Next;
    return adapter;
}

IP_ADDR_STRING* GetAdapterAddress(int n, int k) {
    IP_ADAPTER_INFO* adapter = GetAdapter(n);
    if (adapter == nullptr) {
        WriteCut(g_addressError.IpAddress.String, "IPAddress:error");
        WriteCut(g_addressError.IpMask.String, "IpMask:error");
        return &g_addressError;
    }
    IP_ADDR_STRING* entry = &adapter->IpAddressList;
    if (k < 0) return nullptr;  // walking to the end of the chain yields nothing
    for (int i = 0; i < k; ++i) {
        if (entry->Next == nullptr) return nullptr;
        entry = entry->Next;
    }
    return entry;
}

CSocketTable::CSocketTable(Kind kind) : m_kind(kind), m_snapshot(new TableSnapshot) {}

CSocketTable::~CSocketTable() {
    std::free(m_snapshot->buffer);
    delete m_snapshot;
}

void CSocketTable::Refresh() {
    unsigned long allocations = 0;  // counted for the process-wide buffers only
    const DWORD answer = TakeSocketTable(*m_snapshot, m_kind, allocations);
    m_bValid = m_snapshot->current != nullptr;
    m_bNoIpv6 = (m_kind == Kind::Tcp6 || m_kind == Kind::Udp6) && !m_bValid && answer == ERROR_NOT_SUPPORTED;
}

const void* CSocketTable::Table() const { return m_snapshot->current; }

DWORD CSocketTable::Rows() const { return SocketRows(*m_snapshot, m_kind); }

const SOCKET_ROW_FACTS* CSocketTable::Facts() const {
    return m_snapshot->hasFacts ? m_snapshot->facts.data() : nullptr;
}

const SOCKET_ROW_FACTS* CurrentSocketRowFacts(CSocketTable::Kind kind) {
    const TableSnapshot* t = nullptr;
    switch (kind) {
        case CSocketTable::Kind::Tcp: t = &g_tcpOwnerTable; break;
        case CSocketTable::Kind::Udp: t = &g_udpOwnerTable; break;
        case CSocketTable::Kind::Tcp6: t = &g_tcp6OwnerTable; break;
        case CSocketTable::Kind::Udp6: t = &g_udp6OwnerTable; break;
    }
    return t != nullptr && t->current != nullptr && t->hasFacts ? t->facts.data() : nullptr;
}

DWORD CurrentTcpOwnerRows() { return RowsInBuffer<MIB_TCPTABLE_OWNER_PID>(g_tcpOwnerTable); }
DWORD CurrentUdpOwnerRows() { return RowsInBuffer<MIB_UDPTABLE_OWNER_PID>(g_udpOwnerTable); }
DWORD CurrentTcp6OwnerRows() { return RowsInBuffer<MIB_TCP6TABLE_OWNER_PID>(g_tcp6OwnerTable); }
DWORD CurrentUdp6OwnerRows() { return RowsInBuffer<MIB_UDP6TABLE_OWNER_PID>(g_udp6OwnerTable); }
const MIB_TCP6TABLE_OWNER_PID* CurrentTcp6OwnerTable() {
    return static_cast<const MIB_TCP6TABLE_OWNER_PID*>(g_tcp6OwnerTable.current);
}
const MIB_UDP6TABLE_OWNER_PID* CurrentUdp6OwnerTable() {
    return static_cast<const MIB_UDP6TABLE_OWNER_PID*>(g_udp6OwnerTable.current);
}
const MIB_IPSTATS& Ip6StatisticsRecord() { return g_ip6Stats; }
const MIB_ICMP_EX& Icmp6StatisticsRecord() { return g_icmp6Stats; }
const MIB_UDPSTATS& Udp6StatisticsRecord() { return g_udp6Stats; }
const std::vector<MIB_UNICASTIPADDRESS_ROW>& CurrentUnicastAddresses() { return g_unicastAddresses; }

std::string InterfaceNameOfIndex(ULONG index, unsigned generation) {
    // Asked by the socket worker as well as the GUI thread.
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    if (!g_zoneTaken || generation != g_zoneGeneration) {
        g_zoneTaken = true;
        g_zoneGeneration = generation;
        TakeTableSnapshot(g_zoneNames, &IpHelperEntryPoints::pGetIfTable, ERROR_INSUFFICIENT_BUFFER,
                          [](auto entry, void* buffer, ULONG* capacity) {
                              return entry(static_cast<PMIB_IFTABLE>(buffer), capacity, FALSE);
                          });
    }
    const DWORD rows = RowsInBuffer<MIB_IFTABLE>(g_zoneNames);
    const auto* table = static_cast<const MIB_IFTABLE*>(g_zoneNames.current);
    for (DWORD i = 0; i < rows; ++i) {
        const MIB_IFROW& row = table->table[i];
        if (row.dwIndex != index) continue;
        std::string name;
        for (std::size_t k = 0; k < MAX_INTERFACE_NAME_LEN && row.wszName[k] != 0; ++k) {
            const char16_t c = row.wszName[k];
            // Interface names are ASCII on this system; anything else would
            // not name a zone the user could type.
            if (c < 0x21 || c > 0x7e) return {};
            name += static_cast<char>(c);
        }
        return name;
    }
    return {};
}

ULONG CurrentInterfaceTableBytes() { return g_interfaceTable.current != nullptr ? g_interfaceTable.bufferSize : 0; }

const IP_PER_ADAPTER_INFO* TakePerAdapterSnapshot(ULONG index) {
    TakeTableSnapshot(g_perAdapter, &IpHelperEntryPoints::pGetPerAdapterInfo, ERROR_BUFFER_OVERFLOW,
                      [index](PFN_GetPerAdapterInfo entry, void* buffer, ULONG* capacity) {
                          return entry(index, static_cast<PIP_PER_ADAPTER_INFO>(buffer), capacity);
                      });
    return static_cast<const IP_PER_ADAPTER_INFO*>(g_perAdapter.current);
}

// ------------------------------------------------------------------ tests

namespace iphelper_testing {

void ResetProcessState() {
    g_binding = Binding{};
    g_ipStats = {};
    g_icmpStats = {};
    g_tcpStats = {};
    g_udpStats = {};
    g_ip6Stats = {};
    g_icmp6Stats = {};
    g_udp6Stats = {};
    g_unicastAddresses.clear();
    g_zoneTaken = false;
    for (TableSnapshot* t : {&g_networkParams, &g_adapterList, &g_interfaceTable, &g_tcpOwnerTable, &g_udpOwnerTable,
                             &g_perAdapter, &g_tcp6OwnerTable, &g_udp6OwnerTable, &g_zoneNames}) {
        std::free(t->buffer);
        *t = TableSnapshot{};
    }
    g_tableAllocations = 0;
    g_addressError = {};
    ReplaceSnapshotHandle(g_pIcmpStatistics, static_cast<CIcmpStatistics*>(nullptr));
    ReplaceSnapshotHandle(g_pTcpStatistics, static_cast<CTcpStatistics*>(nullptr));
    ReplaceSnapshotHandle(g_pUdpStatistics, static_cast<CUdpStatistics*>(nullptr));
    ReplaceSnapshotHandle(g_pIpStatistics, static_cast<CIpStatistics*>(nullptr));
    ReplaceSnapshotHandle(g_pNetworkParams, static_cast<CNetworkParams*>(nullptr));
    ReplaceSnapshotHandle(g_pAdapterList, static_cast<CAdapterList*>(nullptr));
    ReplaceSnapshotHandle(g_pInterfaceTable, static_cast<CInterfaceTable*>(nullptr));
    ReplaceSnapshotHandle(g_pTcpOwnerTable, static_cast<CTcpOwnerTable*>(nullptr));
    ReplaceSnapshotHandle(g_pUdpOwnerTable, static_cast<CUdpOwnerTable*>(nullptr));
    ReplaceSnapshotHandle(g_pTcp6OwnerTable, static_cast<CTcp6OwnerTable*>(nullptr));
    ReplaceSnapshotHandle(g_pUdp6OwnerTable, static_cast<CUdp6OwnerTable*>(nullptr));
    ReplaceSnapshotHandle(g_pIp6Statistics, static_cast<CIp6Statistics*>(nullptr));
    ReplaceSnapshotHandle(g_pUnicastAddressTable, static_cast<CUnicastAddressTable*>(nullptr));
}

TableBufferInfo TcpOwnerTableBuffer() { return {g_tcpOwnerTable.buffer, g_tcpOwnerTable.bufferSize}; }
TableBufferInfo InterfaceTableBuffer() { return {g_interfaceTable.buffer, g_interfaceTable.bufferSize}; }
TableBufferInfo NetworkParamsBuffer() { return {g_networkParams.buffer, g_networkParams.bufferSize}; }
TableBufferInfo PerAdapterBuffer() { return {g_perAdapter.buffer, g_perAdapter.bufferSize}; }
unsigned long TableAllocations() { return g_tableAllocations; }

}  // namespace iphelper_testing

namespace {

template <class Row, class Fn>
bool AskConnectionStatistics(Fn fn, Row& row, TcpConnectionStatistics& out) {
    if (fn == nullptr) return false;
    TCP_ESTATS_DATA_ROD_v0 data{};
    if (fn(&row, TcpConnectionEstatsData, nullptr, 0, 0, nullptr, 0, 0, reinterpret_cast<UCHAR*>(&data), 0,
           sizeof data) != NO_ERROR)
        return false;
    out.bytesReceived = data.ThruBytesReceived;
    TCP_ESTATS_PATH_ROD_v0 path{};
    out.hasPath = fn(&row, TcpConnectionEstatsPath, nullptr, 0, 0, nullptr, 0, 0, reinterpret_cast<UCHAR*>(&path), 0,
                     sizeof path) == NO_ERROR;
    // The payload sent, each byte once: what went out less what went out
    // again.  (The octets acknowledged count the SYN and FIN as well.)
    const std::uint64_t again = out.hasPath ? path.BytesRetrans : 0;
    out.bytesSent = data.DataBytesOut >= again ? data.DataBytesOut - again : 0;
    if (out.hasPath) {
        out.smoothedRttMs = path.SmoothedRtt;
        out.retransmits = path.PktsRetrans;
    }
    return true;
}

}  // namespace

bool GetConnectionStatistics(const MIB_TCPROW_OWNER_PID& owner, TcpConnectionStatistics& out) {
    MIB_TCPROW row{owner.dwState, owner.dwLocalAddr, owner.dwLocalPort, owner.dwRemoteAddr, owner.dwRemotePort};
    return AskConnectionStatistics(g_binding.entries.pGetPerTcpConnectionEStats, row, out);
}

bool GetConnectionStatistics(const MIB_TCP6ROW_OWNER_PID& owner, TcpConnectionStatistics& out) {
    MIB_TCP6ROW row{};
    row.State = owner.dwState;
    std::memcpy(row.LocalAddr, owner.ucLocalAddr, 16);
    row.dwLocalScopeId = owner.dwLocalScopeId;
    row.dwLocalPort = owner.dwLocalPort;
    std::memcpy(row.RemoteAddr, owner.ucRemoteAddr, 16);
    row.dwRemoteScopeId = owner.dwRemoteScopeId;
    row.dwRemotePort = owner.dwRemotePort;
    return AskConnectionStatistics(g_binding.entries.pGetPerTcp6ConnectionEStats, row, out);
}
