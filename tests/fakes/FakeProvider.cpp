// The scripted provider described in FakeProvider.h.  Built twice: with every
// entry point, and with FAKE_OMIT_GET_TCP_STATISTICS, where that one name is
// missing from the library.
#include "FakeProvider.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FakeControl g_control{};

// ---------------------------------------------------------------- counters

template <class Record>
DWORD FillCounters(FakeCounterScript& script, Record* record) {
    ++script.calls;
    if (script.returnCode != NO_ERROR) return script.returnCode;
    if (record == nullptr) return ERROR_INVALID_PARAMETER;
    constexpr std::size_t n = sizeof(Record) / sizeof(DWORD);
    static_assert(n * sizeof(DWORD) == sizeof(Record));
    auto* bytes = reinterpret_cast<unsigned char*>(record);
    for (std::size_t i = 0; i < n; ++i) {
        const DWORD value = script.fill + static_cast<DWORD>(i) * script.step;
        std::memcpy(bytes + i * sizeof(DWORD), &value, sizeof value);
    }
    return NO_ERROR;
}

// ------------------------------------------------------------------ tables

// Records the call and returns the rows the table has at it.
unsigned BeginTableCall(FakeTableScript& script, const void* buffer, const ULONG* capacity) {
    const unsigned call = script.calls++;
    if (call < kFakeMaxRecordedCalls) {
        script.capacityIn[call] = capacity != nullptr ? *capacity : 0;
        script.bufferIn[call] = buffer;
    }
    const unsigned steps =
        script.rowSteps == 0 ? 1 : (script.rowSteps > kFakeMaxRowSteps ? kFakeMaxRowSteps : script.rowSteps);
    return script.rows[call < steps ? call : steps - 1];
}

// The common part of every table call: the forced code, then the size check.
// True when the caller may lay the table out in `buffer`, which has then
// been cleared up to the capacity handed in.
bool ClaimBuffer(const FakeTableScript& script, void* buffer, ULONG* capacity, ULONG needed, DWORD growCode,
                 DWORD& rc) {
    if (script.forcedCode != NO_ERROR) {
        rc = script.forcedCode;
        return false;
    }
    if (capacity == nullptr) {
        rc = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (buffer == nullptr || *capacity < needed) {
        *capacity = needed;
        rc = growCode;
        return false;
    }
    std::memset(buffer, 0, *capacity);
    rc = NO_ERROR;
    return true;
}

// Formats into a fixed field, cut to fit with its terminating zero.
void SetText(char* field, std::size_t size, const char* format, unsigned a, unsigned b = 0) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, format, a, b);
    const std::size_t length = n < 0 ? 0 : static_cast<std::size_t>(n);
    const std::size_t kept = length < size ? length : size - 1;
    std::memcpy(field, text, kept);
    field[kept] = '\0';
}

void SetAddress(IP_ADDR_STRING& entry, unsigned adapter, unsigned k) {
    SetText(entry.IpAddress.String, sizeof entry.IpAddress.String, "10.%u.%u.1", adapter, k);
    SetText(entry.IpMask.String, sizeof entry.IpMask.String, "255.255.%u.%u", adapter, k);
    entry.Context = adapter * 100 + k;
}

// How many DNS servers the scripted content lists.
unsigned ScriptedDnsServers(const FakeNetworkParamsContent& content) {
    if (content.dnsServerCount == 0) return 1;
    return content.dnsServerCount < kFakeMaxDnsServers ? content.dnsServerCount : kFakeMaxDnsServers;
}

// Copies a scripted text whole into the record field of the same size.
template <std::size_t N>
void CopyField(char (&to)[N], const char (&from)[N]) {
    std::memcpy(to, from, N);
}

