// The /proc/net/snmp and /proc/net/snmp6 parsers on captured and damaged
// files, the record fills built on them, and the socket-table row count.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Ipv6State.h"
#include "RecordWords.h"
#include "SocketTables.h"
#include "NetCounts.h"
#include "SnmpParser.h"

namespace {

std::string ReadFixture(const std::string& relative) {
    const std::string path = std::string(FIXTURE_DIR) + "/" + relative;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << "cannot open " << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TestName(const std::string& file) {
    std::string name;
    for (char c : file) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

constexpr DWORD kUntouched = 0xABABABABu;

// ------------------------------------------------------------ per file

struct Counter {
    const char* section;
    const char* name;
    DWORD value;
};

struct Absent {
    const char* section;
    const char* name;
};

struct SnmpCase {
    const char* file;                   // under FIXTURE_DIR/snmp
    std::vector<std::string> sections;  // exactly the sections parsed
    int badLines;
    bool ip, icmp, tcp, udp;  // which fills succeed
    std::vector<Counter> counters;
    std::vector<Absent> absent;  // counters this layout does not have
};

void PrintTo(const SnmpCase& c, std::ostream* os) { *os << c.file; }

const std::vector<std::string> kAllSections = {"Icmp", "IcmpMsg", "Ip", "Tcp", "Udp", "UdpLite"};

// Counters of the snapshot kernel-6.18.snmp, which several damaged copies
// keep where they are intact.
const std::vector<Counter> kKernel618Ip = {{"Ip", "Forwarding", 2},    {"Ip", "DefaultTTL", 64},
                                           {"Ip", "InReceives", 1546}, {"Ip", "InDelivers", 1546},
                                           {"Ip", "OutRequests", 914}, {"Ip", "OutTransmits", 914}};
const std::vector<Counter> kKernel618Icmp = {
    // InCsumErrors sits between InErrors and InDestUnreachs, and the two
    // rate-limit columns between OutErrors and OutDestUnreachs.
    {"Icmp", "InMsgs", 1},
    {"Icmp", "InDestUnreachs", 1},
    {"Icmp", "OutDestUnreachs", 0}};
const std::vector<Counter> kKernel618Tcp = {
    {"Tcp", "RtoMax", 120000}, {"Tcp", "MaxConn", 0xFFFFFFFFu}, {"Tcp", "ActiveOpens", 13}, {"Tcp", "PassiveOpens", 2},
    {"Tcp", "InSegs", 1519},   {"Tcp", "OutSegs", 889},         {"Tcp", "OutRsts", 2}};
const std::vector<Counter> kKernel618Udp = {
    {"Udp", "InDatagrams", 26}, {"Udp", "OutDatagrams", 27}, {"Udp", "MemErrors", 0}};

std::vector<Counter> Join(std::initializer_list<std::vector<Counter>> parts) {
    std::vector<Counter> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<SnmpCase> Cases() {
    const auto all618 = Join({kKernel618Ip, kKernel618Icmp, kKernel618Tcp, kKernel618Udp});
    return {
        {"kernel-6.18.snmp", kAllSections, 0, true, true, true, true, all618, {}},
        {"kernel-3.10.snmp",
         kAllSections,
         0,
         true,
         true,
         true,
         true,
         {{"Ip", "Forwarding", 1},
          {"Ip", "InReceives", 392183744},
          {"Ip", "ForwDatagrams", 50211},
          {"Ip", "InDelivers", 392133389},
          {"Ip", "OutRequests", 371930276},
          {"Ip", "OutDiscards", 84},
          {"Ip", "FragCreates", 4},
          {"Icmp", "InDestUnreachs", 41102},
          {"Icmp", "OutDestUnreachs", 45467},
          {"Icmp", "OutEchoReps", 6890},
          {"Tcp", "MaxConn", 0xFFFFFFFFu},
          {"Tcp", "ActiveOpens", 1834112},
          {"Tcp", "CurrEstab", 57},
          {"Tcp", "OutRsts", 55210},
          {"Udp", "NoPorts", 45467},
          {"Udp", "OutDatagrams", 3670211},
          {"Udp", "InCsumErrors", 0}},
         {{"Ip", "OutTransmits"}, {"Icmp", "OutRateLimitGlobal"}, {"Udp", "IgnoredMulti"}, {"Udp", "MemErrors"}}},
        {"no-trailing-newline.snmp", kAllSections, 0, true, true, true, true, all618, {}},
        {"crlf-line-endings.snmp", kAllSections, 0, true, true, true, true, all618, {}},
        // Cut inside the Tcp values line: the pairs before it survive, the
        // cut pair is dropped whole rather than read with shifted columns.
        {"truncated.snmp",
         {"Icmp", "IcmpMsg", "Ip"},
         2,
         true,
         true,
         false,
         false,
         Join({kKernel618Ip, kKernel618Icmp}),
         {}},
        // Tcp values one short, Udp values one long.
        {"count-mismatch.snmp",
         {"Icmp", "IcmpMsg", "Ip", "UdpLite"},
         4,
         true,
         true,
         false,
         false,
         Join({kKernel618Ip, kKernel618Icmp}),
         {}},
        // "27x" in the Udp values.
        {"non-numeric.snmp",
         {"Icmp", "IcmpMsg", "Ip", "Tcp", "UdpLite"},
         2,
         true,
         true,
         true,
         false,
         Join({kKernel618Ip, kKernel618Icmp, kKernel618Tcp}),
         {}},
        // The Ip values line and the Tcp header line are gone: neither
        // orphan may pair with a neighbouring section's line.
        {"missing-lines.snmp",
         {"Icmp", "IcmpMsg", "Udp", "UdpLite"},
         2,
         false,
         true,
         false,
         true,
         Join({kKernel618Icmp, kKernel618Udp}),
         {}},
        // Ip without DefaultTTL and Tcp without MaxConn, in both lines: the
        // pairs parse but the records cannot be filled.
        {"missing-column.snmp",
         kAllSections,
         0,
         false,
         true,
         false,
         true,
         {{"Ip", "InReceives", 1546}, {"Tcp", "RtoMax", 120000}, {"Tcp", "ActiveOpens", 13}},
         {{"Ip", "DefaultTTL"}, {"Tcp", "MaxConn"}}},
        // Counters past 32 bits keep their low 32 bits; UdpLite holds 2^64,
        // which no counter can hold, and is dropped.
        {"counters-past-32-bits.snmp",
         {"Icmp", "IcmpMsg", "Ip", "Tcp", "Udp"},
         2,
         true,
         true,
         true,
         true,
         {{"Ip", "InReceives", 0xFFFFFFFFu},
          {"Ip", "InDelivers", 5},
          {"Ip", "OutRequests", 0},
          {"Ip", "OutTransmits", 0},
          {"Tcp", "MaxConn", 0xFFFFFFFFu},
          {"Tcp", "InSegs", 0},
          {"Tcp", "OutSegs", 2},
          {"Udp", "OutDatagrams", 27}},
         {}},
        {"garbage.snmp", {}, 6, false, false, false, false, {}, {}},
        {"empty.snmp", {}, 0, false, false, false, false, {}, {}},
    };
}

class SnmpFile : public testing::TestWithParam<SnmpCase> {};

TEST_P(SnmpFile, ParsesSectionsAndCounters) {
    const SnmpCase& c = GetParam();
    const provider::SnmpCounters snmp = provider::ParseSnmp(ReadFixture(std::string("snmp/") + c.file));

    std::vector<std::string> sections;
    for (const auto& [name, counters] : snmp.sections) sections.push_back(name);
    EXPECT_EQ(sections, c.sections);
    EXPECT_EQ(snmp.badLines, c.badLines);

    for (const Counter& k : c.counters) {
        DWORD value = kUntouched;
        EXPECT_TRUE(snmp.Get(k.section, k.name, value)) << k.section << " " << k.name;
        EXPECT_EQ(value, k.value) << k.section << " " << k.name;
    }
    for (const Absent& a : c.absent) {
        DWORD value = kUntouched;
        EXPECT_FALSE(snmp.Get(a.section, a.name, value)) << a.section << " " << a.name;
    }
}

TEST_P(SnmpFile, FillsTheRecordsItsSectionsAllow) {
    const SnmpCase& c = GetParam();
    const provider::SnmpCounters snmp = provider::ParseSnmp(ReadFixture(std::string("snmp/") + c.file));

    auto ip = Sentinel<MIB_IPSTATS>();
    auto icmp = Sentinel<MIB_ICMP>();
    auto tcp = Sentinel<MIB_TCPSTATS>();
    auto udp = Sentinel<MIB_UDPSTATS>();
    EXPECT_EQ(provider::FillIpStatistics(snmp, ip), c.ip);
    EXPECT_EQ(provider::FillIcmpStatistics(snmp, icmp), c.icmp);
    EXPECT_EQ(provider::FillTcpStatistics(snmp, tcp), c.tcp);
    EXPECT_EQ(provider::FillUdpStatistics(snmp, udp), c.udp);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SnmpFile, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<SnmpCase>& p) { return TestName(p.param.file); });

// ------------------------------------------------------- whole records

// Files in which every counter a record needs has a value of its own, so a
// counter read from the wrong column or written to the wrong field shows.
// InReceives and InSegs lie past 2^32 (1003 and 3010 in the low 32 bits).
class DistinctCounters : public testing::TestWithParam<const char*> {};

TEST_P(DistinctCounters, FillEveryFieldFromItsOwnCounter) {
    const provider::SnmpCounters snmp = provider::ParseSnmp(ReadFixture(GetParam()));
    ASSERT_EQ(snmp.badLines, 0);

    // The counts the kernel does not keep here are left to the caller.
    const MIB_IPSTATS wantIp = {1,    64,   1003,       1004, 1005,       1006,       1007,      1008,
                                1009, 1010, kUntouched, 1011, 1012,       1013,       1014,      1015,
                                1016, 1017, 1018,       1019, kUntouched, kUntouched, kUntouched};
    const MIB_ICMP wantIcmp = {{{2001, 2002, 2003, 2004, 2005, 2006, 2007, 2008, 2009, 2010, 2011, 2012, 2013},
                                {2014, 2015, 2016, 2017, 2018, 2019, 2020, 2021, 2022, 2023, 2024, 2025, 2026}}};
    const MIB_TCPSTATS wantTcp = {1,    200,  120000, 0xFFFFFFFFu, 3005, 3006, 3007,      3008,
                                  3009, 3010, 3011,   3012,        3013, 3014, kUntouched};
    const MIB_UDPSTATS wantUdp = {4001, 4002, 4003, 4004, kUntouched};

    auto ip = Sentinel<MIB_IPSTATS>();
    auto icmp = Sentinel<MIB_ICMP>();
    auto tcp = Sentinel<MIB_TCPSTATS>();
    auto udp = Sentinel<MIB_UDPSTATS>();
    ASSERT_TRUE(provider::FillIpStatistics(snmp, ip));
    ASSERT_TRUE(provider::FillIcmpStatistics(snmp, icmp));
    ASSERT_TRUE(provider::FillTcpStatistics(snmp, tcp));
    ASSERT_TRUE(provider::FillUdpStatistics(snmp, udp));
    EXPECT_EQ(Words(ip), Words(wantIp));
    EXPECT_EQ(Words(icmp), Words(wantIcmp));
    EXPECT_EQ(Words(tcp), Words(wantTcp));
    EXPECT_EQ(Words(udp), Words(wantUdp));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DistinctCounters,
                         testing::Values("proc-root-good/net/snmp", "snmp/reordered-columns.snmp"),
                         [](const testing::TestParamInfo<const char*>& p) { return TestName(p.param); });

// ------------------------------------------------------ socket tables

struct RowsCase {
    const char* name;
    std::string text;
    DWORD rows;
};

void PrintTo(const RowsCase& c, std::ostream* os) { *os << c.name; }

const std::string kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode";
const std::string kTcpRow0 =
    "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 17873 1 "
    "0000000000000000 100 0 0 10 0";
const std::string kTcpRow1 =
    "   1: 0100007F:0016 0100007F:A2C4 01 00000000:00000000 02:0009F8E1 00000000     0        0 88412 2 "
    "0000000000000000 20 4 30 10 -1";

DWORD Rows(const std::string& text) {
    int bad = 0;
    return static_cast<DWORD>(provider::ParseProcSocketTable(text, true, bad).size());
}

class SocketTableRows : public testing::TestWithParam<RowsCase> {};

TEST_P(SocketTableRows, CountsEveryRowAfterTheHeader) {
    EXPECT_EQ(Rows(GetParam().text), GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, SocketTableRows,
    testing::Values(RowsCase{"Empty", "", 0}, RowsCase{"HeaderOnly", kTcpHeader + "\n", 0},
                    RowsCase{"HeaderOnlyNoNewline", kTcpHeader, 0},
                    RowsCase{"TwoRows", kTcpHeader + "\n" + kTcpRow0 + "\n" + kTcpRow1 + "\n", 2},
                    RowsCase{"LastRowWithoutNewline", kTcpHeader + "\n" + kTcpRow0 + "\n" + kTcpRow1, 2},
                    RowsCase{"BlankLinesAnywhere",
                             "\n  \n" + kTcpHeader + "\n\n" + kTcpRow0 + "\n \t\n" + kTcpRow1 + "\n\n\n", 2},
                    RowsCase{"CrLf", kTcpHeader + "\r\n" + kTcpRow0 + "\r\n" + kTcpRow1 + "\r\n\r\n", 2}),
    [](const testing::TestParamInfo<RowsCase>& p) { return std::string(p.param.name); });

TEST(SocketTableRowsFixtures, CountTheRowsOfTheFixtureTables) {
    EXPECT_EQ(Rows(ReadFixture("proc-root-good/net/tcp")), 3u);
    EXPECT_EQ(Rows(ReadFixture("proc-root-good/net/udp")), 2u);
}

}  // namespace

// ------------------------------------------------ ICMP counts by type

namespace {

// `text` with each line that starts with `prefix` replaced by `lines`
// (several lines, or none).
std::string ReplaceLines(const std::string& text, const std::string& prefix, const std::string& lines) {
    std::string out;
    std::size_t pos = 0;
    bool replaced = false;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(pos, end - pos);
        pos = end;
        if (line.rfind(prefix, 0) != 0) {
            out += line;
        } else if (!replaced) {
            out += lines;
            replaced = true;
        }
    }
    EXPECT_TRUE(replaced) << "no line starts with " << prefix;
    return out;
}

// One ICMP type's count in a direction.
struct TypeCount {
    bool out;
    unsigned type;
    DWORD count;
};

// Both directions' 256 counts with `counts` set and every other one 0.
std::vector<DWORD> TypeWords(const std::vector<TypeCount>& counts) {
    std::vector<DWORD> words(512, 0);
    for (const TypeCount& c : counts) words[(c.out ? 256 : 0) + c.type] = c.count;
    return words;
}

std::vector<DWORD> TypeWords(const MIB_ICMP_EX& icmp) {
    std::vector<DWORD> words(icmp.icmpInStats.rgdwTypeCount, icmp.icmpInStats.rgdwTypeCount + 256);
    words.insert(words.end(), icmp.icmpOutStats.rgdwTypeCount, icmp.icmpOutStats.rgdwTypeCount + 256);
    return words;
}

std::vector<DWORD> Totals(const MIB_ICMP_EX& icmp) {
    return {icmp.icmpInStats.dwMsgs, icmp.icmpInStats.dwErrors, icmp.icmpOutStats.dwMsgs, icmp.icmpOutStats.dwErrors};
}

using Edit = std::function<std::string(const std::string&)>;
const Edit kAsIs = [](const std::string& text) { return text; };

struct IcmpTypesCase {
    const char* name;
    const char* file;  // under FIXTURE_DIR
    Edit edit;
    bool filled;
    std::vector<DWORD> totals;  // in msgs, in errors, out msgs, out errors
    std::vector<TypeCount> types;
};

void PrintTo(const IcmpTypesCase& c, std::ostream* os) { *os << c.name; }

const char* const kIcmpMsg = "IcmpMsg:";

std::vector<IcmpTypesCase> IcmpTypesCases() {
    return {
        {"Kernel618", "snmp/kernel-6.18.snmp", kAsIs, true, {1, 0, 0, 0}, {{false, 3, 1}}},
        {"Kernel310",
         "snmp/kernel-3.10.snmp",
         kAsIs,
         true,
         {48213, 37, 52367, 0},
         {{false, 0, 10},
          {false, 3, 41102},
          {false, 8, 6890},
          {false, 11, 211},
          {true, 0, 6890},
          {true, 3, 45467},
          {true, 8, 10}}},
        // Every named counter distinct: each lands on its own type.
        {"NamedCountersOnTheirTypes",
         "proc-root-good/net/snmp",
         kAsIs,
         true,
         {2001, 2002, 2014, 2015},
         {{false, 3, 2003},  {false, 11, 2004}, {false, 12, 2005}, {false, 4, 2006},  {false, 5, 2007},
          {false, 8, 2008},  {false, 0, 2009},  {false, 13, 2010}, {false, 14, 2011}, {false, 17, 2012},
          {false, 18, 2013}, {true, 3, 2016},   {true, 11, 2017},  {true, 12, 2018},  {true, 4, 2019},
          {true, 5, 2020},   {true, 8, 2021},   {true, 0, 2022},   {true, 13, 2023},  {true, 14, 2024},
          {true, 17, 2025},  {true, 18, 2026}}},
        // More than sixteen nonzero types: the kernel writes a second pair.
        {"TypesInTwoPairs",
         "snmp/kernel-6.18.snmp",
         [](const std::string& text) {
             std::string names = "IcmpMsg:", values = "IcmpMsg:";
             for (unsigned type = 0; type < 16; ++type) {
                 names += " InType" + std::to_string(type);
                 values += " " + std::to_string(100 + type);
             }
             return ReplaceLines(text, kIcmpMsg,
                                 names + "\n" + values + "\nIcmpMsg: InType255 OutType3 OutType134\nIcmpMsg: 7 8 9\n");
         },
         true,
         {1, 0, 0, 0},
         {{false, 0, 100},  {false, 1, 101},  {false, 2, 102},  {false, 3, 103},  {false, 4, 104},
          {false, 5, 105},  {false, 6, 106},  {false, 7, 107},  {false, 8, 108},  {false, 9, 109},
          {false, 10, 110}, {false, 11, 111}, {false, 12, 112}, {false, 13, 113}, {false, 14, 114},
          {false, 15, 115}, {false, 255, 7},  {true, 3, 8},     {true, 134, 9}}},
        // No type counted yet: no IcmpMsg section at all.  The named
        // counters still give their types.
        {"NoIcmpMsgSection",
         "snmp/kernel-6.18.snmp",
         [](const std::string& text) { return ReplaceLines(text, kIcmpMsg, ""); },
         true,
         {1, 0, 0, 0},
         {{false, 3, 1}}},
        // Names that are no type of 0..255 are no count.
        {"OddTypeNames",
         "snmp/kernel-6.18.snmp",
         [](const std::string& text) {
             return ReplaceLines(text, kIcmpMsg,
                                 "IcmpMsg: InType3 InType256 InType03 InType-1 OutTypeX Type5\n"
                                 "IcmpMsg: 1 2 3 4 5 6\n");
         },
         true,
         {1, 0, 0, 0},
         {{false, 3, 1}}},
        // A pair whose counts cannot be read leaves the types unknown.
        {"IcmpMsgValuesShort",
         "snmp/kernel-6.18.snmp",
         [](const std::string& text) {
             return ReplaceLines(text, kIcmpMsg, "IcmpMsg: InType3 OutType3\nIcmpMsg: 1\n");
         },
         false,
         {},
         {}},
        {"IcmpMsgValueNotNumeric",
         "snmp/kernel-6.18.snmp",
         [](const std::string& text) {
             return ReplaceLines(text, kIcmpMsg, "IcmpMsg: InType3 OutType3\nIcmpMsg: 1 x\n");
         },
         false,
         {},
         {}},
        {"IcmpMsgValuesMissing",
         "snmp/kernel-6.18.snmp",
         [](const std::string& text) { return ReplaceLines(text, kIcmpMsg, "IcmpMsg: InType3 OutType3\n"); },
         false,
         {},
         {}},
        {"Garbage", "snmp/garbage.snmp", kAsIs, false, {}, {}},
    };
}

class IcmpTypes : public testing::TestWithParam<IcmpTypesCase> {};

TEST_P(IcmpTypes, CountEachTypeOnce) {
    const IcmpTypesCase& c = GetParam();
    const provider::SnmpCounters snmp = provider::ParseSnmp(c.edit(ReadFixture(c.file)));
    auto icmp = Sentinel<MIB_ICMP_EX>();
    ASSERT_EQ(provider::FillIcmpStatisticsEx(snmp, icmp), c.filled);
    if (!c.filled) return;
    EXPECT_EQ(Totals(icmp), c.totals);
    EXPECT_EQ(TypeWords(icmp), TypeWords(c.types));
}

INSTANTIATE_TEST_SUITE_P(Snmp, IcmpTypes, testing::ValuesIn(IcmpTypesCases()),
                         [](const testing::TestParamInfo<IcmpTypesCase>& p) { return std::string(p.param.name); });

// ------------------------------------------------------------------ snmp6

using Lookup = provider::Snmp6Counters::Lookup;

struct Found {
    const char* name;
    Lookup lookup;
    DWORD value;  // when Present
};

struct Snmp6Case {
    const char* name;
    const char* file;  // under FIXTURE_DIR
    Edit edit;
    int badLines;
    bool ip, icmp, udp;  // which fills succeed
    std::vector<Found> found;
    std::vector<DWORD> icmpTotals;  // when the ICMP fill succeeds
    std::vector<TypeCount> types;
};

void PrintTo(const Snmp6Case& c, std::ostream* os) { *os << c.name; }

// The line of counter `name` in the kernel's layout.
std::string Counter6(const std::string& name, const std::string& value) {
    return name + std::string(name.size() < 32 ? 32 - name.size() : 1, ' ') + "\t" + value + "\n";
}

Edit SetLine(const std::string& name, const std::string& line) {
    return [=](const std::string& text) { return ReplaceLines(text, name + " ", line); };
}

const std::vector<TypeCount> kKernel618Types = {{false, 1, 2}, {true, 1, 2}, {true, 135, 5}, {true, 143, 4}};
const std::vector<DWORD> kKernel618Totals = {2, 1, 11, 0};

std::vector<Snmp6Case> Snmp6Cases() {
    return {
        {"Kernel618",
         "snmp6/kernel-6.18.snmp6",
         kAsIs,
         0,
         true,
         true,
         true,
         {{"Ip6InReceives", Lookup::Present, 2},
          {"Ip6OutRequests", Lookup::Present, 13},
          {"Ip6OutTransmits", Lookup::Present, 13},
          {"Icmp6OutType135", Lookup::Present, 5},
          {"Udp6OutDatagrams", Lookup::Present, 0},
          {"Icmp6InType128", Lookup::Absent, 0}},
         kKernel618Totals,
         kKernel618Types},
        {"Kernel618CrLf",
         "snmp6/kernel-6.18.snmp6",
         [](const std::string& text) {
             std::string out;
             for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
             return out;
         },
         0,
         true,
         true,
         true,
         {{"Ip6InReceives", Lookup::Present, 2}},
         kKernel618Totals,
         kKernel618Types},
        // Named ICMPv6 counters only, no Icmp6OutErrors, none of the newer
        // IP and UDP counters.
        {"OlderKernel",
         "snmp6/older-kernel.snmp6",
         kAsIs,
         0,
         true,
         true,
         true,
         {{"Ip6InReceives", Lookup::Present, 581234},
          {"Udp6OutDatagrams", Lookup::Present, 7802},
          {"Icmp6OutErrors", Lookup::Absent, 0},
          {"Ip6OutTransmits", Lookup::Absent, 0}},
         {1204, 3, 1190, 0},
         {{false, 1, 12},
          {false, 128, 40},
          {false, 129, 38},
          {false, 135, 600},
          {false, 136, 514},
          {true, 1, 9},
          {true, 129, 40},
          {true, 133, 3},
          {true, 135, 610},
          {true, 136, 528}}},
        // The file ends after a name: that counter, and those after it, are
        // not read.
        {"TruncatedLine",
         "snmp6/kernel-6.18.snmp6",
         [](const std::string& text) { return text.substr(0, text.find("Udp6InErrors") + 14); },
         1,
         true,
         true,
         false,
         {{"Udp6InErrors", Lookup::Damaged, 0},
          {"Udp6InDatagrams", Lookup::Present, 0},
          {"Udp6OutDatagrams", Lookup::Absent, 0}},
         kKernel618Totals,
         kKernel618Types},
        {"NonNumericValue",
         "snmp6/kernel-6.18.snmp6",
         SetLine("Ip6InDelivers", Counter6("Ip6InDelivers", "2x")),
         1,
         false,
         true,
         true,
         {{"Ip6InDelivers", Lookup::Damaged, 0}, {"Ip6InReceives", Lookup::Present, 2}},
         kKernel618Totals,
         kKernel618Types},
        // The kernel writes every counter unsigned.
        {"NegativeValue",
         "snmp6/kernel-6.18.snmp6",
         SetLine("Udp6NoPorts", Counter6("Udp6NoPorts", "-1")),
         1,
         true,
         true,
         false,
         {{"Udp6NoPorts", Lookup::Damaged, 0}},
         kKernel618Totals,
         kKernel618Types},
        {"TwoValues",
         "snmp6/kernel-6.18.snmp6",
         SetLine("Icmp6InMsgs", Counter6("Icmp6InMsgs", "2 3")),
         1,
         true,
         false,
         true,
         {{"Icmp6InMsgs", Lookup::Damaged, 0}},
         {},
         {}},
        // A name given twice keeps its first value.
        {"DuplicatedName",
         "snmp6/kernel-6.18.snmp6",
         SetLine("Udp6InDatagrams", Counter6("Udp6InDatagrams", "0") + Counter6("Udp6InDatagrams", "99")),
         1,
         true,
         true,
         true,
         {{"Udp6InDatagrams", Lookup::Present, 0}},
         kKernel618Totals,
         kKernel618Types},
        // Past 32 bits a counter keeps its low 32 bits; past 64 bits it is
        // no counter.
        {"HugeNumbers",
         "snmp6/kernel-6.18.snmp6",
         [](const std::string& text) {
             std::string out = SetLine("Ip6InReceives", Counter6("Ip6InReceives", "18446744073709551616"))(text);
             out = SetLine("Ip6OutRequests", Counter6("Ip6OutRequests", "4294967309"))(out);
             return SetLine("Icmp6InMsgs", Counter6("Icmp6InMsgs", "18446744073709551615"))(out);
         },
         1,
         false,
         true,
         true,
         {{"Ip6InReceives", Lookup::Damaged, 0},
          {"Ip6OutRequests", Lookup::Present, 13},
          {"Icmp6InMsgs", Lookup::Present, 0xFFFFFFFFu}},
         {0xFFFFFFFFu, 1, 11, 0},
         kKernel618Types},
        // A numbered count that cannot be read is taken from the named
        // counter of its type, which is the same counter.
        {"DamagedNumberedTypeWithName",
         "snmp6/kernel-6.18.snmp6",
         SetLine("Icmp6OutType135", Counter6("Icmp6OutType135", "5x")),
         1,
         true,
         true,
         true,
         {{"Icmp6OutType135", Lookup::Damaged, 0}},
         kKernel618Totals,
         kKernel618Types},
        // A type with no name has nothing else to take its count from.
        {"DamagedNumberedTypeWithoutName",
         "snmp6/kernel-6.18.snmp6",
         SetLine("Icmp6OutType143", Counter6("Icmp6OutType143", "4") + Counter6("Icmp6OutType144", "")),
         1,
         true,
         false,
         true,
         {{"Icmp6OutType144", Lookup::Damaged, 0}},
         {},
         {}},
        // A file without numbered lines has only the named counter.
        {"DamagedNamedTypeWithoutNumbered",
         "snmp6/older-kernel.snmp6",
         SetLine("Icmp6InEchos", Counter6("Icmp6InEchos", "4O")),
         1,
         true,
         false,
         true,
         {{"Icmp6InEchos", Lookup::Damaged, 0}},
         {},
         {}},
        {"MissingTotal", "snmp6/kernel-6.18.snmp6", SetLine("Icmp6OutMsgs", ""), 0, true, false, true, {}, {}, {}},
        {"NotTheFile",
         "snmp/garbage.snmp",
         kAsIs,
         6,
         false,
         false,
         false,
         {{"Ip6InReceives", Lookup::Absent, 0}},
         {},
         {}},
        {"Empty", "snmp/empty.snmp", kAsIs, 0, false, false, false, {}, {}, {}},
    };
}

class Snmp6File : public testing::TestWithParam<Snmp6Case> {};

TEST_P(Snmp6File, ReadsCountersByNameAndFillsWhatTheyAllow) {
    const Snmp6Case& c = GetParam();
    const provider::Snmp6Counters snmp6 = provider::ParseSnmp6(c.edit(ReadFixture(c.file)));
    EXPECT_EQ(snmp6.badLines, c.badLines);
    for (const Found& f : c.found) {
        DWORD value = kUntouched;
        EXPECT_EQ(snmp6.Find(f.name, value), f.lookup) << f.name;
        EXPECT_EQ(value, f.lookup == Lookup::Present ? f.value : kUntouched) << f.name;
    }

    auto ip = Sentinel<MIB_IPSTATS>();
    auto udp = Sentinel<MIB_UDPSTATS>();
    auto icmp = Sentinel<MIB_ICMP_EX>();
    EXPECT_EQ(provider::FillIp6Statistics(snmp6, ip), c.ip);
    EXPECT_EQ(provider::FillUdp6Statistics(snmp6, udp), c.udp);
    ASSERT_EQ(provider::FillIcmp6StatisticsEx(snmp6, icmp), c.icmp);
    if (c.icmp) {
        EXPECT_EQ(Totals(icmp), c.icmpTotals);
        EXPECT_EQ(TypeWords(icmp), TypeWords(c.types));
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Snmp6File, testing::ValuesIn(Snmp6Cases()),
                         [](const testing::TestParamInfo<Snmp6Case>& p) { return std::string(p.param.name); });

// ----------------------------------------------- IPv6 settings and sockets

struct NumberCase {
    const char* text;
    bool read;
    DWORD value;  // when read
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.text)); }

// A sysctl file: one integer and its line feed; anything else is no value.
class SettingValue : public testing::TestWithParam<NumberCase> {};

TEST_P(SettingValue, IsOneIntegerOrNothing) {
    DWORD value = kUntouched;
    EXPECT_EQ(provider::ParseSettingValue(GetParam().text, value), GetParam().read);
    EXPECT_EQ(value, GetParam().read ? GetParam().value : kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Texts, SettingValue,
                         testing::Values(NumberCase{"64\n", true, 64}, NumberCase{"0", true, 0},
                                         NumberCase{" \t1\t\r\n", true, 1}, NumberCase{"-1\n", true, 0xFFFFFFFFu},
                                         NumberCase{"-2147483648", true, 0x80000000u},
                                         NumberCase{"4294967295", true, 0xFFFFFFFFu},
                                         NumberCase{"4294967296", false, 0}, NumberCase{"-2147483649", false, 0},
                                         NumberCase{"99999999999999999999999", false, 0}, NumberCase{"", false, 0},
                                         NumberCase{"\n", false, 0}, NumberCase{"sixty-four\n", false, 0},
                                         NumberCase{"64 65\n", false, 0}, NumberCase{"+5", false, 0},
                                         NumberCase{"0x40", false, 0}, NumberCase{"--1", false, 0},
                                         NumberCase{"-", false, 0}, NumberCase{"6\n4\n", false, 0}));

// /proc/net/sockstat6: the count after UDP6's "inuse", and only that.
class Sockstat6Udp : public testing::TestWithParam<NumberCase> {};

TEST_P(Sockstat6Udp, IsTheInUseCountOfUdp6) {
    DWORD value = kUntouched;
    EXPECT_EQ(provider::ParseSockstat6Udp(GetParam().text, value), GetParam().read);
    EXPECT_EQ(value, GetParam().read ? GetParam().value : kUntouched);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Sockstat6Udp,
    testing::Values(
        NumberCase{"TCP6: inuse 0\nUDP6: inuse 0\nUDPLITE6: inuse 0\nRAW6: inuse 0\nFRAG6: inuse 0 memory 0\n", true, 0},
        NumberCase{"TCP6: inuse 3\nUDPLITE6: inuse 9\nUDP6: inuse 12\n", true, 12},
        NumberCase{"UDP6: mem 4 inuse 5 orphan 0", true, 5}, NumberCase{"UDP6:inuse 7", true, 7},
        NumberCase{"TCP6: inuse 3\nUDPLITE6: inuse 9\n", false, 0}, NumberCase{"UDP6: inuse\n", false, 0},
        NumberCase{"UDP6: inuse x\n", false, 0}, NumberCase{"UDP6: inuse -1\n", false, 0},
        NumberCase{"UDP6: inuse 99999999999\n", false, 0}, NumberCase{"UDP6: mem 4\n", false, 0},
        NumberCase{"", false, 0}));

}  // namespace
