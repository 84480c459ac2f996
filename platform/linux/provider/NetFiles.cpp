#include "NetFiles.h"

// clang-format off
// <net/if.h> comes before the kernel headers, which then leave its names alone.
#include <net/if.h>
// clang-format on
#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <functional>
#include <tuple>
#include <unordered_map>

#include "ProcFiles.h"

namespace provider {

namespace {

constexpr std::size_t kMaxFileLines = 4 * kMaxFileRows;
constexpr std::size_t kMaxLine = 4096;         // longer lines are no line of these files
constexpr std::size_t kMaxAttribute = 4096;    // a sysfs attribute is at most a page
constexpr std::size_t kMaxHardwareBytes = 32;  // MAX_ADDR_LEN, as netlink's records are cut

// Flags the kernel derives for netlink from the link's state; the flags
// file holds the device's own flags, without them.
constexpr unsigned kIffRunning = 0x40;
constexpr unsigned kIffLowerUp = 0x10000;
constexpr unsigned kIffDormant = 0x20000;

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const std::size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// The next blank-separated field of `line`, taken off its front.
std::string_view NextField(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

// A whole field as an unsigned number of `base`, at most `max`.
template <class T>
bool ParseNumber(std::string_view text, T& value, int base, std::uint64_t max) {
    if (text.empty() || text.size() > 24) return false;
    std::uint64_t parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
    if (ec != std::errc() || end != text.data() + text.size() || parsed > max) return false;
    value = static_cast<T>(parsed);
    return true;
}

// Calls `line` with each line of `text` until it returns false, at most
// kMaxFileLines lines.
void ForEachLine(std::string_view text, const std::function<bool(std::string_view)>& line) {
    std::size_t lines = 0;
    while (!text.empty() && lines++ < kMaxFileLines) {
        const std::size_t end = text.find('\n');
        if (!line(text.substr(0, end))) return;
        if (end == std::string_view::npos) return;
        text.remove_prefix(end + 1);
    }
}

// The same over a file; false when it cannot be opened or read.
bool ForEachLineOfRootFile(const std::string& path, const std::function<bool(std::string_view)>& line) {
    std::size_t lines = 0;
    return ForEachLineOfFile(path, kMaxLine, [&](std::string_view l) { return lines++ < kMaxFileLines && line(l); });
}

// 4 bytes in network order from the hexadecimal of a little-endian word, as
// PROC/net/route prints an address.
bool ParseLittleEndianAddress(std::string_view text, std::uint32_t& address) {
    std::uint32_t word = 0;
    if (text.size() != 8 || !ParseNumber(text, word, 16, 0xffffffffu)) return false;
    const unsigned char bytes[4] = {static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
                                    static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 24)};
    std::memcpy(&address, bytes, sizeof address);
    return true;
}

// Exactly `size` bytes written as 2 * size hexadecimal digits.
bool ParseHexBytes(std::string_view text, unsigned char* bytes, std::size_t size) {
    if (text.size() != 2 * size) return false;
    for (std::size_t i = 0; i < size; ++i)
        if (!ParseNumber(text.substr(2 * i, 2), bytes[i], 16, 0xff)) return false;
    return true;
}

std::uint32_t HostOrder(std::uint32_t network) { return ntohl(network); }
std::uint32_t MaskOf(unsigned length) { return length == 0 ? 0u : ~0u << (32 - length); }

// The prefix length of a contiguous mask in host order; nothing for another.
std::optional<unsigned> LengthOfMask(std::uint32_t mask) {
    unsigned length = 0;
    while (length < 32 && (mask & (0x80000000u >> length)) != 0) ++length;
    if (mask != MaskOf(length)) return std::nullopt;
    return length;
}

// Every line of a fib_trie listing with its section and the leaf above it.
class FibTrieReader {
public:
    bool Line(std::string_view raw) {
        if (raw.empty()) return true;
        if (raw.front() != ' ') {
            // A table's heading: "Main:", "Local:", "Id 100:".
            m_leaf.reset();
            const std::string_view heading = Trim(raw);
            const std::string_view name = heading.ends_with(':') ? heading.substr(0, heading.size() - 1) : "";
            if (m_sections.size() < 4096) m_sections.push_back({std::string(name.substr(0, 64)), 0, kFnvOffset});
            return true;
        }
        const std::string_view line = Trim(raw);
        if (line.starts_with("|-- ")) {
            m_leaf = ParseDottedQuad(Trim(line.substr(4)));
            Hash(line);
            return true;
        }
        if (!line.starts_with("/") || !m_leaf) {
            // An inner node ("+-- 10.0.0.0/8 2 0 2") or a line of no meaning.
            m_leaf.reset();
            return true;
        }
        std::string_view rest = line.substr(1);
        unsigned length = 0;
        const std::string_view lengthText = NextField(rest);
        const std::string_view scope = NextField(rest);
        const std::string_view type = NextField(rest);
        if (!ParseNumber(lengthText, length, 10, 32) || scope.empty() || type.empty()) return true;
        Hash(line);
        if (!m_sections.empty()) ++m_sections.back().entries;
        if (type != "LOCAL") return true;
        const std::uint32_t network = *m_leaf & MaskOf(length);
        if (length == 32) {
            if (m_addresses.size() < kMaxFileRows) m_addresses.push_back(*m_leaf);
        } else if (m_prefixes.size() < kMaxFileRows) {
            m_prefixes.push_back({htonl(network), length});
        }
        return true;
    }