// Lays out the scripted content: the record, then the servers after the
// first one right behind it.
void LayOutScriptedParams(const FakeNetworkParamsContent& content, PFIXED_INFO buffer, unsigned servers) {
    CopyField(buffer->HostName, content.hostName);
    CopyField(buffer->DomainName, content.domainName);
    CopyField(buffer->ScopeId, content.scopeId);
    buffer->NodeType = content.nodeType;
    buffer->EnableRouting = content.enableRouting;
    buffer->EnableProxy = content.enableProxy;
    buffer->EnableDns = content.enableDns;
    auto* chain = reinterpret_cast<IP_ADDR_STRING*>(reinterpret_cast<unsigned char*>(buffer) + sizeof(FIXED_INFO));
    IP_ADDR_STRING* entry = &buffer->DnsServerList;
    for (unsigned k = 0; k < servers; ++k) {
        if (k > 0) {
            entry->Next = &chain[k - 1];
            entry = entry->Next;
        }
        CopyField(entry->IpAddress.String, content.dnsServers[k]);
        std::strcpy(entry->IpMask.String, "255.255.255.0");
        entry->Context = k;
        if (content.currentDnsServer >= 0 && static_cast<unsigned>(content.currentDnsServer) == k)
            buffer->CurrentDnsServer = entry;
    }
    entry->Next = content.loopDnsList ? &buffer->DnsServerList : nullptr;
}

DWORD NetworkParams(PFIXED_INFO buffer, PULONG capacity) {
    FakeTableScript& script = g_control.networkParams;
    const FakeNetworkParamsContent& content = g_control.networkParamsContent;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    const unsigned extra = content.scripted ? ScriptedDnsServers(content) - 1 : rows;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeNetworkParamsBytes(extra), ERROR_BUFFER_OVERFLOW, rc)) return rc;
    if (content.scripted) {
        LayOutScriptedParams(content, buffer, extra + 1);
        return NO_ERROR;
    }
    std::strcpy(buffer->HostName, "fakehost");
    std::strcpy(buffer->DomainName, "fake.test");
    buffer->CurrentDnsServer = &buffer->DnsServerList;
    auto* chain = reinterpret_cast<IP_ADDR_STRING*>(reinterpret_cast<unsigned char*>(buffer) + sizeof(FIXED_INFO));
    IP_ADDR_STRING* entry = &buffer->DnsServerList;
    for (unsigned k = 0; k <= extra; ++k) {
        if (k > 0) {
            entry->Next = &chain[k - 1];
            entry = entry->Next;
        }
        SetText(entry->IpAddress.String, sizeof entry->IpAddress.String, "192.0.2.%u", k + 1);
    }
    buffer->NodeType = 1;
    return NO_ERROR;
}

unsigned Clamp(unsigned value, unsigned most) { return value < most ? value : most; }

// The scripted adapter records, laid out as the real list is.
DWORD ScriptedAdapters(PIP_ADAPTER_INFO buffer, PULONG capacity) {
    FakeTableScript& script = g_control.adapters;
    const unsigned adapters = Clamp(g_control.adapterRecordCount, kFakeMaxAdapterRecords);
    unsigned extra = 0;
    for (unsigned a = 0; a < adapters; ++a) {
        const unsigned n = Clamp(g_control.adapterAddressCount[a], kFakeMaxAdapterAddresses);
        extra += n > 1 ? n - 1 : 0;
    }
    DWORD rc = NO_ERROR;
    const ULONG bytes = static_cast<ULONG>(adapters * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING));
    if (!ClaimBuffer(script, buffer, capacity, bytes, ERROR_BUFFER_OVERFLOW, rc)) return rc;
    auto* chain = reinterpret_cast<IP_ADDR_STRING*>(buffer + adapters);
    for (unsigned a = 0; a < adapters; ++a) {
        IP_ADAPTER_INFO& adapter = buffer[a];
        adapter = g_control.adapterRecords[a];
        adapter.Next = a + 1 < adapters ? &buffer[a + 1] : nullptr;
        adapter.CurrentIpAddress = nullptr;
        IP_ADDR_STRING* entry = &adapter.IpAddressList;
        entry->Next = nullptr;
        const unsigned n = Clamp(g_control.adapterAddressCount[a], kFakeMaxAdapterAddresses);
        for (unsigned k = 1; k < n; ++k) {
            entry->Next = chain++;
            entry = entry->Next;
            *entry = IP_ADDR_STRING{};
            std::memcpy(entry->IpAddress.String, g_control.adapterAddresses[a][k], 16);
            std::memcpy(entry->IpMask.String, g_control.adapterMasks[a][k], 16);
        }
    }
    return NO_ERROR;
}

