// The four counter reports, built into an in-memory tree from the scripted
// provider.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FakeReportFixture.h"
#include "IpHelper.h"
#include "MemoryTree.h"
#include "NetworkReport.h"

namespace {

// "label value": the label cut or padded to 15, a blank, the counter as a
// signed 32-bit number padded on the right to 6.
std::u16string Line(const std::string& label, DWORD value) {
    std::string text = label.substr(0, 15);
    text.resize(15, ' ');
    std::string number = std::to_string(static_cast<std::int32_t>(value));
    if (number.size() < 6) number.resize(6, ' ');
    text += ' ' + number;
    return std::u16string(text.begin(), text.end());
}

struct ReportCase {
    const char* name;
    int kind;
    FakeCounterScript FakeControl::*script;
    std::vector<std::u16string> roots;
    std::vector<std::string> labels;  // of the lines under each root, in record order
    bool updateExpandsRoots;          // else an update leaves the user's expansion alone
};

const ReportCase kReportCases[] = {
    {"Icmp",
     kKindIcmpStatistics,
     &FakeControl::icmp,
     {u"ICMP In Statistics", u"ICMP Out Statistics"},
     {"Msgs", "Errors", "DestUnreachs", "TimeExcds", "ParmProbs", "SrcQuenchs", "Redirects", "Echos", "EchoReps",
      "Timestamps", "TimestampReps", "AddrMasks", "AddrMaskReps"},
     true},
    {"Ip",
     kKindIpStatistics,
     &FakeControl::ip,
     {u"IP Statistics"},
     {"Forwarding",      "DefaultTTL",   "InReceives", "InHdrErrors", "InAddrErrors",    "ForwDatagrams",
      "InUnknownProtos", "InDiscards",   "InDelivers", "OutRequests", "RoutingDiscards", "OutDiscards",
      "OutNoRoutes",     "ReasmTimeout", "ReasmReqds", "ReasmOks",    "ReasmFails",      "FragOks",
      "FragFails",       "FragCreates",  "NumIf",      "NumAddr",     "NumRoutes"},
     false},
    {"Udp",
     kKindUdpStatistics,
     &FakeControl::udp,
     {u"UDP Statistics"},
     {"InDatagrams", "NoPorts", "InErrors", "OutDatagrams", "NumAddrs"},
     false},
    {"Tcp",
     kKindTcpStatistics,
     &FakeControl::tcp,
     {u"TCP Statistics"},
     {"RtoAlgorithm", "RtoMin", "RtoMax", "MaxConn", "ActiveOpens", "PassiveOpens", "AttemptFails", "EstabResets",
      "CurrEstab", "InSegs", "OutSegs", "RetransSegs", "InErrs", "OutRsts", "NumConns"},
     false},
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ReportFixture : public FakeReportFixture {
protected:
    // Every item, each root followed by its lines.
    std::vector<HTREEITEM> AllItems() {
        std::vector<HTREEITEM> out;
        for (HTREEITEM root : Children(TVI_ROOT)) {
            out.push_back(root);
            for (HTREEITEM line : Children(root)) out.push_back(line);
        }
        return out;
    }
};

class StatisticsReport : public ReportFixture, public ::testing::WithParamInterface<ReportCase> {
protected:
    FakeCounterScript& Script() { return fake_->*GetParam().script; }
    void Build() { ReportFixture::Build(GetParam().kind); }

    // The tree shows the case's roots, each with one line per label; counter
    // j of the record (counting on across the roots) shows fill + j * step.
    void ExpectReport(DWORD fill, DWORD step) {
        const ReportCase& c = GetParam();
        const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
        ASSERT_EQ(roots.size(), c.roots.size());
        EXPECT_EQ(tree_.ItemCount(), c.roots.size() * (1 + c.labels.size()));
        DWORD j = 0;
        for (std::size_t r = 0; r < roots.size(); ++r) {
            SCOPED_TRACE(r);
            EXPECT_EQ(tree_.Text(roots[r]), c.roots[r]);
            EXPECT_TRUE(tree_.IsBold(roots[r]));
            EXPECT_EQ(tree_.Image(roots[r]), kImageRoot);
            const std::vector<HTREEITEM> lines = Children(roots[r]);
            ASSERT_EQ(lines.size(), c.labels.size());
            for (std::size_t i = 0; i < lines.size(); ++i, ++j) {
                SCOPED_TRACE(c.labels[i]);
                EXPECT_EQ(tree_.Text(lines[i]), Line(c.labels[i], fill + j * step));
                EXPECT_EQ(tree_.Image(lines[i]), kImageValue);
                EXPECT_FALSE(tree_.IsBold(lines[i]));
                EXPECT_EQ(tree_.ChildCount(lines[i]), 0u);
            }
        }
    }
};

TEST_P(StatisticsReport, BuildShowsEveryCounterUnderExpandedBoldRoots) {
    Script().fill = 1000;
    Script().step = 1;  // each counter distinct, so that a line showing another's value shows
    Build();
    ExpectReport(1000, 1);
    for (HTREEITEM root : Children(TVI_ROOT)) EXPECT_TRUE(tree_.IsExpanded(root));

    // A second build replaces the items rather than adding to them.
    report_->BuildReport();
    ExpectReport(1000, 1);
}

TEST_P(StatisticsReport, CountersPrintAsSigned32BitNumbers) {
    for (DWORD fill : {0u, 7u, 123456u, 1234567u, 2147483647u, 2147483648u, 4294967294u, 4294967295u}) {
        SCOPED_TRACE(fill);
        Script().fill = fill;
        Build();
        ExpectReport(fill, 0);
    }
}

TEST_P(StatisticsReport, UpdatesRewriteTheSameItemsInPlace) {
    Script().fill = 1;
    Build();
    const std::vector<HTREEITEM> items = AllItems();
    const std::size_t count = tree_.ItemCount();

    for (DWORD round = 1; round <= 50; ++round) {
        Script().fill = round * 1000;
        Script().step = round % 2;
        report_->UpdateReport();
        ASSERT_EQ(tree_.ItemCount(), count) << round;
    }
    EXPECT_EQ(AllItems(), items);
    ExpectReport(50000, 0);

    Script().fill = 77;
    Script().step = 3;
    report_->UpdateReport();
    EXPECT_EQ(AllItems(), items);
    ExpectReport(77, 3);
}

TEST_P(StatisticsReport, UpdateKeepsOrRestoresTheExpansion) {
    Build();
    const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
    for (HTREEITEM root : roots) tree_.Collapse(root);
    for (int round = 0; round < 3; ++round) report_->UpdateReport();
    for (HTREEITEM root : roots) {
        SCOPED_TRACE(tree_.Print());
        EXPECT_EQ(tree_.IsExpanded(root), GetParam().updateExpandsRoots);
    }
}

TEST_P(StatisticsReport, FailedSnapshotKeepsTheLastValues) {
    Script().fill = 5;
    Build();
    Script().returnCode = ERROR_NOT_SUPPORTED;
    Script().fill = 6;
    report_->UpdateReport();
    ExpectReport(5, 0);

    Script().returnCode = NO_ERROR;
    report_->UpdateReport();
    ExpectReport(6, 0);
}

TEST_P(StatisticsReport, WithoutTheLibraryEveryCounterShowsZeroAndUpdatesChangeNothing) {
    setenv("TESSALINE_LIBRARY_PATH", FAKE_NONE_DIR, 1);
    Script().fill = 9;  // the provider is never reached
    Build();
    ExpectReport(0, 0);
    const std::vector<HTREEITEM> items = AllItems();
    const std::string printed = tree_.Print();
    for (int round = 0; round < 5; ++round) report_->UpdateReport();
    EXPECT_EQ(AllItems(), items);
    EXPECT_EQ(tree_.Print(), printed);
    EXPECT_EQ(Script().calls, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StatisticsReport, ::testing::ValuesIn(kReportCases),
                         [](const auto& param) { return std::string(param.param.name); });

// The column layout, spelt out.
TEST_F(ReportFixture, LinesKeepTheirColumns) {
    struct {
        int kind;
        DWORD fill;
        std::size_t root, line;
        std::u16string text;
    } cases[] = {
        {kKindIcmpStatistics, 0, 0, 0, u"Msgs            0     "},
        {kKindIcmpStatistics, 4294967295u, 1, 0, u"Msgs            -1    "},
        {kKindIcmpStatistics, 4294967295u, 1, 12, u"AddrMaskReps    -1    "},
        {kKindIpStatistics, 0, 0, 6, u"InUnknownProtos 0     "},
        {kKindIpStatistics, 0, 0, 10, u"RoutingDiscards 0     "},
        {kKindIpStatistics, 2147483648u, 0, 10, u"RoutingDiscards -2147483648"},
        {kKindUdpStatistics, 654321, 0, 4, u"NumAddrs        654321"},
        {kKindTcpStatistics, 12345678, 0, 3, u"MaxConn         12345678"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " " << c.fill);
        fake_->icmp.fill = fake_->ip.fill = fake_->udp.fill = fake_->tcp.fill = c.fill;
        Build(c.kind);
        const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
        ASSERT_LT(c.root, roots.size());
        const std::vector<HTREEITEM> lines = Children(roots[c.root]);
        ASSERT_LT(c.line, lines.size());
        EXPECT_EQ(tree_.Text(lines[c.line]), c.text);
    }
}

}  // namespace

namespace {

// The IPv6 counters: the IP record under "IPv6", then in and out ICMPv6
// messages (all, errors, and one line per message type the system counts,
// in type order), then the UDP record under "UDPv6".
TEST_F(ReportFixture, Ipv6CountersShowTheirFourRootsWithMessageTypesInTypeOrder) {
    fake_->ip6 = {NO_ERROR, 1000, 1, 0};
    fake_->icmp6 = {NO_ERROR, 5000, 1, 0};  // word w of MIB_ICMP_EX reads 5000 + w
    fake_->udp6 = {NO_ERROR, 9000, 1, 0};
    Build(kKindIp6Statistics);
    const std::vector<std::string> ipLabels = {
        "Forwarding",      "DefaultTTL",   "InReceives", "InHdrErrors", "InAddrErrors",    "ForwDatagrams",
        "InUnknownProtos", "InDiscards",   "InDelivers", "OutRequests", "RoutingDiscards", "OutDiscards",
        "OutNoRoutes",     "ReasmTimeout", "ReasmReqds", "ReasmOks",    "ReasmFails",      "FragOks",
        "FragFails",       "FragCreates",  "NumIf",      "NumAddr",     "NumRoutes"};
    const std::pair<unsigned, const char*> types[] = {
        {1, "DestUnreachs"},   {2, "PktTooBigs"},     {3, "TimeExcds"},    {4, "ParmProblems"}, {128, "Echos"},
        {129, "EchoReplies"},  {130, "MldQueries"},   {131, "MldReports"}, {132, "MldDones"},   {133, "RouterSolicits"},
        {134, "RouterAdverts"}, {135, "NeighSolicits"}, {136, "NeighAdverts"}, {137, "Redirects"}, {143, "Mldv2Reports"}};
    const auto icmp = [&types](DWORD base) {
        std::vector<std::u16string> lines = {Line("Msgs", base), Line("Errors", base + 1)};
        for (const auto& [type, label] : types) lines.push_back(Line(label, base + 2 + type));
        return lines;
    };
    std::vector<std::u16string> ip, udp;
    for (DWORD i = 0; i < ipLabels.size(); ++i) ip.push_back(Line(ipLabels[i], 1000 + i));
    const char* udpLabels[] = {"InDatagrams", "NoPorts", "InErrors", "OutDatagrams", "NumAddrs"};
    for (DWORD i = 0; i < 5; ++i) udp.push_back(Line(udpLabels[i], 9000 + i));
    const std::vector<std::pair<std::u16string, std::vector<std::u16string>>> expected = {
        {u"IPv6", ip}, {u"ICMPv6 In", icmp(5000)}, {u"ICMPv6 Out", icmp(5000 + 258)}, {u"UDPv6", udp}};

    const auto check = [&] {
        const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
        ASSERT_EQ(roots.size(), expected.size());
        for (std::size_t r = 0; r < roots.size(); ++r) {
            EXPECT_EQ(tree_.Text(roots[r]), expected[r].first);
            EXPECT_TRUE(tree_.IsBold(roots[r]));
            EXPECT_TRUE(tree_.IsExpanded(roots[r]));
            std::vector<std::u16string> lines;
            for (HTREEITEM line : Children(roots[r])) lines.push_back(tree_.Text(line));
            EXPECT_EQ(lines, expected[r].second) << r;
        }
    };
    check();
    EXPECT_FALSE(report_->SnapshotFailed());

    // An update rewrites the same items.
    const std::vector<HTREEITEM> before = AllItems();
    fake_->ip6.fill = fake_->icmp6.fill = fake_->udp6.fill = 0;
    report_->UpdateReport();
    EXPECT_EQ(AllItems(), before);
    EXPECT_EQ(tree_.Text(Children(Children(TVI_ROOT)[1])[0]), Line("Msgs", 0));
}

// Without IPv6 (any of the three calls refused) or without the library,
// the four roots stand alone and the report says it has no data.
TEST_F(ReportFixture, Ipv6CountersWithoutDataShowTheRootsAlone) {
    for (FakeCounterScript FakeControl::*refused : {&FakeControl::ip6, &FakeControl::icmp6, &FakeControl::udp6}) {
        *fake_ = FakeControl{};
        (fake_->*refused).returnCode = ERROR_INVALID_DATA;
        Build(kKindIp6Statistics);
        EXPECT_EQ(Dump(), (std::vector<std::string>{"0B+ IPv6", "0B+ ICMPv6 In", "0B+ ICMPv6 Out", "0B+ UDPv6"}));
        EXPECT_TRUE(report_->SnapshotFailed());
    }
    // A machine without IPv6: the roots alone, and no failure.
    *fake_ = FakeControl{};
    fake_->ip6.returnCode = fake_->icmp6.returnCode = fake_->udp6.returnCode = ERROR_NOT_SUPPORTED;
    Build(kKindIp6Statistics);
    EXPECT_EQ(tree_.ItemCount(), 4u);
    EXPECT_FALSE(report_->SnapshotFailed());

    setenv("TESSALINE_LIBRARY_PATH", FAKE_NONE_DIR, 1);  // no library at all
    iphelper_testing::ResetProcessState();
    Build(kKindIp6Statistics);
    EXPECT_EQ(tree_.ItemCount(), 4u);
    EXPECT_TRUE(report_->SnapshotFailed());
}

}  // namespace
