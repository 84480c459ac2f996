// The TCP and UDP socket reports: one line per IPv4 socket, ending with the
// process that holds it.
#include "ConnectionReports.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <unordered_map>

#include "InetText.h"
#include "IpHelper.h"
#include "NetworkReport.h"
#include "ProcessOwner.h"
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
    const std::u16string& GetProcessLabel(DWORD pid) {
        const auto found = m_labels.find(pid);
        if (found != m_labels.end()) return found->second;
        return m_labels.emplace(pid, m_explorer.GetProcessLabel(pid)).first->second;
    }

private:
    CProcessExplorer m_explorer;
    std::unordered_map<DWORD, std::u16string> m_labels;
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
    static inline unsigned s_generation = 0;
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

// Rewrites the lines under `root` from `count` texts in place, appends the
// lines that are missing and deletes the surplus from the end.
template <class MakeLine>
void CNetworkReport::RewriteLines(HTREEITEM root, DWORD count, MakeLine makeLine) {
    HTREEITEM line = GetChildItem(root);
    for (DWORD i = 0; i < count; ++i) {
        const std::u16string text = makeLine(i);
        if (line != nullptr) {
            SetItemText(line, text);
            line = GetNextSiblingItem(line);
        } else {
            AppendItem(root, text, kImageValue);
        }
    }
    while (line != nullptr) {
        HTREEITEM next = GetNextSiblingItem(line);
        DeleteItem(line);
        line = next;
    }
}

void CNetworkReport::BuildTcpConnections() {
    DeleteAllItems();
    m_hTcpConnRoot = AppendItem(TVI_ROOT, u"TCP Connections", kImageRoot);
    SetItemBold(m_hTcpConnRoot);
    g_pTcpOwnerTable->Refresh();
    const MIB_TCPTABLE_OWNER_PID* table = CurrentTcpOwnerTable();
    const DWORD count = g_pTcpOwnerTable->m_bValid ? CurrentTcpOwnerRows() : 0;
    ProcessLabels explorer;
    for (DWORD i = 0; i < count; ++i) AppendItem(m_hTcpConnRoot, TcpLine(table->table[i], explorer), kImageValue);
    Expand(m_hTcpConnRoot);
}

void CNetworkReport::UpdateTcpConnections() {
    g_pTcpOwnerTable->Refresh();
    const MIB_TCPTABLE_OWNER_PID* table = CurrentTcpOwnerTable();
    const DWORD count = g_pTcpOwnerTable->m_bValid ? CurrentTcpOwnerRows() : 0;
    ProcessLabels explorer;
    RewriteLines(m_hTcpConnRoot, count, [&](DWORD i) { return TcpLine(table->table[i], explorer); });
}

void CNetworkReport::BuildUdpConnections() {
    DeleteAllItems();
    m_hUdpConnRoot = AppendItem(TVI_ROOT, u"UDP Connections", kImageRoot);
    SetItemBold(m_hUdpConnRoot);
    g_pUdpOwnerTable->Refresh();
    const MIB_UDPTABLE_OWNER_PID* table = CurrentUdpOwnerTable();
    const DWORD count = g_pUdpOwnerTable->m_bValid ? CurrentUdpOwnerRows() : 0;
    ProcessLabels explorer;
    for (DWORD i = 0; i < count; ++i) AppendItem(m_hUdpConnRoot, UdpLine(table->table[i], explorer), kImageValue);
    Expand(m_hUdpConnRoot);
}

void CNetworkReport::UpdateUdpConnections() {
    g_pUdpOwnerTable->Refresh();
    const MIB_UDPTABLE_OWNER_PID* table = CurrentUdpOwnerTable();
    const DWORD count = g_pUdpOwnerTable->m_bValid ? CurrentUdpOwnerRows() : 0;
    ProcessLabels explorer;
    RewriteLines(m_hUdpConnRoot, count, [&](DWORD i) { return UdpLine(table->table[i], explorer); });
}

void CNetworkReport::BuildTcp6Connections() {
    DeleteAllItems();
    m_hTcp6ConnRoot = AppendItem(TVI_ROOT, u"TCPv6 Connections", kImageRoot);
    SetItemBold(m_hTcp6ConnRoot);
    UpdateTcp6Connections();
    Expand(m_hTcp6ConnRoot);
}

void CNetworkReport::UpdateTcp6Connections() {
    g_pTcp6OwnerTable->Refresh();
    const MIB_TCP6TABLE_OWNER_PID* table = CurrentTcp6OwnerTable();
    const DWORD count = g_pTcp6OwnerTable->m_bValid ? CurrentTcp6OwnerRows() : 0;
    const Tcp6Lines lines = Tcp6Endpoints(table, count);
    ProcessLabels explorer;
    RewriteLines(m_hTcp6ConnRoot, count, [&](DWORD i) { return Tcp6Line(table->table[i], lines, i, explorer); });
}

void CNetworkReport::BuildUdp6Connections() {
    DeleteAllItems();
    m_hUdp6ConnRoot = AppendItem(TVI_ROOT, u"UDPv6 Connections", kImageRoot);
    SetItemBold(m_hUdp6ConnRoot);
    UpdateUdp6Connections();
    Expand(m_hUdp6ConnRoot);
}

void CNetworkReport::UpdateUdp6Connections() {
    g_pUdp6OwnerTable->Refresh();
    const MIB_UDP6TABLE_OWNER_PID* table = CurrentUdp6OwnerTable();
    const DWORD count = g_pUdp6OwnerTable->m_bValid ? CurrentUdp6OwnerRows() : 0;
    const Udp6Lines lines = Udp6Endpoints(table, count);
    ProcessLabels explorer;
    RewriteLines(m_hUdp6ConnRoot, count, [&](DWORD i) { return Udp6Line(table->table[i], lines, i, explorer); });
}
