// A scripted stand-in for libiphlpapi.so.
//
// The fake exports the entry points the binding looks up plus
// FakeProviderControl(), which hands out the process-wide FakeControl that
// scripts them.  A test reaches the same instance as the binding by opening
// the same file:
//
//   void* lib = dlopen(FAKE_FULL_DIR "/libiphlpapi.so", RTLD_NOW);
//   auto control = reinterpret_cast<FakeProviderControlFn>(dlsym(lib, "FakeProviderControl"));
//   FakeControl* fake = control();
//   *fake = FakeControl{};  // every entry point succeeds with empty data
//
// A value-initialised FakeControl is a quiet provider: the counters succeed
// with every counter 0, the tables succeed with no rows (network parameters
// with a single DNS server), and the adapter list has no adapter, which the
// real library answers with ERROR_NO_DATA.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "iphlpapi.h"

// A counter entry point (GetIcmpStatistics and the like).
struct FakeCounterScript {
    DWORD returnCode;  // returned by every call; 0 fills the record, anything else leaves it alone
    DWORD fill;        // DWORD i of the record becomes fill + i * step
    DWORD step;
    unsigned calls;
};

inline constexpr unsigned kFakeMaxRowSteps = 8;
inline constexpr unsigned kFakeMaxRecordedCalls = 32;
inline constexpr unsigned kFakeMaxSocketRows = 32;

// A table entry point (GetIfTable and the like).
//
// At its n-th call (counting from 0) the table has rows[min(n, rowSteps - 1)]
// rows (rows[0] when rowSteps is 0).  When the buffer is null or the
// capacity handed in is below the table's size the call stores that size
// through the capacity and returns the entry point's grow code.  Otherwise
// it clears the buffer up to the capacity handed in (never further, so that
// AddressSanitizer catches a capacity larger than the buffer), lays out the
// table and returns 0.
struct FakeTableScript {
    unsigned rows[kFakeMaxRowSteps];
    unsigned rowSteps;
    DWORD forcedCode;  // non-zero: every call returns it and writes nothing
    unsigned calls;
    // What each call was handed; calls past the end are counted only.
    ULONG capacityIn[kFakeMaxRecordedCalls];
    const void* bufferIn[kFakeMaxRecordedCalls];
};

inline constexpr unsigned kFakeMaxDnsServers = 8;
inline constexpr unsigned kFakeMaxIfRows = 8;
inline constexpr unsigned kFakeMaxAdapterRecords = 4;
inline constexpr unsigned kFakeMaxAdapterAddresses = 4;

// The content of GetNetworkParams when `scripted` is set (otherwise the fake
// makes it up, see FakeControl::networkParams).  Every text is copied whole
// into its field of the same size, so a text filling its field has no
// terminating zero there (FakeSetField fills a field from a text).  The
// record's list has dnsServerCount entries (0 counts as 1, since the record
// always holds one; at most kFakeMaxDnsServers): DnsServerList, then
// IP_ADDR_STRINGs right after the record, linked through Next in this order,
// each with the mask "255.255.255.0" and Context k.  How many rows
// networkParams scripts is then not used; its forced code, call count and
// recordings still are, and the size reported and required is
// FakeNetworkParamsBytes(entries - 1).
struct FakeNetworkParamsContent {
    bool scripted;
    char hostName[MAX_HOSTNAME_LEN + 4];
    char domainName[MAX_DOMAIN_NAME_LEN + 4];
    char scopeId[MAX_SCOPE_ID_LEN + 4];
    UINT nodeType;
    UINT enableRouting;
    UINT enableProxy;
    UINT enableDns;
    unsigned dnsServerCount;
    char dnsServers[kFakeMaxDnsServers][sizeof(IP_ADDRESS_STRING::String)];
    // CurrentDnsServer points at this entry; negative or past the list: null.
    int currentDnsServer;
    // Next of the last entry points back at DnsServerList instead of null.
    bool loopDnsList;
};

// Writes `text` into a fixed field: cut to the field, the rest zero.  A text
// as long as the field leaves no terminating zero.
template <std::size_t N>
void FakeSetField(char (&field)[N], std::string_view text) {
    const std::size_t n = text.size() < N ? text.size() : N;
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), n);
}

