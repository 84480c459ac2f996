// Process owner labels, the debug privilege scope around each lookup, and the
// program's refusal of its environment overrides when given capabilities.
//
// Most tests need root: they start processes of other users and move
// capabilities between the sets.  Processes a test starts are ended by pid.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildOutput.h"
#include "OwnerProtocol.h"
#include "ProcStatus.h"
#include "ProcessOwner.h"
#include "TempDir.h"
#include "WideText.h"
#include "processes.h"

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif
#else
constexpr bool kSanitizerBuild = false;
#endif

constexpr uid_t kNobody = 65534;
constexpr uid_t kOtherUser = 65533;
constexpr auto kTimeLimit = std::chrono::seconds(30);

// The live tests read the real /proc and the real provider, whatever the
// shell that started them had set.
const bool kOverridesCleared = [] {
    unsetenv("TESSALINE_PROC_ROOT");
    unsetenv("TESSALINE_LIBRARY_PATH");
    return true;
}();

std::string Format(const char* format, long pid, const std::string& text) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, static_cast<int>(pid));
    return buf + text;
}
std::string Named(long pid, const std::string& name) { return Format("PID %5d : ", pid, name); }
std::string Fallback(long pid) { return Format("PID %5d : ", pid, "NT Kernel & System"); }

std::string Label(CProcessExplorer& explorer, DWORD pid) { return WideToUtf8(explorer.GetProcessLabel(pid)); }
std::string Label(DWORD pid) {
    CProcessExplorer explorer;
    return Label(explorer, pid);
}

std::string OwnExecutableName() { return fs::read_symlink("/proc/self/exe").filename().string(); }

// A pid no process can have: pids stay below pid_max.
DWORD MissingPid() {
    long max = 4194304;
    std::ifstream("/proc/sys/kernel/pid_max") >> max;
    return static_cast<DWORD>(max);
}

bool PtraceIn(cap_flag_t set) {
    cap_t caps = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    if (caps != nullptr) cap_get_flag(caps, CAP_SYS_PTRACE, set, &value);
    cap_free(caps);
    return value == CAP_SET;
}
bool PtraceEffective() { return PtraceIn(CAP_EFFECTIVE); }
bool PtracePermitted() { return PtraceIn(CAP_PERMITTED); }

// Raises or drops CAP_SYS_PTRACE in the calling thread's effective set.
bool SetPtraceEffective(bool on) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    cap_value_t value = CAP_SYS_PTRACE;
    const bool ok =
        cap_set_flag(caps, CAP_EFFECTIVE, 1, &value, on ? CAP_SET : CAP_CLEAR) == 0 && cap_set_proc(caps) == 0;
    cap_free(caps);
    return ok;
}

// 0 when the process opens (the handle is closed again), else the error.
DWORD OpenError(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (process == nullptr) return GetLastError();
    CloseHandle(process);
    return 0;
}

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Switches the calling process to `id` as user and group.  With
// `keepPtrace` CAP_SYS_PTRACE stays in the permitted set (and only there);
// without it every capability goes.
bool BecomeUser(uid_t id, bool keepPtrace) {
    if (keepPtrace && prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return false;
    if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) return false;
    if (!keepPtrace) return true;
    cap_t caps = cap_init();
    cap_value_t value = CAP_SYS_PTRACE;
    const bool ok =
        caps != nullptr && cap_set_flag(caps, CAP_PERMITTED, 1, &value, CAP_SET) == 0 && cap_set_proc(caps) == 0;
    cap_free(caps);
    return ok;
}

int WaitBounded(pid_t pid) { return ::WaitBounded(pid, kTimeLimit); }

// Runs `body` in a forked child; the child's exit status is what it returns.
int RunInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        _exit(code);
    }
    return WaitBounded(pid);
}

// The checks a forked child makes: each failure is printed on stderr, and the
// child exits with the number of the first one (0 when all held).
class ChildChecks {
public:
    void Expect(bool ok, const std::string& what) {
        ++m_count;
        if (ok) return;
        std::fprintf(stderr, "child check %d failed: %s\n", m_count, what.c_str());
        if (m_firstFailure == 0) m_firstFailure = m_count;
    }
    void ExpectEq(const std::string& actual, const std::string& expected, const std::string& what) {
        Expect(actual == expected, what + ": got \"" + actual + "\", expected \"" + expected + "\"");
    }
    int Status() const { return m_firstFailure; }

private:
    int m_count = 0;
    int m_firstFailure = 0;
};

