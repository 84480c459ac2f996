// A process's details: the parsers of its /proc files on fixtures and on
// damaged text, the reader on a fixture proc root (a process in a systemd
// service), and on a live process in PID and mount namespaces of its own,
// as its socket's detail lines show it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ProcessDetails.h"
#include "SocketDetails.h"
#include "TempDir.h"
#include "WideText.h"
#include "processinfo.h"

namespace fs = std::filesystem;
using namespace procinfo;

namespace {

const std::string kStat =
    "4242 (my (odd) name) S 1 4242 4242 0 -1 4194560 1234 0 0 0 12 34 0 0 20 0 1 0 987654 12345678 900 "
    "18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 0 17 3 0 0 0 0 0\n";

TEST(ProcessFiles, StatStatusAndBootTime) {
    EXPECT_EQ(StartTicksOfStat(kStat), 987654u);
    EXPECT_EQ(StartTicksOfStat("1 (a) S 1 2 3"), std::nullopt) << "cut before field 22";
    EXPECT_EQ(StartTicksOfStat("no parenthesis at all"), std::nullopt);
    EXPECT_EQ(StartTicksOfStat(""), std::nullopt);
    const std::string garbled = kStat.substr(0, kStat.find("987654")) + "98x654 1 2\n";
    EXPECT_EQ(StartTicksOfStat(garbled), std::nullopt);

    EXPECT_EQ(RealUidOfStatus("Name:\tx\nUid:\t33\t33\t33\t33\nGid:\t33\n"), 33u);
    EXPECT_EQ(RealUidOfStatus("Uid:\t1000\t0\t0\t0"), 1000u) << "the real id, not the effective";
    EXPECT_EQ(RealUidOfStatus("Name:\tx\n"), std::nullopt);
    EXPECT_EQ(RealUidOfStatus("Uid:\t-1\n"), std::nullopt);
    EXPECT_EQ(RealUidOfStatus("Uid:\t99999999999\n"), std::nullopt);

    EXPECT_EQ(BootTimeOfStat("cpu 1 2 3\nbtime 1765400000\nprocesses 9\n"), 1765400000);
    EXPECT_EQ(BootTimeOfStat("cpu 1 2 3\n"), std::nullopt);

    EXPECT_EQ(NamespaceInodeOfLink("net:[4026531840]"), 4026531840u);
    EXPECT_EQ(NamespaceInodeOfLink("net:[]"), 0u);
    EXPECT_EQ(NamespaceInodeOfLink("net:[12x]"), 0u);
    EXPECT_EQ(NamespaceInodeOfLink(""), 0u);
}

TEST(ProcessFiles, CommandLineIsJoinedAndCutAtWholeCharacters) {
    using namespace std::string_literals;
    EXPECT_EQ(CommandLineOf("nginx: master\0-g\0daemon off;\0"s), "nginx: master -g daemon off;");
    EXPECT_EQ(CommandLineOf(""), "");
    EXPECT_EQ(CommandLineOf("\0\0"s), "");
    EXPECT_EQ(CommandLineOf("a\0\0b"s), "a  b") << "an empty argument is still one";
    // 600 two-byte characters: 512 of them, none cut in half.
    std::string accents;
    for (int i = 0; i < 600; ++i) accents += "\xC3\xA9";
    const std::string cut = CommandLineOf(accents);
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_EQ(AnsiToWide(cut).size(), 512u);
    // A stray byte counts as one character and goes through as it is.
    EXPECT_EQ(CommandLineOf("x\xFFy", 2), "x\xFF");
    EXPECT_EQ(CommandLineOf("\xE2\x82", 5), "\xE2\x82") << "a sequence cut by the file's end";
}

TEST(ProcessFiles, ControlGroupsNameTheServiceAndTheContainer) {
    const std::string docker(64, 'a');
    struct Case {
        const char* what;
        std::string cgroup;
        std::string service, container;
    };
    const Case cases[] = {
        {"a system service", "0::/system.slice/nginx.service\n", "nginx.service", ""},
        {"a user's service", "0::/user.slice/user-1000.slice/user@1000.service/app.slice/foo.service\n",
         "foo.service", ""},
        {"a login session", "0::/user.slice/user-1000.slice/session-3.scope\n", "session-3.scope", ""},
        {"an escaped unit name", "0::/system.slice/system-getty.slice/getty@tty1.service\n", "getty@tty1.service", ""},
        {"docker through systemd", "0::/system.slice/docker-" + docker + ".scope\n", "", "docker aaaaaaaaaaaa"},
        {"docker through cgroupfs, version 1",
         "12:pids:/docker/" + docker + "\n1:name=systemd:/docker/" + docker + "\n", "", "docker aaaaaaaaaaaa"},
        {"podman", "0::/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + docker + ".scope\n",
         "user@1000.service", "podman aaaaaaaaaaaa"},
        {"kubernetes with containerd",
         "0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1.slice/cri-containerd-" + docker +
             ".scope\n",
         "", "containerd aaaaaaaaaaaa"},
        {"lxc", "0::/lxc.payload.web/system.slice/sshd.service\n", "sshd.service", "lxc web"},
        {"systemd-nspawn", "0::/machine.slice/machine-my\\x2dbox.scope/system.slice/cron.service\n", "cron.service",
         "machine my-box"},
        {"escapes: a blank put back, a line feed and a stray backslash left",
         "0::/system.slice/a\\x20b\\x0ac\\x2.service\n", "a b\\x0ac\\x2.service", ""},
        {"version 1 without systemd", "4:cpu,cpuacct:/\n", "", ""},
        {"the root", "0::/\n", "", ""},
        {"garbage", "not a cgroup file\n::\n0:\n", "", ""},
    };
    for (const Case& c : cases) {
        const CgroupPlace place = PlaceOfCgroup(c.cgroup);
        EXPECT_EQ(place.service, c.service) << c.what;
        EXPECT_EQ(place.container, c.container) << c.what;
    }
    EXPECT_EQ(PlaceOfCgroup(cases[0].cgroup).path, "/system.slice/nginx.service");
}

// Every prefix and a few thousand random corruptions of each file: nothing
// crashes or reads past the text (the sanitizer build watches).
TEST(ProcessFiles, DamagedFilesNeverBreakTheParsers) {
    const std::string samples[] = {kStat, "Name:\tx\nUid:\t33\t33\t33\t33\n", "cpu 1\nbtime 17\n",
                                   "0::/system.slice/docker-" + std::string(64, 'f') + ".scope\n",
                                   std::string("a\0b\0\xC3\xA9\0", 7)};
    std::mt19937 random(7);
    std::size_t seen = 0;
    for (const std::string& sample : samples) {
        for (std::size_t n = 0; n <= sample.size(); ++n) {
            const std::string cut = sample.substr(0, n);
            seen += StartTicksOfStat(cut).has_value() + RealUidOfStatus(cut).has_value() +
                    BootTimeOfStat(cut).has_value() + PlaceOfCgroup(cut).path.size() + CommandLineOf(cut).size();
        }
        for (int round = 0; round < 2000; ++round) {
            std::string damaged = sample;
            for (int k = 0; k < 4; ++k) damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
            seen += StartTicksOfStat(damaged).has_value() + RealUidOfStatus(damaged).has_value() +
                    PlaceOfCgroup(damaged).service.size() + CommandLineOf(damaged, 7).size();
        }
    }
    EXPECT_GT(seen, 0u);
}

void Write(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Sets TESSALINE_PROC_ROOT for the test.
class FixtureRoot : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root_.Path().empty());
        ::setenv("TESSALINE_PROC_ROOT", root_.Path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("TESSALINE_PROC_ROOT"); }
    TempDir root_;
};