    FibTrieFacts Facts() {
        FibTrieFacts facts;
        std::sort(m_addresses.begin(), m_addresses.end());
        m_addresses.erase(std::unique(m_addresses.begin(), m_addresses.end()), m_addresses.end());
        for (const std::uint32_t a : m_addresses) facts.localAddresses.push_back(htonl(a));
        std::sort(m_prefixes.begin(), m_prefixes.end(), [](const FibPrefix& a, const FibPrefix& b) {
            return std::tie(a.network, a.length) < std::tie(b.network, b.length);
        });
        m_prefixes.erase(std::unique(m_prefixes.begin(), m_prefixes.end(),
                                     [](const FibPrefix& a, const FibPrefix& b) {
                                         return a.network == b.network && a.length == b.length;
                                     }),
                         m_prefixes.end());
        facts.localPrefixes = m_prefixes;
        const Section* main = nullptr;
        const Section* local = nullptr;
        for (const Section& s : m_sections) {
            facts.routes += s.entries;
            if (s.name == "Main" && main == nullptr) main = &s;
            if (s.name == "Local" && local == nullptr) local = &s;
        }
        // The merged main and local tables are listed under both names.
        if (main != nullptr && local != nullptr && main->entries == local->entries && main->hash == local->hash)
            facts.routes -= local->entries;
        return facts;
    }

private:
    static constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
    struct Section {
        std::string name;
        std::size_t entries;
        std::uint64_t hash;  // of the section's leaves and entries, to tell a repeated listing
    };

    static std::optional<std::uint32_t> ParseDottedQuad(std::string_view text) {
        std::uint32_t value = 0;
        for (int part = 0; part < 4; ++part) {
            const std::size_t end = part < 3 ? text.find('.') : text.size();
            unsigned octet = 0;
            if (end == std::string_view::npos || end == 0 || end > 3 ||
                !ParseNumber(text.substr(0, end), octet, 10, 255))
                return std::nullopt;
            value = value << 8 | octet;
            text.remove_prefix(part < 3 ? end + 1 : end);
        }
        return value;
    }

    void Hash(std::string_view line) {
        if (m_sections.empty()) return;
        std::uint64_t& h = m_sections.back().hash;
        for (const char c : line) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        h = (h ^ '\n') * 1099511628211ull;
    }

