// Another host's capture: the script run by this machine's own shell, its
// answer parsed and written as a machine root that the process readers
// take; cut, garbled and hostile answers refused or left out, never a
// crash, a file outside the root or more than a capture's share of the
// memory folder.  The SSH master's life tied to the program's.
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "Capture.h"
#include "ProcRootEnv.h"
#include "ProcessDetails.h"
#include "RemoteMachine.h"
#include "SocketOwners.h"
#include "Ssh.h"
#include "TempDir.h"
#include "processes.h"
#include "processinfo.h"

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
    const std::string sudoAnswer = RunScript(remote::CaptureScript(token, true));
    remote::Capture bySudo;
    std::string why;
    ASSERT_TRUE(remote::ParseCapture(sudoAnswer, token, bySudo, why)) << why;
    EXPECT_TRUE(std::any_of(bySudo.descriptors.begin(), bySudo.descriptors.end(), [](const remote::Descriptor& d) {
        return d.pid == static_cast<std::uint32_t>(::getpid());
    }));
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
    const remote::Descriptor listener{pid, static_cast<std::uint32_t>(a.listener), a.inode};
    EXPECT_NE(std::find(capture.descriptors.begin(), capture.descriptors.end(), listener), capture.descriptors.end());
    const auto line = [](const std::vector<remote::ProcessLine>& lines, std::uint32_t p) {
        for (const remote::ProcessLine& l : lines)
            if (l.pid == p) return std::string(l.text);
        return std::string("(none)");
    };
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(line(capture.executables, pid), self);
    EXPECT_EQ(line(capture.stats, pid).rfind(std::to_string(pid) + " (", 0), 0u);

    // Written as a machine root, it is read by the readers of this machine's
    // files as this machine: the socket's owner, the owner's executable and
    // start.
    TempDir root;
    ASSERT_TRUE(remote::WriteMachineRoot(capture, root.Path().string(), error)) << error;
    EXPECT_EQ(ReadFile(root.Path() / "proc/net/snmp"), capture.files.at("proc/net/snmp"));
    ::setenv("TESSALINE_MACHINE_ROOT", root.Path().c_str(), 1);
    provider::SocketOwnerIndex index;
    std::vector<provider::SocketRow> rows(2);
    rows[0].inode = a.inode;
    rows[1].inode = 1;  // no process holds it
    index.Resolve(root.Path().string() + "/proc", provider::kTcpTable, rows, {a.inode, 1});
    EXPECT_EQ(rows[0].pid, pid);
    EXPECT_EQ(rows[1].pid, 0u);
    EXPECT_EQ(index.GetStats().fullWalks, 0u) << "no folder for each process to walk";

    ProcessDetails details;
    ASSERT_TRUE(GetProcessDetails(pid, details));
    EXPECT_EQ(details.path, self);
    ProcessDetails here;
    ::unsetenv("TESSALINE_MACHINE_ROOT");
    ASSERT_TRUE(GetProcessDetails(pid, here));
    ::setenv("TESSALINE_MACHINE_ROOT", root.Path().c_str(), 1);
    EXPECT_EQ(details.startTimeMs, here.startTimeMs);

    HANDLE process = OpenProcess(0, FALSE, pid);
    ASSERT_NE(process, nullptr);
    HMODULE module = nullptr;
    DWORD needed = 0;
    ASSERT_TRUE(EnumProcessModules(process, &module, sizeof module, &needed));
    WCHAR name[256] = {};
    const DWORD length = GetModuleBaseNameW(process, module, name, 256);
    const std::string base = fs::path(self).filename().string();
    EXPECT_EQ(std::u16string(name, length), std::u16string(base.begin(), base.end()));
    CloseHandle(process);
    EXPECT_EQ(OpenProcess(0, FALSE, 0x7FFFFFF0), nullptr) << "a process the capture does not list";
    ::unsetenv("TESSALINE_MACHINE_ROOT");
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
    EXPECT_FALSE(remote::ParseCapture(std::string_view(), a.token, capture, error));
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
    // Paths that are not asked for are left out; the rest is kept.  (The
    // capture's texts are views into the answer, kept meanwhile.)
    const std::string paths =
        Framed(t, frame + "F ../etc/passwd\nroot\n" + frame + "F /etc/passwd\nx" + frame +
                      "F sys/class/net/../../../x/mtu\n1\n" + frame + "F sys/class/net/eth0/../mtu\n1\n" + frame +
                      "F var/lib/dhcp/a b\nx" + frame + "F var/lib/dhcp/..\nx" + frame + "F proc/net/tcp/x\nx" + frame +
                      "F sys/class/net/eth0/uevent\nx" + frame + "D sys/class/net/eth0/../../../tmp\n" + frame +
                      "F proc/net/tcp\nsl local\n" + frame + "F var/lib/dhcp/dhclient.eth0.leases\nlease {}\n" + frame +
                      "D sys/class/net/wlan0/wireless\n");
    ASSERT_TRUE(remote::ParseCapture(paths, t, c, error)) << error;
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
        const std::string answer = Framed(t, r.frames);
        EXPECT_FALSE(remote::ParseCapture(answer, t, c, error)) << r.error;
        EXPECT_EQ(error, r.error);
    }

    // Listings: only well-formed lines count.
    const std::string listings =
        Framed(t, frame +
                      "L fd\n/proc/12/fd:\ntotal 0\nlrwx 1 u u 64 Dec 1 00:00 3 -> socket:[501]\n"
                      "lrwx 1 u u 64 Dec 1 00:00 4 -> /dev/null\nl 5 -> socket:[]\nl x -> socket:[7]\n"
                      "l 6 -> socket:[18446744073709551616]\n/proc/abc/fd:\nl 7 -> socket:[9]\n"
                      "/proc/13/fd:\nl 8 -> socket:[502]" +
                      frame +
                      "L exe\nl 1 u u 0 Dec 1 00:00 /proc/12/exe -> /usr/bin/a b\n"
                      "l /proc/13/exe -> relative\nl /proc/0/exe -> /bin/x\n" +
                      frame + "L stat\n12 (a) b) S 1\n13 (new\nline) S 1\nx (y) S\n");
    ASSERT_TRUE(remote::ParseCapture(listings, t, c, error)) << error;
    EXPECT_EQ(c.descriptors, (std::vector<remote::Descriptor>{{12, 3, 501}, {13, 8, 502}}));
    EXPECT_EQ(c.executables, (std::vector<remote::ProcessLine>{{12, "/usr/bin/a b"}}));
    EXPECT_EQ(c.stats, (std::vector<remote::ProcessLine>{{12, "12 (a) b) S 1"}}));
}