// A process of a systemd service, where no systemd runs: its files.
TEST_F(FixtureRoot, AProcessInASystemdServiceHasItsDetails) {
    const fs::path dir = root_.Path() / "4242";
    fs::create_directories(dir);
    Write(root_.Path() / "stat", "cpu 1 2 3\nbtime 1765400000\n");
    Write(dir / "stat", kStat);
    Write(dir / "status", "Name:\tnginx\nUid:\t0\t0\t0\t0\n");
    Write(dir / "cmdline", std::string("nginx: master process /usr/sbin/nginx\0-g\0daemon on;\0", 52));
    Write(dir / "cgroup", "0::/system.slice/nginx.service\n");
    fs::create_symlink("/usr/sbin/nginx", dir / "exe");

    ProcessDetails d;
    ASSERT_TRUE(GetProcessDetails(4242, d));
    EXPECT_EQ(d.pid, 4242u);
    EXPECT_EQ(d.path, "/usr/sbin/nginx");
    EXPECT_EQ(d.commandLine, "nginx: master process /usr/sbin/nginx -g daemon on;");
    EXPECT_TRUE(d.hasUid);
    EXPECT_EQ(d.uid, 0u);
    EXPECT_EQ(d.user, "root");
    EXPECT_EQ(d.service, "nginx.service");
    EXPECT_EQ(d.container, "");
    const long ticks = ::sysconf(_SC_CLK_TCK);
    EXPECT_EQ(d.startTimeMs, 1765400000ll * 1000 + 987654ll * 1000 / ticks);

    // As its socket's detail lines show it.
    sockets::TableFacts facts;
    facts.table = sockets::Table::Udp;
    facts.pids = {4242};
    facts.states = {0};
    auto owners = std::make_shared<sockets::OwnerDetails>();
    owners->emplace(4242, d);
    facts.owners = owners;
    const std::vector<std::u16string> lines = sockets::DetailLines(facts, 0);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], u"Process: 4242 /usr/sbin/nginx");
    EXPECT_EQ(lines[2], u"User: root (0)");
    EXPECT_EQ(lines[3], u"Service: nginx.service");

    // Files that are gone, empty or garbage: what can be read, no more.
    EXPECT_FALSE(GetProcessDetails(4243, d)) << "no such process";
    fs::create_directories(root_.Path() / "4244");
    Write(root_.Path() / "4244" / "stat", "garbage");
    ASSERT_TRUE(GetProcessDetails(4244, d));
    EXPECT_EQ(d.startTimeMs, -1);
    EXPECT_FALSE(d.hasUid);
    EXPECT_EQ(d.path, "");
    // A boot time that would overflow the start in milliseconds.
    Write(root_.Path() / "stat", "btime 9223372036854775807\n");
    ASSERT_TRUE(GetProcessDetails(4242, d));
    EXPECT_EQ(d.startTimeMs, -1);
}

