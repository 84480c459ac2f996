#include "SocketTables.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>

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

// "0000000000000000FFFF00000100007F:9C41": four words of eight digits, each
// the number the kernel printed for a 32-bit word of the address as it lies
// in memory; copying each number back into memory gives the address bytes
// whatever the host's byte order.
bool ParseEndpoint6(std::string_view s, std::array<std::uint8_t, 16>& addr, WORD& port) {
    if (s.size() != 37 || s[32] != ':') return false;
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint32_t word = 0;
        if (!ParseNumber(s.substr(i * 8, 8), word, 16)) return false;
        std::memcpy(addr.data() + i * 4, &word, sizeof word);
    }
    std::uint16_t p = 0;
    if (!ParseNumber(s.substr(33), p, 16)) return false;
    port = p;
    return true;
}

bool ParseEndpointOf(std::string_view s, SocketRow& row, bool local) {
    return local ? ParseEndpoint(s, row.localAddr, row.localPort) : ParseEndpoint(s, row.remoteAddr, row.remotePort);
}

bool ParseEndpointOf(std::string_view s, Socket6Row& row, bool local) {
    return local ? ParseEndpoint6(s, row.localAddr, row.localPort) : ParseEndpoint6(s, row.remoteAddr, row.remotePort);
}

// One socket line.  Every field up to the inode is checked for its shape,
// and the reference count and pointer that follow the inode must be there,
// so that a line cut short or missing a field is rejected rather than read
// with shifted fields.
template <class Row>
bool ParseLine(std::string_view line, bool tcp, Row& row) {
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
        !ParseEndpointOf(local, row, true) || !ParseEndpointOf(remote, row, false) || state.size() != 2 ||
        !ParseNumber(state, kernelState, 16) || !HexPair(queues, 8, 8) || !HexPair(timer, 2, 8) ||
        !ParseNumber(retransmits, hex, 16) || !ParseNumber(uid, number, 10) || !ParseNumber(timeout, number, 10) ||
        !ParseNumber(inode, row.inode, 10) || !ParseNumber(refs, number, 10) || !ParseNumber(pointer, hex, 16))
        return false;
    row.state = tcp ? MibTcpState(kernelState) : 0;
    return true;
}

template <class Row>
std::vector<Row> ParseTable(std::string_view text, bool tcp, int& badLines) {
    std::vector<Row> rows;
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
        Row row;
        if (ParseLine(line, tcp, row)) rows.push_back(row);
        else ++badLines;
    }
    return rows;
}

// The name-value pairs of the line of /proc/net/sockstat(6) that starts with
// `prefix`, added up over the names for which `counts` is true.  False when
// there is no such line, a value is no number, or no name counts.
template <class Counts>
bool SumSockstatLine(std::string_view text, std::string_view prefix, Counts counts, std::size_t& sum) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.substr(0, prefix.size()) != prefix) continue;
        std::size_t at = prefix.size(), total = 0;
        bool any = false;
        for (;;) {
            const std::string_view name = NextField(line, at);
            const std::string_view value = NextField(line, at);
            if (name.empty() || value.empty()) break;
            std::size_t n = 0;
            if (!ParseNumber(value, n, 10)) return false;
            if (counts(name)) {
                total += n;
                any = true;
            }
        }
        if (!any) return false;
        sum = total;
        return true;
    }
    return false;
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
    return ParseTable<SocketRow>(text, tcp, badLines);
}

std::vector<Socket6Row> ParseProcSocket6Table(std::string_view text, bool tcp, int& badLines) {
    return ParseTable<Socket6Row>(text, tcp, badLines);
}

DWORD ScopeIdOf(const std::array<std::uint8_t, 16>& a, std::uint32_t ifindex) {
    const bool linkLocal = a[0] == 0xFE && (a[1] & 0xC0) == 0x80;
    // ffXS::, scope S: 1 interface-local, 2 link-local.
    const bool zonedMulticast = a[0] == 0xFF && ((a[1] & 0x0F) == 0x01 || (a[1] & 0x0F) == 0x02);
    return linkLocal || zonedMulticast ? ifindex : 0;
}

Socket6Row Socket6RowOf(const inet_diag_msg& m, bool tcp) {
    Socket6Row row;
    row.state = tcp ? MibTcpState(m.idiag_state) : 0;
    std::memcpy(row.localAddr.data(), m.id.idiag_src, row.localAddr.size());
    std::memcpy(row.remoteAddr.data(), m.id.idiag_dst, row.remoteAddr.size());
    row.localPort = ntohs(m.id.idiag_sport);
    row.remotePort = ntohs(m.id.idiag_dport);
    row.localScope = ScopeIdOf(row.localAddr, m.id.idiag_if);
    row.remoteScope = ScopeIdOf(row.remoteAddr, m.id.idiag_if);
    row.inode = m.idiag_inode;
    row.cookie = CookieOf(m);
    return row;
}