DWORD PerAdapter(ULONG index, PIP_PER_ADAPTER_INFO buffer, PULONG capacity) {
    FakeTableScript& script = g_control.perAdapter;
    const unsigned call = script.calls;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    if (call < kFakeMaxRecordedCalls) g_control.perAdapterIndexIn[call] = index;
    for (ULONG failing : g_control.perAdapterFailing)
        if (failing != 0 && failing == index) return ERROR_NO_DATA;
    const bool scripted = g_control.perAdapterServerCount > 0;
    const unsigned servers = scripted ? Clamp(g_control.perAdapterServerCount, kFakeMaxDnsServers) : rows + 1;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakePerAdapterBytes(servers - 1), ERROR_BUFFER_OVERFLOW, rc))
        return rc;
    auto* chain = reinterpret_cast<IP_ADDR_STRING*>(buffer + 1);
    IP_ADDR_STRING* entry = &buffer->DnsServerList;
    for (unsigned k = 0; k < servers; ++k) {
        if (k > 0) {
            entry->Next = &chain[k - 1];
            entry = entry->Next;
        }
        if (scripted) std::memcpy(entry->IpAddress.String, g_control.perAdapterServers[k], 16);
        else SetText(entry->IpAddress.String, sizeof entry->IpAddress.String, "198.51.100.%u", k + 1);
    }
    buffer->CurrentDnsServer = &buffer->DnsServerList;
    return NO_ERROR;
}

DWORD AdaptersInfo(PIP_ADAPTER_INFO buffer, PULONG capacity) {
    FakeTableScript& script = g_control.adapters;
    if (g_control.adapterRecordCount > 0) {
        BeginTableCall(script, buffer, capacity);
        return ScriptedAdapters(buffer, capacity);
    }
    const unsigned adapters = BeginTableCall(script, buffer, capacity);
    if (script.forcedCode != NO_ERROR) return script.forcedCode;
    if (adapters == 0) return ERROR_NO_DATA;
    const unsigned addresses = g_control.addressesPerAdapter > 0 ? g_control.addressesPerAdapter : 1;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeAdapterListBytes(adapters, addresses), ERROR_BUFFER_OVERFLOW, rc))
        return rc;
    auto* chain = reinterpret_cast<IP_ADDR_STRING*>(buffer + adapters);
    for (unsigned a = 0; a < adapters; ++a) {
        IP_ADAPTER_INFO& adapter = buffer[a];
        adapter.Next = a + 1 < adapters ? &buffer[a + 1] : nullptr;
        adapter.ComboIndex = a + 1;
        adapter.Index = a + 1;
        adapter.Type = 6;
        SetText(adapter.AdapterName, sizeof adapter.AdapterName, "adapter%u", a);
        SetText(adapter.Description, sizeof adapter.Description, "Fake adapter %u", a);
        adapter.AddressLength = 6;
        adapter.Address[5] = static_cast<BYTE>(a);
        IP_ADDR_STRING* entry = &adapter.IpAddressList;
        SetAddress(*entry, a, 0);
        for (unsigned k = 1; k < addresses; ++k) {
            entry->Next = chain++;
            entry = entry->Next;
            SetAddress(*entry, a, k);
        }
        adapter.CurrentIpAddress = &adapter.IpAddressList;
    }
    return NO_ERROR;
}

