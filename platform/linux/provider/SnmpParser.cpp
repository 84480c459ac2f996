#include "SnmpParser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

namespace provider {

namespace {

std::vector<std::string_view> Fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') ++i;
        if (i > start) out.push_back(text.substr(start, i - start));
    }
    return out;
}

// A decimal integer, optionally negative.  Counters the kernel prints as
// unsigned 64-bit keep their bit pattern.
bool ParseInteger(std::string_view s, std::int64_t& value) {
    if (s.empty()) return false;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (*first == '-') {
        auto [p, ec] = std::from_chars(first, last, value);
        return ec == std::errc() && p == last;
    }
    std::uint64_t u = 0;
    auto [p, ec] = std::from_chars(first, last, u);
    if (ec != std::errc() || p != last) return false;
    value = static_cast<std::int64_t>(u);
    return true;
}

struct Line {
    std::string_view prefix;
    std::vector<std::string_view> fields;
};

bool SplitLine(std::string_view text, Line& line) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    line.prefix = text.substr(0, colon);
    line.fields = Fields(text.substr(colon + 1));
    return true;
}

}  // namespace

bool SnmpCounters::Get(std::string_view section, std::string_view name, DWORD& value) const {
    const auto s = sections.find(section);
    if (s == sections.end()) return false;
    const auto v = s->second.find(std::string(name));
    if (v == s->second.end()) return false;
    value = static_cast<DWORD>(static_cast<std::uint64_t>(v->second));
    return true;
}

SnmpCounters ParseSnmp(std::string_view text) {
    SnmpCounters out;
    Line header;
    bool haveHeader = false;
    const auto skipPair = [&out](std::string_view prefix, int lines) {
        out.badLines += lines;
        out.damagedSections.emplace(prefix);
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        if (raw.find_first_not_of(" \t\r") == std::string_view::npos) continue;

        Line line;
        if (!SplitLine(raw, line)) {
            ++out.badLines;
            continue;
        }
        if (!haveHeader || line.prefix != header.prefix) {
            if (haveHeader) skipPair(header.prefix, 1);  // a header line without its values
            header = line;
            haveHeader = true;
            continue;
        }
        haveHeader = false;
        if (line.fields.size() != header.fields.size()) {
            skipPair(line.prefix, 2);
            continue;
        }
        std::map<std::string, std::int64_t> values;
        bool numeric = true;
        for (std::size_t i = 0; i < line.fields.size() && numeric; ++i) {
            std::int64_t v = 0;
            numeric = ParseInteger(line.fields[i], v);
            values.emplace(std::string(header.fields[i]), v);
        }
        if (!numeric) {
            skipPair(line.prefix, 2);
            continue;
        }
        // A repeated section adds the names it did not have yet.
        auto& section = out.sections[std::string(line.prefix)];
        for (auto& [name, value] : values) section.emplace(name, value);
    }
    if (haveHeader) skipPair(header.prefix, 1);
    return out;
}

namespace {

struct Field {
    const char* name;
    DWORD* slot;
};

bool FillAll(const SnmpCounters& snmp, std::string_view section, std::initializer_list<Field> fields) {
    for (const Field& f : fields)
        if (!snmp.Get(section, f.name, *f.slot)) return false;
    return true;
}

}  // namespace

bool FillIpStatistics(const SnmpCounters& snmp, MIB_IPSTATS& s) {
    return FillAll(snmp, "Ip",
                   {{"Forwarding", &s.dwForwarding},
                    {"DefaultTTL", &s.dwDefaultTTL},
                    {"InReceives", &s.dwInReceives},
                    {"InHdrErrors", &s.dwInHdrErrors},
                    {"InAddrErrors", &s.dwInAddrErrors},
                    {"ForwDatagrams", &s.dwForwDatagrams},
                    {"InUnknownProtos", &s.dwInUnknownProtos},
                    {"InDiscards", &s.dwInDiscards},
                    {"InDelivers", &s.dwInDelivers},
                    {"OutRequests", &s.dwOutRequests},
                    {"OutDiscards", &s.dwOutDiscards},
                    {"OutNoRoutes", &s.dwOutNoRoutes},
                    {"ReasmTimeout", &s.dwReasmTimeout},
                    {"ReasmReqds", &s.dwReasmReqds},
                    {"ReasmOKs", &s.dwReasmOks},
                    {"ReasmFails", &s.dwReasmFails},
                    {"FragOKs", &s.dwFragOks},
                    {"FragFails", &s.dwFragFails},
                    {"FragCreates", &s.dwFragCreates}});
}

