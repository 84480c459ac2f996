// What a socket pane changes between two refreshes: the lines of the new
// table in its order, each marked new or changed against the lines shown,
// the sockets that went away kept one more refresh as closed lines where
// they stood (a TCP line's state then reads CLOSED), and the edits (remove, insert, rewrite) that turn the lines
// shown into those, so that a pane touches only what changed and its
// selection can follow a socket rather than a row number.  Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sockets {

// The typed values of a line (SocketRecord.h), for the table view and the
// filter; null where none were made.
struct Record;

// A socket as a line shows it: its identity (protocol, both ends and the
// owner, in a byte string the caller makes), its state and its text.
struct Row {
    std::string key;
    std::uint32_t state = 0;
    std::u16string text;
    std::shared_ptr<const Record> record{};
};

enum class Mark { None, New, Changed, Closed };

inline constexpr std::size_t kNoLine = static_cast<std::size_t>(-1);

struct Line {
    std::string key;
    std::uint32_t state = 0;
    std::u16string text;
    Mark mark = Mark::None;
    // The index, in the lines shown before, of the line this one continues
    // (the same socket); kNoLine for a new socket.
    std::size_t from = kNoLine;
    std::shared_ptr<const Record> record{};
};

// The lines after a refresh: `table` (the new table, in its order) against
// `shown` (the lines shown now, closed ones among them).  A row whose key
// was not shown is New; one whose state differs from the line shown with
// its key is Changed; a line shown and not Closed whose key is not in the
// table comes back Closed, after the nearest line before it that is still
// there (or first), with the text it had but for a TCP line's state, which
// reads CLOSED (ClosedLineText); a line that was Closed is gone.  Equal keys
// in one table are told apart by the order they come in.
std::vector<Line> NextLines(const std::vector<Line>& shown, const std::vector<Row>& table);

// The text of a socket's line once the socket has gone: a TCP line
// ("LOCAL => REMOTE [          STATE: OWNER ]") with its state field, 15
// characters wide, rewritten as CLOSED in the same width, so that the
// columns stay where they were; any other line (UDP lines have no state)
// as it was.
std::u16string ClosedLineText(std::u16string text);

// One change to a list of lines, applied in order: Remove the line at
// `position`, Insert `line` at `position`, or Rewrite the line at
// `position` with `line` (its text or mark changed).
struct Edit {
    enum class Kind { Remove, Insert, Rewrite } kind;
    std::size_t position;
    Line line;
};

// The edits that turn `shown` into `next` (as NextLines made it): the lines
// whose key is in both keep their items, in the same relative order.
std::vector<Edit> PlanEdits(const std::vector<Line>& shown, const std::vector<Line>& next);

// Applies `edits` to `lines` (for the tests and for an in-memory tree).
void ApplyEdits(std::vector<Line>& lines, const std::vector<Edit>& edits);

}  // namespace sockets
