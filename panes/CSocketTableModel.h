// The table view's model of a socket pane or of the connection log: the
// rows of a RowTable, one column per value.  Rows change in place: every
// change the table tells comes out as Qt's row insertions, removals, data
// changes and layout changes, so that a view keeps its selection and its
// scroll position on their sockets; the model is reset only for a fresh
// table.  Sorting is the model's (sort()), and a new filter is evaluated on
// the event loop in slices that never hold the window's thread long.
#pragma once

#include <QAbstractTableModel>
#include <QMetaType>
#include <chrono>
#include <vector>

#include "RowTable.h"

namespace sockets {
class ConnectionLog;
struct RowsDelivery;
}

Q_DECLARE_METATYPE(sockets::RecordPtr)

class CSocketTableModel : public QAbstractTableModel, private sockets::RowTableListener {
    Q_OBJECT
public:
    // What the model gives beside the texts.  Views of other models of
    // socket rows (the processes' tree) give the same.
    enum Role {
        // A row's mark: an int, a sockets::Mark (any column).
        MarkRole = Qt::UserRole,
        // A row's record: a sockets::RecordPtr (any column).
        RecordRole,
        // A header section's column: an int, a sockets::Column.
        ColumnRole,
        // A header section's text as wide as the column's values commonly
        // are, for a view to size the column by.
        SampleRole,
    };
    // How long one slice of a filter's evaluation runs.
    static constexpr std::chrono::milliseconds kFilterSlice{6};

    // The columns of a socket table, and of the log (Time and Event first).
    static std::vector<sockets::Column> SocketColumns();
    static std::vector<sockets::Column> LogColumns();
    // A text as wide as a column's values commonly are (SampleRole).
    static const char* SampleText(sockets::Column column);

    explicit CSocketTableModel(std::vector<sockets::Column> columns, QObject* parent = nullptr);
    ~CSocketTableModel() override;

    const sockets::RowTable& Table() const { return m_table; }
    sockets::Column ColumnAt(int section) const;
    // The section of a column; -1 when the model has none.
    int SectionOf(sockets::Column column) const;

    // A delivery of the socket worker for the pane: its rows afresh, or its
    // edits applied.
    void ShowDelivery(const sockets::RowsDelivery& delivery);
    // The same in parts (RowTable).
    void Reset(std::vector<sockets::RecordPtr> records, const std::vector<sockets::Mark>& marks = {});
    void Apply(const std::vector<sockets::Edit>& edits, std::size_t lineCount,
               const std::vector<sockets::RecordPtr>& records);
    void AppendAndDrop(std::size_t dropFront, std::vector<sockets::RecordPtr> appended);
    // The log's events: those it dropped since the last call go, those it
    // added come (all of them the first time).
    void ShowLog(const sockets::ConnectionLog& log);

    // A new filter (null: none).  Its first slice runs now, the rest on the
    // event loop; filterApplied follows when the rows shown are the
    // filter's.
    void SetFilter(sockets::RecordFilter filter);
    bool FilterPending() const { return m_table.FilterPending(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // By the column's values, stably; a column outside the model sorts in
    // the pane's order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

signals:
    // The rows shown follow the filter last set.
    void filterApplied();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void BeginReset() override;
    void EndReset() override;
    void BeginInsert(std::size_t first, std::size_t last) override;
    void EndInsert() override;
    void BeginRemove(std::size_t first, std::size_t last) override;
    void EndRemove() override;
    void Changed(std::size_t first, std::size_t last) override;
    void BeginReorder() override;
    void EndReorder(const std::vector<std::uint32_t>& newOfOld) override;
    void ContinueFilter();

    std::vector<sockets::Column> m_columns;
    sockets::RowTable m_table;
    QModelIndexList m_reorderFrom;  // the persistent indexes when a reorder began
    int m_filterTimer = 0;
    // The log's number (counted from its start) of the event of the first
    // line, for ShowLog.
    std::uint64_t m_logFirst = 0;
};
