#include <arpa/inet.h>
// The command line in process: the parser on argument lists, and the exit
// status and messages of --print against a scripted provider and Winsock.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ConnectionLog.h"
#include "SocketMonitor.h"
#include "FakeReportFixture.h"
#include "FakeWinsock.h"

namespace {

using Action = CommandLine::Action;

std::string Joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) text += "[" + a + "]";
    return text;
}

TEST(CommandLineParser, ArgumentListsAndWhatTheyAskFor) {
    struct Case {
        std::vector<std::string> args;
        Action action;
        std::optional<std::string> file;
        std::vector<int> kinds;
        std::string error;  // part of the message, for Error
    };
    const std::vector<int> all{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};
    const Case cases[] = {
        {{}, Action::Window, std::nullopt, {}, ""},
        {{"a.tsl"}, Action::Window, "a.tsl", {}, ""},
        {{"-"}, Action::Window, "-", {}, ""},  // a lone dash is a name
        {{"caf\xe9 \xff\xfe.tsl"}, Action::Window, "caf\xe9 \xff\xfe.tsl", {}, ""},
        // "--" ends the options: whatever follows is the file.
        {{"--", "-x"}, Action::Window, "-x", {}, ""},
        {{"--", "--print"}, Action::Window, "--print", {}, ""},
        {{"--", "--help"}, Action::Window, "--help", {}, ""},
        {{"--", "--"}, Action::Window, "--", {}, ""},
        {{"--", ""}, Action::Window, "", {}, ""},  // named, if by nothing
        {{"x.tsl", "--"}, Action::Window, "x.tsl", {}, ""},
        {{"--"}, Action::Window, std::nullopt, {}, ""},
        {{"--print", "ip", "--"}, Action::Print, std::nullopt, {11}, ""},
        {{"--print", "all"}, Action::Print, std::nullopt, all, ""},
        {{"--print", "tcp", "--print", "7"}, Action::Print, std::nullopt, {19, 7}, ""},
        {{"--help", "--", "x"}, Action::Help, std::nullopt, {}, ""},
        {{"-h"}, Action::Help, std::nullopt, {}, ""},
        {{"--version", "x"}, Action::Version, std::nullopt, {}, ""},
        {{"--", "a", "b"}, Action::Error, std::nullopt, {}, "more than one file"},
        {{"--", "x", "--print", "ip"}, Action::Error, std::nullopt, {}, "more than one file"},
        {{"-x"}, Action::Error, std::nullopt, {}, "unknown option '-x'"},
        {{"a.tsl", "-x"}, Action::Error, std::nullopt, {}, "unknown option '-x'"},
        {{"--print", "ip", "--", "x"}, Action::Error, std::nullopt, {}, "--print takes no file"},
        {{"--print", "--"}, Action::Error, std::nullopt, {}, "unknown report kind '--'"},
        {{"--print"}, Action::Error, std::nullopt, {}, "--print needs a report kind"},
        {{"--print", "log"}, Action::Print, std::nullopt, {23}, ""},
        {{"--print", "processes", "--print", "listening"}, Action::Print, std::nullopt, {24, 25}, ""},
        {{"--details", "--print", "tcp"}, Action::Print, std::nullopt, {19}, ""},
        {{"--details"}, Action::Error, std::nullopt, {}, "--details goes with --print"},
        {{"--watch", "--details"}, Action::Error, std::nullopt, {}, "--details goes with --print"},
        {{"--print", "ip", "--format", "openmetrics"}, Action::Print, std::nullopt, {11}, ""},
        {{"--format", "csv", "--print", "tcp"}, Action::Print, std::nullopt, {19}, ""},
        {{"--print", "ip", "--format"}, Action::Error, std::nullopt, {}, "--format needs text, json, csv or openmetrics"},
        {{"--print", "ip", "--format", "xml"}, Action::Error, std::nullopt, {},
         "--format takes text, json, csv or openmetrics, not 'xml'"},
        {{"--format", "json"}, Action::Error, std::nullopt, {}, "--format goes with --print"},
        {{"--print", "tcp", "--details", "--format", "json"}, Action::Error, std::nullopt, {},
         "--details goes with the text format"},
        // --watch takes one socket table, or watches all four.
        {{"--watch"}, Action::Watch, std::nullopt, {}, ""},
        {{"--watch", "tcp6"}, Action::Watch, std::nullopt, {}, ""},
        {{"--watch", "--"}, Action::Watch, std::nullopt, {}, ""},
        {{"--watch", "ip"}, Action::Error, std::nullopt, {}, "--watch takes tcp, udp, tcp6 or udp6, not 'ip'"},
        {{"--watch", "tcp", "x"}, Action::Error, std::nullopt, {}, "--watch takes no file"},
        // An option that would replace one given before is refused.
        {{"--print", "tcp", "--watch"}, Action::Error, std::nullopt, {}, "--print and --watch cannot be used together"},
        {{"--watch", "udp", "--print", "tcp"}, Action::Error, std::nullopt, {},
         "--print and --watch cannot be used together"},
        {{"--watch", "tcp", "--watch", "udp"}, Action::Error, std::nullopt, {}, "--watch given twice"},
        {{"--remote", "a", "--print", "ip", "--remote", "b"}, Action::Error, std::nullopt, {},
         "--remote given twice: one host at a time"},
        {{"--remote", "a", "--remote", "a"}, Action::Error, std::nullopt, {}, "--remote given twice"},
        {{"--remote", "user@a", "--print", "ip"}, Action::Print, std::nullopt, {11}, ""},
        // --filter goes with --print or --watch; a bad expression is said
        // by its reason and column alone.
        {{"--print", "tcp", "--filter", "port:80"}, Action::Print, std::nullopt, {19}, ""},
        {{"--filter", "", "--print", "all"}, Action::Print, std::nullopt, all, ""},
        {{"--watch", "--filter", "-state:listen"}, Action::Watch, std::nullopt, {}, ""},
        {{"--filter", "port:80"}, Action::Error, std::nullopt, {}, "--filter goes with --print or --watch"},
        {{"--filter", "port:80", "a.tsl"}, Action::Error, std::nullopt, {}, "--filter goes with --print or --watch"},
        {{"--print", "tcp", "--filter"}, Action::Error, std::nullopt, {}, "--filter needs an expression"},
        {{"--print", "tcp", "--filter", "a", "--filter", "b"}, Action::Error, std::nullopt, {}, "--filter given twice"},
        {{"--print", "tcp", "--filter", "port:80 or"}, Action::Error, std::nullopt, {},
         "filter: 'or' without a term after it at column 9"},
    };
    for (const Case& c : cases) {
        const CommandLine cl = ParseCommandLine(c.args);
        EXPECT_EQ(cl.action, c.action) << Joined(c.args) << " " << cl.error;
        if (c.action == Action::Error) {
            EXPECT_NE(cl.error.find(c.error), std::string::npos) << Joined(c.args) << " " << cl.error;
            continue;
        }
        EXPECT_EQ(cl.file, c.file) << Joined(c.args);
        EXPECT_EQ(cl.kinds, c.kinds) << Joined(c.args);
    }
    EXPECT_EQ(ParseCommandLine({"--watch"}).watchTables, sockets::kAllTables);
    EXPECT_EQ(ParseCommandLine({"--watch", "udp"}).watchTables, sockets::TableBit(sockets::Table::Udp));
    EXPECT_TRUE(ParseCommandLine({"--print", "tcp", "--details"}).details);
    EXPECT_FALSE(ParseCommandLine({"--print", "tcp"}).details);
    EXPECT_EQ(ParseCommandLine({"--print", "tcp"}).format, CommandLine::Format::Text);
    EXPECT_EQ(ParseCommandLine({"--print", "tcp", "--format", "json"}).format, CommandLine::Format::Json);
    EXPECT_EQ(ParseCommandLine({"--print", "tcp", "--format", "text"}).format, CommandLine::Format::Text);
    EXPECT_EQ(ParseCommandLine({"--print", "tcp"}).filter, nullptr);
    const CommandLine filtered = ParseCommandLine({"--print", "tcp", "--filter", "lport:80 -state:listen"});
    ASSERT_NE(filtered.filter, nullptr);
    EXPECT_EQ(filtered.filter->Text(), "lport:80 -state:listen");
    EXPECT_TRUE(ParseCommandLine({"--bogus"}).offerHelp);
    EXPECT_FALSE(ParseCommandLine({"--print", "tcp", "--filter", "(x"}).offerHelp);
    EXPECT_EQ(ParseCommandLine({"--print", "tcp", "--filter", "(x"}).error,
              "filter: unbalanced parenthesis: '(' is not closed at column 1");
}

