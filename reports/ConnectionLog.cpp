#include "ConnectionLog.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <string_view>
#include <utility>

namespace sockets {

namespace {

// An event's time split into whole seconds and milliseconds, rounded down
// so that a time before the epoch still has milliseconds 0..999.
struct SplitTime {
    std::time_t seconds;
    int ms;
};

SplitTime Split(std::int64_t timeMs) {
    std::int64_t seconds = timeMs / 1000;
    std::int64_t ms = timeMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --seconds;
    }
    return {static_cast<std::time_t>(seconds), static_cast<int>(ms)};
}

// "HH:MM:SS.mmm" in local time; a time localtime_r cannot represent (its
// year out of range) shows as "--:--:--.---", the same width.
std::string ClockText(std::int64_t timeMs) {
    const SplitTime t = Split(timeMs);
    std::tm tm{};
    if (localtime_r(&t.seconds, &tm) == nullptr) return "--:--:--.---";
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, t.ms);
    return text;
}

// "2026-12-10T14:03:07.123+01:00": local time with milliseconds and the
// zone's offset.  An offset that is not whole minutes (old local mean times)
// cannot be written in this form: the time is then written in UTC, offset
// "+00:00", the same instant.  A time out of the calendar's range is empty.
std::string IsoTime(std::int64_t timeMs) {
    const SplitTime t = Split(timeMs);
    std::tm tm{};
    if (localtime_r(&t.seconds, &tm) == nullptr) return {};
    long offset = tm.tm_gmtoff;
    if (offset % 60 != 0) {
        if (gmtime_r(&t.seconds, &tm) == nullptr) return {};
        offset = 0;
    }
    const long long year = static_cast<long long>(tm.tm_year) + 1900;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03d", year, tm.tm_mon + 1,
                                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, t.ms);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) return {};
    std::string out(text, static_cast<std::size_t>(n));
    const char sign = offset < 0 ? '-' : '+';
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", sign, minutes / 60, minutes % 60);
    out += text;
    return out;
}

// The text with every control byte (below 0x20, and 0x7F) as '?': a
// process name or an endpoint cannot break a log line in two.
void AppendPrintable(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        out += (b < 0x20 || b == 0x7F) ? '?' : c;
    }
}

void AppendPadded(std::string& out, std::string_view text, std::size_t width) {
    const std::size_t start = out.size();
    AppendPrintable(out, text);
    const std::size_t written = out.size() - start;
    if (written < width) out.append(width - written, ' ');
}

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// its first byte does not start one (a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, a sequence cut short).
std::size_t Utf8Length(std::string_view text) {
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

// A JSON string: quotes and backslashes escaped, control characters as
// \u00XX, and each byte that is not part of valid UTF-8 as U+FFFD, so the
// output is valid UTF-8 JSON whatever the event holds.
void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
            ++i;
        } else if (b < 0x20) {
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

// A CSV field, quoted when it holds a comma, a quote or a line end, with
// its quotes doubled.  The bytes are kept as they are.
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

}  // namespace

std::string WhatText(const Event& event) {
    switch (event.what) {
        case Event::What::Opened:
            return "opened";
        case Event::What::Closed:
            return "closed";
        case Event::What::State:
            break;
    }
    return event.state.empty() ? "changed" : event.state;
}

std::string EventLine(const Event& event) {
    std::string line = ClockText(event.timeMs);
    line += "  ";
    AppendPadded(line, WhatText(event), 12);
    line += ' ';
    AppendPadded(line, event.protocol, 6);
    line += ' ';
    AppendPrintable(line, event.local);
    if (!event.remote.empty()) {
        line += " => ";
        AppendPrintable(line, event.remote);
    }
    line += "  [ ";
    AppendPrintable(line, event.owner);
    line += " ]";
    return line;
}

void ConnectionLog::Add(Event event) {
    if (m_events.size() >= kCapacity) m_events.pop_front();
    m_events.push_back(std::move(event));
    ++m_added;
}

void ConnectionLog::Clear() { m_events.clear(); }

std::string LogCsv(const std::deque<Event>& events) {
    std::string out = "time,event,protocol,local,remote,owner\r\n";
    for (const Event& event : events) {
        const std::string time = IsoTime(event.timeMs), what = WhatText(event);
        const std::string_view fields[] = {time, what, event.protocol, event.local, event.remote, event.owner};
        bool first = true;
        for (const std::string_view field : fields) {
            if (!first) out += ',';
            first = false;
            AppendCsvField(out, field);
        }
        out += "\r\n";
    }
    return out;
}

std::string LogJson(const std::deque<Event>& events) {
    std::string out = "[";
    bool first = true;
    for (const Event& event : events) {
        out += first ? "\n" : ",\n";
        first = false;
        const std::string time = IsoTime(event.timeMs), what = WhatText(event);
        const std::pair<std::string_view, std::string_view> fields[] = {
            {"time", time},         {"event", what},          {"protocol", event.protocol},
            {"local", event.local}, {"remote", event.remote}, {"owner", event.owner}};
        out += '{';
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            if (i != 0) out += ',';
            AppendJsonString(out, fields[i].first);
            out += ':';
            AppendJsonString(out, fields[i].second);
        }
        out += '}';
    }
    out += first ? "]\n" : "\n]\n";
    return out;
}

}  // namespace sockets
