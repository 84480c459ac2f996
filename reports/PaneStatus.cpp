#include "PaneStatus.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <vector>

namespace sockets {

namespace {

// The TCP state names as the lines write them, in the status line's order.
constexpr const char* kStateOrder[] = {"ESTABLISHED", "LISTENING", "SYN_SENT", "SYN_RCVD",  "FIN_WAIT1",  "FIN_WAIT2",
                                       "CLOSE_WAIT",  "CLOSING",   "LAST_ACK", "TIME_WAIT", "DELETE_TCB", "CLOSED"};

// "5,031": a count with its thousands grouped.
std::string Count(std::size_t n) {
    std::string digits = std::to_string(n);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

// A state name as it may be shown: control characters (the name is the
// caller's, and may come from a table) become '?', and a long one is cut.
std::string Printable(const std::string& name) {
    constexpr std::size_t kMostBytes = 32;
    std::string text = name.substr(0, kMostBytes);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

// "14:03:07" in local time; empty for a time localtime_r cannot represent.
std::string Clock(std::int64_t ms) {
    std::int64_t seconds = ms / 1000;
    if (ms % 1000 < 0) --seconds;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return {};
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

}  // namespace

std::string PaneStatusText(const PaneStatus& status) {
    constexpr const char* kSeparator = " \u00b7 ";
    std::string text;
    if (status.shown < status.total) text = Count(status.shown) + " of ";
    const std::size_t rows = status.shown < status.total ? status.total : status.shown;
    text += Count(rows) + (rows == 1 ? " row" : " rows");

    std::vector<const std::pair<const std::string, std::size_t>*> states;
    for (const char* name : kStateOrder) {
        const auto found = status.byState.find(name);
        if (found != status.byState.end()) states.push_back(&*found);
    }
    for (const auto& entry : status.byState)
        if (std::find(std::begin(kStateOrder), std::end(kStateOrder), entry.first) == std::end(kStateOrder))
            states.push_back(&entry);
    for (const auto* entry : states)
        if (entry->second > 0) text += kSeparator + Printable(entry->first) + ' ' + Count(entry->second);

    if (status.refreshedMs) {
        const std::string clock = Clock(*status.refreshedMs);
        if (!clock.empty()) text += kSeparator + std::string("updated ") + clock;
    }
    if (status.paused) text += kSeparator + std::string("Paused");
    return text;
}



}  // namespace sockets
