// The IP helper binding and the process-wide snapshots taken through it.
//
// The library is loaded by name on first use and thirteen entry points are
// looked up; every snapshot goes through that binding.  Counter snapshots
// fill fixed records; table snapshots fill heap buffers that grow once when
// the table no longer fits and are reused from one snapshot to the next.
// Everything here is process-wide and used from the GUI thread only, but for
// CSocketTable, whose objects hold buffers of their own for the socket
// worker.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "iphlpapi.h"
#include "socketfacts.h"

// Binds the library once.  True when bound (also on every later call), false
// when the library cannot be loaded; the next call then tries again.
bool BindIpHelper();

// The entry points of the binding, null until bound or when the library
// lacks the name.  Part of the binding, exposed for the per-adapter query.
struct IpHelperEntryPoints {
    PFN_GetAdaptersInfo pGetAdaptersInfo;
    PFN_GetIfTable pGetIfTable;
    PFN_GetTcpTable2 pGetTcpTable2;
    PFN_GetExtendedTcpTable pGetExtendedTcpTable;
    PFN_GetExtendedUdpTable pGetExtendedUdpTable;
    PFN_GetUdpTable pGetUdpTable;
    PFN_GetUdpStatistics pGetUdpStatistics;
    PFN_GetTcpStatistics pGetTcpStatistics;
    PFN_GetIcmpStatistics pGetIcmpStatistics;
    PFN_GetIpStatistics pGetIpStatistics;
    PFN_GetNetworkParams pGetNetworkParams;
    PFN_GetPerAdapterInfo pGetPerAdapterInfo;
    PFN_SetIpTTL pSetIpTTL;
    // IPv6: counters of a family and the unicast address table.  A library
    // without them leaves them null; the IPv6 reports then show no data.
    PFN_GetIpStatisticsEx pGetIpStatisticsEx;
    PFN_GetIcmpStatisticsEx pGetIcmpStatisticsEx;
    PFN_GetUdpStatisticsEx pGetUdpStatisticsEx;
    PFN_GetUnicastIpAddressTable pGetUnicastIpAddressTable;
    PFN_FreeMibTable pFreeMibTable;
    // Per-connection TCP statistics; null in a library without them.
    PFN_GetPerTcpConnectionEStats pGetPerTcpConnectionEStats;
    PFN_GetPerTcp6ConnectionEStats pGetPerTcp6ConnectionEStats;
    // The interface table with 64-bit counters; null in a library without it.
    PFN_GetIfTable2 pGetIfTable2;
    // The facts of a socket table's rows beyond their records (the Linux
    // provider's own entry point); null in a library without it.
    PFN_GetSocketRowFacts pGetSocketRowFacts;
};
const IpHelperEntryPoints& IpHelper();

// The four counter records: all zero at start; a failed snapshot leaves the
// earlier content.
const MIB_IPSTATS& IpStatisticsRecord();
const MIB_ICMP& IcmpStatisticsRecord();
const MIB_TCPSTATS& TcpStatisticsRecord();
const MIB_UDPSTATS& UdpStatisticsRecord();

// The current tables: the snapshot's buffer after a successful snapshot,
// null after a failed one.
const FIXED_INFO* CurrentNetworkParams();
const IP_ADAPTER_INFO* CurrentAdapterList();
const MIB_IFTABLE* CurrentInterfaceTable();
// Bytes of the buffer behind the current interface table, 0 when there is
// none: a row count is never trusted past it.
ULONG CurrentInterfaceTableBytes();
const MIB_TCPTABLE_OWNER_PID* CurrentTcpOwnerTable();
const MIB_UDPTABLE_OWNER_PID* CurrentUdpOwnerTable();
// The rows of the current TCP and UDP owner tables: the table's row count,
// never trusted past the buffer it was written into; 0 when there is no
// table.
DWORD CurrentTcpOwnerRows();
DWORD CurrentUdpOwnerRows();

// Constructs a snapshot object without taking its snapshot, for a report
// that takes it itself right after (the command line).
struct DeferSnapshot {};

// Counter snapshot classes.  Refresh is true when the entry point returned 0;
// m_bValid keeps what the last Refresh returned.
class CIcmpStatistics {
public:
    CIcmpStatistics();
    explicit CIcmpStatistics(DeferSnapshot) {}
    bool Refresh();
    bool m_bValid = false;
};

