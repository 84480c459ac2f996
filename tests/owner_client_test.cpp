// The program's side of the owner helper: it keeps trying a helper that
// fails, with growing pauses, and it tells when owners are missing and why,
// on stderr for --print and --watch and in the socket's detail lines.
//
// The client is one per process: each test expects a process of its own,
// as CTest runs them.  Processes a test starts are ended by their pid.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildOutput.h"
#include "OwnerClient.h"
#include "TempDir.h"
#include "processinfo.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kTimeLimit = std::chrono::seconds(30);

// A UDP socket of this process on a free loopback port.
int LoopbackUdp() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::uint64_t InodeOf(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// A shell script at `path` with `body`, runnable.
void WriteScript(const fs::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with `args`, the owner helper at `helper` and the test's
// sanitizer options; with `stopAfter`, it is sent SIGINT then.
ProgramRun RunProgram(const std::vector<std::string>& args, const std::string& helper,
                      std::chrono::milliseconds stopAfter = std::chrono::milliseconds(0)) {
    ProgramRun r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
    std::vector<std::string> env = {"TESSALINE_OWNERS_HELPER=" + helper, "LC_ALL=C.UTF-8", "TZ=UTC"};
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    std::vector<char*> envp, argv{const_cast<char*>(TESSALINE_BIN)};
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(TESSALINE_BIN, argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) return r;
    std::thread stopper;
    if (stopAfter.count() > 0)
        stopper = std::thread([pid, stopAfter] {
            std::this_thread::sleep_for(stopAfter);
            kill(pid, SIGINT);
        });
    r.status = CollectOutput(pid, out[0], err[0], r.out, r.err, kTimeLimit);
    if (stopper.joinable()) stopper.join();
    return r;
}

class OwnerClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_EQ(owners::HelperPid(), -1) << "an owner helper serves this process already";
    }
    void TearDown() override { unsetenv("TESSALINE_OWNERS_HELPER"); }
    // A helper that runs the fake helper in `mode`.
    std::string Fake(const std::string& mode) const {
        const fs::path script = m_dir.Path() / mode;
        WriteScript(script, "exec " FAKE_OWNER_HELPER " " + mode);
        return script.string();
    }
    TempDir m_dir{"tessaline-owner-client-"};
};

// A helper that fails to start three times is tried again after pauses
// of 0.5, 1 and 2 s, and serves at the fourth start: never given up, and
// not started more often than the pauses allow.
TEST_F(OwnerClientTest, TriesAFailingHelperAgainAfterGrowingPauses) {
    const fs::path count = m_dir.Path() / "starts";
    const fs::path script = m_dir.Path() / "fails-three-times";
    WriteScript(script, "n=$(cat '" + count.string() + "' 2>/dev/null || echo 0)\n" + "echo $((n + 1)) > '" +
                            count.string() + "'\n" + "[ \"$n\" -ge 3 ] && exec " OWNER_HELPER "\nexit 1");
    setenv("TESSALINE_OWNERS_HELPER", script.c_str(), 1);
    const int udp = LoopbackUdp();
    ASSERT_GE(udp, 0);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::uint32_t> pids;
    bool answered = false;
    int queries = 0;
    while (!answered && std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
        answered = owners::QueryOwners(1, {InodeOf(udp)}, pids);
        ++queries;
        if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto took = std::chrono::steady_clock::now() - start;
    close(udp);
    int starts = 0;
    std::ifstream(count) >> starts;
    ASSERT_TRUE(answered) << "the helper was given up after " << starts << " starts";
    EXPECT_EQ(pids, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(getpid())}));
    EXPECT_EQ(starts, 4) << "in " << queries << " queries";
    EXPECT_GE(took, std::chrono::milliseconds(3500));
    EXPECT_EQ(OwnersIncompleteReason(1), "") << "a helper that never served is no loss";
}