struct FakeControl {
    FakeCounterScript icmp;  // GetIcmpStatistics; in and out halves are one run of 26 DWORDs
    FakeCounterScript ip;    // GetIpStatistics
    FakeCounterScript tcp;   // GetTcpStatistics
    FakeCounterScript udp;   // GetUdpStatistics

    // GetNetworkParams: rows are DNS servers beyond the one inside FIXED_INFO.
    // Unless networkParamsContent scripts it, the record has host "fakehost",
    // domain "fake.test", node type 1, server k (from 0) "192.0.2.<k+1>" and
    // CurrentDnsServer at the first server.
    FakeTableScript networkParams;
    // GetAdaptersInfo: rows are adapters, linked through Next, each with
    // addressesPerAdapter entries in its IpAddressList chain (at least the
    // one inside the record; the others follow the last adapter).  Adapter a
    // (from 0) has Index a + 1 and AdapterName "adapter<a>"; its k-th address
    // is "10.<a>.<k>.1" with mask "255.255.<a>.<k>".  No adapter:
    // ERROR_NO_DATA.
    FakeTableScript adapters;
    unsigned addressesPerAdapter;
    // GetIfTable, GetExtendedTcpTable (AF_INET, TCP_TABLE_OWNER_PID_ALL),
    // GetExtendedUdpTable (AF_INET, UDP_TABLE_OWNER_PID); other address
    // families or classes: ERROR_NOT_SUPPORTED.  Row i (from 0) has index
    // i + 1 (interfaces) or owning process 100 + i and local port 1000 + i
    // on 127.0.0.1 (TCP in the listening state, UDP), unless the socket
    // tables below script it.
    FakeTableScript interfaces;
    FakeTableScript tcpTable;
    FakeTableScript udpTable;

    // The content of the socket tables: row i (from 0) of a table the fake
    // lays out is copied from tcpRows[i] / udpRows[i] when i is below
    // tcpRowCount / udpRowCount (at most kFakeMaxSocketRows), and made up as
    // above otherwise.  How many rows a call writes stays with tcpTable and
    // udpTable, so rows scripted here beyond that count are not written.
    unsigned tcpRowCount;
    MIB_TCPROW_OWNER_PID tcpRows[kFakeMaxSocketRows];
    unsigned udpRowCount;
    MIB_UDPROW_OWNER_PID udpRows[kFakeMaxSocketRows];
    // A provider that overstates its table: when non-zero, a socket table
    // laid out says in dwNumEntries that it holds this many rows, whatever
    // rows it laid out and the buffer holds.
    unsigned tcpClaimedRows;
    unsigned udpClaimedRows;

    // The content of GetNetworkParams; made up as above unless scripted.
    FakeNetworkParamsContent networkParamsContent;

    // Interface rows: row i of a table the fake lays out is copied from
    // ifRows[i] when i is below ifRowCount (at most kFakeMaxIfRows).
    unsigned ifRowCount;
    MIB_IFROW ifRows[kFakeMaxIfRows];

    // Adapter records: when adapterRecordCount is non-zero the list has that
    // many adapters (at most kFakeMaxAdapterRecords), each copied from
    // adapterRecords[a] with Next linking them in order, and with
    // adapterAddressCount[a] entries in its IpAddressList chain (0 counts as
    // 1): the one inside the record as scripted, then entries k >= 1 with
    // the texts adapterAddresses[a][k] / adapterMasks[a][k], placed after
    // the last adapter.  The adapters script's row count is then not used.
    unsigned adapterRecordCount;
    IP_ADAPTER_INFO adapterRecords[kFakeMaxAdapterRecords];
    unsigned adapterAddressCount[kFakeMaxAdapterRecords];
    char adapterAddresses[kFakeMaxAdapterRecords][kFakeMaxAdapterAddresses][16];
    char adapterMasks[kFakeMaxAdapterRecords][kFakeMaxAdapterAddresses][16];

    // GetPerAdapterInfo: rows are DNS servers beyond the one inside the
    // record; server k (from 0) of interface index i is "198.51.100.<k+1>"
    // unless perAdapterServers[k] scripts it (an empty text is an empty
    // entry).  An index listed in perAdapterFailing (non-zero entries)
    // answers ERROR_NO_DATA.  The index of each call is recorded.
    FakeTableScript perAdapter;
    unsigned perAdapterServerCount;
    char perAdapterServers[kFakeMaxDnsServers][16];
    ULONG perAdapterFailing[4];
    ULONG perAdapterIndexIn[kFakeMaxRecordedCalls];

