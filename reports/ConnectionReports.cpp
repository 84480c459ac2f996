// The TCP and UDP socket reports: one line per IPv4 socket, ending with the
// process that holds it.
#include "ConnectionReports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>
#include <unordered_map>

#include "InetText.h"
#include "IpHelper.h"
#include "ProcessOwner.h"
#include "SocketDetails.h"
#include "WideText.h"

namespace {

constexpr const char16_t* kTcpStateNames[] = {
    u"CLOSED",    u"LISTENING", u"SYN_SENT",  u"SYN_RCVD", u"ESTABLISHED", u"FIN_WAIT1",
    u"FIN_WAIT2", u"CLOSE_WAIT", u"CLOSING",  u"LAST_ACK", u"TIME_WAIT",   u"DELETE_TCB"};

const char16_t* StateName(DWORD state) {
    return state >= 1 && state <= 12 ? kTcpStateNames[state - 1] : u"[UNKNOWN]";
}

// The four bytes of an address held in network order, first byte first.
void AddressBytes(DWORD address, unsigned char (&bytes)[4]) { std::memcpy(bytes, &address, sizeof bytes); }

// A port field carries the port in network order in its low 16 bits.
unsigned PortOf(DWORD field) { return ntohs(static_cast<std::uint16_t>(field & 0xFFFF)); }

// The process labels of one pass over a table.  A busy server holds
// thousands of sockets in a handful of processes; each process is looked up
// once per pass instead of once per socket.
class ProcessLabels {
public:
    const std::u16string& GetProcessLabel(DWORD pid) { return Of(pid).text; }
    const std::string& Utf8Label(DWORD pid) { return Of(pid).utf8; }
    // The executable's name in the label, UTF-8; empty for no process and
    // for one whose name could not be read (the label says "NT Kernel &
    // System" then).
    const std::string& ProcessName(DWORD pid) { return Of(pid).name; }

private:
    struct Label {
        std::u16string text;
        std::string utf8;
        std::string name;
    };
    const Label& Of(DWORD pid) {
        const auto found = m_labels.find(pid);
        if (found != m_labels.end()) return found->second;
        Label label{m_explorer.GetProcessLabel(pid), {}, {}};
        label.utf8 = WideToUtf8(label.text);
        // The label is "PID %5d : NAME", or that text for a process that
        // could not be read.
        const std::u16string unread = FormatW(u"PID %5d : NT Kernel & System", {pid});
        const std::u16string prefix = FormatW(u"PID %5d : ", {pid});
        if (pid != 0 && label.text != unread && label.text.starts_with(prefix))
            label.name = WideToUtf8(label.text.substr(prefix.size()));
        return m_labels.emplace(pid, std::move(label)).first->second;
    }

    CProcessExplorer m_explorer;
    std::unordered_map<DWORD, Label> m_labels;
};

std::u16string TcpLine(const MIB_TCPROW_OWNER_PID& row, ProcessLabels& explorer) {
    return FormatW(u"%s => %s [%15.15s: %s ]",
                   {FormatAddressPort(row.dwLocalAddr, PortOf(row.dwLocalPort)),
                    FormatAddressPort(row.dwRemoteAddr, PortOf(row.dwRemotePort)), StateName(row.dwState),
                    explorer.GetProcessLabel(row.dwOwningPid)});
}

std::u16string UdpLine(const MIB_UDPROW_OWNER_PID& row, ProcessLabels& explorer) {
    unsigned char b[4];
    AddressBytes(row.dwLocalAddr, b);
    return FormatW(u"IP:: %03d.%03d.%03d.%03d:%-5d [ %s ]",
                   {b[0], b[1], b[2], b[3], PortOf(row.dwLocalPort), explorer.GetProcessLabel(row.dwOwningPid)});
}

// The endpoints of one pass over an IPv6 table, padded to the widest of
// their column so that the columns line up in the fixed-pitch pane.  The
// names of the zones of link-scoped addresses come from one interface table
// per pass.
class Endpoints6 {
public:
    Endpoints6() : m_generation(++s_generation) {}
    // For one endpoint outside a pass.
    static std::string Utf8Text(const std::uint8_t* address, DWORD scopeId, unsigned port) {
        std::string zone;
        if (scopeId != 0 && Ipv6NeedsZone(address)) zone = InterfaceNameOfIndex(scopeId, ++s_generation);
        return Ipv6Endpoint(address, scopeId, port, zone);
    }

