#include "Sandbox.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/prctl.h>
#include <seccomp.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace owners {

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers' runtime traces its own threads for the leak check at exit
// and makes calls of its own: under it the helper stays dumpable and runs
// without the allow-list.
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

constexpr cap_value_t kKept[] = {CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH};

bool Kept(cap_value_t c) { return c == kKept[0] || c == kKept[1]; }

std::string Failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::string KeepOnlyOwnerCapabilities() {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return Failure("cap_get_proc");
    // Root's helper narrows its bounding set while it still may
    // (CAP_SETPCAP), so that not even an exec could give the rest back.
    cap_flag_value_t setpcap = CAP_CLEAR;
    if (cap_get_flag(caps, CAP_SETPCAP, CAP_EFFECTIVE, &setpcap) == 0 && setpcap == CAP_SET) {
        for (cap_value_t c = 0; c <= CAP_LAST_CAP; ++c)
            if (!Kept(c) && prctl(PR_CAPBSET_DROP, c, 0, 0, 0) != 0 && errno != EINVAL) {
                cap_free(caps);
                return Failure("PR_CAPBSET_DROP");
            }
    }
    cap_flag_value_t held[2] = {CAP_CLEAR, CAP_CLEAR};
    for (int i = 0; i < 2; ++i) cap_get_flag(caps, kKept[i], CAP_PERMITTED, &held[i]);
    cap_clear(caps);
    for (int i = 0; i < 2; ++i)
        if (held[i] == CAP_SET) cap_set_flag(caps, CAP_PERMITTED, 1, &kKept[i], CAP_SET);
    const bool ok = cap_set_proc(caps) == 0;
    cap_free(caps);
    if (!ok) return Failure("cap_set_proc");
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        return Failure("PR_CAP_AMBIENT_CLEAR_ALL");
    return {};
}

std::string LockDown() {
    if (::close_range(3, ~0u, 0) != 0 && errno != ENOSYS) return Failure("close_range");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Failure("PR_SET_NO_NEW_PRIVS");
    if (kSanitizerBuild) return {};
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return Failure("PR_SET_DUMPABLE");

    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr) return "seccomp_init failed";
    int rc = 0;
    auto allow = [&](int call) {
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    };
    for (int call : {
             // Requests in, replies out; the fd directories and links; the
             // socket table's dump (its socket is allowed below).
             SCMP_SYS(read), SCMP_SYS(close), SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(getdents64),
             SCMP_SYS(sendto), SCMP_SYS(recvfrom),
             SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
             SCMP_SYS(lseek), SCMP_SYS(fcntl), SCMP_SYS(getppid), SCMP_SYS(getpid), SCMP_SYS(gettid),
             SCMP_SYS(getrlimit), SCMP_SYS(prlimit64), SCMP_SYS(sched_getaffinity),
             // Memory, and the second thread that shares a large walk (the C library
             // sets its signal handlers up when it starts the first).
             SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
             SCMP_SYS(madvise), SCMP_SYS(futex), SCMP_SYS(clone), SCMP_SYS(clone3), SCMP_SYS(set_robust_list),
             SCMP_SYS(rseq), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction), SCMP_SYS(sched_yield), SCMP_SYS(restart_syscall),
             SCMP_SYS(clock_gettime), SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(getrandom),
             // Raising and dropping the two capabilities, and the end.
             SCMP_SYS(capget), SCMP_SYS(capset), SCMP_SYS(exit), SCMP_SYS(exit_group)})
        allow(call);
    // Opens of directories for reading only: nothing can be created,
    // truncated or written, and no file's contents read.  The helper reads
    // links (readlinkat) and directory listings alone; the one file it
    // needs, its mount table, is read before the filter is in place.
    // (O_TMPFILE holds O_DIRECTORY but needs a write mode.)
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1,
                              SCMP_A2(SCMP_CMP_MASKED_EQ, O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | O_DIRECTORY,
                                      O_RDONLY | O_DIRECTORY));
    // The socket of a sock_diag dump, and no other.
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 3, SCMP_A0(SCMP_CMP_EQ, AF_NETLINK),
                              SCMP_A1(SCMP_CMP_EQ, SOCK_RAW | SOCK_CLOEXEC), SCMP_A2(SCMP_CMP_EQ, NETLINK_SOCK_DIAG));
    // Writes to standard output (the replies) and error (a last word).
    for (scmp_datum_t fd : {1u, 2u})
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, fd));
    if (rc == 0) rc = seccomp_load(filter);
    seccomp_release(filter);
    if (rc != 0) return std::string("seccomp: ") + std::strerror(-rc);
    return {};
}

}  // namespace owners
