// Another host's capture: the script run by this machine's own shell, its
// answer parsed and written as a machine root; cut, garbled and hostile
// answers refused or left out, never a crash or a file outside the root.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "Capture.h"
#include "Ssh.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

// Runs the script with /bin/sh -s as the host's shell would; its output.
std::string RunScript(const std::string& script) {
    TempDir dir;
    const std::string in = (dir.Path() / "script").string(), out = (dir.Path() / "answer").string();
    std::ofstream(in) << script;
    const std::string command = "/bin/sh -s < " + in + " > " + out;
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::ifstream answer(out, std::ios::binary);
    std::ostringstream text;
    text << answer.rdbuf();
    return text.str();
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A token, an answer of this machine taken with it, and a socket of this
// process that the answer must name as ours.
struct LocalAnswer {
    std::string token = remote::NewToken();
    int listener = -1;
    ino_t inode = 0;
    std::string text;
    LocalAnswer() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 1);
        struct stat info {};
        ::fstat(listener, &info);
        inode = info.st_ino;
        text = RunScript(remote::CaptureScript(token, false));
    }
    ~LocalAnswer() { ::close(listener); }
};

const LocalAnswer& Answer() {
    static const LocalAnswer answer;
    return answer;
}

TEST(Capture, ThisMachinesAnswerParsesAndIsWrittenAsItsRoot) {
    const LocalAnswer& a = Answer();
    // The listing through `sudo -n` where it may, else as it is: here (as
    // root, with or without sudo) the same sockets of this process.
    const std::string token = remote::NewToken();
    remote::Capture bySudo;
    std::string why;
    ASSERT_TRUE(remote::ParseCapture(RunScript(remote::CaptureScript(token, true)), token, bySudo, why)) << why;
    EXPECT_EQ(bySudo.sockets.count(static_cast<std::uint32_t>(::getpid())), 1u);
    ASSERT_EQ(a.token.size(), 32u);
    remote::Capture capture;
    std::string error;
    ASSERT_TRUE(remote::ParseCapture(a.text, a.token, capture, error)) << error;
    EXPECT_EQ(capture.bytes, a.text.size());
    for (const char* file : {"proc/net/snmp", "proc/net/tcp", "proc/net/dev", "proc/sys/kernel/hostname",
                             "sys/class/net/lo/mtu", "sys/class/net/lo/statistics/rx_bytes"})
        EXPECT_EQ(capture.files.count(file), 1u) << file;
    EXPECT_EQ(capture.files.at("sys/class/net/lo/mtu"), "65536\n");
    char host[HOST_NAME_MAX + 1] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(capture.files.at("proc/sys/kernel/hostname"), std::string(host) + "\n");
    // This process: its listening socket, its executable, its stat line.
    const auto pid = static_cast<std::uint32_t>(::getpid());
    ASSERT_EQ(capture.sockets.count(pid), 1u);
    bool found = false;
    for (const auto& [fd, inode] : capture.sockets.at(pid))
        found = found || (fd == static_cast<std::uint32_t>(a.listener) && inode == a.inode);
    EXPECT_TRUE(found);
    EXPECT_EQ(capture.executables.at(pid), fs::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(capture.stats.at(pid).rfind(std::to_string(pid) + " (", 0), 0u);

    TempDir root;
    ASSERT_TRUE(remote::WriteMachineRoot(capture, root.Path().string(), error)) << error;
    EXPECT_EQ(ReadFile(root.Path() / "proc/net/snmp"), capture.files.at("proc/net/snmp"));
    const fs::path fd = root.Path() / "proc" / std::to_string(pid) / "fd" / std::to_string(a.listener);
    EXPECT_EQ(fs::read_symlink(fd).string(), "socket:[" + std::to_string(a.inode) + "]");
    const fs::path exe = root.Path() / "proc" / std::to_string(pid) / "exe";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(exe))) << "an executable's path is text, not a link";
    EXPECT_EQ(ReadFile(exe), capture.executables.at(pid));
}

