#include "CProcessTableModel.h"

#include "CSocketTableModel.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

#include "PrintableText.h"

namespace {

using sockets::Column;
using sockets::Record;

constexpr Column kColumns[] = {Column::Process,      Column::Pid,       Column::Sockets,       Column::Protocol,
                               Column::LocalAddress, Column::LocalPort, Column::RemoteAddress, Column::RemotePort,
                               Column::State,        Column::Sent,      Column::Received,      Column::SendRate,
                               Column::ReceiveRate,  Column::RoundTrip, Column::Retransmits,   Column::User,
                               Column::Service,      Column::Container};
constexpr int kColumnTotal = static_cast<int>(std::size(kColumns));

// The columns of the owner, which a socket row leaves to its process's row.
bool OwnerColumn(Column c) {
    return c == Column::Process || c == Column::Pid || c == Column::User || c == Column::Service ||
           c == Column::Container;
}

bool NumberColumn(Column c) {
    switch (c) {
        case Column::Pid:
        case Column::Sockets:
        case Column::LocalPort:
        case Column::RemotePort:
        case Column::Sent:
        case Column::Received:
        case Column::SendRate:
        case Column::ReceiveRate:
        case Column::RoundTrip:
        case Column::Retransmits: return true;
        default: return false;
    }
}

// Names and paths come from the processes themselves: shown by the rule
// for every text from outside.
QString Printable(std::string_view text) {
    const std::string printable = PrintableUtf8(text);
    return QString::fromUtf8(printable.data(), static_cast<qsizetype>(printable.size()));
}

// Every value of a row, a "Title: text" line each: what a cut-off cell
// holds, and the owner of a socket row.
QString WholeText(const Record& r) {
    std::string text;
    const auto add = [&text](const char* title, const std::string& value) {
        if (value.empty()) return;
        text.append(text.empty() ? "" : "\n").append(title).append(": ").append(PrintableUtf8(value));
    };
    for (Column c : kColumns) {
        add(sockets::ColumnTitle(c), sockets::ColumnText(r, c));
        if (c == Column::Process) add("Path", r.path);
    }
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Calls `f(first, last)` for each run of consecutive numbers in `rows`
// (ascending).
template <class F>
void ForRuns(const std::vector<int>& rows, F f) {
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1) ++j;
        f(rows[i], rows[j]);
        i = j + 1;
    }
}

// Removes the rows that do not stay, a run of neighbours at a time, from
// the last: `begin(first, last)` before each run goes, `removed(node)` for
// each of its rows, then `end()` with the rows renumbered.
template <class Node, class Begin, class Removed, class End>
void RemoveRuns(std::vector<Node*>& rows, Begin begin, Removed removed, End end) {
    for (int last = static_cast<int>(rows.size()) - 1; last >= 0;) {
        if (rows[last]->stays) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !rows[first - 1]->stays) --first;
        begin(first, last);
        for (int r = first; r <= last; ++r) removed(*rows[r]);
        rows.erase(rows.begin() + first, rows.begin() + last + 1);
        for (std::size_t r = static_cast<std::size_t>(first); r < rows.size(); ++r) rows[r]->row = static_cast<int>(r);
        end();
        last = first - 1;
    }
}

// Inserts `added` among `rows` where `merged` (MergedOrder of the two)
// puts them, a run of neighbours at a time, from the first: each run's
// rows are at their final places before the next one goes in.
template <class Node, class Begin, class End>
void InsertRuns(std::vector<Node*>& rows, const std::vector<std::size_t>& merged, const std::vector<Node*>& added,
                Begin begin, End end) {
    const std::size_t kept = rows.size();
    for (std::size_t k = 0; k < merged.size();) {
        if (merged[k] < kept) {
            ++k;
            continue;
        }
        std::size_t last = k;
        while (last + 1 < merged.size() && merged[last + 1] >= kept) ++last;
        begin(static_cast<int>(k), static_cast<int>(last));
        std::vector<Node*> run;
        run.reserve(last - k + 1);
        for (std::size_t j = k; j <= last; ++j) run.push_back(added[merged[j] - kept]);
        rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(k), run.begin(), run.end());
        for (std::size_t r = k; r < rows.size(); ++r) rows[r]->row = static_cast<int>(r);
        end();
        k = last + 1;
    }
}

template <class Node>
std::vector<const Record*> RecordsOf(const std::vector<Node*>& rows) {
    std::vector<const Record*> records;
    records.reserve(rows.size());
    for (const Node* n : rows) records.push_back(n->record.get());
    return records;
}

