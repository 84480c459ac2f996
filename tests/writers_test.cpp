// The writers of records: JSON text exact for numbers and hostile texts,
// CSV read back field for field by an RFC 4180 reader of the test's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ControlBytes.h"
#include "OpenMetrics.h"
#include "Writers.h"

namespace {

using records::Cell;
using records::Table;

Table Sockets() {
    Table t;
    t.kind = "tcp";
    t.columns = {"pid", "local_address", "local_port", "path"};
    t.rows.push_back({Cell::Number(12), Cell::Text("127.0.0.1"), Cell::Number(80), Cell::Text("/usr/sbin/a \"b\"")});
    t.rows.push_back({Cell::Number(std::numeric_limits<std::uint64_t>::max()), Cell::Text("::1"), Cell::Number(0),
                      Cell::Text(std::string("x\\y\n\x01\x7F\xFF\xC3\xA9", 9))});
    return t;
}

TEST(JsonWriter, NumbersAsNumbersAndTextsAlwaysValid) {
    Table empty;
    empty.kind = "udp";
    empty.columns = {"pid"};
    Table shortRow;
    shortRow.kind = "ip";
    shortRow.columns = {"Forwarding", "DefaultTTL"};
    shortRow.rows.push_back({Cell::Number(1)});
    const std::string json = records::ToJson("vm\"1", 1765414923456, {Sockets(), empty, shortRow});
    EXPECT_EQ(json,
              "{\"host\":\"vm\\\"1\",\"time\":\"2025-12-11T01:02:03.456Z\",\n"
              "\"tcp\":[\n"
              "{\"pid\":12,\"local_address\":\"127.0.0.1\",\"local_port\":80,\"path\":\"/usr/sbin/a \\\"b\\\"\"},\n"
              "{\"pid\":18446744073709551615,\"local_address\":\"::1\",\"local_port\":0,"
              "\"path\":\"x\\\\y\\u000a\\u0001\\u007f\xEF\xBF\xBD\xC3\xA9\"}\n"
              "],\n"
              "\"udp\":[],\n"
              "\"ip\":[\n"
              "{\"Forwarding\":1}\n"
              "]}\n");
}

// Fields of an RFC 4180 text, record by record (CRLF or LF ends a record).
std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            record.push_back(field);
            field.clear();
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            record.push_back(field);
            out.push_back(record);
            record.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "a quote left open";
    EXPECT_TRUE(field.empty() && record.empty()) << "a record without its line end";
    return out;
}

TEST(CsvWriter, ReadBackFieldForField) {
    const Table sockets = Sockets();
    const auto plain = ReadCsv(records::ToCsv({sockets}, false));
    ASSERT_EQ(plain.size(), 3u);
    EXPECT_EQ(plain[0], sockets.columns);
    EXPECT_EQ(plain[1], (std::vector<std::string>{"12", "127.0.0.1", "80", "/usr/sbin/a \"b\""}));
    EXPECT_EQ(plain[2], (std::vector<std::string>{"18446744073709551615", "::1", "0",
                                                  "x\\y\uFFFD\uFFFD\uFFFD\uFFFD\u00E9"}))
        << "each control character and each byte outside UTF-8 as U+FFFD";

    // With their kinds named, a line each before its table.
    Table ip;
    ip.kind = "ip";
    ip.columns = {"Forwarding", "DefaultTTL"};
    ip.rows.push_back({Cell::Number(2)});  // a short row: the missing field empty
    const auto named = ReadCsv(records::ToCsv({sockets, ip}, true));
    ASSERT_EQ(named.size(), 9u);
    EXPECT_EQ(named[0], (std::vector<std::string>{"tcp"}));
    EXPECT_EQ(named[4], (std::vector<std::string>{""}));
    EXPECT_EQ(named[5], (std::vector<std::string>{"ip"}));
    EXPECT_EQ(named[6], ip.columns);
    EXPECT_EQ(named[7], (std::vector<std::string>{"2", ""}));
}

