#include "RowTable.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>
#include <numeric>
#include <utility>

namespace sockets {

namespace {

// Lines are numbered in 32 bits, one number kept for kRowGone.
constexpr std::size_t kMostLines = kRowGone - 1;
// More runs of rows inserted or removed than this in one change are told as
// one reorder: each run costs a model and its views a round of signals,
// a reorder one round and a pass over the rows.
constexpr std::size_t kMostRuns = 1024;
// More runs of changed rows than this are told as one range, from the
// first to the last.
constexpr std::size_t kMostChangedRuns = 64;
// While a filter is evaluated, the clock is read after this many rows.
constexpr std::size_t kRowsBetweenClockReads = 16;

bool SameAddress(const IpAddress& a, const IpAddress& b) {
    return a.family == b.family && a.bytes == b.bytes && a.zone == b.zone && a.zoneName == b.zoneName;
}

bool SameTraffic(const Traffic& a, const Traffic& b) {
    return a.counted == b.counted && a.sent == b.sent && a.received == b.received && a.hasPath == b.hasPath &&
           a.rttMs == b.rttMs && a.retransmits == b.retransmits && a.hasRate == b.hasRate &&
           a.sendRate == b.sendRate && a.receiveRate == b.receiveRate;
}

// Calls `tell(first, last)` for each run of positions in `positions`
// (ascending); more runs than `most` are one run from the first to the last.
template <class Tell>
void TellRuns(const std::vector<std::uint32_t>& positions, std::size_t most, Tell tell) {
    if (positions.empty()) return;
    std::size_t runs = 1;
    for (std::size_t i = 1; i < positions.size(); ++i)
        if (positions[i] != positions[i - 1] + 1) ++runs;
    if (runs > most) {
        tell(positions.front(), positions.back());
        return;
    }
    std::size_t first = 0;
    for (std::size_t i = 1; i <= positions.size(); ++i) {
        if (i < positions.size() && positions[i] == positions[i - 1] + 1) continue;
        tell(positions[first], positions[i - 1]);
        first = i;
    }
}

}  // namespace

bool SameRecord(const Record& a, const Record& b) {
    if (&a == &b) return true;
    return a.kind == b.kind && a.table == b.table && SameAddress(a.local, b.local) && SameAddress(a.remote, b.remote) &&
           a.localPort == b.localPort && a.remotePort == b.remotePort && a.state == b.state && a.closed == b.closed &&
           a.bothFamilies == b.bothFamilies && a.pid == b.pid && a.process == b.process && a.path == b.path &&
           a.user == b.user && a.service == b.service && a.container == b.container &&
           a.ownerMissing == b.ownerMissing && SameTraffic(a.traffic, b.traffic) && a.timeMs == b.timeMs &&
           a.event == b.event && a.sockets == b.sockets && a.children == b.children;
}

bool RowTable::SortsByText() const {
    if (!m_sortColumn) return false;
    // The columns CompareBy orders by their text.
    switch (*m_sortColumn) {
        case Column::Event:
        case Column::State:
        case Column::Process:
        case Column::User:
        case Column::Service:
        case Column::Container: return true;
        default: return false;
    }
}

void RowTable::MakeKey(Line& line) const {
    line.key.clear();
    line.noText = true;
    if (!line.record || !SortsByText()) {
        line.key.shrink_to_fit();
        return;
    }
    // As CompareBy orders texts: those without first, then without regard
    // to case as strcasecmp folds the bytes, up to the first NUL.
    line.key = ColumnText(*line.record, *m_sortColumn);
    line.noText = line.key.empty();
    const std::size_t nul = line.key.find('\0');
    if (nul != std::string::npos) line.key.resize(nul);
    for (char& c : line.key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool RowTable::Before(const std::vector<Line>& lines, std::uint32_t a, std::uint32_t b) const {
    if (m_sortColumn) {
        const Line& p = lines[a];
        const Line& q = lines[b];
        const Record* x = p.record.get();
        const Record* y = q.record.get();
        // Lines without a record come first, as values that are missing do.
        int c = 0;
        if (x == nullptr || y == nullptr)
            c = static_cast<int>(x != nullptr) - static_cast<int>(y != nullptr);
        else if (SortsByText())
            c = p.noText != q.noText ? (p.noText ? -1 : 1) : p.key.compare(q.key);
        else
            c = CompareBy(*x, *y, *m_sortColumn);
        if (c != 0) return m_ascending ? c < 0 : c > 0;
    }
    return a < b;
}

bool RowTable::Keeps(const RecordFilter& filter, const RecordPtr& record) const {
    if (!filter) return true;
    if (!record) return false;
    // A filter that fails on a record leaves it out rather than stop the
    // window's thread.
    try {
        return filter(*record);
    } catch (...) {
        return false;
    }
}

const RecordPtr& RowTable::RecordAt(std::size_t row) const {
    static const RecordPtr none;
    return row < m_view.size() ? m_lines[m_view[row]].record : none;
}

Mark RowTable::MarkAt(std::size_t row) const { return row < m_view.size() ? m_lines[m_view[row]].mark : Mark::None; }

void RowTable::Reset(std::vector<RecordPtr> records, const std::vector<Mark>& marks) {
    if (m_listener != nullptr) m_listener->BeginReset();
    const std::size_t count = std::min(records.size(), kMostLines);
    m_lines.clear();
    m_lines.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        Line& line = m_lines[i];
        line.record = std::move(records[i]);
        line.mark = i < marks.size() ? marks[i] : Mark::None;
        line.shown = Keeps(m_filter, line.record);
        MakeKey(line);
    }
    m_lineCount = count;
    m_order.resize(count);
    std::iota(m_order.begin(), m_order.end(), 0u);
    if (m_sortColumn)
        std::stable_sort(m_order.begin(), m_order.end(),
                         [this](std::uint32_t a, std::uint32_t b) { return Before(m_lines, a, b); });
    m_view.clear();
    for (std::uint32_t i : m_order)
        if (m_lines[i].shown) m_view.push_back(i);
    m_pendingFrom = 0;
    if (m_listener != nullptr) m_listener->EndReset();
}

void RowTable::Apply(const std::vector<Edit>& edits, std::size_t lineCount, const std::vector<RecordPtr>& records) {
    const std::size_t before = m_lineCount;
    const bool withRecords = records.size() == lineCount;
    // No more lines than the edits can place, whatever the count says.
    const std::size_t inserts = static_cast<std::size_t>(
        std::count_if(edits.begin(), edits.end(), [](const Edit& e) { return e.kind == Edit::Kind::Insert; }));
    lineCount = std::min({lineCount, before + inserts, kMostLines});
    // The removals come first, from the last line up; then the insertions
    // and rewrites from the first line down, each at its final position.
    std::vector<bool> removed(before, false);
    std::size_t e = 0;
    for (; e < edits.size() && edits[e].kind == Edit::Kind::Remove; ++e)
        if (edits[e].position < before) removed[edits[e].position] = true;
    std::vector<std::uint32_t> newOfOld(before, kRowGone);
    std::vector<Line> next;
    next.reserve(lineCount);
    std::vector<std::uint8_t> flags;
    flags.reserve(lineCount);
    std::size_t k = 0;  // the next line of before, among those not removed
    for (std::size_t position = 0; position < lineCount; ++position) {
        // An edit out of order, or a removal among the others, is not one
        // planned on these lines: it is passed over.
        while (e < edits.size() && edits[e].position < position) ++e;
        const Edit* edit = e < edits.size() && edits[e].position == position ? &edits[e++] : nullptr;
        if (edit != nullptr && edit->kind == Edit::Kind::Remove) edit = nullptr;
        Line line;
        std::uint8_t flag = 0;
        if (edit != nullptr && edit->kind == Edit::Kind::Insert) {
            line.mark = edit->line.mark;
            flag = kFresh;
        } else {
            while (k < before && removed[k]) ++k;
            if (k >= before) break;  // edits that do not fit the lines: nothing more to place
            newOfOld[k] = static_cast<std::uint32_t>(next.size());
            line = std::move(m_lines[k++]);
            if (edit != nullptr) {
                if (line.mark != edit->line.mark) flag |= kTouched;
                line.mark = edit->line.mark;
            }
        }
        RecordPtr record = withRecords ? records[position] : edit != nullptr ? edit->line.record : line.record;
        if (flag & kFresh) {
            line.record = std::move(record);
            line.shown = Keeps(m_filter, line.record);
            MakeKey(line);
        } else if (record.get() != line.record.get()) {
            // The worker makes every record afresh: one that reads the same
            // is no change.
            const bool same = record != nullptr && line.record != nullptr && SameRecord(*record, *line.record);
            if (!same) {
                flag |= kTouched;
                line.verdict = 0;
                if (SortsByText()) {
                    const std::string key = line.key;
                    const bool noText = line.noText;
                    line.record = record;
                    MakeKey(line);
                    if (line.key != key || line.noText != noText || !line.record) flag |= kMoved;
                } else if (m_sortColumn && (record == nullptr || line.record == nullptr ||
                                            CompareBy(*line.record, *record, *m_sortColumn) != 0)) {
                    flag |= kMoved;
                }
            }
            line.record = std::move(record);
            if (!same) line.shown = Keeps(m_filter, line.record);
        }
        next.push_back(std::move(line));
        flags.push_back(flag);
    }
    Commit(std::move(next), newOfOld, flags);
}

void RowTable::AppendAndDrop(std::size_t dropFront, std::vector<RecordPtr> appended) {
    const std::size_t before = m_lineCount;
    const std::size_t drop = std::min(dropFront, before);
    const std::size_t add = std::min(appended.size(), kMostLines - (before - drop));
    std::vector<std::uint32_t> newOfOld(before, kRowGone);
    std::vector<Line> next;
    next.reserve(before - drop + add);
    for (std::size_t i = drop; i < before; ++i) {
        newOfOld[i] = static_cast<std::uint32_t>(i - drop);
        next.push_back(std::move(m_lines[i]));
    }
    std::vector<std::uint8_t> flags(next.size(), 0);
    flags.resize(next.size() + add, kFresh);
    for (std::size_t i = 0; i < add; ++i) {
        Line line;
        line.record = std::move(appended[i]);
        line.shown = Keeps(m_filter, line.record);
        MakeKey(line);
        next.push_back(std::move(line));
    }
    Commit(std::move(next), newOfOld, flags);
}

void RowTable::Commit(std::vector<Line> next, const std::vector<std::uint32_t>& newOfOld,
                      const std::vector<std::uint8_t>& flags) {
    const std::size_t count = next.size();
    // The new order of every line: the lines that stay keep theirs; the new
    // ones and those whose value in the sort column changed are sorted and
    // merged in.
    std::vector<std::uint32_t> order;
    order.reserve(count);
    if (!m_sortColumn) {
        order.resize(count);
        std::iota(order.begin(), order.end(), 0u);
    } else {
        const auto before = [this, &next](std::uint32_t a, std::uint32_t b) { return Before(next, a, b); };
        std::vector<std::uint32_t> staying, incoming;
        staying.reserve(count);
        for (std::uint32_t old : m_order) {
            const std::uint32_t now = old < newOfOld.size() ? newOfOld[old] : kRowGone;
            if (now != kRowGone && (flags[now] & (kFresh | kMoved)) == 0) staying.push_back(now);
        }
        for (std::uint32_t i = 0; i < count; ++i)
            if (flags[i] & (kFresh | kMoved)) incoming.push_back(i);
        // A sort and searches that stay within their ranges whatever the
        // comparison says of values that do not order (a rate that is not
        // a number).  Each line that comes is placed by a binary search
        // among those that stay: a refresh compares a few thousand pairs,
        // not every line.
        std::stable_sort(incoming.begin(), incoming.end(), before);
        auto from = staying.begin();
        for (std::uint32_t line : incoming) {
            const auto at = std::upper_bound(from, staying.end(), line, before);
            order.insert(order.end(), from, at);
            order.push_back(line);
            from = at;
        }
        order.insert(order.end(), from, staying.end());
    }
    std::vector<std::uint32_t> view;
    view.reserve(count);
    for (std::uint32_t i : order)
        if (next[i].shown) view.push_back(i);

    // The rows shown before, numbered as the lines are now; the lines that
    // went keep their records, after the lines, until they are told
    // removed, so that the rows read the same until then.
    std::vector<std::uint8_t> wasShown(count, 0);
    std::vector<std::uint32_t> shownBefore;
    shownBefore.reserve(m_view.size());
    for (std::uint32_t old : m_view) {
        std::uint32_t now = old < newOfOld.size() ? newOfOld[old] : kRowGone;
        if (now == kRowGone) {
            now = static_cast<std::uint32_t>(next.size());
            next.push_back(std::move(m_lines[old]));
        } else {
            wasShown[now] = 1;
        }
        shownBefore.push_back(now);
    }
    m_lines = std::move(next);
    m_lineCount = count;
    m_order = std::move(order);
    m_view = std::move(shownBefore);
    const auto goes = [this, count](std::uint32_t line) { return line >= count || !m_lines[line].shown; };
    const auto stays = [this, &wasShown](std::uint32_t line) { return wasShown[line] != 0 && m_lines[line].shown; };

    // The rows whose value or mark changed, where they end up.
    std::vector<std::uint32_t> touched;
    for (std::size_t p = 0; p < view.size(); ++p)
        if (wasShown[view[p]] != 0 && (flags[view[p]] & kTouched) != 0) touched.push_back(static_cast<std::uint32_t>(p));

    std::size_t runs = 0;
    for (std::size_t p = 0; p < m_view.size(); ++p)
        if (goes(m_view[p]) && (p == 0 || !goes(m_view[p - 1]))) ++runs;
    for (std::size_t p = 0; p < view.size(); ++p)
        if (wasShown[view[p]] == 0 && (p == 0 || wasShown[view[p - 1]] != 0)) ++runs;
    if (runs > kMostRuns) {
        // Too many to tell one by one: one reorder.
        ShowAsReorder(std::move(view));
    } else {
        // Removals from the last row up, so that the rows above keep their
        // positions.
        for (std::size_t end = m_view.size(); end > 0;) {
            if (!goes(m_view[end - 1])) {
                --end;
                continue;
            }
            std::size_t first = end - 1;
            while (first > 0 && goes(m_view[first - 1])) --first;
            if (m_listener != nullptr) m_listener->BeginRemove(first, end - 1);
            m_view.erase(m_view.begin() + static_cast<std::ptrdiff_t>(first), m_view.begin() + static_cast<std::ptrdiff_t>(end));
            if (m_listener != nullptr) m_listener->EndRemove();
            end = first;
        }
        // The rows that stay, moved where their new values put them.
        std::vector<std::uint32_t> rank(count, kRowGone);
        for (std::size_t p = 0; p < view.size(); ++p) rank[view[p]] = static_cast<std::uint32_t>(p);
        const bool inOrder = std::is_sorted(m_view.begin(), m_view.end(),
                                            [&rank](std::uint32_t a, std::uint32_t b) { return rank[a] < rank[b]; });
        if (!inOrder) {
            std::vector<std::uint32_t> staying;
            staying.reserve(m_view.size());
            for (std::uint32_t line : view)
                if (stays(line)) {
                    rank[line] = static_cast<std::uint32_t>(staying.size());
                    staying.push_back(line);
                }
            std::vector<std::uint32_t> newOfOldRow(m_view.size());
            for (std::size_t p = 0; p < m_view.size(); ++p) newOfOldRow[p] = rank[m_view[p]];
            if (m_listener != nullptr) m_listener->BeginReorder();
            m_view = std::move(staying);
            if (m_listener != nullptr) m_listener->EndReorder(newOfOldRow);
        }
        // Insertions from the first row down, each at its final position.
        for (std::size_t p = 0; p < view.size();) {
            if (wasShown[view[p]] != 0) {
                ++p;
                continue;
            }
            std::size_t last = p;
            while (last + 1 < view.size() && wasShown[view[last + 1]] == 0) ++last;
            if (m_listener != nullptr) m_listener->BeginInsert(p, last);
            m_view.insert(m_view.begin() + static_cast<std::ptrdiff_t>(p), view.begin() + static_cast<std::ptrdiff_t>(p),
                          view.begin() + static_cast<std::ptrdiff_t>(last + 1));
            if (m_listener != nullptr) m_listener->EndInsert();
            p = last + 1;
        }
    }
    m_lines.resize(count);
    if (m_listener != nullptr)
        TellRuns(touched, kMostChangedRuns, [this](std::size_t first, std::size_t last) { m_listener->Changed(first, last); });
    if (m_filterPending) m_pendingFrom = 0;
}

void RowTable::ShowAsReorder(std::vector<std::uint32_t> view) {
    std::vector<std::uint32_t> at(m_lines.size(), kRowGone);
    for (std::size_t p = 0; p < view.size(); ++p) at[view[p]] = static_cast<std::uint32_t>(p);
    std::vector<std::uint32_t> newOfOld(m_view.size());
    for (std::size_t p = 0; p < m_view.size(); ++p) newOfOld[p] = at[m_view[p]];
    if (m_listener != nullptr) m_listener->BeginReorder();
    m_view = std::move(view);
    if (m_listener != nullptr) m_listener->EndReorder(newOfOld);
}

void RowTable::SetSort(std::optional<Column> column, bool ascending) {
    if (column == m_sortColumn && (!column || ascending == m_ascending)) return;
    const bool keysChange = column != m_sortColumn;
    m_sortColumn = column;
    m_ascending = ascending;
    if (keysChange)
        for (std::size_t i = 0; i < m_lineCount; ++i) MakeKey(m_lines[i]);
    std::vector<std::uint32_t> order(m_lineCount);
    std::iota(order.begin(), order.end(), 0u);
    if (column)
        std::stable_sort(order.begin(), order.end(),
                         [this](std::uint32_t a, std::uint32_t b) { return Before(m_lines, a, b); });
    m_order = std::move(order);
    std::vector<std::uint32_t> view;
    view.reserve(m_view.size());
    for (std::uint32_t line : m_order)
        if (m_lines[line].shown) view.push_back(line);
    if (view != m_view) ShowAsReorder(std::move(view));
}

void RowTable::SetFilter(RecordFilter filter) {
    m_pendingFilter = std::move(filter);
    m_filterPending = true;
    m_pendingFrom = 0;
    for (Line& line : m_lines) line.verdict = 0;
}

bool RowTable::ContinueFilter(std::chrono::nanoseconds budget) {
    if (!m_filterPending) return true;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + budget;
    std::size_t judged = 0;
    for (std::size_t i = m_pendingFrom; i < m_lineCount; ++i) {
        Line& line = m_lines[i];
        if (line.verdict != 0) continue;
        line.verdict = Keeps(m_pendingFilter, line.record) ? 1 : 2;
        if (++judged % kRowsBetweenClockReads == 0 && Clock::now() >= deadline) {
            m_pendingFrom = i + 1;
            return false;
        }
    }
    // Every line has its verdict: the filter is the one in effect.
    m_filter = std::move(m_pendingFilter);
    m_pendingFilter = nullptr;
    m_filterPending = false;
    m_pendingFrom = 0;
    for (Line& line : m_lines) {
        line.shown = line.verdict == 1;
        line.verdict = 0;
    }
    std::vector<std::uint32_t> view;
    view.reserve(m_lineCount);
    for (std::uint32_t line : m_order)
        if (m_lines[line].shown) view.push_back(line);
    if (view != m_view) ShowAsReorder(std::move(view));
    return true;
}

std::vector<RowTable::StateCount> RowTable::StateCounts(bool shownOnly) const {
    // The State column's text follows from the kind, the table, the state
    // and whether the socket closed: counted by those, named once each.
    std::map<std::uint64_t, std::pair<std::size_t, const Record*>> groups;
    const auto count = [&groups](const RecordPtr& record) {
        if (!record) return;
        const std::uint64_t key = (static_cast<std::uint64_t>(record->state) << 8) |
                                  (static_cast<std::uint64_t>(record->closed) << 6) |
                                  (static_cast<std::uint64_t>(record->kind) << 3) |
                                  static_cast<std::uint64_t>(record->table);
        auto& group = groups[key];
        ++group.first;
        group.second = record.get();
    };
    if (shownOnly) {
        for (std::uint32_t line : m_view) count(m_lines[line].record);
    } else {
        for (std::size_t i = 0; i < m_lineCount; ++i) count(m_lines[i].record);
    }
    std::map<std::string, std::size_t> byText;
    for (const auto& [key, group] : groups) {
        std::string text = ColumnText(*group.second, Column::State);
        if (!text.empty()) byText[std::move(text)] += group.first;
    }
    std::vector<StateCount> out;
    out.reserve(byText.size());
    for (auto& [text, n] : byText) out.push_back({text, n});
    std::stable_sort(out.begin(), out.end(), [](const StateCount& a, const StateCount& b) { return a.count > b.count; });
    return out;
}

}  // namespace sockets
