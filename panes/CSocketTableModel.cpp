#include "CSocketTableModel.h"

#include <QTimerEvent>
#include <algorithm>

#include "ConnectionLog.h"
#include "PrintableText.h"
#include "SocketMonitor.h"

namespace {

using sockets::Column;

// Numbers read right-aligned, so that their digits line up.
bool IsNumber(Column column) {
    switch (column) {
        case Column::LocalPort:
        case Column::RemotePort:
        case Column::Pid:
        case Column::Sent:
        case Column::Received:
        case Column::SendRate:
        case Column::ReceiveRate:
        case Column::RoundTrip:
        case Column::Retransmits:
        case Column::Sockets: return true;
        default: return false;
    }
}

}  // namespace

// A text as wide as the column's values commonly are.
const char* CSocketTableModel::SampleText(Column column) {
    switch (column) {
        case Column::Time: return "00:00:00.000";
        case Column::Event: return "ESTABLISHED";
        case Column::Protocol: return "TCPv6";
        case Column::LocalAddress:
        case Column::RemoteAddress: return "255.255.255.255";
        case Column::LocalPort:
        case Column::RemotePort: return "65535";
        case Column::State: return "ESTABLISHED";
        case Column::Pid: return "4194304";
        case Column::Process: return "needs privileges";
        case Column::User: return "systemd-network";
        case Column::Sent:
        case Column::Received: return "1023.99 KiB";
        case Column::SendRate:
        case Column::ReceiveRate: return "1023.99 KiB/s";
        case Column::RoundTrip: return "1000 ms";
        case Column::Retransmits: return "Retransmits";
        case Column::Service: return "NetworkManager.service";
        case Column::Container: return "container";
        case Column::Sockets: return "Sockets";
    }
    return "";
}

namespace {

QString MarkWord(sockets::Mark mark) {
    switch (mark) {
        case sockets::Mark::New: return QStringLiteral("new");
        case sockets::Mark::Changed: return QStringLiteral("changed");
        case sockets::Mark::Closed: return QStringLiteral("closed");
        case sockets::Mark::None: break;
    }
    return {};
}

}  // namespace

std::vector<Column> CSocketTableModel::SocketColumns() {
    return {Column::Protocol,    Column::LocalAddress, Column::LocalPort, Column::RemoteAddress, Column::RemotePort,
            Column::State,       Column::Pid,          Column::Process,   Column::User,          Column::Sent,
            Column::Received,    Column::SendRate,     Column::ReceiveRate, Column::RoundTrip,   Column::Retransmits,
            Column::Service,     Column::Container};
}

std::vector<Column> CSocketTableModel::LogColumns() {
    std::vector<Column> columns = {Column::Time, Column::Event};
    const std::vector<Column> sockets = SocketColumns();
    columns.insert(columns.end(), sockets.begin(), sockets.end());
    return columns;
}

CSocketTableModel::CSocketTableModel(std::vector<Column> columns, QObject* parent)
    : QAbstractTableModel(parent), m_columns(std::move(columns)) {
    m_table.SetListener(this);
}

CSocketTableModel::~CSocketTableModel() { m_table.SetListener(nullptr); }

Column CSocketTableModel::ColumnAt(int section) const {
    return section >= 0 && static_cast<std::size_t>(section) < m_columns.size() ? m_columns[static_cast<std::size_t>(section)]
                                                                                 : Column::Protocol;
}

int CSocketTableModel::SectionOf(Column column) const {
    const auto at = std::find(m_columns.begin(), m_columns.end(), column);
    return at == m_columns.end() ? -1 : static_cast<int>(at - m_columns.begin());
}

// ------------------------------------------------------------------- rows

void CSocketTableModel::ShowDelivery(const sockets::RowsDelivery& delivery) {
    if (!delivery.fresh) {
        Apply(delivery.edits, delivery.lineCount, delivery.records);
        return;
    }
    std::vector<sockets::RecordPtr> records = delivery.records;
    if (records.size() != delivery.rows.rows.size()) {
        records.clear();
        for (const sockets::Row& row : delivery.rows.rows) records.push_back(row.record);
    }
    Reset(std::move(records));
}

void CSocketTableModel::Reset(std::vector<sockets::RecordPtr> records, const std::vector<sockets::Mark>& marks) {
    m_table.Reset(std::move(records), marks);
}

void CSocketTableModel::Apply(const std::vector<sockets::Edit>& edits, std::size_t lineCount,
                              const std::vector<sockets::RecordPtr>& records) {
    m_table.Apply(edits, lineCount, records);
}

void CSocketTableModel::AppendAndDrop(std::size_t dropFront, std::vector<sockets::RecordPtr> appended) {
    m_table.AppendAndDrop(dropFront, std::move(appended));
}

