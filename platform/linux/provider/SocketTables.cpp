#include "SocketTables.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "ProcFiles.h"
#include "SockDiag.h"

namespace provider {

namespace {

std::string_view NextField(std::string_view line, std::size_t& pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r')) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\r') ++pos;
    return line.substr(start, pos - start);
}

template <class T>
bool ParseNumber(std::string_view s, T& value, int base) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    return ec == std::errc() && p == s.data() + s.size();
}

// "0100007F:0277": the address as the kernel prints the 32-bit word it holds
// in network order (so the bytes come out reversed on little-endian), and
// the port in host order.
bool ParseEndpoint(std::string_view s, DWORD& addr, WORD& port) {
    const std::size_t colon = s.find(':');
    if (colon != 8 || s.size() != 13) return false;
    std::uint32_t word = 0;
    std::uint16_t p = 0;
    if (!ParseNumber(s.substr(0, 8), word, 16) || !ParseNumber(s.substr(9), p, 16)) return false;
    addr = word;
    port = p;
    return true;
}

// "XXXXXXXX:XXXXXXXX" style fields: hexadecimal groups of the given widths
// around one colon.
bool HexPair(std::string_view s, std::size_t left, std::size_t right) {
    if (s.size() != left + 1 + right || s[left] != ':') return false;
    std::uint64_t ignored = 0;
    return ParseNumber(s.substr(0, left), ignored, 16) && ParseNumber(s.substr(left + 1), ignored, 16);
}

// One socket line.  Every field up to the inode is checked for its shape,
// and the reference count and pointer that follow the inode must be there,
// so that a line cut short or missing a field is rejected rather than read
// with shifted fields.
bool ParseLine(std::string_view line, bool tcp, SocketRow& row) {
    std::size_t pos = 0;
    const std::string_view slot = NextField(line, pos);
    const std::string_view local = NextField(line, pos);
    const std::string_view remote = NextField(line, pos);
    const std::string_view state = NextField(line, pos);
    const std::string_view queues = NextField(line, pos);
    const std::string_view timer = NextField(line, pos);
    const std::string_view retransmits = NextField(line, pos);
    const std::string_view uid = NextField(line, pos);
    const std::string_view timeout = NextField(line, pos);
    const std::string_view inode = NextField(line, pos);
    const std::string_view refs = NextField(line, pos);
    const std::string_view pointer = NextField(line, pos);
    unsigned kernelState = 0;
    unsigned long long number = 0;
    std::uint64_t hex = 0;
    if (slot.size() < 2 || slot.back() != ':' || !ParseNumber(slot.substr(0, slot.size() - 1), number, 10) ||
        !ParseEndpoint(local, row.localAddr, row.localPort) || !ParseEndpoint(remote, row.remoteAddr, row.remotePort) ||
        state.size() != 2 || !ParseNumber(state, kernelState, 16) || !HexPair(queues, 8, 8) || !HexPair(timer, 2, 8) ||
        !ParseNumber(retransmits, hex, 16) || !ParseNumber(uid, number, 10) || !ParseNumber(timeout, number, 10) ||
        !ParseNumber(inode, row.inode, 10) || !ParseNumber(refs, number, 10) || !ParseNumber(pointer, hex, 16))
        return false;
    row.state = tcp ? MibTcpState(kernelState) : 0;
    return true;
}

}  // namespace

DWORD MibTcpState(unsigned kernelState) {
    switch (kernelState) {
        case 1: return 5;    // ESTABLISHED
        case 2: return 3;    // SYN_SENT
        case 3: return 4;    // SYN_RECV
        case 4: return 6;    // FIN_WAIT1
        case 5: return 7;    // FIN_WAIT2
        case 6: return 11;   // TIME_WAIT
        case 7: return 1;    // CLOSE
        case 8: return 8;    // CLOSE_WAIT
        case 9: return 10;   // LAST_ACK
        case 10: return 2;   // LISTEN
        case 11: return 9;   // CLOSING
        case 12: return 4;   // NEW_SYN_RECV: a connection request, SYN_RCVD
        default: return 0;
    }
}

std::vector<SocketRow> ParseProcSocketTable(std::string_view text, bool tcp, int& badLines) {
    std::vector<SocketRow> rows;
    badLines = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        // The header is known by its first column's name, not by coming
        // first: a capture without it loses no row.
        std::size_t at = 0;
        if (NextField(line, at) == "sl") continue;
        SocketRow row;
        if (ParseLine(line, tcp, row)) rows.push_back(row);
        else ++badLines;
    }
    return rows;
}

bool CollectSockets(int protocol, std::vector<SocketRow>& rows, DWORD& error) {
    rows.clear();
    const bool tcp = protocol == IPPROTO_TCP;
    if (ProcRoot() == "/proc") {
        const bool ok = DumpInetSockets(protocol, [&rows, tcp](const inet_diag_msg& m) {
            SocketRow row;
            row.state = tcp ? MibTcpState(m.idiag_state) : 0;
            row.localAddr = m.id.idiag_src[0];
            row.localPort = ntohs(m.id.idiag_sport);
            row.remoteAddr = m.id.idiag_dst[0];
            row.remotePort = ntohs(m.id.idiag_dport);
            row.inode = m.idiag_inode;
            rows.push_back(row);
        });
        if (ok) return true;
        rows.clear();
    }
    std::string text;
    if (!ReadProcFile(tcp ? "net/tcp" : "net/udp", text, error)) return false;
    int bad = 0;
    rows = ParseProcSocketTable(text, tcp, bad);
    return true;
}

bool ParseSockstat(std::string_view text, int protocol, std::size_t& count) {
    const std::string_view prefix = protocol == IPPROTO_TCP ? "TCP:" : "UDP:";
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.substr(0, prefix.size()) != prefix) continue;
        // Name-value pairs after the prefix.
        std::size_t at = prefix.size(), total = 0;
        bool any = false;
        for (;;) {
            const std::string_view name = NextField(line, at);
            const std::string_view value = NextField(line, at);
            if (name.empty() || value.empty()) break;
            std::size_t n = 0;
            if (!ParseNumber(value, n, 10)) return false;
            // Sockets allocated (which includes those not yet in use) and
            // those in TIME_WAIT; UDP has only its sockets in use.
            if ((protocol == IPPROTO_TCP && (name == "alloc" || name == "tw")) ||
                (protocol != IPPROTO_TCP && name == "inuse")) {
                total += n;
                any = true;
            }
        }
        if (!any) return false;
        count = total;
        return true;
    }
    return false;
}

bool EstimateSocketCount(int protocol, std::size_t& count) {
    std::string text;
    DWORD error = NO_ERROR;
    return ReadProcFile("net/sockstat", text, error, 64 * 1024) && ParseSockstat(text, protocol, count);
}

void SortRows(std::vector<SocketRow>& rows) {
    // Address and port in one number, first byte of the address highest.
    auto key = [](DWORD addr, WORD port) {
        return (static_cast<std::uint64_t>(ntohl(addr)) << 16) | port;
    };
    std::sort(rows.begin(), rows.end(), [&key](const SocketRow& a, const SocketRow& b) {
        const std::uint64_t la = key(a.localAddr, a.localPort), lb = key(b.localAddr, b.localPort);
        if (la != lb) return la < lb;
        return key(a.remoteAddr, a.remotePort) < key(b.remoteAddr, b.remotePort);
    });
}

}  // namespace provider