DWORD IfTable(PMIB_IFTABLE buffer, PULONG capacity) {
    FakeTableScript& script = g_control.interfaces;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeInterfaceTableBytes(rows), ERROR_INSUFFICIENT_BUFFER, rc)) return rc;
    buffer->dwNumEntries = rows;
    for (unsigned i = 0; i < rows; ++i) {
        MIB_IFROW& row = buffer->table[i];
        if (i < Clamp(g_control.ifRowCount, kFakeMaxIfRows)) {
            row = g_control.ifRows[i];
            continue;
        }
        char name[16];
        SetText(name, sizeof name, "fake%u", i);
        for (std::size_t c = 0; name[c] != '\0'; ++c) row.wszName[c] = static_cast<WCHAR>(name[c]);
        std::memcpy(row.bDescr, name, std::strlen(name));
        row.dwDescrLen = static_cast<DWORD>(std::strlen(name));
        row.dwIndex = i + 1;
        row.dwType = 6;
        row.dwMtu = 1500;
        row.dwAdminStatus = 1;
    }
    return NO_ERROR;
}

// How many leading rows of a socket table come from the script.
unsigned ScriptedRows(unsigned count) { return count < kFakeMaxSocketRows ? count : kFakeMaxSocketRows; }

constexpr ULONG kAfInet6 = 23;

DWORD Tcp6Table(PVOID buffer, PDWORD capacity, TCP_TABLE_CLASS tableClass) {
    FakeTableScript& script = g_control.tcp6Table;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    if (tableClass != TCP_TABLE_OWNER_PID_ALL) return ERROR_NOT_SUPPORTED;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeTcp6TableBytes(rows), ERROR_INSUFFICIENT_BUFFER, rc)) return rc;
    auto* table = static_cast<MIB_TCP6TABLE_OWNER_PID*>(buffer);
    table->dwNumEntries = g_control.tcp6ClaimedRows != 0 ? g_control.tcp6ClaimedRows : rows;
    const unsigned scripted = ScriptedRows(g_control.tcp6RowCount);
    for (unsigned i = 0; i < rows; ++i) {
        MIB_TCP6ROW_OWNER_PID& row = table->table[i];
        if (i < scripted) {
            row = g_control.tcp6Rows[i];
            continue;
        }
        row.dwState = 2;  // listening
        row.ucLocalAddr[15] = 1;
        row.dwLocalPort = htons(static_cast<uint16_t>(2000 + i));
        row.dwOwningPid = 200 + i;
    }
    return NO_ERROR;
}

DWORD Udp6Table(PVOID buffer, PDWORD capacity, UDP_TABLE_CLASS tableClass) {
    FakeTableScript& script = g_control.udp6Table;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    if (tableClass != UDP_TABLE_OWNER_PID) return ERROR_NOT_SUPPORTED;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeUdp6TableBytes(rows), ERROR_INSUFFICIENT_BUFFER, rc)) return rc;
    auto* table = static_cast<MIB_UDP6TABLE_OWNER_PID*>(buffer);
    table->dwNumEntries = g_control.udp6ClaimedRows != 0 ? g_control.udp6ClaimedRows : rows;
    const unsigned scripted = ScriptedRows(g_control.udp6RowCount);
    for (unsigned i = 0; i < rows; ++i) {
        MIB_UDP6ROW_OWNER_PID& row = table->table[i];
        if (i < scripted) {
            row = g_control.udp6Rows[i];
            continue;
        }
        row.ucLocalAddr[15] = 1;
        row.dwLocalPort = htons(static_cast<uint16_t>(2000 + i));
        row.dwOwningPid = 200 + i;
    }
    return NO_ERROR;
}

