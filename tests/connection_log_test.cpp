// The connection log: the ring of events, its lines, and its CSV and JSON
// read back by small strict readers, on owner texts made to break them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ConnectionLog.h"
#include "WideText.h"

namespace {

using sockets::Event;

// 2026-12-10 14:03:07.123 UTC.
constexpr std::int64_t kTime = 1796911387123;

Event Tcp(std::int64_t timeMs, std::string owner = "PID  1234 : nc", DWORD pid = 1234, std::string process = "nc") {
    return {timeMs, Event::What::Opened, "", "TCP", "127.0.0.1:40012", "127.0.0.1:5000", std::move(owner),
            pid,    std::move(process)};
}

// The records of an RFC 4180 text (CRLF line ends, quoted fields with
// doubled quotes); nullopt when it breaks the format: a quote in an
// unquoted field, a bare CR or LF outside quotes, an unterminated quote, a
// last record without its CRLF.
std::optional<std::vector<std::vector<std::string>>> ReadCsv(const std::string& text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::size_t i = 0;
    while (i < text.size()) {
        std::string field;
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) return std::nullopt;
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        ++i;
                    } else {
                        ++i;
                        break;
                    }
                } else {
                    field += text[i];
                }
            }
        } else {
            for (; i < text.size() && text[i] != ',' && text[i] != '\r'; ++i) {
                if (text[i] == '"' || text[i] == '\n') return std::nullopt;
                field += text[i];
            }
        }
        record.push_back(field);
        if (i < text.size() && text[i] == ',') {
            ++i;
            continue;
        }
        if (text.compare(i, 2, "\r\n") != 0) return std::nullopt;
        i += 2;
        records.push_back(std::move(record));
        record.clear();
    }
    return records;
}

// A strict reader of the JSON the log writes: an array of objects whose
// values are strings, returned decoded.  nullopt on anything that is not
// valid JSON or not valid UTF-8 (raw control characters, bad escapes,
// missing commas, trailing text).
class JsonReader {
public:
    // A value as read: a string decoded, a number as its digits, or null.
    struct Value {
        enum class Kind { String, Number, Null } kind = Kind::String;
        std::string text;
        bool operator==(const Value&) const = default;
    };
    using Object = std::vector<std::pair<std::string, Value>>;

