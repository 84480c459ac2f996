// Where the process files are read: TESSALINE_PROC_ROOT (fixtures), else
// the proc folder of the machine root that another host's capture is
// written under (TESSALINE_MACHINE_ROOT), else /proc.  secure_getenv: a
// program given capabilities ignores the variables, so that nobody can
// point its privileged reads elsewhere.  The text lasts until the calling
// thread's next call.
#pragma once

#include <cstdlib>
#include <string>

// Another machine's root (TESSALINE_MACHINE_ROOT), or null for this one.
inline const char* MachineRootFromEnvironment() {
    const char* machine = secure_getenv("TESSALINE_MACHINE_ROOT");
    return machine != nullptr && *machine != '\0' ? machine : nullptr;
}

inline const char* ProcRootFromEnvironment() {
    const char* root = secure_getenv("TESSALINE_PROC_ROOT");
    if (root != nullptr && *root != '\0') return root;
    const char* machine = MachineRootFromEnvironment();
    if (machine == nullptr) return "/proc";
    thread_local std::string composed;
    composed = std::string(machine) + "/proc";
    return composed.c_str();
}