std::string SleepPath() { return fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep"; }

// A `sleep` started as another user (or as the caller when `user` is empty),
// killed by its pid when the object goes.  The constructor returns once the
// exec has happened, so the process already shows as "sleep".
class SleepingProcess {
public:
    explicit SleepingProcess(std::optional<uid_t> user) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        const std::string sleep = SleepPath();
        std::fflush(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            if (!user || BecomeUser(*user, false)) execl(sleep.c_str(), "sleep", "600", static_cast<char*>(nullptr));
            const int error = errno;
            [[maybe_unused]] ssize_t n = write(ready[1], &error, sizeof error);
            _exit(127);
        }
        close(ready[1]);
        if (m_pid < 0) {
            close(ready[0]);
            return;
        }
        // End of file: the exec closed the write end.  Data: it failed.
        pollfd fd{ready[0], POLLIN, 0};
        int error = 0;
        m_started = poll(&fd, 1, 10000) == 1 && read(ready[0], &error, sizeof error) == 0;
        close(ready[0]);
    }
    ~SleepingProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    SleepingProcess(const SleepingProcess&) = delete;
    SleepingProcess& operator=(const SleepingProcess&) = delete;

    bool Started() const { return m_started; }
    DWORD Pid() const { return static_cast<DWORD>(m_pid); }

private:
    pid_t m_pid = -1;
    bool m_started = false;
};

// Points the process lookups at another proc root for the object's lifetime.
class ProcRootOverride {
public:
    explicit ProcRootOverride(const fs::path& root) { setenv("TESSALINE_PROC_ROOT", root.c_str(), 1); }
    ~ProcRootOverride() { unsetenv("TESSALINE_PROC_ROOT"); }
    ProcRootOverride(const ProcRootOverride&) = delete;
    ProcRootOverride& operator=(const ProcRootOverride&) = delete;
};

// A proc root of pid directories, each with an exe link to the given target
// (readlink reads a dangling link as well), or none when the target is empty.
struct FakeProcess {
    DWORD pid;
    std::optional<std::string> exe;
};
void BuildProcRoot(const fs::path& root, const std::vector<FakeProcess>& processes) {
    for (const FakeProcess& p : processes) {
        const fs::path dir = root / std::to_string(p.pid);
        fs::create_directories(dir);
        if (p.exe) fs::create_symlink(*p.exe, dir / "exe");
    }
}

void RequireRoot() {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start processes of other users";
}

// ---------------------------------------------------------------------------
// Labels

TEST(ProcessLabel, LiveProcesses) {
    const DWORD self = static_cast<DWORD>(getpid());
    EXPECT_EQ(Label(0), "PID     0 : NT Kernel & System");
    EXPECT_EQ(Label(self), Named(self, OwnExecutableName()));

    CProcessExplorer explorer;
    const DWORD missing = MissingPid();
    EXPECT_EQ(Label(explorer, missing), Fallback(missing));
    EXPECT_EQ(explorer.m_dwLastError, ERROR_INVALID_PARAMETER);
}

TEST(ProcessLabel, FixtureProcRoot) {
    TempDir root("proc-root-processes-");
    ASSERT_FALSE(root.Path().empty());
    BuildProcRoot(root.Path(), {{123456, "/opt/app/fixture-daemon"},
                                {123457, "/usr/bin/thing (deleted)"},
                                {123458, std::nullopt},
                                {42, "/opt/app/short"},
                                {123459, "/opt/d\xc3\xa9mon"},
                                {4194303, "/usr/sbin/seven-digits"}});
    ProcRootOverride use(root.Path());

    struct Case {
        const char* what;
        DWORD pid;
        std::string label;
    };
    const Case cases[] = {
        {"six-digit pid printed whole", 123456, "PID 123456 : fixture-daemon"},
        {"executable deleted since it started", 123457, "PID 123457 : thing"},
        {"no exe link, like a kernel thread", 123458, "PID 123458 : NT Kernel & System"},
        {"short pid padded to five", 42, "PID    42 : short"},
        {"UTF-8 file name", 123459, "PID 123459 : d\xc3\xa9mon"},
        {"largest pid", 4194303, "PID 4194303 : seven-digits"},
        {"pid not under the root", 123460, "PID 123460 : NT Kernel & System"},
    };
    for (const Case& c : cases) EXPECT_EQ(Label(c.pid), c.label) << c.what;

    // The live processes are not under this root.
    const DWORD self = static_cast<DWORD>(getpid());
    EXPECT_EQ(Label(self), Fallback(self));
}