// The exposition as a strict parser wants it: one block per family even
// when given in parts, a counter's samples with _total, label values
// printable and escaped, names that cannot be written left out, # EOF.
TEST(OpenMetricsWriter, FamiliesJoinedEscapedAndEnded) {
    using metrics::Family;
    std::vector<Family> families;
    families.push_back({Family::Type::Counter, "rx_bytes", "Bytes in.", {{{{"device", "eth0"}}, 5000000000ull}}});
    families.push_back({Family::Type::Gauge, "up", "", {{{{"device", std::string("a\"b\\c\nd\xFF", 8)}}, 1}}});
    // The second part of rx_bytes, one sample repeating a label set.
    families.push_back({Family::Type::Counter, "rx_bytes", "", {{{{"device", "eth0"}}, 7}, {{{"device", "lo"}}, 9}}});
    families.push_back({Family::Type::Gauge, "bad-name", "", {{{}, 1}}});
    families.push_back({Family::Type::Gauge, "labels", "", {{{{"9bad", "x"}, {"ok", "y"}, {"ok", "z"}}, 2}}});
    EXPECT_EQ(metrics::ToOpenMetrics(families),
              "# TYPE rx_bytes counter\n"
              "# HELP rx_bytes Bytes in.\n"
              "rx_bytes_total{device=\"eth0\"} 5000000000\n"
              "rx_bytes_total{device=\"lo\"} 9\n"
              "# TYPE up gauge\n"
              "up{device=\"a\\\"b\\\\c\xEF\xBF\xBD" "d\xEF\xBF\xBD\"} 1\n"
              "# TYPE labels gauge\n"
              "labels{ok=\"y\"} 2\n"
              "# EOF\n");
    EXPECT_EQ(metrics::ToOpenMetrics({}), "# EOF\n");
}

// Texts that would act on a terminal, through each writer: JSON keeps each
// exactly as its escape, CSV and OpenMetrics (which have no escape for
// them) show U+FFFD, and none writes a control byte.
TEST(Writers, NoControlCharacterReachesTheOutput) {
    using metrics::Family;
    const std::string f = "\xEF\xBF\xBD";
    struct Case {
        const char* what;
        std::string text, json, shown;
    };
    const Case cases[] = {
        {"ESC", "a\x1B[2Jb", "a\\u001b[2Jb", "a" + f + "[2Jb"},
        {"BEL", "\x07", "\\u0007", f},
        {"NUL", std::string("\0", 1), "\\u0000", f},
        {"CR LF and tab", "\r\n\t", "\\u000d\\u000a\\u0009", f + f + f},
        {"CSI as a byte", "\x9B" "1m", f + "1m", f + "1m"},
        {"CSI as U+009B", "\xC2\x9B" "1m", "\\u009b1m", f + "1m"},
        {"DEL", "\x7F", "\\u007f", f},
        {"C1 first and last", "\xC2\x80\xC2\x9F", "\\u0080\\u009f", f + f},
        {"separators", "\xE2\x80\xA8\xE2\x80\xA9", "\\u2028\\u2029", f + f},
        {"a lone byte", "\xFF", f, f},
        {"kept", "caf\xC3\xA9 \xC2\xA0\xF0\x9F\x98\x80", "caf\xC3\xA9 \xC2\xA0\xF0\x9F\x98\x80",
         "caf\xC3\xA9 \xC2\xA0\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Table t;
        t.kind = "processes";
        t.columns = {"name"};
        t.rows.push_back({Cell::Text(c.text)});
        const std::string json = records::ToJson("h", 0, {t});
        EXPECT_NE(json.find("{\"name\":\"" + c.json + "\"}"), std::string::npos) << json;
        const std::string csv = records::ToCsv({t}, false);
        EXPECT_EQ(csv, "name\r\n" + c.shown + "\r\n");
        const std::string om =
            metrics::ToOpenMetrics({{Family::Type::Gauge, "x_info", c.text, {{{{"name", c.text}}, 1}}}});
        EXPECT_NE(om.find("# HELP x_info " + c.shown + "\n"), std::string::npos) << om;
        EXPECT_NE(om.find("x_info{name=\"" + c.shown + "\"} 1\n"), std::string::npos) << om;
        EXPECT_EQ(FirstControlByte(json), "") << json;
        EXPECT_EQ(FirstControlByte(csv, "\r\n"), "") << csv;
        EXPECT_EQ(FirstControlByte(om), "") << om;
    }
}

}  // namespace
