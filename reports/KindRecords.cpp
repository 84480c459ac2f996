#include "KindRecords.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "ConnectionLog.h"
#include "InetText.h"
#include "NetworkReport.h"
#include "ProtocolCatalog.h"
#include "SocketRecords.h"
#include "StatisticsRecords.h"
#include "WideText.h"

namespace {

using records::Cell;

// A list that loops back on itself would never end: no more entries than
// this are read from a chain.
constexpr int kMaxChain = 1024;

// A fixed narrow field as text: up to its first zero, never past its end.
template <std::size_t N>
std::string Field(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

std::string HardwareAddress(const unsigned char* bytes, std::size_t length) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0) text += ':';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

// The mask of a prefix length in the family's notation: "255.255.255.0",
// "ffff:ffff:ffff:ffff::".
std::string MaskText(bool ipv6, unsigned prefixLength) {
    unsigned char bytes[16] = {};
    const unsigned bits = std::min(prefixLength, ipv6 ? 128u : 32u);
    for (unsigned i = 0; i < bits; ++i) bytes[i / 8] |= static_cast<unsigned char>(0x80u >> (i % 8));
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

// The process name of an owner label ("PID  1234 : sshd" gives "sshd").
std::string NameOfLabel(const std::string& label) {
    const std::size_t colon = label.find(" : ");
    return colon == std::string::npos ? label : label.substr(colon + 3);
}

records::Table NetworkRecords(bool valid) {
    records::Table t;
    t.kind = "network";
    t.columns = {"host_name", "domain_name", "dns_servers",   "node_type",
                 "scope_id",  "routing",     "arp_proxy",     "dns_enabled"};
    const FIXED_INFO* info = CurrentNetworkParams();
    if (!valid || info == nullptr) return t;
    std::string servers;
    int count = 0;
    for (const IP_ADDR_STRING* e = &info->DnsServerList; e != nullptr && count < kMaxChain; e = e->Next, ++count) {
        const std::string server = Field(e->IpAddress.String);
        if (server.empty()) continue;
        if (!servers.empty()) servers += ' ';
        servers += server;
    }
    t.rows.push_back({Cell::Text(Field(info->HostName)), Cell::Text(Field(info->DomainName)), Cell::Text(servers),
                      Cell::Number(info->NodeType), Cell::Text(Field(info->ScopeId)), Cell::Number(info->EnableRouting),
                      Cell::Number(info->EnableProxy), Cell::Number(info->EnableDns)});
    return t;
}

records::Table AdapterRecords(bool valid) {
    records::Table t;
    t.kind = "adapters";
    t.columns = {"interface", "index",      "description",    "mac",          "type",   "dhcp_enabled",
                 "dhcp_server", "lease_obtained", "lease_expires", "gateway"};
    if (!valid) return t;
    int count = 0;
    for (const IP_ADAPTER_INFO* a = CurrentAdapterList(); a != nullptr && count < kMaxChain; a = a->Next, ++count) {
        const std::size_t length = std::min<std::size_t>(a->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
        // Lease times are seconds since 1970; a time before it is none.
        const auto time = [](std::int64_t seconds) {
            return Cell::Number(seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0);
        };
        t.rows.push_back({Cell::Text(Field(a->AdapterName)), Cell::Number(a->Index), Cell::Text(Field(a->Description)),
                          Cell::Text(HardwareAddress(a->Address, length)), Cell::Number(a->Type),
                          Cell::Number(a->DhcpEnabled), Cell::Text(Field(a->DhcpServer.IpAddress.String)),
                          time(a->LeaseObtained), time(a->LeaseExpires),
                          Cell::Text(Field(a->GatewayList.IpAddress.String))});
    }
    return t;
}

records::Table AddressRecords() {
    records::Table t;
    t.kind = "addresses";
    t.columns = {"interface", "address", "mask", "family", "prefix_length"};
    static unsigned s_generation = 0;
    const unsigned generation = ++s_generation;
    for (const MIB_UNICASTIPADDRESS_ROW& row : CurrentUnicastAddresses()) {
        const bool ipv6 = row.Address.si_family == 23;
        std::string address;
        if (ipv6) {
            address = Ipv6Text(row.Address.Ipv6.sin6_addr);
            if (row.ScopeId != 0 && Ipv6NeedsZone(row.Address.Ipv6.sin6_addr))
                address += '%' + std::to_string(row.ScopeId);
        } else {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, row.Address.Ipv4.sin_addr, text, sizeof text);
            address = text;
        }
        t.rows.push_back({Cell::Text(InterfaceNameOfIndex(row.InterfaceIndex, generation)), Cell::Text(address),
                          Cell::Text(MaskText(ipv6, row.OnLinkPrefixLength)), Cell::Number(ipv6 ? 10 : 2),
                          Cell::Number(row.OnLinkPrefixLength)});
    }
    return t;
}

records::Table InterfaceRecords() {
    records::Table t;
    t.kind = "interfaces";
    t.columns = {"interface", "mac",     "type",    "mtu",     "link_speed", "ipackets", "opackets",
                 "ibytes",    "obytes",  "ierrors", "oerrors", "idrops",     "odrops",   "index",
                 "description", "admin_up", "oper_up"};
    CInterfaceTable2 table{DeferSnapshot{}};
    table.Refresh();
    for (const MIB_IF_ROW2& r : CurrentInterfaceRows2()) {
        const std::size_t length = std::min<std::size_t>(r.PhysicalAddressLength, IF_MAX_PHYS_ADDRESS_LENGTH);
        const auto text = [](const WCHAR* field) {
            std::size_t n = 0;
            while (n < IF_MAX_STRING_SIZE + 1 && field[n] != 0) ++n;
            return WideToUtf8(std::u16string_view(field, n));
        };
        t.rows.push_back({Cell::Text(text(r.Alias)), Cell::Text(HardwareAddress(r.PhysicalAddress, length)),
                          Cell::Number(r.Type), Cell::Number(r.Mtu),
                          Cell::Number(r.TransmitLinkSpeed / 1000000),  // Mbit/s
                          Cell::Number(r.InUcastPkts + r.InNUcastPkts), Cell::Number(r.OutUcastPkts + r.OutNUcastPkts),
                          Cell::Number(r.InOctets), Cell::Number(r.OutOctets), Cell::Number(r.InErrors),
                          Cell::Number(r.OutErrors), Cell::Number(r.InDiscards), Cell::Number(r.OutDiscards),
                          Cell::Number(r.InterfaceIndex), Cell::Text(text(r.Description)),
                          Cell::Number(r.AdminStatus == NET_IF_ADMIN_STATUS_UP ? 1 : 0),
                          Cell::Number(r.OperStatus == IfOperStatusUp ? 1 : 0)});
    }
    return t;
}

records::Table ProtocolRecords(bool valid) {
    records::Table t;
    t.kind = "protocols";
    t.columns = {"name",          "address_family", "family_name",   "socket_type",    "protocol",
                 "version",       "max_message_size", "service_flags", "provider_flags", "catalog_entry_id"};
    const CProtocolCatalog* catalog = g_pProtocolCatalog;
    if (!valid || catalog == nullptr || !catalog->m_bValid || catalog->m_pProtocols == nullptr) return t;
    // Never past the bytes really allocated, whatever count the catalog says.
    const int fits = static_cast<int>(catalog->m_dwAllocated / sizeof(WSAPROTOCOL_INFOW));
    const int count = std::min(catalog->m_nProtocols, fits);
    const auto number = [](int v) { return Cell::Number(static_cast<std::uint32_t>(v)); };
    for (int i = 0; i < count; ++i) {
        const WSAPROTOCOL_INFOW& e = catalog->m_pProtocols[i];
        std::size_t n = 0;
        while (n < WSAPROTOCOL_LEN + 1 && e.szProtocol[n] != 0) ++n;
        t.rows.push_back({Cell::Text(WideToUtf8(std::u16string_view(e.szProtocol, n))), number(e.iAddressFamily),
                          Cell::Text(GetAddressFamilyName(i)), number(e.iSocketType), number(e.iProtocol),
                          number(e.iVersion), Cell::Number(e.dwMessageSize), Cell::Number(e.dwServiceFlags1),
                          Cell::Number(e.dwProviderFlags), Cell::Number(e.dwCatalogEntryId)});
    }
    return t;
}

records::Table SocketTableRecords(sockets::Table kind, const CNetworkReport& report) {
    const sockets::OwnerDetails none;
    const sockets::TableFacts* facts = report.ShownSocketFacts();
    const sockets::OwnerDetails& owners = facts != nullptr && facts->owners ? *facts->owners : none;
    const bool failed = report.SnapshotFailed();
    switch (kind) {
        case sockets::Table::Tcp:
            return sockets::SocketRecords(kind, failed ? nullptr : CurrentTcpOwnerTable(), CurrentTcpOwnerRows(), owners);
        case sockets::Table::Udp:
            return sockets::SocketRecords(kind, failed ? nullptr : CurrentUdpOwnerTable(), CurrentUdpOwnerRows(), owners);
        case sockets::Table::Tcp6:
            return sockets::SocketRecords(kind, failed ? nullptr : CurrentTcp6OwnerTable(), CurrentTcp6OwnerRows(),
                                          owners);
        case sockets::Table::Udp6: break;
    }
    return sockets::SocketRecords(kind, failed ? nullptr : CurrentUdp6OwnerTable(), CurrentUdp6OwnerRows(), owners);
}

records::Table LogRecords() {
    records::Table t;
    t.kind = "log";
    t.columns = {"time_ms", "event", "protocol", "local", "remote", "owner"};
    for (const sockets::Event& e : sockets::ProcessConnectionLog().Events())
        t.rows.push_back({Cell::Number(e.timeMs > 0 ? static_cast<std::uint64_t>(e.timeMs) : 0),
                          Cell::Text(sockets::WhatText(e)), Cell::Text(e.protocol), Cell::Text(e.local),
                          Cell::Text(e.remote), Cell::Text(e.owner)});
    return t;
}

Cell Rate(double bytesPerSecond) {
    return Cell::Number(bytesPerSecond > 0 ? static_cast<std::uint64_t>(std::llround(bytesPerSecond)) : 0);
}

records::Table ProcessRecords(const sockets::Summary& summary) {
    records::Table t;
    t.kind = "processes";
    t.columns = {"pid",        "name",           "tcp",       "udp",         "tcp6",
                 "udp6",       "bytes_sent",     "bytes_received", "send_rate", "receive_rate"};
    for (const sockets::ProcessTotals& p : sockets::TotalsByProcess(summary)) {
        std::vector<Cell> row = {Cell::Number(p.pid), Cell::Text(NameOfLabel(p.label))};
        for (std::size_t n : p.sockets) row.push_back(Cell::Number(n));
        row.push_back(Cell::Number(p.sent));
        row.push_back(Cell::Number(p.received));
        row.push_back(Rate(p.sendRate));
        row.push_back(Rate(p.receiveRate));
        t.rows.push_back(std::move(row));
    }
    return t;
}

records::Table ListeningRecords(const sockets::Summary& summary) {
    records::Table t;
    t.kind = "listening";
    t.columns = {"protocol", "family", "local", "port", "pid", "name"};
    for (const sockets::Listener& l : sockets::Listeners(summary)) {
        const sockets::Table table = l.fact->table;
        const bool tcp = table == sockets::Table::Tcp || table == sockets::Table::Tcp6;
        const bool ipv6 = table == sockets::Table::Tcp6 || table == sockets::Table::Udp6;
        t.rows.push_back({Cell::Text(tcp ? "tcp" : "udp"), Cell::Text(l.both ? "both" : ipv6 ? "ipv6" : "ipv4"),
                          Cell::Text(l.fact->local), Cell::Number(l.fact->port), Cell::Number(l.fact->pid),
                          Cell::Text(NameOfLabel(l.fact->owner))});
    }
    return t;
}

void DropRowsIf(bool failed, std::vector<records::Table>& tables) {
    if (failed)
        for (records::Table& t : tables) t.rows.clear();
}

}  // namespace

std::vector<records::Table> RecordsOfReport(const CNetworkReport& report) {
    const bool failed = report.SnapshotFailed();
    std::vector<records::Table> tables;
    switch (report.m_nKind) {
        case kKindIcmpStatistics: tables.push_back(IcmpCounterRecords(IcmpStatisticsRecord())); break;
        case kKindIpStatistics: tables.push_back(IpCounterRecords(IpStatisticsRecord())); break;
        case kKindUdpStatistics: tables.push_back(UdpCounterRecords(UdpStatisticsRecord())); break;
        case kKindTcpStatistics: tables.push_back(TcpCounterRecords(TcpStatisticsRecord())); break;
        case kKindIp6Statistics:
            tables = Ip6CounterRecords(Ip6StatisticsRecord(), Icmp6StatisticsRecord(), Udp6StatisticsRecord());
            break;
        case kKindAdapterList:
            tables.push_back(AdapterRecords(!failed));
            tables.push_back(AddressRecords());
            return tables;
        case kKindInterfaceList: tables.push_back(InterfaceRecords()); return tables;
        case kKindProtocolList: tables.push_back(ProtocolRecords(!failed)); return tables;
        case kKindUdpConnections: tables.push_back(SocketTableRecords(sockets::Table::Udp, report)); return tables;
        case kKindTcpConnections: tables.push_back(SocketTableRecords(sockets::Table::Tcp, report)); return tables;
        case kKindUdp6Connections: tables.push_back(SocketTableRecords(sockets::Table::Udp6, report)); return tables;
        case kKindTcp6Connections: tables.push_back(SocketTableRecords(sockets::Table::Tcp6, report)); return tables;
        case kKindConnectionLog: tables.push_back(LogRecords()); return tables;
        case kKindProcesses: tables.push_back(ProcessRecords(report.LastSummary())); break;
        case kKindListeningPorts: tables.push_back(ListeningRecords(report.LastSummary())); break;
        default: tables.push_back(NetworkRecords(!failed)); return tables;
    }
    DropRowsIf(failed, tables);
    return tables;
}

// ------------------------------------------------------------- metrics

namespace {

using metrics::Family;
using metrics::Sample;

std::string CellText(const Cell& cell) { return cell.number ? std::to_string(cell.value) : cell.text; }

// The column `name` of a table, or its width when it has none.
std::size_t Column(const records::Table& t, std::string_view name) {
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (t.columns[i] == name) return i;
    return t.columns.size();
}

const Cell* CellOf(const records::Table& t, const std::vector<Cell>& row, std::string_view name) {
    const std::size_t i = Column(t, name);
    return i < row.size() ? &row[i] : nullptr;
}

std::uint64_t NumberOf(const records::Table& t, const std::vector<Cell>& row, std::string_view name) {
    const Cell* cell = CellOf(t, row, name);
    return cell != nullptr && cell->number ? cell->value : 0;
}

std::string TextOf(const records::Table& t, const std::vector<Cell>& row, std::string_view name) {
    const Cell* cell = CellOf(t, row, name);
    return cell != nullptr ? CellText(*cell) : std::string();
}

// The kernel's name of a counter field, when the kernel counts it under
// another spelling or name than the record's; null when the kernel does
// not count it at all.
struct Spelling {
    const char* protocol;
    const char* field;
    const char* kernel;  // null: not the kernel's
};
constexpr Spelling kSpellings[] = {
    {"Ip", "ReasmOks", "ReasmOKs"},       {"Ip", "FragOks", "FragOKs"},        {"Ip", "RoutingDiscards", nullptr},
    {"Ip", "NumIf", nullptr},             {"Ip", "NumAddr", nullptr},          {"Ip", "NumRoutes", nullptr},
    {"Tcp", "NumConns", nullptr},         {"Udp", "NumAddrs", nullptr},        {"Udp6", "NumAddrs", nullptr},
    {"Ip6", "ReasmOks", "ReasmOKs"},      {"Ip6", "FragOks", "FragOKs"},       {"Ip6", "ForwDatagrams", "OutForwDatagrams"},
    {"Ip6", "Forwarding", nullptr},       {"Ip6", "DefaultTTL", nullptr},      {"Ip6", "ReasmTimeout", nullptr},
    {"Ip6", "RoutingDiscards", nullptr},  {"Ip6", "NumIf", nullptr},           {"Ip6", "NumAddr", nullptr},
    {"Ip6", "NumRoutes", nullptr},
};
// The ICMPv6 message types as the kernel names them, by the record's label.
constexpr std::pair<const char*, const char*> kIcmp6Kernel[] = {
    {"MldQueries", "GroupMembQueries"},  {"MldReports", "GroupMembResponses"},
    {"MldDones", "GroupMembReductions"}, {"RouterAdverts", "RouterAdvertisements"},
    {"NeighSolicits", "NeighborSolicits"}, {"NeighAdverts", "NeighborAdvertisements"},
    {"Mldv2Reports", "MLDv2Reports"},
};

std::string CounterMetricName(const std::string& protocol, const std::string& field) {
    for (const Spelling& s : kSpellings)
        if (protocol == s.protocol && field == s.field)
            return s.kernel != nullptr ? "node_netstat_" + protocol + '_' + s.kernel
                                       : "tessaline_netstat_" + protocol + '_' + field;
    if (protocol == "Icmp6")
        for (const auto& [label, kernel] : kIcmp6Kernel)
            for (const char* direction : {"In", "Out"})
                if (field == std::string(direction) + label) return "node_netstat_Icmp6_" + std::string(direction) + kernel;
    return "node_netstat_" + protocol + '_' + field;
}

void CounterFamilies(const records::Table& t, const std::string& protocol, std::vector<Family>& out) {
    if (t.rows.empty()) return;
    const std::vector<Cell>& row = t.rows.front();
    for (std::size_t i = 0; i < t.columns.size() && i < row.size(); ++i) {
        Family f;
        f.name = CounterMetricName(protocol, t.columns[i]);
        f.help = "Statistic " + protocol + t.columns[i] + '.';
        f.samples.push_back(Sample{{}, row[i].value});
        out.push_back(std::move(f));
    }
}

void InterfaceFamilies(const records::Table& t, std::vector<Family>& out) {
    struct Counter {
        const char* name;
        const char* column;
    };
    static constexpr Counter kCounters[] = {
        {"node_network_receive_bytes", "ibytes"},     {"node_network_transmit_bytes", "obytes"},
        {"node_network_receive_packets", "ipackets"}, {"node_network_transmit_packets", "opackets"},
        {"node_network_receive_errs", "ierrors"},     {"node_network_transmit_errs", "oerrors"},
        {"node_network_receive_drop", "idrops"},      {"node_network_transmit_drop", "odrops"},
    };
    for (const Counter& c : kCounters) {
        Family f;
        f.type = Family::Type::Counter;
        f.name = c.name;
        f.help = std::string("Network device statistic ") + c.column + '.';
        for (const auto& row : t.rows) f.samples.push_back({{{"device", TextOf(t, row, "interface")}}, NumberOf(t, row, c.column)});
        out.push_back(std::move(f));
    }
    Family mtu{Family::Type::Gauge, "node_network_mtu_bytes", "The link's MTU in bytes.", {}};
    Family up{Family::Type::Gauge, "node_network_up", "Whether the link is up and running (1) or not (0).", {}};
    Family speed{Family::Type::Gauge, "node_network_speed_bytes", "The link's speed in bytes per second.", {}};
    Family info{Family::Type::Gauge, "node_network_info", "The link's address and states, with the value 1.", {}};
    for (const auto& row : t.rows) {
        const std::string device = TextOf(t, row, "interface");
        mtu.samples.push_back({{{"device", device}}, NumberOf(t, row, "mtu")});
        up.samples.push_back({{{"device", device}}, NumberOf(t, row, "oper_up")});
        speed.samples.push_back({{{"device", device}}, NumberOf(t, row, "link_speed") * 1000000 / 8});
        info.samples.push_back({{{"address", TextOf(t, row, "mac")},
                                 {"adminstate", NumberOf(t, row, "admin_up") != 0 ? "up" : "down"},
                                 {"device", device},
                                 {"operstate", NumberOf(t, row, "oper_up") != 0 ? "up" : "down"}},
                                1});
    }
    for (Family* f : {&mtu, &up, &speed, &info}) out.push_back(std::move(*f));
}

void SocketFamilies(const records::Table& t, std::vector<Family>& out) {
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> counts;
    for (const auto& row : t.rows) {
        const bool tcp = NumberOf(t, row, "protocol") == 6;
        const bool ipv6 = NumberOf(t, row, "family") == 10;
        ++counts[{tcp ? "tcp" : "udp", ipv6 ? "ipv6" : "ipv4", tcp ? TextOf(t, row, "state") : "UNCONN"}];
    }
    Family f{Family::Type::Gauge, "tessaline_sockets", "Open sockets by protocol, family and state.", {}};
    for (const auto& [key, n] : counts)
        f.samples.push_back({{{"protocol", std::get<0>(key)}, {"family", std::get<1>(key)}, {"state", std::get<2>(key)}}, n});
    out.push_back(std::move(f));
}

void ProcessFamilies(const records::Table& t, std::vector<Family>& out) {
    Family sockets{Family::Type::Gauge, "tessaline_process_sockets", "Sockets a process holds, by protocol.", {}};
    Family sent{Family::Type::Counter, "tessaline_process_sent_bytes", "TCP payload bytes a process's open connections sent.", {}};
    Family received{Family::Type::Counter, "tessaline_process_received_bytes",
                    "TCP payload bytes a process's open connections received.", {}};
    for (const auto& row : t.rows) {
        const std::string pid = TextOf(t, row, "pid"), name = TextOf(t, row, "name");
        for (const char* protocol : {"tcp", "udp", "tcp6", "udp6"})
            if (const std::uint64_t n = NumberOf(t, row, protocol); n != 0)
                sockets.samples.push_back({{{"pid", pid}, {"name", name}, {"protocol", protocol}}, n});
        sent.samples.push_back({{{"pid", pid}, {"name", name}}, NumberOf(t, row, "bytes_sent")});
        received.samples.push_back({{{"pid", pid}, {"name", name}}, NumberOf(t, row, "bytes_received")});
    }
    for (Family* f : {&sockets, &sent, &received}) out.push_back(std::move(*f));
}

// A gauge of 1 per row with every field as a label.
void InfoFamily(const records::Table& t, std::vector<Family>& out) {
    Family f;
    std::string name = t.kind;
    for (char& c : name)
        if (c == '-') c = '_';
    f.name = "tessaline_" + name + "_info";
    f.help = "One series per " + t.kind + " record, its fields as labels, with the value 1.";
    for (const auto& row : t.rows) {
        Sample s;
        s.value = 1;
        for (std::size_t i = 0; i < t.columns.size() && i < row.size(); ++i)
            s.labels.emplace_back(t.columns[i], CellText(row[i]));
        f.samples.push_back(std::move(s));
    }
    out.push_back(std::move(f));
}

}  // namespace

std::vector<Family> MetricsOfRecords(const std::vector<records::Table>& tables) {
    static const std::map<std::string, std::string> kCounterTables = {
        {"ip", "Ip"},   {"icmp", "Icmp"},   {"tcp-stats", "Tcp"},   {"udp-stats", "Udp"},
        {"ip6", "Ip6"}, {"icmp6", "Icmp6"}, {"udp6-stats", "Udp6"},
    };
    std::vector<Family> out;
    for (const records::Table& t : tables) {
        if (const auto counter = kCounterTables.find(t.kind); counter != kCounterTables.end())
            CounterFamilies(t, counter->second, out);
        else if (t.kind == "interfaces")
            InterfaceFamilies(t, out);
        else if (t.kind == "tcp" || t.kind == "udp" || t.kind == "tcp6" || t.kind == "udp6")
            SocketFamilies(t, out);
        else if (t.kind == "processes")
            ProcessFamilies(t, out);
        else
            InfoFamily(t, out);
    }
    return out;
}