    std::vector<Section> m_sections;
    std::optional<std::uint32_t> m_leaf;     // host order
    std::vector<std::uint32_t> m_addresses;  // host order
    std::vector<FibPrefix> m_prefixes;
};

bool RouteLine(std::string_view line, std::vector<RouteRow>& rows) {
    if (rows.size() >= kMaxFileRows) return false;
    RouteRow row;
    const std::string_view name = NextField(line);
    const std::string_view destination = NextField(line);
    const std::string_view gateway = NextField(line);
    const std::string_view flags = NextField(line);
    NextField(line);  // RefCnt
    NextField(line);  // Use
    const std::string_view metric = NextField(line);
    const std::string_view mask = NextField(line);
    if ((name != "*" && !IsSafeLinkName(name)) || !ParseLittleEndianAddress(destination, row.destination) ||
        !ParseLittleEndianAddress(gateway, row.gateway) || !ParseNumber(flags, row.flags, 16, 0xffffffffu) ||
        !ParseNumber(metric, row.metric, 10, 0xffffffffu) || !ParseLittleEndianAddress(mask, row.mask))
        return true;  // the heading, or a garbled row
    row.name = name;
    rows.push_back(std::move(row));
    return true;
}

bool IfInet6Line(std::string_view line, std::vector<InetAddress>& rows) {
    if (rows.size() >= kMaxFileRows) return false;
    InetAddress a;
    a.family = AF_INET6;
    const std::string_view address = NextField(line);
    const std::string_view index = NextField(line);
    const std::string_view prefix = NextField(line);
    const std::string_view scope = NextField(line);
    const std::string_view flags = NextField(line);
    const std::string_view name = NextField(line);
    unsigned scopeValue = 0;
    if (!ParseHexBytes(address, a.address, 16) || !ParseNumber(index, a.index, 16, 0x7fffffff) || a.index == 0 ||
        !ParseNumber(prefix, a.prefixLength, 16, 128) || !ParseNumber(scope, scopeValue, 16, 0xff) ||
        !ParseNumber(flags, a.flags, 16, 0xffffffffu) || name.empty())
        return true;
    rows.push_back(a);
    return true;
}

bool Ipv6RouteLine(std::string_view line, std::size_t& count) {
    if (count >= kMaxFileRows) return false;
    unsigned char destination[16], source[16], nextHop[16];
    unsigned destinationLength = 0, sourceLength = 0;
    std::uint32_t metric = 0, refs = 0, use = 0, flags = 0;
    const bool ok =
        ParseHexBytes(NextField(line), destination, 16) && ParseNumber(NextField(line), destinationLength, 16, 128) &&
        ParseHexBytes(NextField(line), source, 16) && ParseNumber(NextField(line), sourceLength, 16, 128) &&
        ParseHexBytes(NextField(line), nextHop, 16) && ParseNumber(NextField(line), metric, 16, 0xffffffffu) &&
        ParseNumber(NextField(line), refs, 16, 0xffffffffu) && ParseNumber(NextField(line), use, 16, 0xffffffffu) &&
        ParseNumber(NextField(line), flags, 16, 0xffffffffu) && !NextField(line).empty();
    if (!ok) return true;
    static const unsigned char any[16] = {};
    const bool nullEntry = destinationLength == 0 && std::memcmp(destination, any, 16) == 0 && metric == 0xffffffffu &&
                           (flags & RTF_REJECT) != 0;
    if (!nullEntry) ++count;
    return true;
}

bool NetDevLine(std::string_view line, std::vector<NetDevRow>& rows) {
    if (rows.size() >= kMaxFileRows) return false;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    NetDevRow row;
    const std::string_view name = Trim(line.substr(0, colon));
    if (!IsSafeLinkName(name)) return true;
    row.name = name;
    std::string_view rest = line.substr(colon + 1);
    rtnl_link_stats64& s = row.stats;
    // The columns in the kernel's order; the sums it prints go where their
    // largest part belongs.
    __u64* const columns[16] = {&s.rx_bytes,       &s.rx_packets,      &s.rx_errors,         &s.rx_dropped,
                                &s.rx_fifo_errors, &s.rx_frame_errors, &s.rx_compressed,     &s.multicast,
                                &s.tx_bytes,       &s.tx_packets,      &s.tx_errors,         &s.tx_dropped,
                                &s.tx_fifo_errors, &s.collisions,      &s.tx_carrier_errors, &s.tx_compressed};
    for (__u64* column : columns)
        if (!ParseNumber(NextField(rest), *column, 10, ~std::uint64_t{0})) return true;
    rows.push_back(std::move(row));
    return true;
}

std::optional<std::string> ReadAttribute(const std::string& path) {
    std::string text;
    DWORD error = NO_ERROR;
    if (!ReadFileAt(path, text, error, kMaxAttribute)) return std::nullopt;
    return text;
}

std::unordered_map<std::string, unsigned> IndexByName(const std::vector<LinkRecord>& links) {
    std::unordered_map<std::string, unsigned> byName;
    for (const LinkRecord& link : links) byName.emplace(link.name, link.index);
    return byName;
}

bool ReadRouteTable(const FileRoots& roots, std::vector<RouteRow>& rows) {
    return ForEachLineOfRootFile(roots.proc + "/net/route", [&rows](std::string_view l) { return RouteLine(l, rows); });
}

bool ReadFibTrie(const FileRoots& roots, FibTrieFacts& facts) {
    FibTrieReader reader;
    if (!ForEachLineOfRootFile(roots.proc + "/net/fib_trie", [&reader](std::string_view l) { return reader.Line(l); }))
        return false;
    facts = reader.Facts();
    return true;
}

// The IPv4 addresses with their links; false when a file they need cannot
// be read.
bool ReadIpv4Addresses(const FileRoots& roots, const std::vector<LinkRecord>& links,
                       std::vector<Ipv4Address>& addresses) {
    FibTrieFacts trie;
    std::vector<RouteRow> routes;
    if (!ReadFibTrie(roots, trie) || !ReadRouteTable(roots, routes)) return false;
    addresses = AssignIpv4Addresses(trie, routes, links);
    return true;
}

bool ReadIfInet6(const FileRoots& roots, std::vector<InetAddress>& rows) {
    return ForEachLineOfRootFile(roots.proc + "/net/if_inet6",
                                 [&rows](std::string_view l) { return IfInet6Line(l, rows); });
}

}  // namespace

bool IsSafeLinkName(std::string_view name) {
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

namespace {

struct Counter {
    const char* file;
    __u64 rtnl_link_stats64::*field;
};

constexpr Counter kCounters[] = {
    {"statistics/rx_packets", &rtnl_link_stats64::rx_packets},
    {"statistics/tx_packets", &rtnl_link_stats64::tx_packets},
    {"statistics/rx_bytes", &rtnl_link_stats64::rx_bytes},
    {"statistics/tx_bytes", &rtnl_link_stats64::tx_bytes},
    {"statistics/rx_errors", &rtnl_link_stats64::rx_errors},
    {"statistics/tx_errors", &rtnl_link_stats64::tx_errors},
    {"statistics/rx_dropped", &rtnl_link_stats64::rx_dropped},
    {"statistics/tx_dropped", &rtnl_link_stats64::tx_dropped},
    {"statistics/multicast", &rtnl_link_stats64::multicast},
    {"statistics/collisions", &rtnl_link_stats64::collisions},
    {"statistics/rx_length_errors", &rtnl_link_stats64::rx_length_errors},
    {"statistics/rx_over_errors", &rtnl_link_stats64::rx_over_errors},
    {"statistics/rx_crc_errors", &rtnl_link_stats64::rx_crc_errors},
    {"statistics/rx_frame_errors", &rtnl_link_stats64::rx_frame_errors},
    {"statistics/rx_fifo_errors", &rtnl_link_stats64::rx_fifo_errors},
    {"statistics/rx_missed_errors", &rtnl_link_stats64::rx_missed_errors},
    {"statistics/tx_aborted_errors", &rtnl_link_stats64::tx_aborted_errors},
    {"statistics/tx_carrier_errors", &rtnl_link_stats64::tx_carrier_errors},
    {"statistics/tx_fifo_errors", &rtnl_link_stats64::tx_fifo_errors},
    {"statistics/tx_heartbeat_errors", &rtnl_link_stats64::tx_heartbeat_errors},
    {"statistics/tx_window_errors", &rtnl_link_stats64::tx_window_errors},
    {"statistics/rx_compressed", &rtnl_link_stats64::rx_compressed},
    {"statistics/tx_compressed", &rtnl_link_stats64::tx_compressed},
    {"statistics/rx_nohandler", &rtnl_link_stats64::rx_nohandler},
};

// An attribute's text without its blanks and line feed; nothing when absent.
std::optional<std::string_view> Attribute(const LinkAttributes& attributes, std::string_view file) {
    const auto it = attributes.find(file);
    if (it == attributes.end()) return std::nullopt;
    return Trim(it->second);
}

// "aa:bb:cc:dd:ee:ff", any number of bytes up to kMaxHardwareBytes; empty
// for an empty text or a garbled one.
std::vector<unsigned char> ParseHardwareAddress(std::string_view text) {
    std::vector<unsigned char> bytes;
    while (!text.empty()) {
        unsigned char byte = 0;
        if (bytes.size() == kMaxHardwareBytes || text.size() < 2 || !ParseNumber(text.substr(0, 2), byte, 16, 0xff))
            return {};
        bytes.push_back(byte);
        text.remove_prefix(2);
        if (text.empty()) break;
        if (text.front() != ':' || text.size() == 1) return {};
        text.remove_prefix(1);
    }
    return bytes;
}

}  // namespace

const std::vector<std::string>& LinkAttributeFiles() {
    static const std::vector<std::string> files = [] {
        std::vector<std::string> names = {"ifindex", "type",      "flags",   "mtu",
                                          "address", "operstate", "carrier", "dormant"};
        for (const Counter& c : kCounters) names.emplace_back(c.file);
        return names;
    }();
    return files;
}

std::optional<LinkRecord> LinkFromAttributes(std::string_view name, const LinkAttributes& attributes) {
    if (!IsSafeLinkName(name)) return std::nullopt;
    const auto index = Attribute(attributes, "ifindex");
    const auto type = Attribute(attributes, "type");
    const auto flags = Attribute(attributes, "flags");
    const auto mtu = Attribute(attributes, "mtu");
    LinkRecord link;
    link.name = name;
    if (!index || !type || !flags || !mtu || !flags->starts_with("0x") ||
        !ParseNumber(*index, link.index, 10, 0x7fffffff) || link.index == 0 ||
        !ParseNumber(*type, link.hardwareType, 10, 0xffff) ||
        !ParseNumber(flags->substr(2), link.flags, 16, 0xffffffffu) || !ParseNumber(*mtu, link.mtu, 10, 0xffffffffu))
        return std::nullopt;
    link.flags &= ~(kIffRunning | kIffLowerUp | kIffDormant);
    if ((link.flags & IFF_UP) != 0) {
        const auto operstate = Attribute(attributes, "operstate");
        if (operstate && (*operstate == "up" || *operstate == "unknown")) link.flags |= kIffRunning;
        if (Attribute(attributes, "carrier") == "1") link.flags |= kIffLowerUp;
        if (Attribute(attributes, "dormant") == "1") link.flags |= kIffDormant;
    }
    if (const auto address = Attribute(attributes, "address")) link.hardwareAddress = ParseHardwareAddress(*address);
    for (const Counter& c : kCounters)
        if (const auto value = Attribute(attributes, c.file))
            if (!ParseNumber(*value, link.stats.*c.field, 10, ~std::uint64_t{0})) link.stats.*c.field = 0;
    return link;
}

std::vector<NetDevRow> ParseNetDev(std::string_view text) {
    std::vector<NetDevRow> rows;
    ForEachLine(text, [&rows](std::string_view l) { return NetDevLine(l, rows); });
    return rows;
}

std::vector<RouteRow> ParseRouteTable(std::string_view text) {
    std::vector<RouteRow> rows;
    ForEachLine(text, [&rows](std::string_view l) { return RouteLine(l, rows); });
    return rows;
}

FibTrieFacts ParseFibTrie(std::string_view text) {
    FibTrieReader reader;
    ForEachLine(text, [&reader](std::string_view l) { return reader.Line(l); });
    return reader.Facts();
}

std::vector<InetAddress> ParseIfInet6(std::string_view text) {
    std::vector<InetAddress> rows;
    ForEachLine(text, [&rows](std::string_view l) { return IfInet6Line(l, rows); });
    return rows;
}

std::size_t CountIpv6RouteRows(std::string_view text) {
    std::size_t count = 0;
    ForEachLine(text, [&count](std::string_view l) { return Ipv6RouteLine(l, count); });
    return count;
}

std::vector<Ipv4Address> AssignIpv4Addresses(const FibTrieFacts& trie, const std::vector<RouteRow>& routes,
                                             const std::vector<LinkRecord>& links) {
    struct OnLink {
        unsigned index;
        unsigned metric;
    };
    // The on-link prefixes by length, then by network in host order: an
    // address is looked up once per length, longest first.
    std::array<std::unordered_map<std::uint32_t, OnLink>, 33> prefixes;
    const auto add = [&prefixes](std::uint32_t network, unsigned length, OnLink link) {
        auto [it, added] = prefixes[length].emplace(network & MaskOf(length), link);
        if (!added && std::tie(link.metric, link.index) < std::tie(it->second.metric, it->second.index))
            it->second = link;
    };
    const auto byName = IndexByName(links);
    for (const RouteRow& row : routes) {
        if ((row.flags & RTF_UP) == 0 || (row.flags & (RTF_GATEWAY | RTF_REJECT)) != 0) continue;
        const auto link = byName.find(row.name);
        const auto length = LengthOfMask(HostOrder(row.mask));
        if (link == byName.end() || !length) continue;
        add(HostOrder(row.destination), *length, {link->second, row.metric});
    }
    const auto loopback =
        std::find_if(links.begin(), links.end(), [](const LinkRecord& l) { return l.hardwareType == ARPHRD_LOOPBACK; });
    if (loopback != links.end())
        for (const FibPrefix& p : trie.localPrefixes)
            if (p.length <= 32) add(HostOrder(p.network), p.length, {loopback->index, 0});

    std::vector<Ipv4Address> out;
    for (const std::uint32_t address : trie.localAddresses) {
        const std::uint32_t host = HostOrder(address);
        for (int length = 32; length >= 0; --length) {
            const auto& table = prefixes[static_cast<std::size_t>(length)];
            if (table.empty()) continue;
            const auto it = table.find(host & MaskOf(static_cast<unsigned>(length)));
            if (it == table.end()) continue;
            out.push_back({it->second.index, address, static_cast<unsigned>(length)});
            break;
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Ipv4Address& a, const Ipv4Address& b) { return a.index < b.index; });
    return out;
}

std::vector<DefaultGateway> DefaultGatewaysOf(const std::vector<RouteRow>& routes,
                                              const std::vector<LinkRecord>& links) {
    std::vector<DefaultGateway> out;
    const auto byName = IndexByName(links);
    for (const RouteRow& row : routes) {
        if (row.destination != 0 || row.mask != 0 || (row.flags & RTF_UP) == 0 || (row.flags & RTF_GATEWAY) == 0 ||
            (row.flags & RTF_REJECT) != 0)
            continue;
        if (const auto link = byName.find(row.name); link != byName.end()) out.push_back({link->second, row.gateway});
    }
    return out;
}

FileRoots CurrentFileRoots() { return {ProcRoot(), SysRoot()}; }

bool ReadLinksFromFiles(const FileRoots& roots, std::vector<LinkRecord>& links) {
    const std::string base = roots.sys + "/class/net";
    std::vector<std::string> names;
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir)) {
        if (names.size() >= kMaxFileRows) break;
        if (IsSafeLinkName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);

    // The namespace's own links, and counters for links without statistics.
    std::vector<NetDevRow> netDev;
    const bool haveNetDev = ForEachLineOfRootFile(roots.proc + "/net/dev",
                                                  [&netDev](std::string_view l) { return NetDevLine(l, netDev); }) &&
                            !netDev.empty();
    std::unordered_map<std::string, const rtnl_link_stats64*> countersByName;
    for (const NetDevRow& row : netDev) countersByName.emplace(row.name, &row.stats);

    std::vector<LinkRecord> out;
    for (const std::string& name : names) {
        const auto counters = countersByName.find(name);
        if (haveNetDev && counters == countersByName.end()) continue;
        LinkAttributes attributes;
        bool haveStatistics = false;
        for (const std::string& file : LinkAttributeFiles()) {
            if (auto text = ReadAttribute(base + "/" + name + "/" + file)) {
                haveStatistics = haveStatistics || file.starts_with("statistics/");
                attributes.emplace(file, std::move(*text));
            }
            // A directory without an index is no link ("bonding_masters").
            if (file == "ifindex" && attributes.empty()) break;
        }
        auto link = LinkFromAttributes(name, attributes);
        if (!link) continue;
        if (!haveStatistics && counters != countersByName.end()) link->stats = *counters->second;
        out.push_back(std::move(*link));
    }
    std::sort(out.begin(), out.end(), [](const LinkRecord& a, const LinkRecord& b) { return a.index < b.index; });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const LinkRecord& a, const LinkRecord& b) { return a.index == b.index; }),
              out.end());
    links = std::move(out);
    return true;
}

