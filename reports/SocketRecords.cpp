#include "SocketRecords.h"

#include <arpa/inet.h>

#include <cstring>

#include "InetText.h"

namespace sockets {

namespace {

using records::Cell;

constexpr std::uint64_t kAfInet = 2, kAfInet6 = 10;  // the kernel's numbers
constexpr std::uint64_t kTcp = 6, kUdp = 17;

// The kernel's names of the TCP states, by MIB state (1 CLOSED ... 12
// DELETE_TCB).
const char* KernelStateName(DWORD state) {
    static const char* const kNames[] = {"CLOSE",      "LISTEN",    "SYN_SENT",   "SYN_RECV",
                                         "ESTABLISHED", "FIN_WAIT1", "FIN_WAIT2",  "CLOSE_WAIT",
                                         "CLOSING",    "LAST_ACK",  "TIME_WAIT",  "CLOSE"};
    return state >= 1 && state <= 12 ? kNames[state - 1] : "UNKNOWN";
}

unsigned PortOf(DWORD field) { return ntohs(static_cast<std::uint16_t>(field & 0xFFFF)); }

std::string Ipv4(DWORD address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// An IPv6 address with its zone as a scope id ("fe80::1%2"): the records
// name no interface, which another host would not know.
std::string Ipv6(const UCHAR (&address)[16], DWORD scope) {
    std::string text = Ipv6Text(address);
    if (scope != 0 && Ipv6NeedsZone(address)) text += '%' + std::to_string(scope);
    return text;
}

Cell PathOf(DWORD pid, const OwnerDetails& owners) {
    const auto found = owners.find(pid);
    return Cell::Text(found != owners.end() ? found->second.path : std::string());
}

}  // namespace

records::Table SocketRecords(Table kind, const void* table, DWORD count, const OwnerDetails& owners) {
    records::Table out;
    out.kind = kind == Table::Tcp ? "tcp" : kind == Table::Udp ? "udp" : kind == Table::Tcp6 ? "tcp6" : "udp6";
    out.columns = {"pid", "family", "protocol", "local_address", "local_port",
                   "remote_address", "remote_port", "state", "path"};
    if (table == nullptr) return out;
    out.rows.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        switch (kind) {
            case Table::Tcp: {
                const auto& r = static_cast<const MIB_TCPTABLE_OWNER_PID*>(table)->table[i];
                out.rows.push_back({Cell::Number(r.dwOwningPid), Cell::Number(kAfInet), Cell::Number(kTcp),
                                    Cell::Text(Ipv4(r.dwLocalAddr)), Cell::Number(PortOf(r.dwLocalPort)),
                                    Cell::Text(Ipv4(r.dwRemoteAddr)), Cell::Number(PortOf(r.dwRemotePort)),
                                    Cell::Text(KernelStateName(r.dwState)), PathOf(r.dwOwningPid, owners)});
                break;
            }
            case Table::Udp: {
                const auto& r = static_cast<const MIB_UDPTABLE_OWNER_PID*>(table)->table[i];
                out.rows.push_back({Cell::Number(r.dwOwningPid), Cell::Number(kAfInet), Cell::Number(kUdp),
                                    Cell::Text(Ipv4(r.dwLocalAddr)), Cell::Number(PortOf(r.dwLocalPort)),
                                    Cell::Text("0.0.0.0"), Cell::Number(0), Cell::Text(""),
                                    PathOf(r.dwOwningPid, owners)});
                break;
            }
            case Table::Tcp6: {
                const auto& r = static_cast<const MIB_TCP6TABLE_OWNER_PID*>(table)->table[i];
                out.rows.push_back({Cell::Number(r.dwOwningPid), Cell::Number(kAfInet6), Cell::Number(kTcp),
                                    Cell::Text(Ipv6(r.ucLocalAddr, r.dwLocalScopeId)),
                                    Cell::Number(PortOf(r.dwLocalPort)),
                                    Cell::Text(Ipv6(r.ucRemoteAddr, r.dwRemoteScopeId)),
                                    Cell::Number(PortOf(r.dwRemotePort)), Cell::Text(KernelStateName(r.dwState)),
                                    PathOf(r.dwOwningPid, owners)});
                break;
            }
            case Table::Udp6: {
                const auto& r = static_cast<const MIB_UDP6TABLE_OWNER_PID*>(table)->table[i];
                out.rows.push_back({Cell::Number(r.dwOwningPid), Cell::Number(kAfInet6), Cell::Number(kUdp),
                                    Cell::Text(Ipv6(r.ucLocalAddr, r.dwLocalScopeId)),
                                    Cell::Number(PortOf(r.dwLocalPort)), Cell::Text("::"), Cell::Number(0),
                                    Cell::Text(""), PathOf(r.dwOwningPid, owners)});
                break;
            }
        }
    }
    return out;
}

}  // namespace sockets