// The readers' parsers of the three process tables, on lines a damaged
// table could hold: only whole, well-formed lines count.
TEST(CaptureTables, OnlyWellFormedLinesCount) {
    const auto pids = [](const std::vector<procinfo::ProcessLine>& lines) {
        std::vector<std::pair<std::uint32_t, std::string>> out;
        for (const auto& l : lines) out.emplace_back(l.pid, std::string(l.text));
        return out;
    };
    using Lines = std::vector<std::pair<std::uint32_t, std::string>>;
    EXPECT_EQ(pids(procinfo::ParseStatTable("1 (a) S 0\n0 (zero) S\n-2 (x) S\n+3 (x) S\n4(x) S\nx (y) S\n"
                                            "4294967296 (big) S\n\n5 (b) c) R 1")),
              (Lines{{1, "1 (a) S 0"}, {5, "5 (b) c) R 1"}}));
    EXPECT_EQ(pids(procinfo::ParseExecutableTable("1 /bin/a\n2 relative\n3 \n0 /bin/z\n4 /" + std::string(4096, 'x') +
                                                  "\n5 /a b\r\n6\n 7 /x\n")),
              (Lines{{1, "/bin/a"}, {5, "/a b\r"}}));
    std::vector<std::array<std::uint64_t, 3>> descriptors;
    for (const provider::CapturedDescriptor& d : provider::ParseDescriptorTable(
             "1 3 501\n1 4 0\n0 3 7\n2 x 9\n3 5 18446744073709551616\n4 6 7 8\n5 7 9\n6 7\n7  8 9\n8 9 10"))
        descriptors.push_back({d.pid, d.fd, d.inode});
    EXPECT_EQ(descriptors, (std::vector<std::array<std::uint64_t, 3>>{{1, 3, 501}, {5, 7, 9}, {8, 9, 10}}));
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
            const std::string text = "reading " + std::to_string(i);
            remote::Capture c;
            c.files["proc/net/snmp"] = text;
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

// What a folder holds: its files, folders and links, and the bytes they
// take (allocated, so that a small file counts its whole page).
struct FolderUse {
    std::size_t inodes = 0;
    std::size_t bytes = 0;
};

FolderUse UseOf(const fs::path& dir) {
    FolderUse use;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) != 0) continue;
        ++use.inodes;
        use.bytes += static_cast<std::size_t>(info.st_blocks) * 512;
    }
    return use;
}