// Every cut of an answer is refused as cut (or as no capture at all), and
// the parser never reads past what it was given.
TEST(Capture, CutAnswersAreRefused) {
    const LocalAnswer& a = Answer();
    remote::Capture capture;
    std::string error;
    const std::size_t n = a.text.size();
    for (std::size_t length = 0; length < n; length += (length + 300 < n ? 97 : 1)) {
        const std::string cut = a.text.substr(0, length);  // a copy: ASan sees a read past it
        EXPECT_FALSE(remote::ParseCapture(cut, a.token, capture, error)) << length;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(remote::ParseCapture(a.text, std::string(32, '0'), capture, error)) << "another run's token";
    EXPECT_EQ(error, "the remote side did not answer with a capture");
    EXPECT_FALSE(remote::ParseCapture("", a.token, capture, error));
    EXPECT_EQ(error, "the remote side sent nothing");
}

// Random damage: bytes changed, removed, and frame marks put anywhere.  An
// answer is refused or parsed; what is kept always keeps to the rules.
TEST(Capture, GarbledAnswersKeepToTheRules) {
    const LocalAnswer& a = Answer();
    std::mt19937 random(20261211);
    const std::string marks[] = {"\n" + a.token + " F ../../etc/passwd\n", "\n" + a.token + " D /tmp\n",
                                 "\n" + a.token + " L fd\n/proc/1/fd:\nx 7 -> socket:[99999999999999999999]\n",
                                 "\n" + a.token + " ", "\n" + a.token + " END\n", std::string(1, '\0')};
    remote::Capture capture;
    std::string error;
    for (int round = 0; round < 1500; ++round) {
        std::string text = a.text;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
                case 0: text[at] = static_cast<char>(random()); break;
                case 1: text.erase(at, 1 + random() % 64); break;
                default: text.insert(at, marks[random() % std::size(marks)]); break;
            }
        }
        if (!remote::ParseCapture(text, a.token, capture, error)) continue;
        for (const auto& [path, content] : capture.files) EXPECT_TRUE(remote::AllowedPath(path)) << path;
        for (const std::string& folder : capture.folders) EXPECT_TRUE(remote::AllowedFolder(folder)) << folder;
    }
}

std::string Framed(const std::string& token, const std::string& frames) {
    return token + " TESSALINE-CAPTURE 1\n" + frames + "\n" + token + " END\n";
}