std::vector<const Record*> RecordsOf(const std::vector<sockets::RecordPtr>& records) {
    std::vector<const Record*> out;
    out.reserve(records.size());
    for (const sockets::RecordPtr& r : records) out.push_back(r.get());
    return out;
}

// Whether the rows are in `order` already (checked without a copy: most
// refreshes leave most processes' sockets in order).
template <class Node>
bool Sorted(const std::vector<Node*>& rows, const sockets::RowOrder& order) {
    for (std::size_t i = 1; i < rows.size(); ++i)
        if (sockets::Before(*rows[i]->record, *rows[i - 1]->record, order)) return false;
    return true;
}

// `kept` (in order) with `added` merged in where `order` puts them, the
// rows numbered.
template <class Node>
std::vector<Node*> Merged(const std::vector<Node*>& kept, const std::vector<Node*>& added,
                          const sockets::RowOrder& order) {
    std::vector<Node*> rows;
    rows.reserve(kept.size() + added.size());
    for (std::size_t i : sockets::MergedOrder(RecordsOf(kept), RecordsOf(added), order))
        rows.push_back(i < kept.size() ? kept[i] : added[i - kept.size()]);
    for (std::size_t r = 0; r < rows.size(); ++r) rows[r]->row = static_cast<int>(r);
    return rows;
}

template <class Node>
void Reorder(std::vector<Node*>& rows, const std::vector<std::size_t>& order) {
    std::vector<Node*> sorted;
    sorted.reserve(rows.size());
    for (std::size_t i : order) sorted.push_back(rows[i]);
    rows = std::move(sorted);
    for (std::size_t r = 0; r < rows.size(); ++r) rows[r]->row = static_cast<int>(r);
}

}  // namespace

struct CProcessTableModel::Socket {
    std::string key;
    sockets::RecordPtr record;
    int row = -1;          // among its process's rows; -1 when not shown
    bool stays = false;    // shown after the change under way
    bool changed = false;  // shown before and after it, with other values
};

struct CProcessTableModel::Process {
    std::string key;
    sockets::RecordPtr record;
    std::vector<std::unique_ptr<Socket>> sockets;  // all of them, in the record's order
    std::vector<Socket*> shown;                    // the rows under it, in the table's order
    int row = -1;                                  // -1 when not shown
    bool stays = false;
    bool changed = false;
};

// A process as it is to be after a change: its node (kept or new), its
// record, and its sockets' nodes and records.  The nodes of the rows that
// go stay where they were until their rows are removed.
struct CProcessTableModel::Staged {
    std::unique_ptr<Process> process;
    sockets::RecordPtr record;
    std::vector<std::unique_ptr<Socket>> sockets;
    std::vector<sockets::RecordPtr> socketRecords;
};

CProcessTableModel::CProcessTableModel(QObject* parent) : QAbstractItemModel(parent) {}
CProcessTableModel::~CProcessTableModel() = default;

int CProcessTableModel::Columns() { return kColumnTotal; }

sockets::Column CProcessTableModel::ColumnAt(int column) {
    return column >= 0 && column < kColumnTotal ? kColumns[column] : Column::Process;
}

int CProcessTableModel::ColumnOf(sockets::Column column) {
    for (int i = 0; i < kColumnTotal; ++i)
        if (kColumns[i] == column) return i;
    return -1;
}

void CProcessTableModel::Update(const std::vector<sockets::RecordPtr>& processes) {
    std::vector<sockets::RecordPtr> records;
    records.reserve(processes.size());
    for (const sockets::RecordPtr& p : processes)
        if (p) records.push_back(p);
    std::vector<std::string> keys;
    keys.reserve(records.size());
    for (const sockets::RecordPtr& p : records) keys.push_back(sockets::ProcessKey(*p));
    std::vector<std::string_view> before, next(keys.begin(), keys.end());
    before.reserve(m_processes.size());
    for (const auto& p : m_processes) before.push_back(p->key);
    const std::vector<std::size_t> from = sockets::MatchKeys(before, next);

    std::vector<Staged> staged(records.size());
    for (std::size_t n = 0; n < records.size(); ++n) {
        Staged& s = staged[n];
        if (from[n] != sockets::kNoLine) {
            s.process = std::move(m_processes[from[n]]);
        } else {
            s.process = std::make_unique<Process>();
            s.process->key = std::move(keys[n]);
        }
        s.record = records[n];
        // Its sockets, paired with those it had by their identity.
        Process& p = *s.process;
        std::vector<std::string> socketKeys;
        socketKeys.reserve(s.record->children.size());
        for (const sockets::RecordPtr& child : s.record->children) {
            if (!child) continue;
            s.socketRecords.push_back(child);
            socketKeys.push_back(sockets::SocketKey(*child));
        }
        std::vector<std::string_view> had, has(socketKeys.begin(), socketKeys.end());
        had.reserve(p.sockets.size());
        for (const auto& socket : p.sockets) had.push_back(socket->key);
        const std::vector<std::size_t> same = sockets::MatchKeys(had, has);
        s.sockets.reserve(socketKeys.size());
        for (std::size_t i = 0; i < socketKeys.size(); ++i) {
            if (same[i] != sockets::kNoLine) {
                s.sockets.push_back(std::move(p.sockets[same[i]]));
            } else {
                s.sockets.push_back(std::make_unique<Socket>());
                s.sockets.back()->key = std::move(socketKeys[i]);
            }
        }
    }
    Apply(std::move(staged));
}

