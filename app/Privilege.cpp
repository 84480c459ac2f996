#include "Privilege.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using CapabilityData = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

std::string Failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool RunsAsRoot() { return ::getuid() == 0 && ::geteuid() == 0; }

std::string ShedPrivilege() {
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0) return Failure("getresuid");
    // The group first: once the user is no longer privileged it may not be
    // changed.
    if ((egid != rgid || sgid != rgid) && ::setresgid(rgid, rgid, rgid) != 0) return Failure("setresgid");
    if ((euid != ruid || suid != ruid) && ::setresuid(ruid, ruid, ruid) != 0) return Failure("setresuid");

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    CapabilityData none{};
    if (::syscall(SYS_capset, &header, none) != 0) return Failure("capset");
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        return Failure("PR_CAP_AMBIENT_CLEAR_ALL");
    CapabilityData now{};
    if (::syscall(SYS_capget, &header, now) != 0) return Failure("capget");
    for (const auto& word : now)
        if (word.permitted != 0 || word.effective != 0 || word.inheritable != 0) return "capabilities remain";
    return {};
}
