#include <arpa/inet.h>
// The command line in process: the parser on argument lists, and the exit
// status and messages of --print against a scripted provider and Winsock.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
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

Printed Print(const std::vector<int>& kinds, bool details = false) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    Printed p;
    p.status = PrintReports(kinds, out, err, details);
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

}  // namespace