class CTcpStatistics {
public:
    CTcpStatistics();
    explicit CTcpStatistics(DeferSnapshot) {}
    bool Refresh();
    bool m_bValid = false;
};

class CUdpStatistics {
public:
    CUdpStatistics();
    explicit CUdpStatistics(DeferSnapshot) {}
    bool Refresh();
    bool m_bValid = false;
};

class CIpStatistics {
public:
    CIpStatistics();  // takes no snapshot
    explicit CIpStatistics(DeferSnapshot) {}
    bool Refresh();
    bool m_bValid = false;
};

// Table snapshot classes.  m_bValid is true exactly when the class's current
// table is not null after this object's last Refresh.
class CNetworkParams {
public:
    CNetworkParams();
    explicit CNetworkParams(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
};

class CAdapterList {
public:
    CAdapterList();
    explicit CAdapterList(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
    // True when the last Refresh was answered ERROR_NO_DATA: the machine has
    // no adapter, an empty list rather than a failure.
    bool m_bNoAdapters = false;
};

class CInterfaceTable {
public:
    CInterfaceTable();
    explicit CInterfaceTable(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
};

class CTcpOwnerTable {
public:
    CTcpOwnerTable();
    explicit CTcpOwnerTable(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
};

class CUdpOwnerTable {
public:
    CUdpOwnerTable();
    explicit CUdpOwnerTable(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
};

// IPv6 snapshots.  The socket tables are GetExtendedTcpTable and
// GetExtendedUdpTable for AF_INET6; the counters are the three Ex entry
// points for AF_INET6, taken together; the address table is every unicast
// address of the machine, of both families.  m_bValid as above; for the
// counters, true only when all three calls succeeded.
// m_bNoIpv6 is true when the library answered ERROR_NOT_SUPPORTED: the
// machine has no IPv6, which is no data rather than a failure.
class CTcp6OwnerTable {
public:
    explicit CTcp6OwnerTable(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
    bool m_bNoIpv6 = false;
};

class CUdp6OwnerTable {
public:
    explicit CUdp6OwnerTable(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
    bool m_bNoIpv6 = false;
};

class CIp6Statistics {
public:
    explicit CIp6Statistics(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
    bool m_bNoIpv6 = false;  // all three calls answered ERROR_NOT_SUPPORTED
};

class CUnicastAddressTable {
public:
    explicit CUnicastAddressTable(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
};

// The current IPv6 tables and records, as for IPv4: null or zero after a
// failed snapshot, row counts never trusted past their buffers.
const MIB_TCP6TABLE_OWNER_PID* CurrentTcp6OwnerTable();
const MIB_UDP6TABLE_OWNER_PID* CurrentUdp6OwnerTable();
DWORD CurrentTcp6OwnerRows();
DWORD CurrentUdp6OwnerRows();
const MIB_IPSTATS& Ip6StatisticsRecord();
const MIB_ICMP_EX& Icmp6StatisticsRecord();
const MIB_UDPSTATS& Udp6StatisticsRecord();
// The unicast addresses of the last snapshot; empty after a failed one.
const std::vector<MIB_UNICASTIPADDRESS_ROW>& CurrentUnicastAddresses();

// The interfaces with their 64-bit counters, for the records other tools
// read: m_bValid as above.
class CInterfaceTable2 {
public:
    explicit CInterfaceTable2(DeferSnapshot) {}
    void Refresh();
    bool m_bValid = false;
};
// The rows of the last snapshot; empty after a failed one.
const std::vector<MIB_IF_ROW2>& CurrentInterfaceRows2();

// The name of the interface with index `index` (as the interface table
// names it, e.g. "eth0"), or empty when there is none; the table is asked
// at most once per `generation` (a report passes a new one per pass).
std::string InterfaceNameOfIndex(ULONG index, unsigned generation);

// A socket table taken into a buffer of its own rather than the
// process-wide one: a worker thread takes the tables of the live socket
// panes this way while the GUI thread goes on.  The library must have been
// bound (BindIpHelper) before another thread calls Refresh.
struct TableSnapshot;
class CSocketTable {
public:
    enum class Kind { Tcp, Udp, Tcp6, Udp6 };
    explicit CSocketTable(Kind kind);
    ~CSocketTable();
    CSocketTable(const CSocketTable&) = delete;
    CSocketTable& operator=(const CSocketTable&) = delete;

