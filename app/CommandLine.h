// The command line: --print KIND builds one report without any display and
// prints its tree; --help and --version.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Window, Print, Help, Version, Error } action = Action::Window;
    std::vector<int> kinds;  // for Print, in order
    std::string file;        // for Window: a document to open
    std::string error;       // for Error: what was wrong
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

// A report kind from its number or its name; nullopt when it is neither.
std::optional<int> ParseReportKind(const std::string& text);

// Prints the reports of `kinds`, a blank line between two.  Returns the exit
// status.
int PrintReports(const std::vector<int>& kinds, std::FILE* out);

// The usage text.
std::string UsageText();
