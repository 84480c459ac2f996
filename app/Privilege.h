// The program holds no capability and no borrowed identity.
//
// The window loads code that its user's environment names (toolkit plugins,
// themes, input methods), so a process that loads the toolkit must hold no
// more privilege than that user.  `tessaline` is never given capabilities:
// owners are found by the small helper that alone may hold them.  In case a
// copy was given some all the same, or was made set-user-ID, it gives them
// up before anything else runs.
#pragma once

#include <string>

// Takes the real user and group back as the effective and saved ones when
// they differ, and empties the permitted, effective, inheritable and ambient
// capability sets.  Empty on success, else what failed.
std::string ShedPrivilege();

// Whether the process runs as root (real and effective user 0): root's
// privilege is its user, which shedding capabilities would not take away,
// and a report printed as root may use them.
bool RunsAsRoot();