    Kind GetKind() const { return m_kind; }
    // Takes the table again; m_bValid and m_bNoIpv6 as for the classes above.
    void Refresh();
    // The table of the last Refresh (its record type follows the kind), null
    // after a failed one, and its rows, never counted past the buffer.
    const void* Table() const;
    DWORD Rows() const;
    // The facts of each of those rows (socketfacts.h), or null when the
    // library gave none for this table.
    const SOCKET_ROW_FACTS* Facts() const;
    bool m_bValid = false;
    bool m_bNoIpv6 = false;

private:
    Kind m_kind;
    TableSnapshot* m_snapshot;
};

// The facts of the rows of the current socket table of `kind` (the
// process-wide snapshots), one per row counted by its Current...Rows;
// null when there is no table or the library gave no facts for it.
const SOCKET_ROW_FACTS* CurrentSocketRowFacts(CSocketTable::Kind kind);

// Snapshot handles: the instance the reports use, null until the first data
// pane is constructed.
extern CIcmpStatistics* g_pIcmpStatistics;
extern CTcpStatistics* g_pTcpStatistics;
extern CUdpStatistics* g_pUdpStatistics;
extern CIpStatistics* g_pIpStatistics;
extern CNetworkParams* g_pNetworkParams;
extern CAdapterList* g_pAdapterList;
extern CInterfaceTable* g_pInterfaceTable;
extern CTcpOwnerTable* g_pTcpOwnerTable;
extern CUdpOwnerTable* g_pUdpOwnerTable;
extern CTcp6OwnerTable* g_pTcp6OwnerTable;
extern CUdp6OwnerTable* g_pUdp6OwnerTable;
extern CIp6Statistics* g_pIp6Statistics;
extern CUnicastAddressTable* g_pUnicastAddressTable;

// Puts a fresh instance into a handle; the instance it replaces is no longer
// referred to by anything and is destroyed.
template <class T>
void ReplaceSnapshotHandle(T*& handle, T* fresh) {
    T* old = handle;
    handle = fresh;
    delete old;
}

// The n-th adapter of the current adapter list (a negative n counts as 0), or
// null.
IP_ADAPTER_INFO* GetAdapter(int n);

// The k-th address of adapter n; null when the chain ends first (a negative k
// walks off the end); the process-wide address error record, holding
// "IPAddress:error" and "IpMask:error", when there is no adapter n.
IP_ADDR_STRING* GetAdapterAddress(int n, int k);

// The per-adapter snapshot for the adapter of interface index `index`: the
// record that GetPerAdapterInfo filled, or null when the entry point is
// missing or the call failed.  Its buffer is process-wide and reused from
// adapter to adapter: one call when the record fits, else one reallocation
// to the size reported and one second call.
const IP_PER_ADAPTER_INFO* TakePerAdapterSnapshot(ULONG index);

namespace iphelper_testing {
// Returns the binding, the records, the buffers and the handles to their
// state at process start, so that one test process can run several binding
// scenarios.  The loaded library is not released.
void ResetProcessState();
// Size in bytes of the buffer behind each table snapshot, and how many times
// a table buffer has been allocated since the process started.
struct TableBufferInfo {
    const void* buffer;
    ULONG size;
};
TableBufferInfo TcpOwnerTableBuffer();
TableBufferInfo InterfaceTableBuffer();
TableBufferInfo NetworkParamsBuffer();
TableBufferInfo PerAdapterBuffer();
unsigned long TableAllocations();
}  // namespace iphelper_testing

// What a TCP connection has carried, from the per-connection statistics
// (data and path) of the library.
struct TcpConnectionStatistics {
    std::uint64_t bytesSent = 0;      // payload sent, each byte counted once
    std::uint64_t bytesReceived = 0;  // payload received and acknowledged
    bool hasPath = false;             // the two below are known
    ULONG smoothedRttMs = 0;
    ULONG retransmits = 0;            // segments sent again
};
// The statistics of the connection of an owner table's row; false when the
// library has none for it (no entry point, the connection is gone, or the
// system does not count them).  May be called from the socket worker.
bool GetConnectionStatistics(const MIB_TCPROW_OWNER_PID& row, TcpConnectionStatistics& out);
bool GetConnectionStatistics(const MIB_TCP6ROW_OWNER_PID& row, TcpConnectionStatistics& out);
