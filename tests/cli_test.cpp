// The program as a user runs it from a shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ChildOutput.h"

namespace {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs the program with `args`; `env` entries set a variable, or unset it
// when the value is nullopt.  Ended by its pid after 30 s at most.
Result RunTessaline(const std::vector<std::string>& args,
                    const std::map<std::string, std::optional<std::string>>& env = {}) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (const auto& [name, value] : env) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::vector<char*> argv{const_cast<char*>(TESSALINE_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(TESSALINE_BIN, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    Result r;
    r.status = CollectOutput(pid, outPipe[0], errPipe[0], r.out, r.err, std::chrono::seconds(30));
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Ip counters of /proc/net/snmp by header name.
std::map<std::string, long long> ReadIpCounters() {
    std::ifstream in("/proc/net/snmp");
    std::string header, values;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Ip: ", 0) != 0) continue;
        if (header.empty())
            header = line;
        else
            values = line;
    }
    std::map<std::string, long long> out;
    std::istringstream h(header.substr(4)), v(values.substr(4));
    std::string name;
    long long value = 0;
    while (h >> name && v >> value) out[name] = value;
    return out;
}

TEST(CommandLine, HelpAndVersion) {
    Result version = RunTessaline({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Tessaline 2.1\n");
    Result help = RunTessaline({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--print KIND"), std::string::npos);
}

TEST(CommandLine, BadArgumentsExitTwoWithAMessage) {
    const std::vector<std::vector<std::string>> cases = {{"--print"}, {"--print", "nope"},           {"--print", "11x"},
                                                         {"--bogus"}, {"--print", "ip", "file.tsl"}, {"a.tsl", "b.tsl"}};
    for (const auto& args : cases) {
        Result r = RunTessaline(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_TRUE(r.out.empty()) << args.back();
        EXPECT_NE(r.err.find("tessaline: "), std::string::npos) << args.back();
    }
}

TEST(CommandLine, ProtocolsListTcpAndUdpTheSameOnEveryRun) {
    const Result byName = RunTessaline({"--print", "protocols"});
    const Result byNumber = RunTessaline({"--print", "17"});
    ASSERT_EQ(byName.status, 0);
    EXPECT_EQ(byName.out, byNumber.out);
    const std::vector<std::string> lines = Lines(byName.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Protocol List");
    // TCP/IP with its five service flags and protocol 0's mark.
    const auto tcp = std::find(lines.begin(), lines.end(), "  TCP/IP");
    ASSERT_NE(tcp, lines.end());
    ASSERT_GE(lines.end() - tcp, 16);
    EXPECT_EQ(std::vector<std::string>(tcp + 1, tcp + 16),
              (std::vector<std::string>{"    ProviderGUID: {6d1a4e21-3c57-4b9e-9a41-570e2b8611c4}", "    Family: AF_INET",
                                        "    ServiceFlags1: 0x00020066", "      GUARANTEED_DELIVERY",
                                        "      GUARANTEED_ORDER", "      GRACEFUL_CLOSE", "      EXPEDITED_DATA",
                                        "      IFS_HANDLES", "    ServiceProviderFlags: 0x00000008",
                                        "      MATCHES_PROTOCOL_ZERO", "    BIGENDIAN", "    SecurityScheme: NONE",
                                        "    ProtocolID: 6", "    SocketType: 1", "    MaxMessageSize: 0"}));
    const auto udp = std::find(lines.begin(), lines.end(), "  UDP/IP");
    ASSERT_NE(udp, lines.end());
    ASSERT_GE(lines.end() - udp, 4);
    EXPECT_EQ(udp[3], "    ServiceFlags1: 0x00020609");
}

TEST(CommandLine, StatisticsByNameAndNumberInTheExactFormat) {
    struct Case {
        std::string name, number, root;
        std::size_t lines;
    };
    const Case cases[] = {{"icmp", "10", "ICMP In Statistics", 28},
                          {"ip", "11", "IP Statistics", 24},
                          {"udp-stats", "12", "UDP Statistics", 6},
                          {"tcp-stats", "13", "TCP Statistics", 16}};
    for (const Case& c : cases) {
        Result byName = RunTessaline({"--print", c.name});
        Result byNumber = RunTessaline({"--print", c.number});
        ASSERT_EQ(byName.status, 0) << c.name << byName.err;
        ASSERT_EQ(byNumber.status, 0) << c.number;
        const std::vector<std::string> lines = Lines(byName.out);
        ASSERT_EQ(lines.size(), c.lines) << c.name;
        ASSERT_EQ(Lines(byNumber.out).size(), c.lines) << c.number;
        EXPECT_EQ(lines[0], c.root);
        for (const std::string& line : lines) {
            if (line.rfind("  ", 0) != 0) continue;
            // Two blanks of indent, the label in 15 columns, a blank, the value
            // left-aligned in at least 6.
            ASSERT_GE(line.size(), 2u + 15 + 1 + 6) << line;
            EXPECT_NE(line[2], ' ') << line;
            EXPECT_EQ(line[17], ' ') << line;
            EXPECT_NE(line[18], ' ') << line;
        }
    }
}

TEST(CommandLine, IpCountersMatchTheKernelsAndOnlyMoveForward) {
    const std::map<std::string, long long> before = ReadIpCounters();
    Result r = RunTessaline({"--print", "ip"});
    const std::map<std::string, long long> after = ReadIpCounters();
    ASSERT_EQ(r.status, 0);
    const std::map<std::string, std::string> names = {{"Forwarding", "Forwarding"},   {"DefaultTTL", "DefaultTTL"},
                                                      {"InReceives", "InReceives"},   {"InDelivers", "InDelivers"},
                                                      {"OutRequests", "OutRequests"}, {"ReasmOks", "ReasmOKs"},
                                                      {"FragOks", "FragOKs"},         {"InDiscards", "InDiscards"}};
    int checked = 0;
    for (const std::string& line : Lines(r.out)) {
        if (line.size() < 18) continue;
        std::string label = line.substr(2, 15);
        label.erase(label.find_last_not_of(' ') + 1);
        const auto it = names.find(label);
        if (it == names.end()) continue;
        const long long shown = std::stoll(line.substr(18));
        const long long low = before.at(it->second) & 0xffffffff, high = after.at(it->second) & 0xffffffff;
        EXPECT_GE(shown, low) << label;
        EXPECT_LE(shown, high) << label;
        ++checked;
    }
    EXPECT_EQ(checked, static_cast<int>(names.size()));
}

TEST(CommandLine, KindsWithoutAReportOfTheirOwnPrintTheNetworkConfiguration) {
    const Result network = RunTessaline({"--print", "network"});
    ASSERT_EQ(network.status, 0);
    EXPECT_EQ(Lines(network.out).at(0), "Network Configuration");
    for (const std::string kind : {"14", "20", "-1", "2147483647"}) {
        const Result r = RunTessaline({"--print", kind});
        EXPECT_EQ(r.status, 0) << kind;
        EXPECT_EQ(r.out, network.out) << kind;
    }
}

TEST(CommandLine, AllPrintsTheAvailableReportsWithBlankLinesBetween) {
    Result r = RunTessaline({"--print", "all"});
    ASSERT_EQ(r.status, 0);
    const std::vector<std::string> lines = Lines(r.out);
    std::vector<std::string> roots;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!lines[i].empty() && lines[i][0] != ' ') roots.push_back(lines[i]);
    EXPECT_EQ(roots,
              (std::vector<std::string>{"ICMP In Statistics", "ICMP Out Statistics", "IP Statistics", "UDP Statistics",
                                        "TCP Statistics", "Network Configuration", "Adapter List",
                                        "Interface List", "Protocol List", "UDP Connections", "TCP Connections"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ""), 9);
}

TEST(CommandLine, InterfacesAndAdaptersByNameAndNumber) {
    for (const auto& [name, number, root] : {std::tuple{"interfaces", "16", "Interface List"},
                                             std::tuple{"adapters", "15", "Adapter List"}}) {
        const Result byName = RunTessaline({"--print", name});
        const Result byNumber = RunTessaline({"--print", number});
        ASSERT_EQ(byName.status, 0) << name;
        ASSERT_EQ(byNumber.status, 0) << number;
        EXPECT_EQ(Lines(byName.out).front(), root);
        // Counters may move between two runs; the items do not.
        EXPECT_EQ(Lines(byName.out).size(), Lines(byNumber.out).size()) << name;
    }
    // Every link of this machine, loopback included, is an interface.
    const std::vector<std::string> lines = Lines(RunTessaline({"--print", "interfaces"}).out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "    Type: LOOPBACK"), lines.end());
}

TEST(CommandLine, MissingProviderPrintsZeros) {
    char dir[] = "/tmp/tessaline-empty-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    Result r = RunTessaline({"--print", "udp-stats"}, {{"TESSALINE_LIBRARY_PATH", std::string(dir)}});
    rmdir(dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "UDP Statistics\n"
              "  InDatagrams     0     \n"
              "  NoPorts         0     \n"
              "  InErrors        0     \n"
              "  OutDatagrams    0     \n"
              "  NumAddrs        0     \n");
}

TEST(CommandLine, WindowWithoutADisplayExitsOneWithAMessage) {
    const std::vector<std::map<std::string, std::optional<std::string>>> cases = {
        {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}},
        // A display that nothing serves.
        {{"DISPLAY", ":87"}, {"QT_QPA_PLATFORM", std::nullopt}},
    };
    for (const auto& env : cases) {
        Result r = RunTessaline({}, env);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("display"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--print all"), std::string::npos) << r.err;
    }
}

}  // namespace