void CProcessTableModel::SetFilter(sockets::RecordFilter filter) {
    m_filter = std::move(filter);
    // One layout change rather than a removal or insertion for each run of
    // rows: a keystroke in the filter field may hide or show most sockets
    // of every process, and each row signal costs the model a pass over
    // every persistent index (each process the view has open is one).
    Relayout(QAbstractItemModel::NoLayoutChangeHint, [this] {
        std::vector<bool> socketShown;
        for (const auto& p : m_processes) {
            std::vector<const Record*> records;
            records.reserve(p->sockets.size());
            for (const auto& socket : p->sockets) records.push_back(socket->record.get());
            p->stays = sockets::ShownUnder(m_filter, *p->record, records, socketShown);
            for (std::size_t i = 0; i < p->sockets.size(); ++i) p->sockets[i]->stays = p->stays && socketShown[i];
            // The rows shown before keep their order; those newly shown
            // go where the sort puts them.
            std::vector<Socket*> kept, added;
            for (Socket* socket : p->shown) {
                if (socket->stays)
                    kept.push_back(socket);
                else
                    socket->row = -1;
            }
            for (const auto& socket : p->sockets)
                if (socket->stays && socket->row < 0) added.push_back(socket.get());
            p->shown = Merged(kept, added, m_order);
        }
        std::vector<Process*> kept, added;
        for (Process* p : m_shown) {
            if (p->stays)
                kept.push_back(p);
            else
                p->row = -1;
        }
        for (const auto& p : m_processes)
            if (p->stays && p->row < 0) added.push_back(p.get());
        m_shown = Merged(kept, added, m_order);
    });
}