DWORD TcpTable(PVOID buffer, PDWORD capacity, ULONG af, TCP_TABLE_CLASS tableClass) {
    if (af == kAfInet6) return Tcp6Table(buffer, capacity, tableClass);
    FakeTableScript& script = g_control.tcpTable;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    if (af != AF_INET || tableClass != TCP_TABLE_OWNER_PID_ALL) return ERROR_NOT_SUPPORTED;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeTcpTableBytes(rows), ERROR_INSUFFICIENT_BUFFER, rc)) return rc;
    auto* table = static_cast<MIB_TCPTABLE_OWNER_PID*>(buffer);
    table->dwNumEntries = g_control.tcpClaimedRows != 0 ? g_control.tcpClaimedRows : rows;
    const unsigned scripted = ScriptedRows(g_control.tcpRowCount);
    for (unsigned i = 0; i < rows; ++i) {
        MIB_TCPROW_OWNER_PID& row = table->table[i];
        if (i < scripted) {
            row = g_control.tcpRows[i];
            continue;
        }
        row.dwState = 2;  // listening
        row.dwLocalAddr = htonl(INADDR_LOOPBACK);
        row.dwLocalPort = htons(static_cast<uint16_t>(1000 + i));
        row.dwOwningPid = 100 + i;
    }
    return NO_ERROR;
}

DWORD UdpTable(PVOID buffer, PDWORD capacity, ULONG af, UDP_TABLE_CLASS tableClass) {
    if (af == kAfInet6) return Udp6Table(buffer, capacity, tableClass);
    FakeTableScript& script = g_control.udpTable;
    const unsigned rows = BeginTableCall(script, buffer, capacity);
    if (af != AF_INET || tableClass != UDP_TABLE_OWNER_PID) return ERROR_NOT_SUPPORTED;
    DWORD rc = NO_ERROR;
    if (!ClaimBuffer(script, buffer, capacity, FakeUdpTableBytes(rows), ERROR_INSUFFICIENT_BUFFER, rc)) return rc;
    auto* table = static_cast<MIB_UDPTABLE_OWNER_PID*>(buffer);
    table->dwNumEntries = g_control.udpClaimedRows != 0 ? g_control.udpClaimedRows : rows;
    const unsigned scripted = ScriptedRows(g_control.udpRowCount);
    for (unsigned i = 0; i < rows; ++i) {
        MIB_UDPROW_OWNER_PID& row = table->table[i];
        if (i < scripted) {
            row = g_control.udpRows[i];
            continue;
        }
        row.dwLocalAddr = htonl(INADDR_LOOPBACK);
        row.dwLocalPort = htons(static_cast<uint16_t>(1000 + i));
        row.dwOwningPid = 100 + i;
    }
    return NO_ERROR;
}

}  // namespace

FAKE_EXPORT FakeControl* FakeProviderControl() { return &g_control; }

// ------------------------------------------------------------ entry points

FAKE_EXPORT DWORD GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, PULONG pOutBufLen) {
    return AdaptersInfo(pAdapterInfo, pOutBufLen);
}

FAKE_EXPORT DWORD GetIfTable(PMIB_IFTABLE pIfTable, PULONG pdwSize, BOOL) { return IfTable(pIfTable, pdwSize); }

FAKE_EXPORT ULONG GetTcpTable2(MIB_TCPTABLE2*, PULONG, BOOL) { return ERROR_NOT_SUPPORTED; }

FAKE_EXPORT DWORD GetExtendedTcpTable(PVOID pTcpTable, PDWORD pdwSize, BOOL, ULONG ulAf, TCP_TABLE_CLASS TableClass,
                                      ULONG) {
    return TcpTable(pTcpTable, pdwSize, ulAf, TableClass);
}

FAKE_EXPORT DWORD GetExtendedUdpTable(PVOID pUdpTable, PDWORD pdwSize, BOOL, ULONG ulAf, UDP_TABLE_CLASS TableClass,
                                      ULONG) {
    return UdpTable(pUdpTable, pdwSize, ulAf, TableClass);
}

FAKE_EXPORT DWORD GetUdpTable(MIB_UDPTABLE*, PDWORD, BOOL) { return ERROR_NOT_SUPPORTED; }

FAKE_EXPORT DWORD GetUdpStatistics(PMIB_UDPSTATS pStats) { return FillCounters(g_control.udp, pStats); }