bool ReadNetworkStateFromFiles(const FileRoots& roots, NetworkState& state, unsigned parts) {
    NetworkState out;
    std::vector<LinkRecord> links;
    if (!ReadLinksFromFiles(roots, links)) return false;
    if ((parts & kAddresses) != 0) ReadIpv4Addresses(roots, links, out.addresses);
    if ((parts & kGateways) != 0) {
        std::vector<RouteRow> routes;
        if (ReadRouteTable(roots, routes)) out.gateways = DefaultGatewaysOf(routes, links);
    }
    if ((parts & kLinks) != 0) out.links = std::move(links);
    state = std::move(out);
    return true;
}

bool ReadInetAddressesFromFiles(const FileRoots& roots, int family, std::vector<InetAddress>& addresses) {
    if (family == AF_INET6) {
        std::vector<InetAddress> rows;
        if (!ReadIfInet6(roots, rows)) return false;
        std::stable_sort(rows.begin(), rows.end(), [](const InetAddress& a, const InetAddress& b) {
            return a.index != b.index ? a.index < b.index : std::memcmp(a.address, b.address, 16) < 0;
        });
        addresses.insert(addresses.end(), rows.begin(), rows.end());
        return true;
    }
    if (family != AF_INET) return false;
    std::vector<LinkRecord> links;
    std::vector<Ipv4Address> found;
    if (!ReadLinksFromFiles(roots, links) || !ReadIpv4Addresses(roots, links, found)) return false;
    for (const Ipv4Address& a : found) {
        InetAddress row;
        row.family = AF_INET;
        std::memcpy(row.address, &a.address, 4);
        row.prefixLength = a.prefixLength;
        row.index = a.index;
        row.flags = IFA_F_PERMANENT;
        addresses.push_back(row);
    }
    return true;
}

