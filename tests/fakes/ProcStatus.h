// Fields of a /proc/PID/status text, for tests that check a process's
// capabilities and restrictions.
#pragma once

#include <sstream>
#include <string>

// The value of `field` ("CapEff", "Seccomp", ...) without its leading
// blanks, or empty when the text has no such line.
inline std::string StatusField(const std::string& status, const std::string& field) {
    std::istringstream in(status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0) {
            std::string value = line.substr(field.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    return {};
}