#ifndef FAKE_OMIT_GET_TCP_STATISTICS
FAKE_EXPORT DWORD GetTcpStatistics(PMIB_TCPSTATS pStats) { return FillCounters(g_control.tcp, pStats); }
#endif

FAKE_EXPORT DWORD GetIcmpStatistics(PMIB_ICMP pStats) { return FillCounters(g_control.icmp, pStats); }

FAKE_EXPORT DWORD GetIpStatistics(PMIB_IPSTATS pStats) { return FillCounters(g_control.ip, pStats); }

FAKE_EXPORT DWORD GetNetworkParams(PFIXED_INFO pFixedInfo, PULONG pOutBufLen) {
    return NetworkParams(pFixedInfo, pOutBufLen);
}

FAKE_EXPORT DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen) {
    return PerAdapter(IfIndex, pPerAdapterInfo, pOutBufLen);
}

FAKE_EXPORT DWORD SetIpTTL(UINT) { return ERROR_NOT_SUPPORTED; }

// ------------------------------------------------------------------- IPv6

FAKE_EXPORT DWORD GetIpStatisticsEx(PMIB_IPSTATS pStats, ULONG family) {
    return family == kAfInet6 ? FillCounters(g_control.ip6, pStats) : ERROR_INVALID_PARAMETER;
}

FAKE_EXPORT DWORD GetIcmpStatisticsEx(PMIB_ICMP_EX pStats, ULONG family) {
    return family == kAfInet6 ? FillCounters(g_control.icmp6, pStats) : ERROR_INVALID_PARAMETER;
}

FAKE_EXPORT DWORD GetUdpStatisticsEx(PMIB_UDPSTATS pStats, ULONG family) {
    return family == kAfInet6 ? FillCounters(g_control.udp6, pStats) : ERROR_INVALID_PARAMETER;
}

FAKE_EXPORT DWORD GetUnicastIpAddressTable(USHORT family, PMIB_UNICASTIPADDRESS_TABLE* table) {
    if (table == nullptr) return ERROR_INVALID_PARAMETER;
    *table = nullptr;
    if (g_control.unicastCode != NO_ERROR) return g_control.unicastCode;
    const unsigned count = g_control.unicastRowCount < kFakeMaxUnicastRows ? g_control.unicastRowCount
                                                                             : kFakeMaxUnicastRows;
    auto* made = static_cast<PMIB_UNICASTIPADDRESS_TABLE>(
        std::calloc(1, offsetof(MIB_UNICASTIPADDRESS_TABLE, Table) + (count > 0 ? count : 1) * sizeof(MIB_UNICASTIPADDRESS_ROW)));
    if (made == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    for (unsigned i = 0; i < count; ++i) {
        const MIB_UNICASTIPADDRESS_ROW& row = g_control.unicastRows[i];
        if (family == 0 || row.Address.si_family == family) made->Table[made->NumEntries++] = row;
    }
    ++g_control.unicastTables;
    *table = made;
    return NO_ERROR;
}

FAKE_EXPORT DWORD GetIfTable2(PMIB_IF_TABLE2* table) {
    if (table == nullptr) return ERROR_INVALID_PARAMETER;
    *table = nullptr;
    if (g_control.if2Code != NO_ERROR) return g_control.if2Code;
    const unsigned count = g_control.if2RowCount < kFakeMaxIfRows ? g_control.if2RowCount : kFakeMaxIfRows;
    auto* made = static_cast<PMIB_IF_TABLE2>(
        std::calloc(1, offsetof(MIB_IF_TABLE2, Table) + (count > 0 ? count : 1) * sizeof(MIB_IF_ROW2)));
    if (made == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    for (unsigned i = 0; i < count; ++i) made->Table[i] = g_control.if2Rows[i];
    made->NumEntries = count;
    *table = made;
    return NO_ERROR;
}

FAKE_EXPORT void FreeMibTable(PVOID memory) {
    if (memory != nullptr) ++g_control.unicastFreed;
    std::free(memory);
}