std::set<std::string> NamesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

// A host that answers with 10,000 processes of one line each: written in
// the memory folder, as the program writes it, the capture takes a few
// files and no more bytes than the answer had.
TEST(MachineRootFolder, HostileCaptureOfManyProcessesStaysWithinItsBudget) {
    const std::string t(32, 'c');
    const std::string frame = "\n" + t + " ";
    std::string fd = frame + "L fd\n", exe = frame + "L exe\n", stat = frame + "L stat\n";
    for (int pid = 1; pid <= 10000; ++pid) {
        const std::string p = std::to_string(pid);
        fd += "/proc/" + p + "/fd:\nl 3 -> socket:[" + p + "]\n";
        exe += "l /proc/" + p + "/exe -> /usr/bin/p\n";
        stat += p + " (p) S 1\n";
    }
    const std::string answer = Framed(t, fd + exe + stat);
    remote::Capture capture;
    std::string error;
    ASSERT_TRUE(remote::ParseCapture(answer, t, capture, error)) << error;
    ASSERT_EQ(capture.stats.size(), 10000u);
    TempDir parent("tessaline-budget-", remote::PrivateParent());
    remote::MachineRoot root(parent.Path().string());
    ASSERT_TRUE(root.Install(capture, error)) << error;
    const FolderUse use = UseOf(root.Path());
    EXPECT_LE(use.inodes, 8u) << "the link, the capture's folder, its proc folder and three tables";
    EXPECT_LE(use.bytes, answer.size());
    const remote::CaptureSize size = remote::SizeOfMachineRoot(capture);
    EXPECT_LE(size.bytes, remote::kMaxCaptureBytes);
    EXPECT_GE(size.bytes, use.bytes) << "the budget counts at least what is taken";

    // A capture of more files and folders than a capture may write (17,000
    // links of two attributes) is refused before a byte is written.
    std::string links;
    for (int i = 0; i < 17000; ++i) {
        const std::string name = "sys/class/net/e" + std::to_string(i);
        links += frame + "F " + name + "/mtu\n1500\n" + frame + "F " + name + "/type\n1\n";
    }
    const std::string many = Framed(t, links);
    remote::Capture wide;
    ASSERT_TRUE(remote::ParseCapture(many, t, wide, error)) << error;
    const std::set<std::string> before = NamesIn(root.Path());
    EXPECT_FALSE(root.Install(wide, error));
    EXPECT_NE(error.find("more files than a capture may write"), std::string::npos) << error;
    EXPECT_EQ(NamesIn(root.Path()), before);
    EXPECT_EQ(UseOf(root.Path()).inodes, use.inodes);
}

