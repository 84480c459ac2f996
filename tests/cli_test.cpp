// The program as a user runs it from a shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ChildOutput.h"

namespace {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

using Environment = std::map<std::string, std::optional<std::string>>;

// Starts the program with `args` (bytes, passed as they are) in `cwd` (the
// test's own when empty); `env` entries set a variable, or unset it when the
// value is nullopt.  Its pid, with the read ends of its standard output and
// error in `outFd` and `errFd`; -1 when it cannot be started.
pid_t StartTessaline(const std::vector<std::string>& args, const Environment& env, const std::string& cwd, int& outFd,
                     int& errFd) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return -1;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
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
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return -1;
    }
    outFd = outPipe[0];
    errFd = errPipe[0];
    return pid;
}

// Runs the program with `args` to its end, 30 s at most (then it is ended
// by its pid).
Result RunTessaline(const std::vector<std::string>& args, const Environment& env = {}) {
    int outFd = -1, errFd = -1;
    const pid_t pid = StartTessaline(args, env, std::string(), outFd, errFd);
    if (pid < 0) return {};
    Result r;
    r.status = CollectOutput(pid, outFd, errFd, r.out, r.err, std::chrono::seconds(30));
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
    EXPECT_NE(help.out.find("tessaline [--] [FILE]"), std::string::npos);
}

TEST(CommandLine, BadArgumentsExitTwoWithAMessage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--print"},           {"--print", "nope"},           {"--print", "11x"},
        {"--bogus"},           {"--print", "ip", "file.tsl"}, {"a.tsl", "b.tsl"},
        {"--", "a.tsl", "-b"}, {"--print", "ip", "--", "-x"},
        // Options that would replace one another, before any host is asked.
        {"--print", "ip", "--watch"}, {"--watch", "--print", "ip"},
        {"--remote", "host-a", "--remote", "host-b", "--print", "ip"}};
    for (const auto& args : cases) {
        Result r = RunTessaline(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_TRUE(r.out.empty()) << args.back();
        EXPECT_NE(r.err.find("tessaline: "), std::string::npos) << args.back();
    }
}

// A bad --filter expression: status 2, nothing on stdout, and on stderr
// one line with the reason and the column, its quoted text printable.
TEST(CommandLine, BadFilterExitsTwoWithTheReasonAndColumn) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--print", "tcp", "--filter", "port:80 or"}, "'or' without a term after it at column 9"},
        {{"--print", "tcp", "--format", "json", "--filter", "(state:listen"},
         "unbalanced parenthesis: '(' is not closed at column 1"},
        {{"--filter", "lport:99999", "--print", "all"}, "bad port or range '99999' at column 7"},
        {{"--watch", "tcp", "--filter", "colour:red"}, "unknown field 'colour' at column 1"},
        {{"--print", "processes", "--filter", "caf\xc3\xa9 proto:\x1b[2J"}, "unknown protocol '?[2J' at column 12"},
    };
    for (const auto& [args, reason] : cases) {
        const Result r = RunTessaline(args);
        EXPECT_EQ(r.status, 2) << reason;
        EXPECT_EQ(r.out, "") << reason;
        EXPECT_EQ(r.err, "tessaline: filter: " + reason + "\n");
    }
    const Result alone = RunTessaline({"--filter", "port:80"});
    EXPECT_EQ(alone.status, 2);
    EXPECT_NE(alone.err.find("--filter goes with --print or --watch"), std::string::npos) << alone.err;
    const Result help = RunTessaline({"--help"});
    EXPECT_NE(help.out.find("--filter EXPR"), std::string::npos);
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
    for (const std::string kind : {"14", "26", "-1", "2147483647"}) {
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
                                        "Interface List", "Protocol List", "UDP Connections", "TCP Connections",
                                        "UDPv6 Connections", "TCPv6 Connections", "IPv6", "ICMPv6 In", "ICMPv6 Out",
                                        "UDPv6"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ""), 12);
    EXPECT_EQ(r.err, "");  // every snapshot of this machine was taken
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