    // IPv6.  GetExtendedTcpTable / GetExtendedUdpTable for AF_INET6 (23)
    // follow tcp6Table / udp6Table as the IPv4 tables follow theirs; row i
    // is copied from tcp6Rows[i] / udp6Rows[i] below the scripted count,
    // else made up: local [::1]:(2000 + i), owner 200 + i (TCP listening).
    FakeTableScript tcp6Table;
    FakeTableScript udp6Table;
    unsigned tcp6RowCount;
    MIB_TCP6ROW_OWNER_PID tcp6Rows[kFakeMaxSocketRows];
    unsigned udp6RowCount;
    MIB_UDP6ROW_OWNER_PID udp6Rows[kFakeMaxSocketRows];
    unsigned tcp6ClaimedRows;  // as tcpClaimedRows
    unsigned udp6ClaimedRows;
    // GetIpStatisticsEx, GetIcmpStatisticsEx, GetUdpStatisticsEx for
    // AF_INET6; any other family: ERROR_INVALID_PARAMETER.
    FakeCounterScript ip6;
    FakeCounterScript icmp6;
    FakeCounterScript udp6;
    // GetUnicastIpAddressTable: unicastCode when non-zero (no table), else
    // a table of the first unicastRowCount rows (at most kFakeMaxUnicastRows)
    // of the family asked for (AF_UNSPEC: all).  FreeMibTable frees it and
    // counts the tables freed.
    DWORD unicastCode;
    unsigned unicastRowCount;
    MIB_UNICASTIPADDRESS_ROW unicastRows[8];
    unsigned unicastTables;
    unsigned unicastFreed;
    // GetIfTable2: if2Code when non-zero (no table), else a table of the
    // first if2RowCount rows of if2Rows (at most kFakeMaxIfRows), freed by
    // FreeMibTable.
    DWORD if2Code;
    unsigned if2RowCount;
    MIB_IF_ROW2 if2Rows[kFakeMaxIfRows];
};
inline constexpr unsigned kFakeMaxUnicastRows = 8;

using FakeProviderControlFn = FakeControl* (*)();

// Bytes of each table as the fake lays it out.
inline ULONG FakeNetworkParamsBytes(unsigned extraDnsServers) {
    return static_cast<ULONG>(sizeof(FIXED_INFO) + extraDnsServers * sizeof(IP_ADDR_STRING));
}
inline ULONG FakeAdapterListBytes(unsigned adapters, unsigned addressesPerAdapter) {
    const unsigned extra = addressesPerAdapter > 1 ? addressesPerAdapter - 1 : 0;
    return static_cast<ULONG>(adapters * (sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING)));
}
inline ULONG FakePerAdapterBytes(unsigned extraDnsServers) {
    return static_cast<ULONG>(sizeof(IP_PER_ADAPTER_INFO) + extraDnsServers * sizeof(IP_ADDR_STRING));
}
inline ULONG FakeInterfaceTableBytes(unsigned rows) {
    return static_cast<ULONG>(offsetof(MIB_IFTABLE, table) + (rows > 0 ? rows : 1) * sizeof(MIB_IFROW));
}
inline ULONG FakeTcpTableBytes(unsigned rows) {
    return static_cast<ULONG>(offsetof(MIB_TCPTABLE_OWNER_PID, table) +
                              (rows > 0 ? rows : 1) * sizeof(MIB_TCPROW_OWNER_PID));
}
inline ULONG FakeTcp6TableBytes(unsigned rows) {
    return static_cast<ULONG>(offsetof(MIB_TCP6TABLE_OWNER_PID, table) +
                              (rows > 0 ? rows : 1) * sizeof(MIB_TCP6ROW_OWNER_PID));
}
inline ULONG FakeUdp6TableBytes(unsigned rows) {
    return static_cast<ULONG>(offsetof(MIB_UDP6TABLE_OWNER_PID, table) +
                              (rows > 0 ? rows : 1) * sizeof(MIB_UDP6ROW_OWNER_PID));
}
inline ULONG FakeUdpTableBytes(unsigned rows) {
    return static_cast<ULONG>(offsetof(MIB_UDPTABLE_OWNER_PID, table) +
                              (rows > 0 ? rows : 1) * sizeof(MIB_UDPROW_OWNER_PID));
}