TEST(ProcessLabel, KernelThreadHasNoName) {
    std::string comm;
    std::getline(std::ifstream("/proc/2/comm"), comm);
    if (comm != "kthreadd") GTEST_SKIP() << "pid 2 is not kthreadd on this machine";
    char target[PATH_MAX];
    if (readlink("/proc/2/exe", target, sizeof target) >= 0) GTEST_SKIP() << "pid 2 has an executable here";
    EXPECT_EQ(Label(2), Fallback(2));
}

// ---------------------------------------------------------------------------
// Processes of other users

TEST(ProcessLabelOtherUsers, RootNamesAnotherUsersProcess) {
    RequireRoot();
    SleepingProcess nobody(kNobody);
    ASSERT_TRUE(nobody.Started());
    // The thread starts without the privilege, so the name can only come
    // from the lookup raising it.
    ASSERT_TRUE(SetPtraceEffective(false));
    ASSERT_EQ(OpenError(nobody.Pid()), ERROR_ACCESS_DENIED) << "readable without CAP_SYS_PTRACE";

    EXPECT_EQ(Label(nobody.Pid()), Named(nobody.Pid(), "sleep"));
    EXPECT_FALSE(PtraceEffective());
}

TEST(ProcessLabelOtherUsers, UserWithoutCapabilitiesGetsTheFallbackForRootsProcess) {
    RequireRoot();
    const DWORD rootProcess = static_cast<DWORD>(getpid());
    const int status = RunInChild([&] {
        if (!BecomeUser(kOtherUser, false)) return 100;
        ChildChecks check;
        CProcessExplorer explorer;
        check.ExpectEq(Label(explorer, rootProcess), Fallback(rootProcess), "label of root's process");
        check.Expect(explorer.m_dwLastError == ERROR_ACCESS_DENIED,
                     "m_dwLastError is " + std::to_string(explorer.m_dwLastError) + ", expected 5");
        return check.Status();
    });
    EXPECT_EQ(status, 0) << "the child's failed check is printed above";
}

TEST(ProcessLabelOtherUsers, UserWithPtracePermittedNamesRootsProcess) {
    RequireRoot();
    const DWORD rootProcess = static_cast<DWORD>(getpid());
    const std::string expected = Named(rootProcess, OwnExecutableName());
    const int status = RunInChild([&] {
        if (!BecomeUser(kOtherUser, true)) return 100;
        ChildChecks check;
        check.Expect(PtracePermitted() && !PtraceEffective(), "CAP_SYS_PTRACE permitted only, before the lookup");
        check.Expect(OpenError(rootProcess) == ERROR_ACCESS_DENIED, "root's process unreadable without the privilege");
        check.ExpectEq(Label(rootProcess), expected, "label of root's process");
        check.Expect(!PtraceEffective(), "CAP_SYS_PTRACE still effective after the lookup");
        check.Expect(PtracePermitted(), "CAP_SYS_PTRACE no longer permitted after the lookup");
        return check.Status();
    });
    EXPECT_EQ(status, 0) << "the child's failed check is printed above";
}

// ---------------------------------------------------------------------------
// The privilege scope

TEST(DebugPrivilegeScope, FirstScopeOnAThreadImpersonatesAndLendsThePrivilegeOnlyWhileItLasts) {
    RequireRoot();
    SleepingProcess nobody(kNobody);
    ASSERT_TRUE(nobody.Started());
    const DWORD self = static_cast<DWORD>(getpid());
    const DWORD other = nobody.Pid();
    // This thread holds the capability throughout; the worker's scopes must
    // change the worker's sets only.
    ASSERT_TRUE(SetPtraceEffective(true));
    std::thread worker([self, other] {
        ASSERT_TRUE(SetPtraceEffective(false));
        ASSERT_EQ(OpenError(other), ERROR_ACCESS_DENIED) << "readable without the privilege";
        HANDLE token = nullptr;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
        EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
        {
            CDebugPrivilegeScoper scope;
            EXPECT_EQ(scope.m_dwLastError, ERROR_NO_TOKEN) << "the first scope found a token already";
            EXPECT_NE(scope.m_hToken, nullptr);
            EXPECT_TRUE(scope.m_bEnabled);
            EXPECT_EQ(OpenError(self), 0u);
            EXPECT_FALSE(PtraceEffective()) << "raised for a read of the thread's own process";
            EXPECT_EQ(OpenError(other), 0u) << "another user's process unreadable inside the first scope";
        }
        EXPECT_FALSE(PtraceEffective()) << "after the first scope";
        EXPECT_EQ(OpenError(other), ERROR_ACCESS_DENIED) << "readable after the first scope";

        token = nullptr;
        EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token)) << "no token after impersonating";
        if (token != nullptr) {
            EXPECT_TRUE(CloseHandle(token));
        }
        {
            CDebugPrivilegeScoper scope;
            EXPECT_EQ(scope.m_dwLastError, 0u) << "the second scope did not open the token directly";
            EXPECT_TRUE(scope.m_bEnabled);
            EXPECT_EQ(OpenError(other), 0u) << "another user's process unreadable inside the second scope";
        }
        EXPECT_FALSE(PtraceEffective()) << "after the second scope";
        EXPECT_EQ(OpenError(other), ERROR_ACCESS_DENIED) << "readable after the second scope";
    });
    worker.join();
    EXPECT_TRUE(PtraceEffective()) << "a scope on another thread changed this thread's capabilities";
}