    std::u16string Text(const UCHAR (&address)[16], DWORD scopeId, DWORD portField) {
        std::string zone;
        if (scopeId != 0 && Ipv6NeedsZone(address)) zone = InterfaceNameOfIndex(scopeId, m_generation);
        return AnsiToWide(Ipv6Endpoint(address, scopeId, PortOf(portField), zone));
    }

    static std::u16string Padded(std::u16string text, std::size_t width) {
        if (text.size() < width) text.append(width - text.size(), u' ');
        return text;
    }

private:
    unsigned m_generation;
    // Passes are made on the GUI thread and on the socket worker.
    static inline std::atomic<unsigned> s_generation = 0;
};

struct Tcp6Lines {
    std::vector<std::u16string> local, remote;
    std::size_t localWidth = 0, remoteWidth = 0;
};

Tcp6Lines Tcp6Endpoints(const MIB_TCP6TABLE_OWNER_PID* table, DWORD count) {
    Tcp6Lines lines;
    Endpoints6 endpoints;
    lines.local.reserve(count);
    lines.remote.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
        lines.local.push_back(endpoints.Text(row.ucLocalAddr, row.dwLocalScopeId, row.dwLocalPort));
        lines.remote.push_back(endpoints.Text(row.ucRemoteAddr, row.dwRemoteScopeId, row.dwRemotePort));
        lines.localWidth = std::max(lines.localWidth, lines.local.back().size());
        lines.remoteWidth = std::max(lines.remoteWidth, lines.remote.back().size());
    }
    return lines;
}

std::u16string Tcp6Line(const MIB_TCP6ROW_OWNER_PID& row, const Tcp6Lines& lines, DWORD i, ProcessLabels& explorer) {
    return FormatW(u"%s => %s [%15.15s: %s ]",
                   {Endpoints6::Padded(lines.local[i], lines.localWidth),
                    Endpoints6::Padded(lines.remote[i], lines.remoteWidth), StateName(row.dwState),
                    explorer.GetProcessLabel(row.dwOwningPid)});
}

struct Udp6Lines {
    std::vector<std::u16string> local;
    std::size_t width = 0;
};

Udp6Lines Udp6Endpoints(const MIB_UDP6TABLE_OWNER_PID* table, DWORD count) {
    Udp6Lines lines;
    Endpoints6 endpoints;
    lines.local.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        const MIB_UDP6ROW_OWNER_PID& row = table->table[i];
        lines.local.push_back(endpoints.Text(row.ucLocalAddr, row.dwLocalScopeId, row.dwLocalPort));
        lines.width = std::max(lines.width, lines.local.back().size());
    }
    return lines;
}

std::u16string Udp6Line(const MIB_UDP6ROW_OWNER_PID& row, const Udp6Lines& lines, DWORD i, ProcessLabels& explorer) {
    return FormatW(u"IP:: %s [ %s ]",
                   {Endpoints6::Padded(lines.local[i], lines.width), explorer.GetProcessLabel(row.dwOwningPid)});
}

}  // namespace

const char16_t* GetTcpStateName(int row) {
    const MIB_TCPTABLE_OWNER_PID* table = CurrentTcpOwnerTable();
    if (table == nullptr || row < 0 || static_cast<DWORD>(row) >= CurrentTcpOwnerRows()) return u"[UNKNOWN]";
    return StateName(table->table[row].dwState);
}

std::u16string FormatAddressPort(DWORD address, unsigned port) {
    unsigned char b[4];
    AddressBytes(address, b);
    return FormatW(u"%03d.%03d.%03d.%03d:%-6d", {b[0], b[1], b[2], b[3], port});
}

namespace sockets {

namespace {

// Endpoint bytes: the table, then each end's address and port (big-endian).
void PutPort(std::string& key, unsigned port) {
    key.push_back(static_cast<char>((port >> 8) & 0xFF));
    key.push_back(static_cast<char>(port & 0xFF));
}
void PutBytes(std::string& key, const void* bytes, std::size_t n) {
    key.append(static_cast<const char*>(bytes), n);
}
void PutWord(std::string& key, DWORD word) { PutBytes(key, &word, sizeof word); }

std::string Ipv4Text(DWORD address, unsigned port) {
    unsigned char b[4];
    AddressBytes(address, b);
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]) + ':' + std::to_string(port);
}