bool CountLinksAddressesRoutesFromFiles(const FileRoots& roots, RouteCounts& counts) {
    std::vector<LinkRecord> links;
    FibTrieFacts trie;
    std::vector<RouteRow> routes;
    if (!ReadLinksFromFiles(roots, links) || !ReadFibTrie(roots, trie) || !ReadRouteTable(roots, routes)) return false;
    RouteCounts out;
    out.interfaces = static_cast<DWORD>(links.size());
    out.ipv4Addresses = static_cast<DWORD>(AssignIpv4Addresses(trie, routes, links).size());
    out.ipv4Routes = static_cast<DWORD>(trie.routes);
    counts = out;
    return true;
}

bool CountIpv6FromFiles(const FileRoots& roots, Ipv6Counts& counts) {
    std::size_t interfaces = 0;
    DIR* dir = ::opendir((roots.proc + "/net/dev_snmp6").c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir))
        if (interfaces < kMaxFileRows && IsSafeLinkName(entry->d_name)) ++interfaces;
    ::closedir(dir);
    std::vector<InetAddress> addresses;
    std::size_t routes = 0;
    if (!ReadIfInet6(roots, addresses) ||
        !ForEachLineOfRootFile(roots.proc + "/net/ipv6_route",
                               [&routes](std::string_view l) { return Ipv6RouteLine(l, routes); }))
        return false;
    counts.interfaces = static_cast<DWORD>(interfaces);
    counts.addresses = static_cast<DWORD>(addresses.size());
    counts.routes = static_cast<DWORD>(routes);
    return true;
}

}  // namespace provider