TEST(DebugPrivilegeScope, WithoutThePrivilegeOwnProcessesAreStillNamed) {
    RequireRoot();
    const std::string ownName = OwnExecutableName();
    const int status = RunInChild([&] {
        if (!BecomeUser(kOtherUser, false)) return 100;
        ChildChecks check;
        {
            CDebugPrivilegeScoper scope;
            check.Expect(!scope.m_bEnabled, "m_bEnabled without CAP_SYS_PTRACE permitted");
            check.Expect(!PtraceEffective(), "CAP_SYS_PTRACE effective");
        }
        const DWORD self = static_cast<DWORD>(getpid());
        check.ExpectEq(Label(self), Named(self, ownName), "own label");
        SleepingProcess sibling(std::nullopt);
        check.Expect(sibling.Started(), "a sleep of the same user started");
        check.ExpectEq(Label(sibling.Pid()), Named(sibling.Pid(), "sleep"), "label of a process of the same user");
        return check.Status();
    });
    EXPECT_EQ(status, 0) << "the child's failed check is printed above";
}

// ---------------------------------------------------------------------------
// Resources

TEST(ProcessOwnerResources, ManyLookupsLeaveNoDescriptorsAndNoPrivilege) {
    const DWORD self = static_cast<DWORD>(getpid());
    // pid 1 may or may not be readable here; its label only has to stay the same.
    const DWORD pids[] = {self, 0, MissingPid(), 1};
    CProcessExplorer explorer;
    std::vector<std::string> first;
    for (DWORD pid : pids) first.push_back(Label(explorer, pid));
    ASSERT_EQ(first[0], Named(self, OwnExecutableName()));

    const std::size_t before = OpenDescriptors();
    const std::size_t heapBefore = mallinfo2().uordblks;
    int changed = 0;
    for (int i = 0; i < 10000; ++i)
        if (Label(explorer, pids[i % 4]) != first[i % 4]) ++changed;
    const std::size_t heapAfter = mallinfo2().uordblks;
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(changed, 0);
    EXPECT_FALSE(PtraceEffective());
    // A handle or token left behind per lookup grows the heap by hundreds of
    // kilobytes over the loop.  (A sanitizer build checks leaks at exit.)
    if (!kSanitizerBuild) {
        EXPECT_LT(heapAfter, heapBefore + 64 * 1024) << "the heap grew from " << heapBefore << " to " << heapAfter;
    }
}

TEST(ProcessOwnerHandles, OpenProcessRefusesPidsThatNameNoProcess) {
    for (const DWORD pid : {0u, MissingPid(), 0x80000000u, 0xFFFFFFFFu}) {
        SetLastError(NO_ERROR);
        EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid), nullptr) << pid;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << pid;
    }
}