void SetLocal(Detail& detail, DWORD portField, bool any) {
    detail.localPort = static_cast<std::uint16_t>(PortOf(portField));
    detail.localAny = any;
}

bool IsAny(const UCHAR (&address)[16]) {
    return std::all_of(std::begin(address), std::end(address), [](UCHAR b) { return b == 0; });
}

Row MakeRow(std::string key, std::uint32_t state, std::u16string text) {
    return Row{std::move(key), state, std::move(text)};
}

DualStack DualStackOf(DWORD flags) {
    if ((flags & SOCKET_ROW_DUAL_STACK) != 0)
        return (flags & SOCKET_ROW_FAMILIES_BY_DEFAULT) != 0 ? DualStack::Assumed : DualStack::Yes;
    return (flags & SOCKET_ROW_V6ONLY) != 0 ? DualStack::No : DualStack::Unknown;
}

bool AllZero(const std::uint8_t* bytes, std::size_t n) {
    return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

const char* ProtocolName(Table kind) {
    switch (kind) {
        case Table::Tcp: return "TCP";
        case Table::Udp: return "UDP";
        case Table::Tcp6: return "TCPv6";
        case Table::Udp6: return "UDPv6";
    }
    return "";
}

std::string StateText(std::uint32_t state) { return WideToUtf8(StateName(state)); }

TableRows MakeRows(Table kind, const void* table, DWORD count, bool withFacts, const SOCKET_ROW_FACTS* rowFacts) {
    TableRows out;
    out.table = kind;
    if (table == nullptr) count = 0;
    out.rows.reserve(count);
    out.details.reserve(count);
    ProcessLabels labels;
    // What the library says of row i beyond its record.
    const auto identify = [rowFacts, &labels](Detail& detail, DWORD i) {
        detail.process = labels.ProcessName(detail.pid);
        if (rowFacts == nullptr) return;
        detail.cookie = rowFacts[i].cookie;
        detail.dualStack = DualStackOf(rowFacts[i].flags);
    };
    for (DWORD i = 0; i < count && kind == Table::Tcp; ++i) {
        const MIB_TCPROW_OWNER_PID& row = static_cast<const MIB_TCPTABLE_OWNER_PID*>(table)->table[i];
        Detail detail{Ipv4Text(row.dwLocalAddr, PortOf(row.dwLocalPort)),
                      Ipv4Text(row.dwRemoteAddr, PortOf(row.dwRemotePort)), labels.Utf8Label(row.dwOwningPid), "T", row.dwOwningPid};
        PutWord(detail.endpoints, row.dwLocalAddr);
        PutPort(detail.endpoints, PortOf(row.dwLocalPort));
        SetLocal(detail, row.dwLocalPort, row.dwLocalAddr == 0);
        PutWord(detail.endpoints, row.dwRemoteAddr);
        PutPort(detail.endpoints, PortOf(row.dwRemotePort));
        out.rows.push_back(MakeRow(detail.endpoints, row.dwState, TcpLine(row, labels)));
        identify(detail, i);
        out.details.push_back(std::move(detail));
    }
    for (DWORD i = 0; i < count && kind == Table::Udp; ++i) {
        const MIB_UDPROW_OWNER_PID& row = static_cast<const MIB_UDPTABLE_OWNER_PID*>(table)->table[i];
        Detail detail{Ipv4Text(row.dwLocalAddr, PortOf(row.dwLocalPort)), {}, labels.Utf8Label(row.dwOwningPid), "U", row.dwOwningPid};
        PutWord(detail.endpoints, row.dwLocalAddr);
        PutPort(detail.endpoints, PortOf(row.dwLocalPort));
        SetLocal(detail, row.dwLocalPort, row.dwLocalAddr == 0);
        out.rows.push_back(MakeRow(detail.endpoints, 0, UdpLine(row, labels)));
        identify(detail, i);
        out.details.push_back(std::move(detail));
    }
    if (kind == Table::Tcp6 && count > 0) {
        const auto* t = static_cast<const MIB_TCP6TABLE_OWNER_PID*>(table);
        const Tcp6Lines lines = Tcp6Endpoints(t, count);
        for (DWORD i = 0; i < count; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = t->table[i];
            Detail detail{WideToUtf8(lines.local[i]), WideToUtf8(lines.remote[i]), labels.Utf8Label(row.dwOwningPid),
                          "t", row.dwOwningPid};
            PutBytes(detail.endpoints, row.ucLocalAddr, sizeof row.ucLocalAddr);
            PutPort(detail.endpoints, PortOf(row.dwLocalPort));
            SetLocal(detail, row.dwLocalPort, IsAny(row.ucLocalAddr));
            PutBytes(detail.endpoints, row.ucRemoteAddr, sizeof row.ucRemoteAddr);
            PutPort(detail.endpoints, PortOf(row.dwRemotePort));
            std::string key = detail.endpoints;
            PutWord(key, row.dwLocalScopeId);
            PutWord(key, row.dwRemoteScopeId);
            out.rows.push_back(MakeRow(std::move(key), row.dwState, Tcp6Line(row, lines, i, labels)));
            identify(detail, i);
            out.details.push_back(std::move(detail));
        }
    }
    if (kind == Table::Udp6 && count > 0) {
        const auto* t = static_cast<const MIB_UDP6TABLE_OWNER_PID*>(table);
        const Udp6Lines lines = Udp6Endpoints(t, count);
        for (DWORD i = 0; i < count; ++i) {
            const MIB_UDP6ROW_OWNER_PID& row = t->table[i];
            Detail detail{WideToUtf8(lines.local[i]), {}, labels.Utf8Label(row.dwOwningPid), "u", row.dwOwningPid};
            PutBytes(detail.endpoints, row.ucLocalAddr, sizeof row.ucLocalAddr);
            PutPort(detail.endpoints, PortOf(row.dwLocalPort));
            SetLocal(detail, row.dwLocalPort, IsAny(row.ucLocalAddr));
            std::string key = detail.endpoints;
            PutWord(key, row.dwLocalScopeId);
            out.rows.push_back(MakeRow(std::move(key), 0, Udp6Line(row, lines, i, labels)));
            identify(detail, i);
            out.details.push_back(std::move(detail));
        }
    }
    if (withFacts) GatherFacts(out, count > 0 ? table : nullptr);
    return out;
}

TableRows TakeRows(CSocketTable& table, bool withFacts) {
    table.Refresh();
    TableRows out =
        MakeRows(table.GetKind(), table.Table(), table.m_bValid ? table.Rows() : 0, withFacts, table.Facts());
    out.valid = table.m_bValid;
    out.noIpv6 = table.m_bNoIpv6;
    return out;
}

bool DescribeClosedSocket(const SOCKET_CLOSE_EVENT& event, ClosedSocket& out) {
    const bool tcp = event.protocol == IPPROTO_TCP;
    if (!tcp && event.protocol != IPPROTO_UDP) return false;
    out.unbound = event.localPort == 0 && event.remotePort == 0 &&
                  AllZero(event.localAddress, sizeof event.localAddress) &&
                  AllZero(event.remoteAddress, sizeof event.remoteAddress);
    if (event.family == AF_INET) {
        out.table = tcp ? Table::Tcp : Table::Udp;
        DWORD local = 0, remote = 0;
        std::memcpy(&local, event.localAddress, sizeof local);
        std::memcpy(&remote, event.remoteAddress, sizeof remote);
        out.endpoints.assign(1, tcp ? 'T' : 'U');
        PutWord(out.endpoints, local);
        PutPort(out.endpoints, event.localPort);
        out.local = Ipv4Text(local, event.localPort);
        out.remote.clear();
        if (tcp) {
            PutWord(out.endpoints, remote);
            PutPort(out.endpoints, event.remotePort);
            out.remote = Ipv4Text(remote, event.remotePort);
        }
        return true;
    }
    if (event.family == AF_INET6) {
        out.table = tcp ? Table::Tcp6 : Table::Udp6;
        out.endpoints.assign(1, tcp ? 't' : 'u');
        PutBytes(out.endpoints, event.localAddress, sizeof event.localAddress);
        PutPort(out.endpoints, event.localPort);
        out.local = Endpoints6::Utf8Text(event.localAddress, event.scopeId, event.localPort);
        out.remote.clear();
        if (tcp) {
            PutBytes(out.endpoints, event.remoteAddress, sizeof event.remoteAddress);
            PutPort(out.endpoints, event.remotePort);
            out.remote = Endpoints6::Utf8Text(event.remoteAddress, event.scopeId, event.remotePort);
        }
        return true;
    }
    return false;
}

}  // namespace sockets