// A reply that says the search was cut short is used, and its table said
// to be incomplete; a table not asked for is not.
TEST_F(OwnerClientTest, KeepsWhyAnAnswerIsIncompleteForItsTable) {
    setenv("TESSALINE_OWNERS_HELPER", Fake("cut-short").c_str(), 1);
    std::vector<std::uint32_t> pids;
    ASSERT_TRUE(owners::QueryOwners(2, {1, 2}, pids));
    EXPECT_EQ(pids, (std::vector<std::uint32_t>{0, 0}));
    EXPECT_EQ(owners::OwnersGap(2), owners::OwnerGap::SearchCutShort);
    EXPECT_NE(OwnersIncompleteReason(2).find("stopped its search at its time limit"), std::string::npos)
        << OwnersIncompleteReason(2);
    EXPECT_EQ(OwnersIncompleteReason(0), "");
}

// A helper that could read every process and then stops answering leaves
// the owners of other users missing: said so until it serves again.
TEST_F(OwnerClientTest, SaysOwnersAreMissingOnceAHelperThatServedFails) {
    setenv("TESSALINE_OWNERS_HELPER", Fake("once").c_str(), 1);
    std::vector<std::uint32_t> pids;
    ASSERT_TRUE(owners::QueryOwners(0, {1}, pids));
    EXPECT_EQ(OwnersIncompleteReason(0), "");
    EXPECT_FALSE(owners::QueryOwners(0, {1}, pids));
    EXPECT_EQ(owners::OwnersGap(0), owners::OwnerGap::HelperFailed);
    EXPECT_NE(OwnersIncompleteReason(0).find("did not answer"), std::string::npos) << OwnersIncompleteReason(0);
}

// A helper that cannot read the socket table names nobody: the program
// then finds the owners it may see itself (its own socket here), says the
// table's owners are incomplete, and keeps the helper for the next table.
TEST_F(OwnerClientTest, FindsOwnersItselfWhenTheHelperCannotReadTheTable) {
    const int udp = LoopbackUdp();
    ASSERT_GE(udp, 0);
    setenv("TESSALINE_OWNERS_HELPER", Fake("unreadable").c_str(), 1);
    std::vector<std::uint32_t> pids;
    EXPECT_FALSE(owners::QueryOwners(1, {InodeOf(udp)}, pids));
    EXPECT_EQ(owners::OwnersGap(1), owners::OwnerGap::TableUnreadable);
    EXPECT_GT(owners::HelperPid(), 0) << "a helper that answered was ended";
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
    const ProgramRun print = RunProgram({"--print", "udp"}, Fake("unreadable"));
    close(udp);
    EXPECT_EQ(print.status, 0) << print.err;
    char line[96];
    std::snprintf(line, sizeof line, "127.000.000.001:%d [ PID %5d : ", ntohs(address.sin_port), getpid());
    EXPECT_NE(print.out.find(line), std::string::npos) << line << "\n" << print.out;
    EXPECT_NE(print.err.find("tessaline: owners of UDP sockets are incomplete: the owner helper could not read the "
                             "socket table"),
              std::string::npos)
        << print.err;
}

// --print says on stderr which owners are incomplete and why, with status
// 0 (the table itself was read); the detail lines of a line without an
// owner say it too.  --watch says it as soon as it knows.
TEST_F(OwnerClientTest, PrintAndWatchSayOwnersAreIncompleteAndWhy) {
    const int udp = LoopbackUdp();
    ASSERT_GE(udp, 0);
    const std::string helper = Fake("cut-short");
    const std::string said =
        "tessaline: owners of UDP sockets are incomplete: the owner helper stopped its search at its time limit";
    const ProgramRun print = RunProgram({"--print", "udp", "--details"}, helper);
    EXPECT_EQ(print.status, 0) << print.err;
    EXPECT_NE(print.err.find(said), std::string::npos) << print.err;
    EXPECT_NE(
        print.out.find("\n    Owner not visible to this user\n    Owners incomplete: the owner helper stopped its "
                       "search at its time limit"),
        std::string::npos)
        << print.out;
    const ProgramRun watch = RunProgram({"--watch", "udp"}, helper, std::chrono::milliseconds(3500));
    close(udp);
    EXPECT_EQ(watch.status, 0) << watch.err;
    EXPECT_NE(watch.err.find(said), std::string::npos) << watch.err;
    EXPECT_EQ(watch.err.find(said), watch.err.rfind(said)) << "said more than once:\n" << watch.err;
}

}  // namespace
