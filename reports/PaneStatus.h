// The status line of a socket-like pane as text: how many rows it shows of
// how many, the rows by state, when they were last brought up to date, and
// whether the pane is paused.  Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sockets {

struct PaneStatus {
    std::size_t shown = 0;  // rows in view (fewer than total under a filter)
    std::size_t total = 0;  // rows the pane holds
    // Rows by state name ("ESTABLISHED", "LISTENING", ...; the log's event
    // kinds); names without rows may be left in or out.
    std::map<std::string, std::size_t> byState;
    // When the rows were last shown: milliseconds since the Unix epoch;
    // none before the first rows.
    std::optional<std::int64_t> refreshedMs;
    bool paused = false;
};

// "1,204 of 5,031 rows · ESTABLISHED 812 · LISTENING 40 · TIME_WAIT 352 ·
// updated 14:03:07 · Paused" (UTF-8, local time): "N rows" alone when every
// row is shown.  The TCP states come first, ESTABLISHED and LISTENING (the
// most looked for) ahead of the others in the order of their state numbers,
// then any other names alphabetically; names without rows, the time before
// the first rows and "Paused" while running are left out.
std::string PaneStatusText(const PaneStatus& status);


}  // namespace sockets
