// The /proc/net/snmp parser on captured and damaged files, the record fills
// built on it, and the socket-table row count.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