// What PrintReports wrote on its two streams, and its status.
struct Printed {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Contents(std::FILE* file) {
    std::string text;
    if (file == nullptr) return text;
    std::rewind(file);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    return text;
}

Printed Print(const std::vector<int>& kinds, bool details = false, const char* filter = nullptr) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    Printed p;
    p.status = PrintReports(kinds, out, err, details, filter ? sockets::ParseFilter(filter, nullptr) : nullptr);
    p.out = Contents(out);
    p.err = Contents(err);
    return p;
}

std::string NoData(const char* name) {
    return std::string("tessaline: no data for the ") + name + " report: the snapshot failed\n";
}

class ReportStatus : public FakeReportFixture {
protected:
    void SetUp() override {
        FakeReportFixture::SetUp();
        FakeWinsock() = FakeWinsockScript{};
    }
};

// A snapshot that failed, of each kind, and answers that are no failure.
TEST_F(ReportStatus, EachReportTellsWhetherItsSnapshotFailed) {
    using Script = std::function<void(FakeControl&, FakeWinsockScript&)>;
    struct Case {
        const char* what;
        Script script;
        int kind;
        const char* failed;  // the report named on stderr; null when none
    };
    const Case cases[] = {
        {"ICMP counters", [](FakeControl& f, auto&) { f.icmp.returnCode = ERROR_NOT_SUPPORTED; }, 10, "icmp"},
        {"IP counters", [](FakeControl& f, auto&) { f.ip.returnCode = ERROR_NOT_SUPPORTED; }, 11, "ip"},
        {"UDP counters", [](FakeControl& f, auto&) { f.udp.returnCode = ERROR_INVALID_PARAMETER; }, 12, "udp-stats"},
        {"TCP counters", [](FakeControl& f, auto&) { f.tcp.returnCode = ERROR_NOT_SUPPORTED; }, 13, "tcp-stats"},
        {"network parameters", [](FakeControl& f, auto&) { f.networkParams.forcedCode = ERROR_NOT_SUPPORTED; }, 14,
         "network"},
        {"a kind without a report of its own",
         [](FakeControl& f, auto&) { f.networkParams.forcedCode = ERROR_NOT_SUPPORTED; }, 26, "network"},
        {"adapter list", [](FakeControl& f, auto&) { f.adapters.forcedCode = ERROR_NOT_SUPPORTED; }, 15, "adapters"},
        {"interface table", [](FakeControl& f, auto&) { f.interfaces.forcedCode = ERROR_NOT_SUPPORTED; }, 16,
         "interfaces"},
        // Grown once to the size asked for, and still too small at the
        // second call: there is no third.
        {"interface table outgrowing its buffer",
         [](FakeControl& f, auto&) {
             f.interfaces.rows[0] = 1;
             f.interfaces.rows[1] = 5;
             f.interfaces.rowSteps = 2;
         },
         16, "interfaces"},
        {"protocol catalog", [](auto&, FakeWinsockScript& w) { w.forcedError = WSASYSNOTREADY; }, 17, "protocols"},
        {"UDP table", [](FakeControl& f, auto&) { f.udpTable.forcedCode = ERROR_NOT_SUPPORTED; }, 18, "udp"},
        {"TCP table", [](FakeControl& f, auto&) { f.tcpTable.forcedCode = ERROR_NOT_SUPPORTED; }, 19, "tcp"},
        {"UDPv6 table", [](FakeControl& f, auto&) { f.udp6Table.forcedCode = ERROR_INVALID_DATA; }, 20, "udp6"},
        {"TCPv6 table", [](FakeControl& f, auto&) { f.tcp6Table.forcedCode = ERROR_INVALID_DATA; }, 21, "tcp6"},
        {"ICMPv6 counters", [](FakeControl& f, auto&) { f.icmp6.returnCode = ERROR_INVALID_DATA; }, 22, "ip6"},
        {"one IPv6 counter call not supported", [](FakeControl& f, auto&) { f.icmp6.returnCode = ERROR_NOT_SUPPORTED; },
         22, "ip6"},
        {"no IPv6 socket", [](FakeControl&, auto&) {}, 21, nullptr},
        // A machine without IPv6: its tables and counters are not supported,
        // which is no data rather than a failure.
        {"no IPv6: UDPv6", [](FakeControl& f, auto&) { f.udp6Table.forcedCode = ERROR_NOT_SUPPORTED; }, 20, nullptr},
        {"no IPv6: TCPv6", [](FakeControl& f, auto&) { f.tcp6Table.forcedCode = ERROR_NOT_SUPPORTED; }, 21, nullptr},
        {"no IPv6: counters",
         [](FakeControl& f, auto&) { f.ip6.returnCode = f.icmp6.returnCode = f.udp6.returnCode = ERROR_NOT_SUPPORTED; },
         22, nullptr},
        // Answers that are data: no adapter at all (ERROR_NO_DATA), empty
        // tables, an empty catalog.
        {"no adapter", [](FakeControl&, auto&) {}, 15, nullptr},
        {"no socket", [](FakeControl&, auto&) {}, 19, nullptr},
        {"no interface", [](FakeControl&, auto&) {}, 16, nullptr},
        {"no protocol", [](auto&, FakeWinsockScript& w) { w.entries = {0}; }, 17, nullptr},
    };
    for (const Case& c : cases) {
        *fake_ = FakeControl{};
        FakeWinsock() = FakeWinsockScript{};
        c.script(*fake_, FakeWinsock());
        const Printed p = Print({c.kind});
        EXPECT_EQ(p.status, c.failed != nullptr ? 3 : 0) << c.what;
        EXPECT_EQ(p.err, c.failed != nullptr ? NoData(c.failed) : std::string()) << c.what;
        EXPECT_FALSE(p.out.empty()) << c.what;  // the report is printed all the same
    }
}

