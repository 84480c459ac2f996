// The connection log: socket events (opened, closed, a new state) newest
// last, the last 10,000 kept, as lines for the log pane and --watch and as
// CSV or JSON for a file.  Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "win32.h"

namespace sockets {

struct Event {
    enum class What { Opened, Closed, State };
    // When the event was seen: milliseconds since the Unix epoch.
    std::int64_t timeMs = 0;
    What what = What::Opened;
    // For What::State: the new state's name as the socket panes show it
    // ("ESTABLISHED", "TIME_WAIT", ...).  Empty otherwise.
    std::string state;
    // "TCP", "UDP", "TCPv6" or "UDPv6".
    std::string protocol;
    // The endpoints as the panes write them, without padding
    // ("127.0.0.1:5000", "[::1]:5000"); remote is empty for UDP.
    std::string local;
    std::string remote;
    // The owner label ("PID  1234 : sshd"), UTF-8; for a socket closed
    // before any lookup found its owner: kOwnerNotFound.
    std::string owner;
    // The owner as facts: its process id (0 when no process was found) and
    // its executable's name, UTF-8 (empty when not known).
    DWORD pid = 0;
    std::string process{};
};

inline constexpr const char* kOwnerNotFound = "closed before its owner was found";

// "opened", "closed", or the new state.
std::string WhatText(const Event& event);

// One line: local time with milliseconds, what, protocol, endpoints, owner:
//   "14:03:07.123  opened       TCP    127.0.0.1:40012 => 127.0.0.1:5000  [ PID  1234 : nc ]"
// (for UDP no " => remote").  The local time comes from localtime_r.
std::string EventLine(const Event& event);

class ConnectionLog {
public:
    static constexpr std::size_t kCapacity = 10000;

    // Appends an event; the oldest goes when the log is full.
    void Add(Event event);
    const std::deque<Event>& Events() const { return m_events; }
    // How many events were added since the log was made (dropped included):
    // a reader that remembers it knows which events are new to it.
    std::uint64_t Added() const { return m_added; }
    void Clear();

private:
    std::deque<Event> m_events;
    std::uint64_t m_added = 0;
};

// The log of this process: the window's socket worker adds to it on the
// window's thread; from the command line it stays empty.
ConnectionLog& ProcessConnectionLog();

// The events as CSV (RFC 4180: a header line "time,event,protocol,local,
// remote,pid,process", CRLF line ends, fields quoted where they hold a
// comma, a quote or a line end; pid and process empty where not known) and
// as JSON (an array of objects with those keys; "time" as ISO 8601 local
// time with milliseconds and offset; "pid" a number and "process" a string,
// each null where not known).  The owner is given as these two facts, not
// as the label the lines show.
std::string LogCsv(const std::deque<Event>& events);
std::string LogJson(const std::deque<Event>& events);

}  // namespace sockets