ConnectionKey ConnectionKeyOf(std::uint8_t family, const inet_diag_msg& m) {
    ConnectionKey key;
    key.family = family;
    const std::size_t bytes = family == 4 ? 4 : 16;
    std::memcpy(key.local.data(), m.id.idiag_src, bytes);
    std::memcpy(key.remote.data(), m.id.idiag_dst, bytes);
    key.localPort = ntohs(m.id.idiag_sport);
    key.remotePort = ntohs(m.id.idiag_dport);
    if (family == 6) {
        key.localScope = ScopeIdOf(key.local, m.id.idiag_if);
        key.remoteScope = ScopeIdOf(key.remote, m.id.idiag_if);
    }
    return key;
}

namespace {

// Keeps the statistics of a dump's message, when it carries them.
void KeepTraffic(std::vector<ConnectionTraffic>& traffic, std::uint8_t family, const inet_diag_msg& m,
                 const unsigned char* payload, std::size_t size) {
    if (std::optional<TcpTraffic> t = TcpTrafficOfMessage(payload, size))
        traffic.push_back(ConnectionTraffic{ConnectionKeyOf(family, m), *t});
}

}  // namespace

bool CollectSockets(int protocol, std::vector<SocketRow>& rows, DWORD& error) {
    rows.clear();
    const bool tcp = protocol == IPPROTO_TCP;
    if (ProcRoot() == "/proc") {
        auto rowOf = [tcp](const inet_diag_msg& m) {
            SocketRow row;
            row.state = tcp ? MibTcpState(m.idiag_state) : 0;
            row.localAddr = m.id.idiag_src[0];
            row.localPort = ntohs(m.id.idiag_sport);
            row.remoteAddr = m.id.idiag_dst[0];
            row.remotePort = ntohs(m.id.idiag_dport);
            row.inode = m.idiag_inode;
            row.cookie = CookieOf(m);
            return row;
        };
        bool ok = false;
        if (tcp && TcpTrafficWanted()) {
            std::vector<ConnectionTraffic> traffic;
            ok = DumpTcpSocketsWithInfo(AF_INET, [&](const inet_diag_msg& m, const unsigned char* payload,
                                                     std::size_t size) {
                rows.push_back(rowOf(m));
                KeepTraffic(traffic, 4, m, payload, size);
            });
            if (ok) StoreTcpTraffic(4, std::move(traffic));
        } else {
            ok = DumpInetSockets(protocol, [&rows, &rowOf](const inet_diag_msg& m) { rows.push_back(rowOf(m)); });
        }
        if (ok) return true;
        rows.clear();
    }
    std::string text;
    if (!ReadProcFile(tcp ? "net/tcp" : "net/udp", text, error)) return false;
    int bad = 0;
    rows = ParseProcSocketTable(text, tcp, bad);
    return true;
}

bool CollectSockets6(int protocol, std::vector<Socket6Row>& rows, DWORD& error) {
    rows.clear();
    const bool tcp = protocol == IPPROTO_TCP;
    const char* const file = tcp ? "net/tcp6" : "net/udp6";
    if (ProcRoot() == "/proc") {
        // A full socket says whether it takes IPv6 alone; a connection in
        // TIME_WAIT or a connection request does not, and stays unknown.
        auto rowOf = [tcp](const inet_diag_msg& m, const unsigned char* payload, std::size_t size) {
            Socket6Row row = Socket6RowOf(m, tcp);
            if (const std::optional<bool> only = V6OnlyOfMessage(payload, size))
                row.families = *only ? SOCKET_ROW_V6ONLY : SOCKET_ROW_DUAL_STACK;
            return row;
        };
        bool ok = false;
        if (tcp && TcpTrafficWanted()) {
            std::vector<ConnectionTraffic> traffic;
            ok = DumpTcpSocketsWithInfo(AF_INET6,
                                        [&](const inet_diag_msg& m, const unsigned char* payload, std::size_t size) {
                                            rows.push_back(rowOf(m, payload, size));
                                            KeepTraffic(traffic, 6, m, payload, size);
                                        });
            if (ok) StoreTcpTraffic(6, std::move(traffic));
        } else {
            ok = DumpInetSocketMessages(AF_INET6, protocol,
                                        [&](const inet_diag_msg& m, const unsigned char* payload, std::size_t size) {
                                            rows.push_back(rowOf(m, payload, size));
                                        });
        }
        if (ok) {
            // A kernel without IPv6 still answers the dump, with nothing in
            // it; only the missing file tells the two apart.
            struct stat info {};
            if (!rows.empty() || ::stat((ProcRoot() + "/" + file).c_str(), &info) == 0) return true;
            error = ERROR_NOT_SUPPORTED;
            return false;
        }
        rows.clear();
    }
    std::string text;
    if (!ReadProcFile(file, text, error)) {
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_NOT_SUPPORTED;
        return false;
    }
    int bad = 0;
    rows = ParseProcSocket6Table(text, tcp, bad);
    // The files do not say what each socket chose: the system's default
    // stands for all of them.
    std::string bindv6only;
    DWORD ignored = NO_ERROR;
    const DWORD families =
        ReadProcFile("sys/net/ipv6/bindv6only", bindv6only, ignored, 64) ? FamiliesByDefault(bindv6only) : 0;
    for (Socket6Row& row : rows) row.families = families;
    return true;
}