// The children of process `pid`, as the kernel lists them.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> out;
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child; in >> child;) out.push_back(child);
    return out;
}

// A process in mount and PID namespaces of its own, seen from here: its
// path, user and start; its control group as its container, since no
// runtime names one.
TEST(LiveProcess, AProcessInNamespacesOfItsOwnShowsItsControlGroupAsItsContainer) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make PID and mount namespaces";
    const auto before = std::chrono::system_clock::now();
    const pid_t unshare = ::fork();
    if (unshare == 0) {
        ::execlp("unshare", "unshare", "--mount", "--pid", "--fork", "--mount-proc", "sleep", "30",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(unshare, 0);
    pid_t sleeper = 0;
    for (int i = 0; i < 100 && sleeper == 0; ++i) {
        const std::vector<pid_t> children = ChildrenOf(unshare);
        if (!children.empty()) {
            // The child of unshare's fork, once it runs sleep.
            std::error_code ignored;
            if (fs::read_symlink("/proc/" + std::to_string(children[0]) + "/exe", ignored).filename() == "sleep")
                sleeper = children[0];
        }
        if (sleeper == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int status = 0;
    if (sleeper == 0) {
        ::kill(unshare, SIGKILL);
        ::waitpid(unshare, &status, 0);
        GTEST_SKIP() << "unshare could not make the namespaces here";
    }
    ProcessDetails d;
    const bool found = GetProcessDetails(static_cast<DWORD>(sleeper), d);
    ::kill(sleeper, SIGKILL);
    ::kill(unshare, SIGKILL);
    ::waitpid(unshare, &status, 0);

    ASSERT_TRUE(found);
    EXPECT_EQ(fs::path(d.path).filename(), "sleep");
    EXPECT_EQ(d.commandLine, "sleep 30");
    EXPECT_EQ(d.user, "root");
    ASSERT_NE(OwnPidNamespace(), 0u);
    EXPECT_NE(d.pidNamespace, OwnPidNamespace());
    EXPECT_EQ(d.netNamespace, OwnNetworkNamespace()) << "the network is shared";
    EXPECT_FALSE(d.cgroupPath.empty());
    EXPECT_EQ(d.container, d.cgroupPath);
    const auto started = std::chrono::system_clock::time_point(std::chrono::milliseconds(d.startTimeMs));
    EXPECT_LT(std::chrono::abs(started - before), std::chrono::seconds(10));

    sockets::TableFacts facts;
    facts.table = sockets::Table::Tcp;
    facts.pids = {static_cast<DWORD>(sleeper)};
    facts.states = {2};
    auto owners = std::make_shared<sockets::OwnerDetails>();
    owners->emplace(static_cast<DWORD>(sleeper), d);
    facts.owners = owners;
    const std::vector<std::u16string> lines = sockets::DetailLines(facts, 0);
    bool container = false;
    for (const std::u16string& line : lines) container = container || line == AnsiToWide("Container: " + d.cgroupPath);
    EXPECT_TRUE(container);
}

}  // namespace
