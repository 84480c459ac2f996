#include "Writers.h"

#include <time.h>

#include <cstdio>

#include "PrintableText.h"

namespace records {

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
        } else if (const std::size_t length = Utf8SequenceLength(text.substr(i)); length != 0) {
            // A control, DEL, a C1 control or a line separator is kept as
            // its escape: the reader gets the text exactly, and no control
            // byte (nor the UTF-8 of one) reaches whatever shows the file.
            if (const char32_t c = Utf8CodePoint(text.substr(i), length); IsHiddenCharacter(c)) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                out.append(text.substr(i, length));
            }
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

void AppendCsvField(std::string& out, std::string_view text) {
    const std::string printable = PrintableUtf8(text);
    if (printable.find_first_of(",\"") == std::string::npos) {
        out += printable;
        return;
    }
    out += '"';
    for (const char c : printable) {
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