bool FillIcmpStatistics(const SnmpCounters& snmp, MIB_ICMP& s) {
    MIBICMPSTATS& in = s.stats.icmpInStats;
    MIBICMPSTATS& out = s.stats.icmpOutStats;
    return FillAll(snmp, "Icmp",
                   {{"InMsgs", &in.dwMsgs},
                    {"InErrors", &in.dwErrors},
                    {"InDestUnreachs", &in.dwDestUnreachs},
                    {"InTimeExcds", &in.dwTimeExcds},
                    {"InParmProbs", &in.dwParmProbs},
                    {"InSrcQuenchs", &in.dwSrcQuenchs},
                    {"InRedirects", &in.dwRedirects},
                    {"InEchos", &in.dwEchos},
                    {"InEchoReps", &in.dwEchoReps},
                    {"InTimestamps", &in.dwTimestamps},
                    {"InTimestampReps", &in.dwTimestampReps},
                    {"InAddrMasks", &in.dwAddrMasks},
                    {"InAddrMaskReps", &in.dwAddrMaskReps},
                    {"OutMsgs", &out.dwMsgs},
                    {"OutErrors", &out.dwErrors},
                    {"OutDestUnreachs", &out.dwDestUnreachs},
                    {"OutTimeExcds", &out.dwTimeExcds},
                    {"OutParmProbs", &out.dwParmProbs},
                    {"OutSrcQuenchs", &out.dwSrcQuenchs},
                    {"OutRedirects", &out.dwRedirects},
                    {"OutEchos", &out.dwEchos},
                    {"OutEchoReps", &out.dwEchoReps},
                    {"OutTimestamps", &out.dwTimestamps},
                    {"OutTimestampReps", &out.dwTimestampReps},
                    {"OutAddrMasks", &out.dwAddrMasks},
                    {"OutAddrMaskReps", &out.dwAddrMaskReps}});
}

bool FillTcpStatistics(const SnmpCounters& snmp, MIB_TCPSTATS& s) {
    return FillAll(snmp, "Tcp",
                   {{"RtoAlgorithm", &s.dwRtoAlgorithm},
                    {"RtoMin", &s.dwRtoMin},
                    {"RtoMax", &s.dwRtoMax},
                    {"MaxConn", &s.dwMaxConn},
                    {"ActiveOpens", &s.dwActiveOpens},
                    {"PassiveOpens", &s.dwPassiveOpens},
                    {"AttemptFails", &s.dwAttemptFails},
                    {"EstabResets", &s.dwEstabResets},
                    {"CurrEstab", &s.dwCurrEstab},
                    {"InSegs", &s.dwInSegs},
                    {"OutSegs", &s.dwOutSegs},
                    {"RetransSegs", &s.dwRetransSegs},
                    {"InErrs", &s.dwInErrs},
                    {"OutRsts", &s.dwOutRsts}});
}

bool FillUdpStatistics(const SnmpCounters& snmp, MIB_UDPSTATS& s) {
    return FillAll(snmp, "Udp",
                   {{"InDatagrams", &s.dwInDatagrams},
                    {"NoPorts", &s.dwNoPorts},
                    {"InErrors", &s.dwInErrors},
                    {"OutDatagrams", &s.dwOutDatagrams}});
}

// ------------------------------------------------------------ ICMP types