    static std::optional<std::vector<Object>> Read(const std::string& text) {
        // Valid UTF-8 exactly when the project's own decoder, which turns
        // each invalid byte into U+FFFD, gives the same bytes back.
        if (WideToUtf8(AnsiToWide(text)) != text) return std::nullopt;
        JsonReader r{text};
        std::vector<Object> objects;
        r.Blank();
        if (!r.Take('[')) return std::nullopt;
        r.Blank();
        if (!r.Take(']')) {
            do {
                r.Blank();
                Object object;
                if (!r.ReadObject(object)) return std::nullopt;
                objects.push_back(std::move(object));
                r.Blank();
            } while (r.Take(','));
            if (!r.Take(']')) return std::nullopt;
        }
        r.Blank();
        if (r.m_at != text.size()) return std::nullopt;
        return objects;
    }

private:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    void Blank() {
        while (m_at < m_text.size() && std::string_view(" \t\r\n").find(m_text[m_at]) != std::string_view::npos)
            ++m_at;
    }
    bool Take(char c) {
        if (m_at >= m_text.size() || m_text[m_at] != c) return false;
        ++m_at;
        return true;
    }
    bool ReadObject(Object& object) {
        if (!Take('{')) return false;
        Blank();
        if (Take('}')) return true;
        do {
            std::string key;
            Value value;
            Blank();
            if (!ReadString(key)) return false;
            Blank();
            if (!Take(':')) return false;
            Blank();
            if (!ReadValue(value)) return false;
            Blank();
            object.emplace_back(std::move(key), std::move(value));
        } while (Take(','));
        return Take('}');
    }
    bool ReadValue(Value& value) {
        if (m_text.compare(m_at, 4, "null") == 0) {
            m_at += 4;
            value = {Value::Kind::Null, {}};
            return true;
        }
        if (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') {
            value.kind = Value::Kind::Number;
            // A whole number without a leading zero.
            while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') value.text += m_text[m_at++];
            return value.text == "0" || value.text[0] != '0';
        }
        value.kind = Value::Kind::String;
        return ReadString(value.text);
    }
    bool ReadString(std::string& out) {
        if (!Take('"')) return false;
        while (m_at < m_text.size()) {
            const auto c = static_cast<unsigned char>(m_text[m_at++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_at >= m_text.size()) return false;
            const char e = m_text[m_at++];
            const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            if (const auto k = simple.find(e); k != std::string_view::npos) {
                out += meaning[k];
            } else if (e == 'u' && m_at + 4 <= m_text.size()) {
                unsigned code = 0;
                for (int d = 0; d < 4; ++d) {
                    const char h = m_text[m_at++];
                    const auto v = std::string_view("0123456789abcdef").find(static_cast<char>(h | 0x20));
                    if (v == std::string_view::npos) return false;
                    code = code * 16 + static_cast<unsigned>(v);
                }
                if (code >= 0x80) return false;  // the log escapes control characters only
                out += static_cast<char>(code);
            } else {
                return false;
            }
        }
        return false;
    }

    const std::string& m_text;
    std::size_t m_at = 0;
};

TEST(ConnectionLog, KeepsTheNewestEventsInOrderAndCountsEveryOne) {
    sockets::ConnectionLog log;
    const std::size_t total = sockets::ConnectionLog::kCapacity + 50;
    for (std::size_t i = 0; i < total; ++i) log.Add(Tcp(static_cast<std::int64_t>(i)));
    ASSERT_EQ(log.Events().size(), sockets::ConnectionLog::kCapacity);
    for (std::size_t i = 0; i < log.Events().size(); ++i)
        ASSERT_EQ(log.Events()[i].timeMs, static_cast<std::int64_t>(i + 50)) << i;
    EXPECT_EQ(log.Added(), total);

    // Clearing empties the log; the count goes on, so a reader sees the
    // events after it as new.
    log.Clear();
    EXPECT_TRUE(log.Events().empty());
    log.Add(Tcp(7));
    EXPECT_EQ(log.Added(), total + 1);
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_EQ(log.Events().front().timeMs, 7);
}

TEST(ConnectionLog, EventLines) {
    struct Case {
        Event event;
        const char* line;
    };
    const Case cases[] = {
        {Tcp(kTime), "14:03:07.123  opened       TCP    127.0.0.1:40012 => 127.0.0.1:5000  [ PID  1234 : nc ]"},
        {{kTime + 1000, Event::What::Closed, "", "UDP", "0.0.0.0:68", "", "PID  77 : dhclient", 77, "dhclient"},
         "14:03:08.123  closed       UDP    0.0.0.0:68  [ PID  77 : dhclient ]"},
        {{kTime, Event::What::State, "ESTABLISHED", "TCPv6", "[::1]:40012", "[::1]:5000", sockets::kOwnerNotFound},
         "14:03:07.123  ESTABLISHED  TCPv6  [::1]:40012 => [::1]:5000  [ closed before its owner was found ]"},
        {{kTime, Event::What::State, "", "TCP", "a", "b", "o"}, "14:03:07.123  changed      TCP    a => b  [ o ]"},
        // A what or a protocol longer than its column still leaves a blank.
        {{kTime, Event::What::State, "A_VERY_LONG_STATE", "PROTOCOL", "a", "b", "o"},
         "14:03:07.123  A_VERY_LONG_STATE PROTOCOL a => b  [ o ]"},
        // Before the epoch: the millisecond before midnight.
        {Tcp(-1, "o"), "23:59:59.999  opened       TCP    127.0.0.1:40012 => 127.0.0.1:5000  [ o ]"},
        {Tcp(0, "o"), "00:00:00.000  opened       TCP    127.0.0.1:40012 => 127.0.0.1:5000  [ o ]"},
    };
    for (const Case& c : cases) EXPECT_EQ(sockets::EventLine(c.event), c.line);

    // The ends of the range (years near +-292 million) still make a line and
    // a record of their own.
    for (const std::int64_t extreme : {INT64_MIN, INT64_MAX}) {
        const std::string line = sockets::EventLine(Tcp(extreme, "o"));
        EXPECT_EQ(line.substr(12), "  opened       TCP    127.0.0.1:40012 => 127.0.0.1:5000  [ o ]") << extreme;
        const auto csv = ReadCsv(sockets::LogCsv({Tcp(extreme, "o")}));
        ASSERT_TRUE(csv.has_value()) << extreme;
        ASSERT_EQ(csv->size(), 2u);
        EXPECT_EQ((*csv)[1].size(), 7u);
    }
}

TEST(ConnectionLog, TimesCarryTheLocalOffset) {
    struct Case {
        const char* tz;
        const char* time;
    };
    // POSIX zone rules, so no zone database is needed.
    const Case cases[] = {
        {"UTC0", "2026-12-10T14:03:07.123+00:00"},
        {"CET-1", "2026-12-10T15:03:07.123+01:00"},
        {"EST5", "2026-12-10T09:03:07.123-05:00"},
        {"IST-5:30", "2026-12-10T19:33:07.123+05:30"},
        {"NPT-5:45", "2026-12-10T19:48:07.123+05:45"},
        // An offset with seconds has no such form: the same instant in UTC.
        {"LMT-0:53:28", "2026-12-10T14:03:07.123+00:00"},
    };
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    for (const Case& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        const auto csv = ReadCsv(sockets::LogCsv({Tcp(kTime)}));
        ASSERT_TRUE(csv.has_value()) << c.tz;
        EXPECT_EQ((*csv)[1][0], c.time) << c.tz;
        const auto json = JsonReader::Read(sockets::LogJson({Tcp(kTime)}));
        ASSERT_TRUE(json.has_value()) << c.tz;
        EXPECT_EQ((*json)[0][0].second.text, c.time) << c.tz;
    }
    if (saved != nullptr)
        setenv("TZ", before.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(ConnectionLog, HostileOwnersKeepOneLineAndReadBackExactly) {
    struct Case {
        const char* what;
        std::string owner;
        std::string json;   // read back from the JSON
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const std::string controls("\x01\x1b[31mred\x7f\t\0z", 13);
    const std::vector<Case> cases = {
        {"comma", "PID  1 : a,b", "PID  1 : a,b"},
        {"quotes", "say \"hi\" \\o/", "say \"hi\" \\o/"},
        {"line ends", "one\ntwo\r\nthree\r", "one\ntwo\r\nthree\r"},
        {"carriage return alone", "a\rb", "a\rb"},
        {"control bytes", controls, controls},
        {"invalid UTF-8", "\xff\xfe ok \xc0\xaf", fffd + fffd + " ok " + fffd + fffd},
        {"surrogate and cut sequence", "\xed\xa0\x80x\xe2\x82", fffd + fffd + fffd + "x" + fffd + fffd},
        {"valid multibyte", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"everything at once", "a,\"b\"\r\n\x01\xff", "a,\"b\"\r\n\x01" + fffd},
        {"empty", "", ""},
    };
    // Every control character shows as U+FFFD in the event line and in the
    // CSV, which has no escapes (no case holds a C1 control); the JSON gives
    // the name back exactly.
    const auto printable = [&fffd](const std::string& text) {
        std::string out;
        for (const char c : text) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? fffd : std::string(1, c);
        return out;
    };
    // The hostile text is the process's name; its line shows it in the
    // label, the files give it as the process field.
    std::deque<Event> events;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        events.push_back(Tcp(kTime, c.owner, 77, c.owner));
        EXPECT_EQ(sockets::EventLine(events.back()),
                  "14:03:07.123  opened       TCP    127.0.0.1:40012 => 127.0.0.1:5000  [ " + printable(c.json) + " ]");
    }

    const std::string csvText = sockets::LogCsv(events);
    const auto csv = ReadCsv(csvText);
    ASSERT_TRUE(csv.has_value()) << csvText;
    ASSERT_EQ(csv->size(), cases.size() + 1);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ((*csv)[i + 1], (std::vector<std::string>{"2026-12-10T14:03:07.123+00:00", "opened", "TCP",
                                                           "127.0.0.1:40012", "127.0.0.1:5000", "77",
                                                           printable(cases[i].json)}));
    }

    const std::string jsonText = sockets::LogJson(events);
    const auto json = JsonReader::Read(jsonText);
    ASSERT_TRUE(json.has_value()) << jsonText;
    ASSERT_EQ(json->size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        ASSERT_EQ((*json)[i].size(), 7u);
        EXPECT_EQ((*json)[i][6].first, "process");
        const JsonReader::Value::Kind kind =
            cases[i].owner.empty() ? JsonReader::Value::Kind::Null : JsonReader::Value::Kind::String;
        EXPECT_EQ((*json)[i][6].second, (JsonReader::Value{kind, cases[i].json}));
    }
    // One object a line, between the brackets' lines.
    std::size_t lines = 0;
    for (const char c : jsonText) lines += c == '\n';
    EXPECT_EQ(lines, cases.size() + 2);
}

// The files give the owner as facts, a process id and an executable's name,
// each empty (CSV) or null (JSON) where not known; never the label the
// lines show.
TEST(ConnectionLog, FilesGiveTheOwnerAsPidAndProcess) {
    using Value = JsonReader::Value;
    const Value null{Value::Kind::Null, {}};
    const std::deque<Event> events = {
        Tcp(kTime),
        {kTime, Event::What::Closed, "", "TCP", "127.0.0.1:40013", "127.0.0.1:5000", sockets::kOwnerNotFound},
        // A process whose name could not be read: its label says so.
        Tcp(kTime, "PID  4321 : NT Kernel & System", 4321, ""),
    };
    const auto csv = ReadCsv(sockets::LogCsv(events));
    ASSERT_TRUE(csv.has_value());
    EXPECT_EQ(
        *csv,
        (std::vector<std::vector<std::string>>{
            {"time", "event", "protocol", "local", "remote", "pid", "process"},
            {"2026-12-10T14:03:07.123+00:00", "opened", "TCP", "127.0.0.1:40012", "127.0.0.1:5000", "1234", "nc"},
            {"2026-12-10T14:03:07.123+00:00", "closed", "TCP", "127.0.0.1:40013", "127.0.0.1:5000", "", ""},
            {"2026-12-10T14:03:07.123+00:00", "opened", "TCP", "127.0.0.1:40012", "127.0.0.1:5000", "4321", ""}}));

    const auto json = JsonReader::Read(sockets::LogJson(events));
    ASSERT_TRUE(json.has_value());
    ASSERT_EQ(json->size(), 3u);
    const auto owner = [](const JsonReader::Object& o) {
        return std::vector<std::pair<std::string, Value>>(o.begin() + 5, o.end());
    };
    EXPECT_EQ(owner((*json)[0]),
              (JsonReader::Object{{"pid", {Value::Kind::Number, "1234"}}, {"process", {Value::Kind::String, "nc"}}}));
    EXPECT_EQ(owner((*json)[1]), (JsonReader::Object{{"pid", null}, {"process", null}}));
    EXPECT_EQ(owner((*json)[2]), (JsonReader::Object{{"pid", {Value::Kind::Number, "4321"}}, {"process", null}}));
    EXPECT_EQ((*json)[0][0].first, "time");
    EXPECT_EQ((*json)[0][4], (std::pair<std::string, Value>{"remote", {Value::Kind::String, "127.0.0.1:5000"}}));

    // An empty log: the header alone, an empty array.
    EXPECT_EQ(sockets::LogCsv({}), "time,event,protocol,local,remote,pid,process\r\n");
    const auto none = JsonReader::Read(sockets::LogJson({}));
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

}  // namespace
