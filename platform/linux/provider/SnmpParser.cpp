#include "SnmpParser.h"

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
            if (haveHeader) ++out.badLines;  // a header line without its values
            header = line;
            haveHeader = true;
            continue;
        }
        haveHeader = false;
        if (line.fields.size() != header.fields.size()) {
            out.badLines += 2;
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
            out.badLines += 2;
            continue;
        }
        // A repeated section keeps its first pair.
        out.sections.emplace(std::string(line.prefix), std::move(values));
    }
    if (haveHeader) ++out.badLines;
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

}  // namespace provider
