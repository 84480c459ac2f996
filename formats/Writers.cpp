#include "Writers.h"

#include <time.h>

#include <cstdio>

namespace records {

std::size_t Utf8Length(std::string_view text) {
    if (text.empty()) return 0;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b = at(0);
    if (b < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

namespace {

std::string UtcTime(std::int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return "1970-01-01T00:00:00Z";
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000 < 0 ? 0 : ms % 1000));
    return text;
}

void AppendCell(std::string& out, const Cell& cell) {
    if (cell.number)
        out += std::to_string(cell.value);
    else
        AppendJsonString(out, cell.text);
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
            ++i;
        } else if (b < 0x20 || b == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(b));
            out += escape;
            ++i;
        } else if (const std::size_t length = Utf8Length(text.substr(i)); length != 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

std::string ToJson(std::string_view host, std::int64_t timeMs, const std::vector<Table>& tables) {
    std::string out = "{\"host\":";
    AppendJsonString(out, host);
    out += ",\"time\":";
    AppendJsonString(out, UtcTime(timeMs));
    for (const Table& table : tables) {
        out += ",\n";
        AppendJsonString(out, table.kind);
        out += ":[";
        bool firstRow = true;
        for (const std::vector<Cell>& row : table.rows) {
            out += firstRow ? "\n" : ",\n";
            firstRow = false;
            out += '{';
            for (std::size_t i = 0; i < row.size() && i < table.columns.size(); ++i) {
                if (i != 0) out += ',';
                AppendJsonString(out, table.columns[i]);
                out += ':';
                AppendCell(out, row[i]);
            }
            out += '}';
        }
        out += firstRow ? "]" : "\n]";
    }
    out += "}\n";
    return out;
}

std::string ToCsv(const std::vector<Table>& tables, bool named) {
    std::string out;
    for (const Table& table : tables) {
        if (named) {
            AppendCsvField(out, table.kind);
            out += "\r\n";
        }
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            if (i != 0) out += ',';
            AppendCsvField(out, table.columns[i]);
        }
        out += "\r\n";
        for (const std::vector<Cell>& row : table.rows) {
            for (std::size_t i = 0; i < table.columns.size(); ++i) {
                if (i != 0) out += ',';
                if (i >= row.size()) continue;
                if (row[i].number)
                    out += std::to_string(row[i].value);
                else
                    AppendCsvField(out, row[i].text);
            }
            out += "\r\n";
        }
        if (named) out += "\r\n";
    }
    return out;
}

}  // namespace records