TEST_F(ReportStatus, EveryFailedReportHasItsLineInKindOrder) {
    const std::vector<int> all{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};
    const Printed fine = Print(all);
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.err, "");

    fake_->ip.returnCode = ERROR_NOT_SUPPORTED;
    fake_->tcpTable.forcedCode = ERROR_NOT_SUPPORTED;
    const Printed failing = Print(all);
    EXPECT_EQ(failing.status, 3);
    EXPECT_EQ(failing.err, NoData("ip") + NoData("tcp"));

    // Output that cannot be written is the worse failure.
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::FILE* err = std::tmpfile();
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(PrintReports({11}, full, err), 1);
    std::fclose(full);
    EXPECT_EQ(Contents(err), NoData("ip"));
}

// --details puts the detail lines under each socket line, and only there;
// a UDP socket's traffic is not counted, never 0.
TEST_F(ReportStatus, DetailsGoUnderEachSocketLine) {
    fake_->udpRowCount = fake_->udpTable.rows[0] = 1;
    fake_->udpRows[0] = MIB_UDPROW_OWNER_PID{0x0100007F, htons(5353), 0};
    const Printed plain = Print({18, 11});
    const Printed detailed = Print({18, 11}, true);
    ASSERT_EQ(detailed.status, 0) << detailed.err;
    EXPECT_EQ(plain.out.find("\n    "), std::string::npos) << "no third level without --details";
    const std::string expected = "UDP Connections\n"
                                 "  IP:: 127.000.000.001:5353  [ PID     0 : NT Kernel & System ]\n"
                                 "    Owner not visible to this user\n"
                                 "    Traffic: not counted for UDP\n";
    EXPECT_EQ(detailed.out.substr(0, expected.size()), expected);
    // The other reports print as they always do.
    EXPECT_EQ(detailed.out.substr(expected.size()), plain.out.substr(plain.out.find("\n\n") + 1));
}