namespace {

DWORD Low32(std::uint64_t value) { return static_cast<DWORD>(value); }

// The type of a numbered counter "<prefix><t>", t a decimal 0..255 written
// as the kernel writes it (no sign, no leading zero); -1 for any other name.
int TypeNumber(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) return -1;
    name.remove_prefix(prefix.size());
    if (name.empty() || name.size() > 3 || (name.size() > 1 && name[0] == '0')) return -1;
    int type = 0;
    for (const char c : name) {
        if (c < '0' || c > '9') return -1;
        type = type * 10 + (c - '0');
    }
    return type <= 255 ? type : -1;
}

struct NamedType {
    const char* name;  // after "In" or "Out"
    unsigned type;
};

// The ICMP types the Icmp section of /proc/net/snmp counts by name.
constexpr NamedType kIcmpNamed[] = {
    {"EchoReps", 0},   {"DestUnreachs", 3}, {"SrcQuenchs", 4},     {"Redirects", 5},
    {"Echos", 8},      {"TimeExcds", 11},   {"ParmProbs", 12},     {"Timestamps", 13},
    {"TimestampReps", 14}, {"AddrMasks", 17}, {"AddrMaskReps", 18},
};

// The ICMPv6 types /proc/net/snmp6 counts by name as well as by number.
constexpr NamedType kIcmp6Named[] = {
    {"DestUnreachs", 1},        {"PktTooBigs", 2},
    {"TimeExcds", 3},           {"ParmProblems", 4},
    {"Echos", 128},             {"EchoReplies", 129},
    {"GroupMembQueries", 130},  {"GroupMembResponses", 131},
    {"GroupMembReductions", 132}, {"RouterSolicits", 133},
    {"RouterAdvertisements", 134}, {"NeighborSolicits", 135},
    {"NeighborAdvertisements", 136}, {"Redirects", 137},
    {"MLDv2Reports", 143},
};

}  // namespace

bool FillIcmpStatisticsEx(const SnmpCounters& snmp, MIB_ICMP_EX& s) {
    if (snmp.damagedSections.count("IcmpMsg") != 0) return false;
    if (!FillAll(snmp, "Icmp",
                 {{"InMsgs", &s.icmpInStats.dwMsgs},
                  {"InErrors", &s.icmpInStats.dwErrors},
                  {"OutMsgs", &s.icmpOutStats.dwMsgs},
                  {"OutErrors", &s.icmpOutStats.dwErrors}}))
        return false;
    const auto messages = snmp.sections.find("IcmpMsg");
    for (const auto& [direction, stats] :
         {std::pair<std::string, MIBICMPSTATS_EX*>{"In", &s.icmpInStats}, {"Out", &s.icmpOutStats}}) {
        DWORD* counts = stats->rgdwTypeCount;
        std::fill(counts, counts + 256, 0u);
        for (const NamedType& named : kIcmpNamed) snmp.Get("Icmp", direction + named.name, counts[named.type]);
        if (messages == snmp.sections.end()) continue;
        const std::string numbered = direction + "Type";
        for (const auto& [name, value] : messages->second)
            if (const int type = TypeNumber(name, numbered); type >= 0)
                counts[type] = Low32(static_cast<std::uint64_t>(value));
    }
    return true;
}

// ------------------------------------------------------------------ IPv6

namespace {

// A decimal unsigned 64-bit value, digits only: the kernel writes snmp6
// counters with %lu.
bool ParseUnsigned(std::string_view s, std::uint64_t& value) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

Snmp6Counters::Lookup Snmp6Counters::Find(std::string_view name, DWORD& value) const {
    if (const auto v = values.find(name); v != values.end()) {
        value = Low32(v->second);
        return Lookup::Present;
    }
    return damaged.count(name) != 0 ? Lookup::Damaged : Lookup::Absent;
}

Snmp6Counters ParseSnmp6(std::string_view text) {
    Snmp6Counters out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::vector<std::string_view> fields = Fields(text.substr(pos, end - pos));
        pos = end + 1;
        if (fields.empty()) continue;
        std::uint64_t value = 0;
        if (fields.size() != 2 || !ParseUnsigned(fields[1], value)) {
            ++out.badLines;
            out.damaged.emplace(fields[0]);
            continue;
        }
        if (!out.values.emplace(std::string(fields[0]), value).second) ++out.badLines;
    }
    return out;
}

