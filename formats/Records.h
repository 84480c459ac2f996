// Records as other tools take them: tables of named fields, each a number
// (unsigned, as the system counts it) or a text, written as JSON, CSV or
// OpenMetrics rather than as the panes' lines.  Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace records {

struct Cell {
    bool number = false;
    std::uint64_t value = 0;  // when a number
    std::string text;         // when a text: any bytes; the writers make them valid

    static Cell Number(std::uint64_t v) { return Cell{true, v, {}}; }
    static Cell Text(std::string t) { return Cell{false, 0, std::move(t)}; }
};

// One report kind's records: its --print name, its field names, its rows
// (each with one cell per field, in the fields' order).
struct Table {
    std::string kind;
    std::vector<std::string> columns;
    std::vector<std::vector<Cell>> rows;
};

}  // namespace records
