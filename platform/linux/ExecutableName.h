// The file name of a process's executable from the target of its
// /proc/PID/exe link.
#pragma once

#include <string_view>

// The last component of the link's target, without the " (deleted)" the
// kernel appends once the file is gone.
inline std::string_view ExecutableBaseName(std::string_view target) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() && target.substr(target.size() - kDeleted.size()) == kDeleted)
        target.remove_suffix(kDeleted.size());
    const std::size_t slash = target.find_last_of('/');
    return slash == std::string_view::npos ? target : target.substr(slash + 1);
}