namespace {

bool FillAll6(const Snmp6Counters& snmp6, std::initializer_list<Field> fields) {
    for (const Field& f : fields)
        if (snmp6.Find(f.name, *f.slot) != Snmp6Counters::Lookup::Present) return false;
    return true;
}

}  // namespace

bool FillIp6Statistics(const Snmp6Counters& snmp6, MIB_IPSTATS& s) {
    return FillAll6(snmp6, {{"Ip6InReceives", &s.dwInReceives},
                            {"Ip6InHdrErrors", &s.dwInHdrErrors},
                            {"Ip6InAddrErrors", &s.dwInAddrErrors},
                            {"Ip6OutForwDatagrams", &s.dwForwDatagrams},
                            {"Ip6InUnknownProtos", &s.dwInUnknownProtos},
                            {"Ip6InDiscards", &s.dwInDiscards},
                            {"Ip6InDelivers", &s.dwInDelivers},
                            {"Ip6OutRequests", &s.dwOutRequests},
                            {"Ip6OutDiscards", &s.dwOutDiscards},
                            {"Ip6OutNoRoutes", &s.dwOutNoRoutes},
                            {"Ip6ReasmReqds", &s.dwReasmReqds},
                            {"Ip6ReasmOKs", &s.dwReasmOks},
                            {"Ip6ReasmFails", &s.dwReasmFails},
                            {"Ip6FragOKs", &s.dwFragOks},
                            {"Ip6FragFails", &s.dwFragFails},
                            {"Ip6FragCreates", &s.dwFragCreates}});
}

bool FillUdp6Statistics(const Snmp6Counters& snmp6, MIB_UDPSTATS& s) {
    return FillAll6(snmp6, {{"Udp6InDatagrams", &s.dwInDatagrams},
                            {"Udp6NoPorts", &s.dwNoPorts},
                            {"Udp6InErrors", &s.dwInErrors},
                            {"Udp6OutDatagrams", &s.dwOutDatagrams}});
}

bool FillIcmp6StatisticsEx(const Snmp6Counters& snmp6, MIB_ICMP_EX& s) {
    using Lookup = Snmp6Counters::Lookup;
    for (const auto& [direction, stats] : {std::pair<std::string, MIBICMPSTATS_EX*>{"Icmp6In", &s.icmpInStats},
                                           {"Icmp6Out", &s.icmpOutStats}}) {
        if (snmp6.Find(direction + "Msgs", stats->dwMsgs) != Lookup::Present) return false;
        const Lookup errors = snmp6.Find(direction + "Errors", stats->dwErrors);
        if (errors == Lookup::Absent && direction == "Icmp6Out")
            stats->dwErrors = 0;  // not written before kernels counted it
        else if (errors != Lookup::Present)
            return false;

        DWORD* counts = stats->rgdwTypeCount;
        std::fill(counts, counts + 256, 0u);
        std::array<bool, 256> have{}, damaged{};
        const std::string numbered = direction + "Type";
        for (auto v = snmp6.values.lower_bound(numbered); v != snmp6.values.end() && v->first.starts_with(numbered);
             ++v)
            if (const int type = TypeNumber(v->first, numbered); type >= 0) {
                counts[type] = Low32(v->second);
                have[type] = true;
            }
        for (auto d = snmp6.damaged.lower_bound(numbered); d != snmp6.damaged.end() && d->starts_with(numbered); ++d)
            if (const int type = TypeNumber(*d, numbered); type >= 0) damaged[type] = true;
        for (const NamedType& named : kIcmp6Named) {
            if (have[named.type]) continue;
            const Lookup found = snmp6.Find(direction + named.name, counts[named.type]);
            if (found == Lookup::Present) have[named.type] = true;
            if (found == Lookup::Damaged) damaged[named.type] = true;
        }
        for (std::size_t type = 0; type < 256; ++type)
            if (damaged[type] && !have[type]) return false;
    }
    return true;
}

}  // namespace provider