// A reading that failed prints what it always printed, but a script can tell
// it from an idle machine: status 3 and one line on stderr per report.
TEST(CommandLine, FailedSnapshotsExitThreeAndNameTheirReportsOnStderr) {
    auto failed = [](std::initializer_list<const char*> names) {
        std::string text;
        for (const char* name : names)
            text += std::string("tessaline: no data for the ") + name + " report: the snapshot failed\n";
        return text;
    };
    struct Case {
        const char* dir;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        // No provider at all: every report read through it; the protocol
        // list comes from the sockets layer, which is still there.
        {FAKE_NONE_DIR,
         {"--print", "all"},
         3,
         failed({"icmp", "ip", "udp-stats", "tcp-stats", "network", "adapters", "interfaces", "udp", "tcp", "udp6",
                 "tcp6", "ip6"})},
        {FAKE_NONE_DIR, {"--print", "26"}, 3, failed({"network"})},
        {FAKE_NONE_DIR, {"--print", "protocols"}, 0, ""},
        // A provider without GetTcpStatistics.
        {FAKE_PARTIAL_DIR, {"--print", "all"}, 3, failed({"tcp-stats"})},
        {FAKE_PARTIAL_DIR, {"--print", "13"}, 3, failed({"tcp-stats"})},
        // Every entry point answers, with empty tables and no adapter.
        {FAKE_FULL_DIR, {"--print", "all"}, 0, ""},
    };
    for (const Case& c : cases) {
        const Result r = RunTessaline(c.args, {{"TESSALINE_LIBRARY_PATH", std::string(c.dir)}});
        EXPECT_EQ(r.status, c.status) << c.dir << " " << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.dir << " " << c.args.back();
        EXPECT_FALSE(r.out.empty()) << c.dir << " " << c.args.back();
    }

    // Standard output is what it always was: the zeros.
    const Result r = RunTessaline({"--print", "udp-stats"}, {{"TESSALINE_LIBRARY_PATH", std::string(FAKE_NONE_DIR)}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out,
              "UDP Statistics\n"
              "  InDatagrams     0     \n"
              "  NoPorts         0     \n"
              "  InErrors        0     \n"
              "  OutDatagrams    0     \n"
              "  NumAddrs        0     \n");
    EXPECT_EQ(r.err, failed({"udp-stats"}));
}

// The window opens the file the command line names, whatever bytes its name
// holds, and after "--" also a name that starts with '-'.  The file being
// opened shows that the start got that far; the window is then ended by its
// pid.
TEST(CommandLine, TheWindowOpensTheFileNamedAsBytes) {
    struct Case {
        const char* name;  // created in the working directory
        bool endOfOptions;
        bool settingsFifo;  // the settings file is a FIFO nobody writes
    };
    const Case cases[] = {
        {"-x", true, false},
        {"caf\xe9 \xff\xfe.tsl", false, false},  // not UTF-8
        {"--print", true, false},
        {"plain.tsl", false, true},
    };
    for (const Case& c : cases) {
        char dir[] = "/tmp/tessaline-window-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string root = dir;
        const std::string file = root + "/" + c.name;
        ASSERT_EQ(close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), 0);
        const std::string settingsDir = root + "/config/Ulvo Systems";
        const std::string settings = settingsDir + "/Tessaline.conf";
        ASSERT_EQ(mkdir((root + "/config").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(settingsDir.c_str(), 0700), 0);
        if (c.settingsFifo) {
            ASSERT_EQ(mkfifo(settings.c_str(), 0600), 0);
        }
        const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, file.c_str(), IN_OPEN), 0);

        std::vector<std::string> args;
        if (c.endOfOptions) args.push_back("--");
        args.push_back(c.name);
        int outFd = -1, errFd = -1;
        const pid_t pid = StartTessaline(args,
                                         {{"QT_QPA_PLATFORM", std::string("offscreen")},
                                          {"XDG_CONFIG_HOME", root + "/config"},
                                          {"XDG_DATA_HOME", root + "/data"},
                                          {"TESSALINE_LIBRARY_PATH", std::string(FAKE_FULL_DIR)}},
                                         root, outFd, errFd);
        ASSERT_GT(pid, 0);
        pollfd p{watch, POLLIN, 0};
        const bool opened = poll(&p, 1, 60000) == 1;
        kill(pid, SIGKILL);
        Result r;
        r.status = CollectOutput(pid, outFd, errFd, r.out, r.err, std::chrono::seconds(10));
        close(watch);
        EXPECT_TRUE(opened) << c.name << ": " << r.err;
        EXPECT_EQ(r.status, 128 + SIGKILL) << c.name << ": " << r.err;  // it was still running
        if (c.settingsFifo) {
            const std::string said =
                "tessaline: settings file " + settings + " is not a regular file; using the defaults and not saving\n";
            const std::size_t at = r.err.find(said);
            EXPECT_NE(at, std::string::npos) << r.err;
            EXPECT_EQ(r.err.find(said, at + 1), std::string::npos) << r.err;  // once
            struct stat st {};
            EXPECT_EQ(lstat(settings.c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode));
        }
        std::filesystem::remove_all(root);
    }
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