void CSocketTableModel::ShowLog(const sockets::ConnectionLog& log) {
    // The lines show the events numbered [m_logFirst, shownEnd) of all the
    // log has had; it holds [first, added).
    const std::deque<sockets::Event>& events = log.Events();
    const std::uint64_t added = log.Added();
    const std::uint64_t first = added - events.size();
    const std::uint64_t shownEnd = m_logFirst + m_table.Total();
    if (shownEnd > added) {
        // Not this log's lines: start afresh.
        m_logFirst = first;
        std::vector<sockets::RecordPtr> records;
        records.reserve(events.size());
        for (const sockets::Event& event : events) records.push_back(sockets::EventRecord(event));
        Reset(std::move(records));
        return;
    }
    const std::size_t drop = static_cast<std::size_t>(
        std::min<std::uint64_t>(first > m_logFirst ? first - m_logFirst : 0, m_table.Total()));
    const std::uint64_t from = std::max(shownEnd, first);
    std::vector<sockets::RecordPtr> appended;
    appended.reserve(static_cast<std::size_t>(added - from));
    for (std::uint64_t n = from; n < added; ++n)
        appended.push_back(sockets::EventRecord(events[static_cast<std::size_t>(n - first)]));
    m_logFirst = drop == m_table.Total() ? from : m_logFirst + drop;
    AppendAndDrop(drop, std::move(appended));
}

void CSocketTableModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || static_cast<std::size_t>(column) >= m_columns.size())
        m_table.SetSort(std::nullopt);
    else
        m_table.SetSort(m_columns[static_cast<std::size_t>(column)], order == Qt::AscendingOrder);
}

// ----------------------------------------------------------------- filter

void CSocketTableModel::SetFilter(sockets::RecordFilter filter) {
    m_table.SetFilter(std::move(filter));
    ContinueFilter();
}

void CSocketTableModel::ContinueFilter() {
    if (!m_table.ContinueFilter(kFilterSlice)) {
        // The rest on the event loop, a slice at a time, between the
        // window's other events.
        if (m_filterTimer == 0) m_filterTimer = startTimer(0);
        return;
    }
    if (m_filterTimer != 0) killTimer(m_filterTimer);
    m_filterTimer = 0;
    emit filterApplied();
}

void CSocketTableModel::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_filterTimer) return QAbstractTableModel::timerEvent(event);
    ContinueFilter();
}

// ------------------------------------------------------------------- model

int CSocketTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::min<std::size_t>(m_table.Shown(), INT_MAX));
}

int CSocketTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant CSocketTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.parent().isValid() || index.column() >= columnCount()) return {};
    const std::size_t row = static_cast<std::size_t>(index.row());
    if (row >= m_table.Shown()) return {};
    const Column column = ColumnAt(index.column());
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole: {
            const sockets::RecordPtr& record = m_table.RecordAt(row);
            if (!record) return {};
            // Process names, users, services come from outside.
            const QString text = QString::fromStdString(PrintableUtf8(sockets::ColumnText(*record, column)));
            if (role == Qt::ToolTipRole && text.isEmpty()) return {};
            return text;
        }
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(IsNumber(column) ? Qt::AlignRight | Qt::AlignVCenter
                                                                      : Qt::AlignLeft | Qt::AlignVCenter));
        case Qt::AccessibleDescriptionRole: {
            const QString word = MarkWord(m_table.MarkAt(row));
            return word.isEmpty() ? QVariant() : QVariant(word);
        }
        case MarkRole: return static_cast<int>(m_table.MarkAt(row));
        case RecordRole: return QVariant::fromValue(m_table.RecordAt(row));
        default: return {};
    }
}

QVariant CSocketTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
    const Column column = ColumnAt(section);
    switch (role) {
        case Qt::DisplayRole: return QString::fromLatin1(sockets::ColumnTitle(column));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(IsNumber(column) ? Qt::AlignRight | Qt::AlignVCenter
                                                                      : Qt::AlignLeft | Qt::AlignVCenter));
        case ColumnRole: return static_cast<int>(column);
        case SampleRole: return QString::fromLatin1(SampleText(column));
        default: return {};
    }
}

Qt::ItemFlags CSocketTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    // Rows never have children: a tree view then asks no more of them.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

// --------------------------------------------------------------- listener

void CSocketTableModel::BeginReset() { beginResetModel(); }
void CSocketTableModel::EndReset() { endResetModel(); }

void CSocketTableModel::BeginInsert(std::size_t first, std::size_t last) {
    beginInsertRows(QModelIndex(), static_cast<int>(first), static_cast<int>(last));
}
void CSocketTableModel::EndInsert() { endInsertRows(); }

void CSocketTableModel::BeginRemove(std::size_t first, std::size_t last) {
    beginRemoveRows(QModelIndex(), static_cast<int>(first), static_cast<int>(last));
}
void CSocketTableModel::EndRemove() { endRemoveRows(); }

void CSocketTableModel::Changed(std::size_t first, std::size_t last) {
    if (m_columns.empty()) return;
    emit dataChanged(index(static_cast<int>(first), 0), index(static_cast<int>(last), columnCount() - 1));
}

void CSocketTableModel::BeginReorder() {
    // Rows move but columns do not: a header keeps its sections as they are.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    m_reorderFrom = persistentIndexList();
}

void CSocketTableModel::EndReorder(const std::vector<std::uint32_t>& newOfOld) {
    QModelIndexList to;
    to.reserve(m_reorderFrom.size());
    for (const QModelIndex& from : m_reorderFrom) {
        const std::size_t row = static_cast<std::size_t>(from.row());
        const std::uint32_t now = row < newOfOld.size() ? newOfOld[row] : sockets::kRowGone;
        to.push_back(now == sockets::kRowGone ? QModelIndex() : index(static_cast<int>(now), from.column()));
    }
    changePersistentIndexList(m_reorderFrom, to);
    m_reorderFrom.clear();
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