void CProcessTableModel::Apply(std::vector<Staged> next) {
    // What stays shown: the rows of the nodes left behind (gone processes
    // in m_processes, gone sockets in their process's list) do not.
    for (const auto& p : m_processes)
        if (p) p->stays = false;
    std::vector<bool> socketShown;
    for (Staged& s : next) {
        for (const auto& socket : s.process->sockets)
            if (socket) socket->stays = false;
        s.process->stays = sockets::ShownUnder(m_filter, *s.record, RecordsOf(s.socketRecords), socketShown);
        for (std::size_t i = 0; i < s.sockets.size(); ++i) s.sockets[i]->stays = socketShown[i];
    }

    // The rows that go: processes first (their sockets' rows go with them),
    // then sockets under the processes that stay.
    RemoveRuns(
        m_shown, [this](int first, int last) { beginRemoveRows({}, first, last); },
        [](Process& p) {
            p.row = -1;
            for (Socket* socket : p.shown) socket->row = -1;
            p.shown.clear();
        },
        [this] { endRemoveRows(); });
    for (Process* p : m_shown) {
        const QModelIndex parent = IndexOf(*p);
        RemoveRuns(
            p->shown, [this, &parent](int first, int last) { beginRemoveRows(parent, first, last); },
            [](Socket& socket) { socket.row = -1; }, [this] { endRemoveRows(); });
    }

    // The new records and nodes.  The nodes of the rows gone are dropped
    // after the change, their rows being gone already.
    std::vector<std::unique_ptr<Process>> gone = std::move(m_processes);
    m_processes.clear();
    m_processes.reserve(next.size());
    for (Staged& s : next) {
        Process& p = *s.process;
        p.changed = p.row >= 0 && !sockets::SameValues(*p.record, *s.record);
        p.record = std::move(s.record);
        for (std::size_t i = 0; i < s.sockets.size(); ++i) {
            Socket& socket = *s.sockets[i];
            socket.changed = socket.row >= 0 && !sockets::SameValues(*socket.record, *s.socketRecords[i]);
            socket.record = std::move(s.socketRecords[i]);
        }
        p.sockets = std::move(s.sockets);
        m_processes.push_back(std::move(s.process));
    }

    // The rows kept, in the order of their new values.
    Resort();

    // The rows newly shown: sockets under the processes shown, then the
    // processes, each with its sockets in order.
    for (Process* p : m_shown) {
        std::vector<Socket*> added;
        for (const auto& socket : p->sockets)
            if (socket->stays && socket->row < 0) added.push_back(socket.get());
        if (!added.empty()) InsertChildren(*p, std::move(added));
    }
    std::vector<Process*> added;
    for (const auto& p : m_processes) {
        if (!p->stays || p->row >= 0) continue;
        std::vector<Socket*> shown;
        for (const auto& socket : p->sockets)
            if (socket->stays) shown.push_back(socket.get());
        Reorder(shown, sockets::SortedOrder(RecordsOf(shown), m_order));
        p->shown = std::move(shown);
        added.push_back(p.get());
    }
    if (!added.empty()) {
        InsertRuns(
            m_shown, sockets::MergedOrder(RecordsOf(m_shown), RecordsOf(added), m_order), added,
            [this](int first, int last) { beginInsertRows({}, first, last); }, [this] { endInsertRows(); });
    }

    // The rows kept whose values changed.
    const int lastColumn = kColumnTotal - 1;
    std::vector<int> rows;
    for (Process* p : m_shown)
        if (std::exchange(p->changed, false)) rows.push_back(p->row);
    ForRuns(rows, [this, lastColumn](int first, int last) {
        emit dataChanged(createIndex(first, 0, nullptr), createIndex(last, lastColumn, nullptr));
    });
    for (Process* p : m_shown) {
        rows.clear();
        for (Socket* socket : p->shown)
            if (std::exchange(socket->changed, false)) rows.push_back(socket->row);
        ForRuns(rows, [this, p, lastColumn](int first, int last) {
            emit dataChanged(createIndex(first, 0, p), createIndex(last, lastColumn, p));
        });
    }
}

void CProcessTableModel::Resort() {
    const bool moved = !Sorted(m_shown, m_order);
    std::vector<Process*> under;
    for (Process* p : m_shown)
        if (!Sorted(p->shown, m_order)) under.push_back(p);
    if (!moved && under.empty()) return;
    Relayout(QAbstractItemModel::VerticalSortHint, [&] {
        if (moved) Reorder(m_shown, sockets::SortedOrder(RecordsOf(m_shown), m_order));
        for (Process* p : under) Reorder(p->shown, sockets::SortedOrder(RecordsOf(p->shown), m_order));
    });
}

void CProcessTableModel::Relayout(QAbstractItemModel::LayoutChangeHint hint, const std::function<void()>& change) {
    emit layoutAboutToBeChanged({}, hint);
    // The node of each persistent index, to find its row after the change.
    const QModelIndexList from = persistentIndexList();
    std::vector<std::pair<const Process*, const Socket*>> nodes;
    nodes.reserve(static_cast<std::size_t>(from.size()));
    for (const QModelIndex& index : from) nodes.emplace_back(ProcessOf(index), SocketOf(index));
    change();
    QModelIndexList to;
    to.reserve(from.size());
    for (qsizetype i = 0; i < from.size(); ++i) {
        const auto [p, socket] = nodes[static_cast<std::size_t>(i)];
        if (p == nullptr || p->row < 0 || (socket != nullptr && socket->row < 0))
            to.push_back({});
        else if (socket != nullptr)
            to.push_back(createIndex(socket->row, from[i].column(), p));
        else
            to.push_back(createIndex(p->row, from[i].column(), nullptr));
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, hint);
}

void CProcessTableModel::InsertChildren(Process& process, std::vector<Socket*> added) {
    const QModelIndex parent = IndexOf(process);
    InsertRuns(
        process.shown, sockets::MergedOrder(RecordsOf(process.shown), RecordsOf(added), m_order), added,
        [this, &parent](int first, int last) { beginInsertRows(parent, first, last); }, [this] { endInsertRows(); });
}

const CProcessTableModel::Process* CProcessTableModel::ProcessOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    if (const auto* p = static_cast<const Process*>(index.internalPointer())) return p;
    return index.row() < Shown() ? m_shown[static_cast<std::size_t>(index.row())] : nullptr;
}

