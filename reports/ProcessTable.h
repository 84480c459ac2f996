// What the Processes table needs beside the records: the identity of a
// process row and of a socket row under it, the pairing of the rows shown
// with those of a new refresh by that identity, the order the rows are
// sorted in, and which rows a filter leaves.  The model of the table (a
// Qt model, in panes/) applies these to its rows.  Qt-free.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SocketRecord.h"

namespace sockets {

// A process row's identity: its process id (the Processes line's key).
std::string ProcessKey(const Record& process);

// A socket row's identity among its process's sockets: its protocol and
// family, both ends (address, zone and port), without its state, owner or
// traffic, which change while it stays the same socket.
std::string SocketKey(const Record& socket);

// The rows of a refresh paired with those shown before, by key: for each
// key of `next`, the index in `before` of the same row, or kNoLine for a
// new one.  Equal keys are paired in the order they come in, as the socket
// lines' diff pairs them.  A row of `before` that no row of `next` takes is
// gone.
std::vector<std::size_t> MatchKeys(const std::vector<std::string_view>& before,
                                   const std::vector<std::string_view>& next);

// Whether two records show the same values in every column (a row whose
// values changed is redrawn; one whose values did not is left alone).
bool SameValues(const Record& a, const Record& b);

// How the rows are sorted: by a column, ascending or descending, the rows
// that compare equal keeping the order they had; or, without a column, as
// the Processes lines are: by total rate (sent and received), highest
// first, then by process id, then a process's sockets by protocol and
// their ends.
struct RowOrder {
    std::optional<Column> column;
    bool descending = false;
};

// Whether `a` goes before `b` in `order`; false for rows that compare equal.
bool Before(const Record& a, const Record& b, const RowOrder& order);

// The order of `rows` sorted by `order`, equal rows in the order they come
// in: the indices of `rows`, first to last.
std::vector<std::size_t> SortedOrder(const std::vector<const Record*>& rows, const RowOrder& order);

// `kept` (sorted by `order`) with `added` (in any order) merged in: each
// added row after the kept rows it equals, the added ones among themselves
// sorted stably.  For each position of the merged list, the index of its
// row: i for kept[i], kept.size() + j for added[j].
std::vector<std::size_t> MergedOrder(const std::vector<const Record*>& kept, const std::vector<const Record*>& added,
                                     const RowOrder& order);

// Which rows of a process the table shows under `filter`: the process when
// it passes or any of its sockets passes; under it every socket when the
// process itself passed, else those that pass.  Returns whether the process
// is shown; `shownSockets` gets a flag per socket of `sockets`.
bool ShownUnder(const RecordFilter& filter, const Record& process, const std::vector<const Record*>& sockets,
                std::vector<bool>& shownSockets);

}  // namespace sockets
