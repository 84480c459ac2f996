// The rows of a table view: the lines of a socket pane (or the events of
// the log) in the pane's order, each with its record and mark, and the
// order the table shows them in: the rows a filter keeps, sorted by a
// column.  Every change is told to a listener in the positions the table
// shows, so that a model passes it on as row insertions, removals,
// changes and moves, and a selection or a scroll position stays on its
// socket.  Qt-free.
//
// The table keeps every line in sort order, filtered or not, and shows the
// subsequence that passes: a filter change then costs one pass over the
// rows and no sort, and a refresh sorts only the rows that are new or whose
// value in the sort column changed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SocketDiff.h"
#include "SocketRecord.h"

namespace sockets {

// Which records a table shows; null shows them all.
using RecordFilter = std::function<bool(const Record&)>;

// In a reorder's mapping: the row at that old position is no longer shown.
inline constexpr std::uint32_t kRowGone = static_cast<std::uint32_t>(-1);

// Told of every change to the rows shown, in shown positions, each change
// complete between its Begin and its End (the table's state is the old one
// before Begin, the new one after End).  Positions are inclusive ranges.
class RowTableListener {
public:
    virtual ~RowTableListener() = default;
    // Every row replaced (a fresh table).
    virtual void BeginReset() = 0;
    virtual void EndReset() = 0;
    virtual void BeginInsert(std::size_t first, std::size_t last) = 0;
    virtual void EndInsert() = 0;
    virtual void BeginRemove(std::size_t first, std::size_t last) = 0;
    virtual void EndRemove() = 0;
    // The rows' values or marks changed; they stay where they are.
    virtual void Changed(std::size_t first, std::size_t last) = 0;
    // The rows move (a sort, a filter's result, a value whose sort place
    // changed): `newOfOld[p]` is where the row shown at p before is now, or
    // kRowGone.  Rows not in the mapping's image are shown for the first
    // time (a filter that now keeps them, or a large change told at once).
    virtual void BeginReorder() = 0;
    virtual void EndReorder(const std::vector<std::uint32_t>& newOfOld) = 0;
};

class RowTable {
public:
    struct StateCount {
        std::string state;  // as the State column shows it
        std::size_t count = 0;
    };

    RowTable() = default;
    RowTable(const RowTable&) = delete;
    RowTable& operator=(const RowTable&) = delete;

    // The listener told of every change from now on (null: none).
    void SetListener(RowTableListener* listener) { m_listener = listener; }

    // A fresh table: `records` in the pane's order, with their marks (none
    // when `marks` is empty).  Told as a reset.
    void Reset(std::vector<RecordPtr> records, const std::vector<Mark>& marks = {});
    // A refresh: the edits the tree gets (SocketDiff.h), then the record of
    // every line once they are applied (RowsDelivery::records).  Rows that
    // went are removed, new ones inserted where the order puts them, rows
    // whose value or mark changed are told changed, and rows whose value in
    // the sort column changed move.  Edits that do not fit the lines (never,
    // for edits planned on them) place what they can; `records` of another
    // length than the lines leave the edits' records in place.
    void Apply(const std::vector<Edit>& edits, std::size_t lineCount, const std::vector<RecordPtr>& records);
    // The log: its oldest `dropFront` events dropped, `appended` added at
    // the end (unmarked).
    void AppendAndDrop(std::size_t dropFront, std::vector<RecordPtr> appended);

    // Sorts by `column`, ascending or descending, stably (rows that compare
    // equal keep the pane's order); no column: the pane's order.  Told as
    // a reorder.
    void SetSort(std::optional<Column> column, bool ascending = true);
    std::optional<Column> SortColumn() const { return m_sortColumn; }
    bool SortAscending() const { return m_ascending; }

    // A new filter.  The rows shown follow the filter in effect until the
    // new one has been evaluated on every row, in slices: ContinueFilter
    // evaluates for at most `budget`, and once every row has its verdict
    // shows the rows it keeps (one reorder, in which no row is sorted) and
    // returns true.  A refresh in the meantime keeps the verdicts of the
    // rows that did not change.  The window's thread is never held longer
    // than one slice and the final step, whatever the filter costs per row.
    void SetFilter(RecordFilter filter);
    bool ContinueFilter(std::chrono::nanoseconds budget);
    bool FilterPending() const { return m_filterPending; }

    // The rows shown and all of them.
    std::size_t Shown() const { return m_view.size(); }
    std::size_t Total() const { return m_lineCount; }
    // The record and mark of a row shown (null and Mark::None out of range)
    // and its line in the pane's order.
    const RecordPtr& RecordAt(std::size_t row) const;
    Mark MarkAt(std::size_t row) const;
    std::size_t LineAt(std::size_t row) const { return row < m_view.size() ? m_view[row] : kNoLine; }
    // The rows by the State column's text (rows without one left out),
    // most first; of the rows shown, or of all of them.
    std::vector<StateCount> StateCounts(bool shownOnly = true) const;

private:
    struct Line {
        RecordPtr record;
        // Sorted by a column of text: the text as it orders (folded to
        // lower case), and whether the column has none.  Made once per
        // value rather than at each comparison.
        std::string key;
        bool noText = false;
        Mark mark = Mark::None;
        bool shown = true;          // kept by the filter in effect
        std::uint8_t verdict = 0;   // of the filter being evaluated: 0 not yet, 1 kept, 2 left out
    };
    // Per line of a change: new, moved in the sort order, or its value or
    // mark changed.
    enum : std::uint8_t { kFresh = 1, kMoved = 2, kTouched = 4 };

    bool Before(const std::vector<Line>& lines, std::uint32_t a, std::uint32_t b) const;
    // Whether the sort column orders by text, and the line's key for it.
    bool SortsByText() const;
    void MakeKey(Line& line) const;
    bool Keeps(const RecordFilter& filter, const RecordPtr& record) const;
    // Makes `next` the lines: `newOfOld` maps each line of before to its
    // place in `next` (kRowGone: it went), `flags` says what each line of
    // `next` is.  Works out the new order and tells the listener.
    void Commit(std::vector<Line> next, const std::vector<std::uint32_t>& newOfOld, const std::vector<std::uint8_t>& flags);
    // Shows `view` (lines in the order to show) as one reorder.
    void ShowAsReorder(std::vector<std::uint32_t> view);
    void Tell(std::size_t first, std::size_t last, void (RowTableListener::*what)(std::size_t, std::size_t));

    std::vector<Line> m_lines;          // the pane's order; during a change, the lines that go after them
    std::size_t m_lineCount = 0;
    std::vector<std::uint32_t> m_order;  // every line, in sort order
    std::vector<std::uint32_t> m_view;   // the lines shown, in sort order
    std::optional<Column> m_sortColumn;
    bool m_ascending = true;
    RecordFilter m_filter;
    RecordFilter m_pendingFilter;
    bool m_filterPending = false;
    std::size_t m_pendingFrom = 0;  // the first line that may lack a verdict
    RowTableListener* m_listener = nullptr;
};

// Whether two records show and sort the same in every column.
bool SameRecord(const Record& a, const Record& b);

}  // namespace sockets