TEST(Capture, HostileFramesAreLeftOutOrRefused) {
    const std::string t(32, 'b');
    const std::string frame = "\n" + t + " ";
    remote::Capture c;
    std::string error;
    // Paths that are not asked for are left out; the rest is kept.
    ASSERT_TRUE(remote::ParseCapture(
        Framed(t, frame + "F ../etc/passwd\nroot\n" + frame + "F /etc/passwd\nx" + frame +
                      "F sys/class/net/../../../x/mtu\n1\n" + frame + "F sys/class/net/eth0/../mtu\n1\n" + frame +
                      "F var/lib/dhcp/a b\nx" + frame + "F var/lib/dhcp/..\nx" + frame + "F proc/net/tcp/x\nx" +
                      frame + "F sys/class/net/eth0/uevent\nx" + frame + "D sys/class/net/eth0/../../../tmp\n" +
                      frame + "F proc/net/tcp\nsl local\n" + frame + "F var/lib/dhcp/dhclient.eth0.leases\nlease {}\n" +
                      frame + "D sys/class/net/wlan0/wireless\n"),
        t, c, error))
        << error;
    EXPECT_EQ(c.files.size(), 2u);
    EXPECT_EQ(c.files.at("proc/net/tcp"), "sl local\n");
    EXPECT_EQ(c.files.count("var/lib/dhcp/dhclient.eth0.leases"), 1u);
    EXPECT_EQ(c.folders, std::vector<std::string>{"sys/class/net/wlan0/wireless"});

    // Frames that break the form refuse the answer.
    const struct {
        std::string frames;
        const char* error;
    } refused[] = {
        {frame + "X proc/net/tcp\n", "the answer holds a frame of no known kind"},
        {frame + "L environ\nHOME=/\n", "the answer holds a listing that was not asked for"},
        {frame + "F proc/net/tcp", "the answer breaks its framing"},
        {"junk before the first frame" + frame + "F proc/net/tcp\n", "the answer breaks its framing"},
        {frame + "F proc/net/tcp\n" + std::string(remote::kMaxFileBytes + 1, 'x'),
         "the answer holds a file larger than 64 MiB"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(remote::ParseCapture(Framed(t, r.frames), t, c, error)) << r.error;
        EXPECT_EQ(error, r.error);
    }

    // Listings: only well-formed lines count.
    ASSERT_TRUE(remote::ParseCapture(
        Framed(t, frame + "L fd\n/proc/12/fd:\ntotal 0\nlrwx 1 u u 64 Dec 1 00:00 3 -> socket:[501]\n"
                          "lrwx 1 u u 64 Dec 1 00:00 4 -> /dev/null\nl 5 -> socket:[]\nl x -> socket:[7]\n"
                          "l 6 -> socket:[18446744073709551616]\n/proc/abc/fd:\nl 7 -> socket:[9]\n"
                          "/proc/13/fd:\nl 8 -> socket:[502]" +
                      frame + "L exe\nl 1 u u 0 Dec 1 00:00 /proc/12/exe -> /usr/bin/a b\n"
                              "l /proc/13/exe -> relative\nl /proc/0/exe -> /bin/x\n" +
                      frame + "L stat\n12 (a) b) S 1\n13 (new\nline) S 1\nx (y) S\n"),
        t, c, error))
        << error;
    ASSERT_EQ(c.sockets.size(), 2u);
    EXPECT_EQ(c.sockets.at(12), (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{3, 501}}));
    EXPECT_EQ(c.sockets.at(13), (std::vector<std::pair<std::uint32_t, std::uint64_t>>{{8, 502}}));
    EXPECT_EQ(c.executables, (std::map<std::uint32_t, std::string>{{12, "/usr/bin/a b"}}));
    EXPECT_EQ(c.stats, (std::map<std::uint32_t, std::string>{{12, "12 (a) b) S 1\n"}}));
}

TEST(MachineRootFolder, SwitchedWholeKeepingOneBeforeAndRemovedAtTheEnd) {
    TempDir parent;
    std::string dir;
    {
        remote::MachineRoot root(parent.Path().string());
        dir = root.Path();
        ASSERT_FALSE(dir.empty());
        EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
        std::string error;
        for (int i = 1; i <= 3; ++i) {
            remote::Capture c;
            c.files["proc/net/snmp"] = "reading " + std::to_string(i);
            ASSERT_TRUE(root.Install(c, error)) << error;
            EXPECT_EQ(ReadFile(root.Current() + "/proc/net/snmp"), "reading " + std::to_string(i));
        }
        EXPECT_FALSE(fs::exists(dir + "/c1")) << "two captures back: removed";
        EXPECT_TRUE(fs::exists(dir + "/c2")) << "the one before: kept for readers in it";
        ASSERT_TRUE(root.InstallEmpty(error));
        EXPECT_FALSE(fs::exists(root.Current() + "/proc/net/snmp"));
    }
    EXPECT_FALSE(fs::exists(dir));
}

TEST(SshDestination, OnlyAHostOrUserAtHost) {
    for (const char* good : {"host", "user@host", "10.0.0.1", "[::1]", "user@host.example.org"})
        EXPECT_TRUE(remote::ValidDestination(good)) << good;
    for (const char* bad : {"", "-oProxyCommand=touch /tmp/x", "a b", "host\n", "-l", "h\tx"})
        EXPECT_FALSE(remote::ValidDestination(bad)) << bad;
}

}  // namespace
