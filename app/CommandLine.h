// The command line: --print KIND builds one report without any display and
// prints its tree; --help and --version.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SocketFilter.h"

struct CommandLine {
    enum class Action { Window, Print, Watch, Help, Version, Error } action = Action::Window;
    std::vector<int> kinds;           // for Print, in order
    bool details = false;             // for Print: detail lines under socket lines
    enum class Format { Text, Json, Csv, OpenMetrics } format = Format::Text;  // for Print
    unsigned watchTables = 0;         // for Watch: a mask of socket tables (sockets::TableBit)
    std::optional<std::string> file;  // for Window: a document to open, the bytes as given
    std::optional<std::string> remote;  // for Print, Watch, Window: [USER@]HOST to read over SSH
    // For Print and Watch: --filter, null when not given.
    std::shared_ptr<const sockets::Filter> filter;
    std::string error;                // for Error: what was wrong
    bool offerHelp = true;            // for Error: whether --help would tell more
};

// Arguments are taken as bytes, whatever their encoding.  "--" ends the
// options: every argument after it is a file name, even one starting with
// '-'.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// A report kind from its number or its name; nullopt when it is neither.
std::optional<int> ParseReportKind(const std::string& text);

// The --print name of the report that a pane of `kind` shows ("network" for
// a kind without a report of its own).
const char* ReportKindName(int kind);

// Prints the reports of `kinds` on `out`, a blank line between two, and on
// `err` one line for each report whose snapshot failed (the provider or its
// entry point is missing, or the call returned an error), since its zeros or
// empty list then tell nothing about the machine.  Returns the exit status:
// 0, 3 when a snapshot failed, 1 when `out` cannot be written.  With
// `details`, every socket line has its detail lines under it; a TCP table
// is then read twice, kDetailsIntervalMs apart, for its rates, as the
// processes' always is.
// With `filter`, the socket tables, the processes, the listening ports and
// the log show only the lines that match it; the other reports print
// unchanged.
int PrintReports(const std::vector<int>& kinds, std::FILE* out, std::FILE* err, bool details = false,
                 const std::shared_ptr<const sockets::Filter>& filter = nullptr);
// The same as records for other tools, in one document of `format` (JSON,
// CSV or OpenMetrics): the reports are all read first, then written.  With
// `filter`, the records of the lines it keeps.
int PrintRecords(const std::vector<int>& kinds, CommandLine::Format format, std::FILE* out, std::FILE* err,
                 const std::shared_ptr<const sockets::Filter>& filter = nullptr);
// Whether --filter applies to the report of `kind`.
bool FilterApplies(int kind);
inline constexpr int kDetailsIntervalMs = 1000;

// Called before a report is read a second time (for its rates): reading
// another host, the program takes a new capture there.  None by default.
void SetBeforeRereading(std::function<void()> hook);

// Streams socket events of `tables` (opened, closed, a new state) to `out`,
// one line each, until SIGINT or SIGTERM; then writes what is left and
// returns 0 (1 when `out` cannot be written, 3 when the socket tables cannot
// be read at all).  Says on `err` when the kernel's close notifications are
// not available.  With `filter`, only the events that match it (as log
// records: their protocol, ends, state and owner's process).
int WatchSockets(unsigned tables, std::FILE* out, std::FILE* err,
                 const std::shared_ptr<const sockets::Filter>& filter = nullptr);

// The usage text.
std::string UsageText();