// With a filter, the socket-like reports keep the lines that match, as
// they are, with their own detail lines; the other reports are as without;
// the records of the formats are those of the lines kept.
TEST_F(ReportStatus, FilterKeepsTheMatchingLinesAndTheirRecords) {
    const DWORD loopback = htonl(INADDR_LOOPBACK);
    const DWORD self = static_cast<DWORD>(getpid());
    const auto port = [](unsigned p) { return static_cast<DWORD>(htons(static_cast<std::uint16_t>(p))); };
    const MIB_TCPROW_OWNER_PID tcp[] = {
        {2, loopback, port(7070), 0, 0, self},                            // LISTENING
        {5, loopback, port(7070), loopback, port(50000), self},           // ESTABLISHED
        {5, loopback, port(50000), loopback, port(7070), self},           // ESTABLISHED
        {11, loopback, port(50001), loopback, port(7070), 0},             // TIME_WAIT
        {5, loopback, port(8080), loopback, port(50002), 4000000000u},    // an owner not found
    };
    fake_->tcpRowCount = fake_->tcpTable.rows[0] = std::size(tcp);
    std::copy(std::begin(tcp), std::end(tcp), fake_->tcpRows);
    fake_->udpRowCount = fake_->udpTable.rows[0] = 1;
    fake_->udpRows[0] = MIB_UDPROW_OWNER_PID{loopback, port(5353), self};

    const Printed all = Print({11, 19});
    const Printed kept = Print({11, 19}, false, "lport:7070");
    ASSERT_EQ(kept.status, 0) << kept.err;
    // The IP counters as they were; of the TCP lines, those of local port
    // 7070, in their order.
    const std::size_t blank = all.out.find("\n\n");
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(kept.out.substr(0, blank + 2), all.out.substr(0, blank + 2));
    std::string expected = "TCP Connections\n";
    for (std::size_t at = all.out.find('\n', blank + 2) + 1; at < all.out.size();) {
        const std::size_t end = all.out.find('\n', at);
        const std::string line = all.out.substr(at, end - at + 1);
        if (line.rfind("  127.000.000.001:7070 ", 0) == 0) expected += line;
        at = end + 1;
    }
    EXPECT_EQ(kept.out.substr(blank + 2), expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 3);

    // A filter on the owner's user gathers the owners' details for it.
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    const std::string byUser = "user:" + std::string(account->pw_name);
    const Printed owned = Print({19}, false, byUser.c_str());
    EXPECT_EQ(std::count(owned.out.begin(), owned.out.end(), '\n'), 4) << owned.out;  // the root line and three
    EXPECT_EQ(owned.out.find("TIME_WAIT"), std::string::npos) << owned.out;

    // Each line kept has its own detail lines, as without the filter.
    const auto blocks = [](const std::string& text) {
        std::vector<std::string> out;  // a socket line and its detail lines
        for (std::size_t at = text.find('\n') + 1; at < text.size();) {
            const std::size_t end = text.find('\n', at);
            const std::string line = text.substr(at, end - at + 1);
            if (line.rfind("    ", 0) != 0 || out.empty()) out.push_back(line);
            else out.back() += line;
            at = end + 1;
        }
        return out;
    };
    const Printed detailed = Print({19}, true, "state:time-wait or lport:8080");
    ASSERT_EQ(detailed.status, 0) << detailed.err;
    std::vector<std::string> expectedBlocks;
    for (const std::string& block : blocks(Print({19}, true).out))
        if (block.find("TIME_WAIT") != std::string::npos || block.rfind("  127.000.000.001:8080 ", 0) == 0)
            expectedBlocks.push_back(block);
    EXPECT_EQ(blocks(detailed.out), expectedBlocks);
    ASSERT_EQ(expectedBlocks.size(), 2u);
    EXPECT_NE(expectedBlocks[0].find("\n    "), std::string::npos) << "detail lines under each line";

    // The other socket-like reports.
    char label[32];
    std::snprintf(label, sizeof label, "PID %5u", static_cast<unsigned>(self));
    const Printed udp = Print({18}, false, "lport:5353");
    EXPECT_NE(udp.out.find(":5353"), std::string::npos);
    EXPECT_EQ(Print({18}, false, "lport:53").out, "UDP Connections\n");
    const std::string ownPid = "pid:" + std::to_string(self);
    const Printed processes = Print({24}, false, ownPid.c_str());
    EXPECT_EQ(std::count(processes.out.begin(), processes.out.end(), '\n'), 2) << processes.out;
    EXPECT_NE(processes.out.find(label), std::string::npos) << processes.out;
    EXPECT_EQ(Print({24}, false, "pid:1-2").out, "Processes\n");
    const Printed listening = Print({25}, false, "proto:udp");
    EXPECT_EQ(std::count(listening.out.begin(), listening.out.end(), '\n'), 2) << listening.out;
    EXPECT_EQ(listening.out.rfind("Listening Ports\n  UDP ", 0), 0u) << listening.out;

    // The records: those of the lines kept, in every format.
    const auto records = [](CommandLine::Format format, const char* filter, int kind = 19) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        EXPECT_EQ(PrintRecords({kind}, format, out, err, sockets::ParseFilter(filter, nullptr)), 0);
        std::fclose(err);
        return Contents(out);
    };
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    const std::string json = records(CommandLine::Format::Json, "state:established");
    EXPECT_EQ(count(json, "\"local_address\""), 3u) << json;
    EXPECT_EQ(count(json, "\"state\":\"ESTABLISHED\""), 3u) << json;
    EXPECT_EQ(count(records(CommandLine::Format::Json, ""), "\"local_address\""), 5u);
    EXPECT_EQ(count(records(CommandLine::Format::Csv, "rport:7070"), "\n"), 3u);  // the header and two rows
    EXPECT_EQ(count(records(CommandLine::Format::OpenMetrics, "state:time-wait"), "state=\"TIME_WAIT\"} 1"), 1u);
    EXPECT_EQ(count(records(CommandLine::Format::OpenMetrics, "state:time-wait"), "state=\"ESTABLISHED\""), 0u);
    EXPECT_EQ(count(records(CommandLine::Format::Json, "proto:udp", 25), "\"protocol\":\"udp\""), 1u);
    EXPECT_EQ(count(records(CommandLine::Format::Json, "proto:udp", 25), "\"protocol\":\"tcp\""), 0u);
    EXPECT_EQ(count(records(CommandLine::Format::Json, "pid:1-2", 24), "\"pid\""), 0u);
    // The log: its events that match, as lines and as records.
    sockets::ConnectionLog& log = sockets::ProcessConnectionLog();
    log.Clear();
    const auto event = [](sockets::Event::What what, const char* protocol, const char* local, const char* remote) {
        sockets::Event e;
        e.timeMs = 1700000000000;
        e.what = what;
        e.protocol = protocol;
        e.local = local;
        e.remote = remote;
        e.owner = "PID     7 : resolver";
        e.pid = 7;
        e.process = "resolver";
        return e;
    };
    log.Add(event(sockets::Event::What::Opened, "TCP", "127.0.0.1:40000", "127.0.0.1:80"));
    log.Add(event(sockets::Event::What::Opened, "UDP", "127.0.0.1:53", ""));
    log.Add(event(sockets::Event::What::Closed, "TCP", "127.0.0.1:40000", "127.0.0.1:80"));
    const Printed logged = Print({23}, false, "proto:udp or state:closed");
    EXPECT_EQ(logged.out, "Connection Log\n  " + sockets::EventLine(log.Events()[1]) + "\n  " +
                              sockets::EventLine(log.Events()[2]) + "\n");
    const std::string logJson = records(CommandLine::Format::Json, "rport:80 -state:closed", 23);
    EXPECT_EQ(count(logJson, "\"event\":"), 1u) << logJson;
    EXPECT_EQ(count(logJson, "\"event\":\"opened\",\"protocol\":\"TCP\""), 1u) << logJson;
    log.Clear();

    // Reports the filter does not apply to keep every record.
    EXPECT_EQ(records(CommandLine::Format::Csv, "pid:1-2", 16), records(CommandLine::Format::Csv, "", 16));
}

}  // namespace