DWORD FamiliesByDefault(std::string_view bindv6only) {
    while (!bindv6only.empty() && (bindv6only.back() == '\n' || bindv6only.back() == ' ')) bindv6only.remove_suffix(1);
    if (bindv6only == "0") return SOCKET_ROW_DUAL_STACK | SOCKET_ROW_FAMILIES_BY_DEFAULT;
    if (bindv6only == "1") return SOCKET_ROW_V6ONLY | SOCKET_ROW_FAMILIES_BY_DEFAULT;
    return 0;
}

namespace {

// What the calling thread was last given of each table.
struct KeptFacts {
    bool kept = false;
    std::vector<SOCKET_ROW_FACTS> rows;
};
thread_local KeptFacts t_kept[4];

template <class Row>
void Keep(unsigned table, const std::vector<Row>& rows) {
    if (table >= 4) return;
    KeptFacts& k = t_kept[table];
    k.rows.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        k.rows[i] = SOCKET_ROW_FACTS{rows[i].cookie, 0, 0};
        if constexpr (std::is_same_v<Row, Socket6Row>) k.rows[i].flags = rows[i].families;
    }
    k.kept = true;
}

}  // namespace

void ForgetRowFacts(unsigned table) {
    if (table < 4) t_kept[table].kept = false;
}

void KeepRowFacts(unsigned table, const std::vector<SocketRow>& rows) { Keep(table, rows); }
void KeepRowFacts(unsigned table, const std::vector<Socket6Row>& rows) { Keep(table, rows); }

bool KeptRowFacts(unsigned table, SOCKET_ROW_FACTS* facts, std::size_t rows) {
    if (table >= 4 || !t_kept[table].kept || t_kept[table].rows.size() != rows) return false;
    if (rows > 0 && facts == nullptr) return false;
    if (rows > 0) std::memcpy(facts, t_kept[table].rows.data(), rows * sizeof(SOCKET_ROW_FACTS));
    return true;
}

bool ParseSockstat(std::string_view text, int protocol, std::size_t& count) {
    // Sockets allocated (which includes those not yet in use) and those in
    // TIME_WAIT; UDP has only its sockets in use.
    if (protocol == IPPROTO_TCP)
        return SumSockstatLine(
            text, "TCP:", [](std::string_view name) { return name == "alloc" || name == "tw"; }, count);
    return SumSockstatLine(text, "UDP:", [](std::string_view name) { return name == "inuse"; }, count);
}

bool ParseSockstat6(std::string_view sockstat6, std::string_view sockstat, int protocol, std::size_t& count) {
    auto inuse = [](std::string_view name) { return name == "inuse"; };
    std::size_t used = 0;
    if (!SumSockstatLine(sockstat6, protocol == IPPROTO_TCP ? "TCP6:" : "UDP6:", inuse, used)) return false;
    std::size_t timeWait = 0;
    if (protocol == IPPROTO_TCP &&
        !SumSockstatLine(sockstat, "TCP:", [](std::string_view name) { return name == "tw"; }, timeWait))
        return false;
    count = used + timeWait;
    return true;
}

bool EstimateSocketCount(int protocol, std::size_t& count) {
    std::string text;
    DWORD error = NO_ERROR;
    return ReadProcFile("net/sockstat", text, error, 64 * 1024) && ParseSockstat(text, protocol, count);
}

bool EstimateSocket6Count(int protocol, std::size_t& count) {
    std::string text6, text;
    DWORD error = NO_ERROR;
    return ReadProcFile("net/sockstat6", text6, error, 64 * 1024) &&
           (protocol != IPPROTO_TCP || ReadProcFile("net/sockstat", text, error, 64 * 1024)) &&
           ParseSockstat6(text6, text, protocol, count);
}

void SortRows(std::vector<Socket6Row>& rows) {
    auto key = [](const Socket6Row& r) {
        return std::tie(r.localAddr, r.localScope, r.localPort, r.remoteAddr, r.remoteScope, r.remotePort);
    };
    std::sort(rows.begin(), rows.end(), [&key](const Socket6Row& a, const Socket6Row& b) { return key(a) < key(b); });
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
