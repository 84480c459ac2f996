#include "ConnectionLog.h"

#include "PrintableText.h"
#include "Writers.h"

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

// The text as every printer shows it (PrintableText.h): a process name or
// an endpoint can neither break a log line in two nor act on a terminal.
void AppendPrintable(std::string& out, std::string_view text) { out += PrintableUtf8(text); }

void AppendPadded(std::string& out, std::string_view text, std::size_t width) {
    const std::size_t start = out.size();
    AppendPrintable(out, text);
    const std::size_t written = out.size() - start;
    if (written < width) out.append(width - written, ' ');
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
    std::string out = "time,event,protocol,local,remote,pid,process\r\n";
    for (const Event& event : events) {
        const std::string time = IsoTime(event.timeMs), what = WhatText(event);
        const std::string pid = event.pid != 0 ? std::to_string(event.pid) : std::string();
        const std::string_view fields[] = {time, what, event.protocol, event.local, event.remote, pid, event.process};
        bool first = true;
        for (const std::string_view field : fields) {
            if (!first) out += ',';
            first = false;
            records::AppendCsvField(out, field);
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
        const std::pair<std::string_view, std::string_view> fields[] = {{"time", time},
                                                                        {"event", what},
                                                                        {"protocol", event.protocol},
                                                                        {"local", event.local},
                                                                        {"remote", event.remote}};
        out += '{';
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            if (i != 0) out += ',';
            records::AppendJsonString(out, fields[i].first);
            out += ':';
            records::AppendJsonString(out, fields[i].second);
        }
        out += ",\"pid\":";
        out += event.pid != 0 ? std::to_string(event.pid) : std::string("null");
        out += ",\"process\":";
        if (event.process.empty())
            out += "null";
        else
            records::AppendJsonString(out, event.process);
        out += '}';
    }
    out += first ? "]\n" : "\n]\n";
    return out;
}

}  // namespace sockets
