// The status line's text and the states read from socket lines, on tables
// of cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "PaneStatus.h"

namespace {

using sockets::PaneStatus;

// 14:03:07 on 2026-12-10, UTC.
constexpr std::int64_t kAt140307 = 1796911387000;

TEST(PaneStatusText, SaysRowsStatesTimeAndPauseCompactly) {
    setenv("TZ", "UTC", 1);
    tzset();
    struct Case {
        const char* what;
        PaneStatus status;
        const char* text;
    };
    const Case cases[] = {
        {"nothing yet", {}, "0 rows"},
        {"one row", {1, 1, {}, {}, false}, "1 row"},
        {"all shown, counts grouped by thousands",
         {1'234'567, 1'234'567, {{"LISTENING", 1000}}, {}, false},
         "1,234,567 rows \u00b7 LISTENING 1,000"},
        {"some shown, with states, time and pause",
         {1204, 5031, {{"TIME_WAIT", 352}, {"LISTENING", 40}, {"ESTABLISHED", 812}}, kAt140307, true},
         "1,204 of 5,031 rows \u00b7 ESTABLISHED 812 \u00b7 LISTENING 40 \u00b7 TIME_WAIT 352 \u00b7 updated 14:03:07 "
         "\u00b7 Paused"},
        {"TCP states in their order, other names after them, empty ones left out",
         {9, 9, {{"opened", 3}, {"CLOSE_WAIT", 2}, {"SYN_SENT", 0}, {"closed", 1}, {"ESTABLISHED", 3}}, {}, false},
         "9 rows \u00b7 ESTABLISHED 3 \u00b7 CLOSE_WAIT 2 \u00b7 closed 1 \u00b7 opened 3"},
        {"more shown than held reads as all shown", {7, 3, {}, {}, false}, "7 rows"},
        {"a name with control characters, and a long one, made printable and cut",
         {2, 2, {{"A\nB\x7f", 1}, {std::string(100, 'X'), 1}}, {}, false},
         "2 rows \u00b7 A?B? 1 \u00b7 XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX 1"},
        {"a time before the epoch", {0, 0, {}, -1, false}, "0 rows \u00b7 updated 23:59:59"},
    };
    for (const Case& c : cases) EXPECT_EQ(sockets::PaneStatusText(c.status), c.text) << c.what;
}


}  // namespace