// A capture that fills the folder half-way is removed at once: the folder
// keeps the current capture and the one before, and the next capture has
// room.  In a tmpfs of 1 MiB mounted in a mount namespace of the test's
// own (a child process, which ends with it).
TEST(MachineRootFolder, InstallThatFillsTheFolderLeavesTheCurrentAndOneEarlier) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    TempDir mountPoint;
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        std::string out;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tessaline-test", mountPoint.Path().c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
            out = "skip: " + std::string(std::strerror(errno));
        } else {
            const std::string small = "small", large(2u << 20, 'x');
            remote::MachineRoot root(mountPoint.Path().string());
            const auto install = [&](const std::string& content) {
                remote::Capture c;
                c.files["proc/net/tcp"] = content;
                std::string error;
                const bool ok = root.Install(c, error);
                out += ok ? "ok" : "failed: " + error.substr(error.rfind(": ") + 2);
                out += " |";
                for (const std::string& name : NamesIn(root.Path())) out += " " + name;
                out += "\n";
            };
            install(small);
            install(small);
            install(large);
            install(small);
            out += fs::read_symlink(root.Current()).string();
        }
        (void)!::write(report[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (out.rfind("skip: ", 0) == 0) GTEST_SKIP() << "no tmpfs in a mount namespace here: " << out;
    EXPECT_EQ(out,
              "ok | c1 current\n"
              "ok | c1 c2 current\n"
              "failed: No space left on device | c1 c2 current\n"
              "ok | c2 c4 current\n"
              "c4");
}

// A stand-in for ssh's master: makes the control socket named after -S,
// writes its pid to $FAKE_MASTER_PID, and waits, under a shell that stays
// its parent (as TESSALINE_SSH_COMMAND's shell may).
constexpr const char* kFakeMaster = R"(while [ $# -gt 0 ]; do [ "$1" = -S ] && s=$2; shift; done
/usr/bin/python3 -c 'import os, socket, sys, time
l = socket.socket(socket.AF_UNIX); l.bind(sys.argv[1]); l.listen()
open(sys.argv[2], "w").write(str(os.getpid())); time.sleep(60)' "$s" "$FAKE_MASTER_PID"
)";

// Waits at most `seconds` until `pid`, an orphan that this process (a
// subreaper) inherits, has ended; reaps every orphan meanwhile.
bool EndsWithin(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        for (pid_t reaped; (reaped = ::waitpid(-1, nullptr, WNOHANG)) > 0;)
            if (reaped == pid) return true;
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(SshMaster, EndsWithTheProgramEvenWhenItIsKilled) {
    if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3 for the stand-in master";
    TempDir dir;
    const std::string fake = (dir.Path() / "fake-ssh").string(), pidFile = (dir.Path() / "master.pid").string();
    std::ofstream(fake) << kFakeMaster;
    ::setenv("TESSALINE_SSH_COMMAND", ("sh " + fake).c_str(), 1);
    ::setenv("FAKE_MASTER_PID", pidFile.c_str(), 1);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    const auto masterPid = [&pidFile] {
        for (int i = 0; i < 200; ++i) {
            std::ifstream file(pidFile);
            pid_t pid = 0;
            if (file >> pid && pid > 0) return pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return pid_t{0};
    };

    // Stopped by the program: the master and its watcher end at once.
    {
        remote::SshSession ssh("host", dir.Path().string());
        std::string error;
        ASSERT_TRUE(ssh.Start(10000, error)) << error;
        const pid_t master = masterPid();
        ASSERT_GT(master, 0);
        const auto t0 = std::chrono::steady_clock::now();
        ssh.Stop();
        EXPECT_TRUE(EndsWithin(master, 5));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
        fs::remove(pidFile);
    }

    // The program killed by SIGKILL, which leaves it no time to clean up: the
    // master ends within a bounded time all the same.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        ::close(ready[0]);
        remote::SshSession ssh("host", dir.Path().string());
        std::string error;
        const char started = ssh.Start(10000, error) ? '1' : '0';
        (void)!::write(ready[1], &started, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char started = '0';
    EXPECT_EQ(::read(ready[0], &started, 1), 1);
    ::close(ready[0]);
    const pid_t master = masterPid();
    ::kill(program, SIGKILL);
    ASSERT_EQ(::waitpid(program, nullptr, 0), program);
    ASSERT_EQ(started, '1');
    ASSERT_GT(master, 0);
    const bool ended = EndsWithin(master, 5);
    if (!ended) ::kill(master, SIGKILL);
    EXPECT_TRUE(ended) << "the master outlived the program";
    // What the watcher started ends with it (a second later at most).
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
    ::unsetenv("TESSALINE_SSH_COMMAND");
}

TEST(SshDestination, OnlyAHostOrUserAtHost) {
    for (const char* good : {"host", "user@host", "10.0.0.1", "[::1]", "user@host.example.org"})
        EXPECT_TRUE(remote::ValidDestination(good)) << good;
    for (const char* bad : {"", "-oProxyCommand=touch /tmp/x", "a b", "host\n", "-l", "h\tx"})
        EXPECT_FALSE(remote::ValidDestination(bad)) << bad;
}

}  // namespace