TEST(ProcessOwnerHandles, CloseHandleReleasesTheProcess) {
    const std::size_t before = OpenDescriptors();
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
    ASSERT_NE(process, nullptr);
    HMODULE module = nullptr;
    DWORD needed = 0;
    EXPECT_TRUE(EnumProcessModules(process, &module, sizeof module, &needed));
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_EQ(OpenDescriptors(), before);

    SetLastError(NO_ERROR);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ProcessOwnerHandles, ModuleBaseNameIsCutToTheBufferInUtf16Units) {
    TempDir root("proc-root-processes-");
    ASSERT_FALSE(root.Path().empty());
    BuildProcRoot(root.Path(), {{123456, "/opt/app/fixture-daemon"}, {123459, "/opt/d\xc3\xa9mon"}});
    ProcRootOverride use(root.Path());

    struct Case {
        DWORD pid;
        DWORD size;
        std::u16string name;  // what lands in the buffer
        bool terminated;
    };
    const Case cases[] = {
        {123456, 1, u"f", false},
        {123456, 7, u"fixture", false},
        {123456, 14, u"fixture-daemon", false},
        {123456, 15, u"fixture-daemon", true},
        {123456, 2048, u"fixture-daemon", true},
        // Six bytes of UTF-8, five units of UTF-16.
        {123459, 2, u"d\u00e9", false},
        {123459, 5, u"d\u00e9mon", false},
        {123459, 6, u"d\u00e9mon", true},
    };
    for (const Case& c : cases) {
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, c.pid);
        ASSERT_NE(process, nullptr) << c.pid;
        HMODULE module = nullptr;
        DWORD needed = 0;
        ASSERT_TRUE(EnumProcessModules(process, &module, sizeof module, &needed));
        std::u16string buffer(4096, u'#');
        const DWORD copied = GetModuleBaseNameW(process, module, buffer.data(), c.size);
        EXPECT_EQ(copied, c.name.size()) << c.pid << " into " << c.size;
        EXPECT_EQ(WideToUtf8(buffer.substr(0, copied)), WideToUtf8(c.name)) << c.pid << " into " << c.size;
        if (c.terminated) {
            EXPECT_EQ(buffer[copied], u'\0') << c.pid << " into " << c.size;
        } else {
            EXPECT_EQ(buffer[c.size], u'#') << "written past the buffer: " << c.pid << " into " << c.size;
        }
        CloseHandle(process);
    }
}

// ---------------------------------------------------------------------------
// Secure execution