const CProcessTableModel::Socket* CProcessTableModel::SocketOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    const auto* p = static_cast<const Process*>(index.internalPointer());
    if (p == nullptr || static_cast<std::size_t>(index.row()) >= p->shown.size()) return nullptr;
    return p->shown[static_cast<std::size_t>(index.row())];
}

const sockets::Record* CProcessTableModel::RecordOf(const QModelIndex& index) const {
    if (const Socket* socket = SocketOf(index)) return socket->record.get();
    if (index.isValid() && index.internalPointer() == nullptr)
        if (const Process* p = ProcessOf(index)) return p->record.get();
    return nullptr;
}

QModelIndex CProcessTableModel::IndexOf(const Process& process, int column) const {
    return process.row >= 0 ? createIndex(process.row, column, nullptr) : QModelIndex();
}

sockets::RecordPtr CProcessTableModel::RecordAt(const QModelIndex& index) const {
    if (const Socket* socket = SocketOf(index)) return socket->record;
    if (index.isValid() && index.internalPointer() == nullptr)
        if (const Process* p = ProcessOf(index)) return p->record;
    return nullptr;
}

int CProcessTableModel::SortColumn() const { return m_order.column ? ColumnOf(*m_order.column) : -1; }

Qt::SortOrder CProcessTableModel::SortOrder() const {
    return m_order.descending ? Qt::DescendingOrder : Qt::AscendingOrder;
}

QModelIndex CProcessTableModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= kColumnTotal) return {};
    if (!parent.isValid()) return row < Shown() ? createIndex(row, column, nullptr) : QModelIndex();
    if (parent.internalPointer() != nullptr || parent.column() != 0) return {};
    const Process* p = ProcessOf(parent);
    if (p == nullptr || static_cast<std::size_t>(row) >= p->shown.size()) return {};
    return createIndex(row, column, p);
}

QModelIndex CProcessTableModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalPointer() == nullptr) return {};
    return IndexOf(*static_cast<const Process*>(child.internalPointer()));
}

int CProcessTableModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return Shown();
    if (parent.internalPointer() != nullptr || parent.column() != 0) return 0;
    const Process* p = ProcessOf(parent);
    return p != nullptr ? static_cast<int>(p->shown.size()) : 0;
}

int CProcessTableModel::columnCount(const QModelIndex&) const { return kColumnTotal; }

QVariant CProcessTableModel::data(const QModelIndex& index, int role) const {
    const Record* record = RecordOf(index);
    if (record == nullptr) return {};
    const Column column = ColumnAt(index.column());
    switch (role) {
        case Qt::DisplayRole: {
            const bool underProcess = index.internalPointer() != nullptr;
            if (underProcess && OwnerColumn(column)) return QString();
            return Printable(sockets::ColumnText(*record, column));
        }
        case Qt::ToolTipRole: return WholeText(*record);
        case Qt::TextAlignmentRole:
            return NumberColumn(column) ? (Qt::AlignRight | Qt::AlignVCenter).toInt()
                                        : (Qt::AlignLeft | Qt::AlignVCenter).toInt();
        // The roles of the socket table's model, which the view reads: no
        // marks here yet, and the row's record.
        case CSocketTableModel::MarkRole: return static_cast<int>(sockets::Mark::None);
        case CSocketTableModel::RecordRole: return QVariant::fromValue(RecordAt(index));
        default: return {};
    }
}

QVariant CProcessTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnTotal) return {};
    if (role == Qt::DisplayRole) return QString::fromUtf8(sockets::ColumnTitle(kColumns[section]));
    if (role == Qt::TextAlignmentRole)
        return NumberColumn(kColumns[section]) ? (Qt::AlignRight | Qt::AlignVCenter).toInt()
                                               : (Qt::AlignLeft | Qt::AlignVCenter).toInt();
    if (role == CSocketTableModel::ColumnRole) return static_cast<int>(kColumns[section]);
    if (role == CSocketTableModel::SampleRole) return QString::fromLatin1(CSocketTableModel::SampleText(kColumns[section]));
    return {};
}

Qt::ItemFlags CProcessTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.internalPointer() != nullptr) result |= Qt::ItemNeverHasChildren;
    return result;
}

void CProcessTableModel::sort(int column, Qt::SortOrder order) {
    m_order = {};
    if (column >= 0 && column < kColumnTotal) m_order = {ColumnAt(column), order == Qt::DescendingOrder};
    Resort();
}