struct Output {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` with exactly `env`, as `user` when given, with `input` (a
// few kilobytes at most) on its standard input; stdout and stderr come back
// through pipes.  Ended by its pid after kTimeLimit.
Output RunProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                  std::optional<uid_t> user, const std::string& input = {}) {
    Output r;
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return r;
    }
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
        return r;
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!user || BecomeUser(*user, false)) execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }
    if (!input.empty()) {
        [[maybe_unused]] const ssize_t n = write(inPipe[1], input.data(), input.size());
    }
    close(inPipe[1]);
    r.status = CollectOutput(pid, outPipe[0], errPipe[0], r.out, r.err, kTimeLimit);
    return r;
}

std::optional<long> DefaultTtlIn(const std::string& report) {
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string name;
        long value = 0;
        if (words >> name && name == "DefaultTTL" && words >> value) return value;
    }
    return std::nullopt;
}

// The kernel's IP DefaultTTL from /proc/net/snmp.
std::optional<long> KernelDefaultTtl() {
    std::ifstream in("/proc/net/snmp");
    std::string header, values;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Ip: ", 0) != 0) continue;
        (header.empty() ? header : values) = line;
    }
    std::istringstream h(header), v(values);
    std::string name, value;
    while (h >> name && v >> value)
        if (name == "DefaultTTL") return std::stol(value);
    return std::nullopt;
}

// Why another user cannot reach `path`, or empty when every directory on
// the way can be searched and the file read.
std::string UnreachableByOthers(const fs::path& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return path.string() + " is missing";
    if ((st.st_mode & S_IROTH) == 0) return path.string() + " is not readable by other users";
    for (fs::path dir = path.parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return dir.string() + " cannot be searched by other users";
    }
    return {};
}

// A copy of the program, its provider, its window module and its owner
// helper in a directory of its own inside the build tree (the temporary
// directory may be mounted nosuid, where file capabilities are ignored),
// which uid 65534 can read and run.  The program finds the provider, the
// window and the helper beside itself.
class ProgramCopy {
public:
    ProgramCopy() : m_dir("secure-exec-", fs::path(TESSALINE_BIN).parent_path().parent_path()) {}

    // Empty on success, else why the copy cannot serve.
    std::string Prepare() {
        if (m_dir.Path().empty()) return "cannot create a directory in the build tree";
        struct statvfs fsInfo {};
        if (statvfs(m_dir.Path().c_str(), &fsInfo) == 0 && (fsInfo.f_flag & ST_NOSUID) != 0)
            return "the build tree is mounted nosuid, where file capabilities do not apply";
        std::error_code ec;
        for (const fs::path& file : {fs::path(TESSALINE_BIN), fs::path(PROVIDER_DIR) / "libiphlpapi.so",
                                     fs::path(OWNER_HELPER), fs::path(WINDOW_MODULE)}) {
            if (!ec) fs::copy_file(file, m_dir.Path() / file.filename(), ec);
            if (!ec) chmod((m_dir.Path() / file.filename()).c_str(), 0755);
        }
        if (!ec) fs::create_directory(EmptyRoot(), ec);
        if (!ec) fs::create_directory(Probes(), ec);
        if (ec) return "cannot copy the program: " + ec.message();
        chmod(m_dir.Path().c_str(), 0755);
        chmod(EmptyRoot().c_str(), 0755);
        chmod(Probes().c_str(), 01777);  // the probe plugin writes here as uid 65534
        for (const fs::path& p : {Program(), Helper(), fs::path(FAKE_FULL_DIR) / "libiphlpapi.so",
                                  fs::path(PROBE_PLUGINS) / "styles" / "libprobe_style.so"})
            if (std::string why = UnreachableByOthers(p); !why.empty()) return why;
        return {};
    }

    // Gives `file` CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH as file
    // capabilities (permitted only).  Empty on success, else why not.
    static std::string GrantCapabilities(const fs::path& file) {
        std::string setcap;
        for (const char* candidate : {"/usr/sbin/setcap", "/sbin/setcap", "/usr/bin/setcap", "/bin/setcap"})
            if (access(candidate, X_OK) == 0) setcap = candidate;
        if (setcap.empty()) return "setcap (libcap2-bin) is not installed";
        const Output r = RunProgram(setcap, {"cap_sys_ptrace,cap_dac_read_search+p", file.string()},
                                    {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, std::nullopt);
        if (r.status != 0) return "setcap failed (" + std::to_string(r.status) + "): " + r.err;
        return {};
    }

    // The copy run as uid 65534 with the ordinary environment plus `extra`.
    Output RunAsNobody(const std::vector<std::string>& args, const std::vector<std::string>& extra) const {
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8", "TZ=UTC", "QT_QPA_PLATFORM=offscreen",
                                        "HOME=/nonexistent"};
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
        env.insert(env.end(), extra.begin(), extra.end());
        return RunProgram(Program(), args, env, kNobody);
    }

    fs::path Program() const { return m_dir.Path() / "tessaline"; }
    fs::path Helper() const { return m_dir.Path() / "tessaline-owners"; }
    fs::path EmptyRoot() const { return m_dir.Path() / "empty-proc"; }
    fs::path Probes() const { return m_dir.Path() / "probes"; }
    std::vector<std::string> Overrides() const {
        return {"TESSALINE_LIBRARY_PATH=" FAKE_FULL_DIR, "TESSALINE_PROC_ROOT=" + EmptyRoot().string()};
    }

private:
    TempDir m_dir;
};

std::string Describe(const Output& r) {
    return "exit " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// In a sanitizer build the runtime may refuse a program with capabilities
// (it cannot trace itself for leak checks, for one); that is the build's
// limit, not the program's.
bool SanitizerRefused(const Output& r) { return kSanitizerBuild && r.status != 0 && r.status != 3; }

// A program given capabilities by mistake still cannot be pointed at other
// code or files through its environment.
TEST(SecureExecution, ProgramWithFileCapabilitiesIgnoresLibraryAndProcRootOverrides) {
    RequireRoot();
    const std::optional<long> ttl = KernelDefaultTtl();
    ASSERT_TRUE(ttl.has_value());
    ASSERT_NE(*ttl, 0);
    ProgramCopy copy;
    if (const std::string why = copy.Prepare(); !why.empty()) GTEST_SKIP() << why;

    // Without capabilities each override shows, so the test can tell.
    const Output plain = copy.RunAsNobody({"--print", "ip"}, {});
    ASSERT_EQ(plain.status, 0) << Describe(plain);
    EXPECT_EQ(DefaultTtlIn(plain.out), ttl) << "the copy does not find its own provider\n" << Describe(plain);
    const Output faked = copy.RunAsNobody({"--print", "ip"}, copy.Overrides());
    ASSERT_EQ(faked.status, 0) << Describe(faked);
    EXPECT_EQ(DefaultTtlIn(faked.out), 0) << "TESSALINE_LIBRARY_PATH is not honoured\n" << Describe(faked);
    const Output emptyRoot = copy.RunAsNobody({"--print", "ip"}, {"TESSALINE_PROC_ROOT=" + copy.EmptyRoot().string()});
    EXPECT_EQ(emptyRoot.status, 3) << "a failed snapshot exits with 3\n" << Describe(emptyRoot);
    EXPECT_EQ(DefaultTtlIn(emptyRoot.out), 0) << "TESSALINE_PROC_ROOT is not honoured\n" << Describe(emptyRoot);

    if (const std::string why = ProgramCopy::GrantCapabilities(copy.Program()); !why.empty()) GTEST_SKIP() << why;
    const Output privileged = copy.RunAsNobody({"--print", "ip"}, copy.Overrides());
    if (SanitizerRefused(privileged))
        GTEST_SKIP() << "the sanitizer runtime does not run a program with file capabilities\n" << Describe(privileged);
    ASSERT_EQ(privileged.status, 0) << Describe(privileged);
    EXPECT_EQ(DefaultTtlIn(privileged.out), ttl) << "an override was honoured\n" << Describe(privileged);
}

// The helper alone carries the capabilities: an unprivileged user then sees
// root's socket owners, and the process that loads the toolkit holds no
// capability, whatever plugin the user's environment names.
TEST(OwnerHelperWithCapabilities, NamesRootsSocketOwnersWhileTheWindowHoldsNoCapability) {
    RequireRoot();
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool listening = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                           listen(listener, 1) == 0 &&
                           getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    const std::string local = "127.000.000.001:" + std::to_string(ntohs(address.sin_port)) + " ";
    const std::string owner = Named(getpid(), OwnExecutableName());
    auto lineOf = [&](const std::string& report) {
        std::istringstream in(report);
        for (std::string line; std::getline(in, line);)
            if (line.find(local) != std::string::npos) return line;
        return std::string();
    };
    // The window started with a style plugin of the user's choice; what the
    // plugin saw of its process.
    auto probeWindow = [](const ProgramCopy& copy, const std::string& name) {
        const fs::path out = copy.Probes() / name;
        const Output run = copy.RunAsNobody(
            {}, {"QT_PLUGIN_PATH=" PROBE_PLUGINS, "QT_STYLE_OVERRIDE=probe", "TESSALINE_PROBE_OUT=" + out.string(),
                 "TESSALINE_PROBE_EXIT=1"});
        std::ifstream in(out);
        std::stringstream status;
        status << in.rdbuf();
        return std::make_pair(run, status.str());
    };

    ProgramCopy copy;
    std::string why = listening ? copy.Prepare() : "cannot listen on loopback";
    if (why.empty()) {
        // Without capabilities uid 65534 sees the socket but not its owner.
        const Output plain = copy.RunAsNobody({"--print", "tcp"}, {});
        EXPECT_EQ(plain.status, 0) << Describe(plain);
        const std::string line = lineOf(plain.out);
        EXPECT_FALSE(line.empty()) << local << "missing\n" << Describe(plain);
        EXPECT_EQ(line.find(owner), std::string::npos) << "named without capabilities: " << line;
        why = ProgramCopy::GrantCapabilities(copy.Helper());
    }
    if (why.empty()) {
        // The helper started by the user directly: asked for root's socket
        // and for a file of root's, it names the socket's owner and nothing
        // of the file; asked for a path, it ends without an answer.
        struct stat shadow {};
        const std::uint64_t rootSocket = [&] {
            struct stat st {};
            return fstat(listener, &st) == 0 ? st.st_ino : 0;
        }();
        const std::uint64_t rootFile = stat("/etc/shadow", &shadow) == 0 ? shadow.st_ino : 1;
        std::vector<std::uint8_t> request = owners::EncodeOwnersRequest({0, {rootSocket, rootFile}});
        // Then the paths of the socket's owner and of init, which owns none
        // of the sockets asked for: only the owner's are told.
        const std::uint32_t pathPids[] = {static_cast<std::uint32_t>(getpid()), 1};
        const std::vector<std::uint8_t> pathsRequest = owners::EncodePathsRequest(pathPids);
        request.insert(request.end(), pathsRequest.begin(), pathsRequest.end());
        const Output asked = RunProgram(copy.Helper().string(), {}, {}, kNobody, std::string(request.begin(), request.end()));
        if (SanitizerRefused(asked)) {
            why = "the sanitizer runtime does not run a program with file capabilities\n" + Describe(asked);
        } else {
            EXPECT_EQ(asked.status, 0) << Describe(asked);
            const std::size_t replyAt = owners::kHeaderSize + owners::kHelloLength + owners::kHeaderSize;
            ASSERT_GT(asked.out.size(), replyAt) << Describe(asked);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(asked.out.data());
            std::uint32_t replyLength = 0;
            std::memcpy(&replyLength, bytes + replyAt - owners::kHeaderSize + 4, sizeof replyLength);
            ASSERT_LE(replyAt + replyLength, asked.out.size()) << Describe(asked);
            const auto reply =
                owners::DecodeOwnersReply(std::span<const std::uint8_t>(bytes + replyAt, replyLength), 2);
            ASSERT_TRUE(reply) << "no reply of the protocol";
            const std::size_t pathsAt = replyAt + replyLength + owners::kHeaderSize;
            ASSERT_LE(pathsAt, asked.out.size()) << "no answer to the paths request";
            const auto paths = owners::DecodePathsReply(
                std::span<const std::uint8_t>(bytes + pathsAt, asked.out.size() - pathsAt), pathPids);
            ASSERT_TRUE(paths) << "no paths reply of the protocol";
            ASSERT_EQ(paths->paths.size(), 1u) << "a process that owns no socket asked for is told of";
            EXPECT_EQ(paths->paths[0].pid, static_cast<std::uint32_t>(getpid()));
            EXPECT_EQ(paths->paths[0].path, fs::read_symlink("/proc/self/exe").string());
            EXPECT_NE(paths->paths[0].netNamespace, 0u);
            EXPECT_EQ(reply->pids, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(getpid()), 0}));
            ASSERT_EQ(reply->names.size(), 1u);
            EXPECT_EQ(reply->names[0].name, OwnExecutableName());
            const Output path = RunProgram(copy.Helper().string(), {}, {}, kNobody, "/etc/shadow\n");
            EXPECT_EQ(path.status, 2) << Describe(path);
            EXPECT_EQ(path.out.size(), owners::kHeaderSize + owners::kHelloLength) << "more than a hello";
        }
    }
    if (why.empty()) {
        const Output privileged = copy.RunAsNobody({"--print", "tcp"}, {});
        if (SanitizerRefused(privileged)) {
            why = "the sanitizer runtime does not run a program with file capabilities\n" + Describe(privileged);
        } else {
            EXPECT_EQ(privileged.status, 0) << Describe(privileged);
            EXPECT_NE(lineOf(privileged.out).find(owner), std::string::npos)
                << "expected " << owner << " on the line of " << local << "\n"
                << Describe(privileged);
            // The details of root's socket: its owner's full path comes from
            // the helper, its user and command line from files anyone reads.
            const Output details = copy.RunAsNobody({"--print", "tcp", "--details"}, {});
            const std::size_t at = details.out.find(lineOf(privileged.out));
            ASSERT_NE(at, std::string::npos) << Describe(details);
            const std::string under = details.out.substr(at, details.out.find("\n  1", at + 1) - at);
            EXPECT_NE(under.find("    Process: " + std::to_string(getpid()) + " " +
                                 fs::read_symlink("/proc/self/exe").string() + "\n"),
                      std::string::npos)
                << under;
            EXPECT_NE(under.find("    User: root (0)\n"), std::string::npos) << under;
        }
    }
    if (why.empty()) {
        const auto [run, status] = probeWindow(copy, "window");
        ASSERT_FALSE(status.empty()) << "the probe plugin was not loaded\n" << Describe(run);
        EXPECT_EQ(StatusField(status, "Uid").substr(0, 5), "65534");
        EXPECT_EQ(StatusField(status, "CapPrm"), "0000000000000000");
        EXPECT_EQ(StatusField(status, "CapEff"), "0000000000000000");
        // A copy of the program itself given the capabilities, as a careless
        // administrator might: it sheds them before the toolkit is loaded.
        why = ProgramCopy::GrantCapabilities(copy.Program());
        if (why.empty()) {
            const auto [carelessRun, careless] = probeWindow(copy, "careless");
            if (!careless.empty()) {
                EXPECT_EQ(StatusField(careless, "CapPrm"), "0000000000000000") << careless;
                EXPECT_EQ(StatusField(careless, "CapEff"), "0000000000000000") << careless;
            } else {
                // The toolkit may refuse plugin paths from the environment of
                // a program started with capabilities; then nothing loaded.
                EXPECT_EQ(carelessRun.err.find("probe"), std::string::npos) << Describe(carelessRun);
            }
        }
    }
    close(listener);
    if (!why.empty()) GTEST_SKIP() << why;
}

}  // namespace
