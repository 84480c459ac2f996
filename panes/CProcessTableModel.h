// The Processes pane as a tree table: a row per process that holds sockets,
// its sockets as the rows under it.  Each refresh changes the rows in place
// (rows inserted and removed through the model's row signals, values
// rewritten through dataChanged, never a reset) and keeps the sort; a new
// sort or filter is one layout change.  The persistent indexes move with
// their rows, so that a selected process or socket stays selected wherever
// its row goes.  A filter over the records shows a process when it or any
// of its sockets passes; under a process that passed every socket, else
// the sockets that pass.
//
// Columns, one set for both levels: Process, PID, Sockets (what a process
// row is), then Protocol, Local Address, Local Port, Remote Address, Remote
// Port, State (what a socket row is; a process row leaves them blank),
// then the traffic both fill (a process row sums its sockets': Sent,
// Received, Send Rate, Receive Rate; then Round Trip and Retransmits, a TCP
// socket's own), then the owner's User, Service and Container.  A socket
// row leaves the owner columns (Process, PID, User, Service, Container)
// blank: they are those of the process row it stands under, and ten
// repeats of them under each process would bury the socket columns; its
// tooltip has them.
#pragma once

#include <QAbstractItemModel>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ProcessTable.h"
#include "SocketRecord.h"

class CProcessTableModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit CProcessTableModel(QObject* parent = nullptr);
    ~CProcessTableModel() override;

    // The table's columns, in their first order.
    static int Columns();
    static sockets::Column ColumnAt(int column);
    // The model column of `column`; -1 when the table does not show it.
    static int ColumnOf(sockets::Column column);

    // The processes of a refresh (Kind::Process records, their sockets as
    // `children`), keyed by process id and, under each, by socket identity.
    // Null records are left out.
    void Update(const std::vector<sockets::RecordPtr>& processes);
    // Shows the rows `filter` leaves (an empty one: every row).
    void SetFilter(sockets::RecordFilter filter);

    // Processes shown under the filter, and all of them.
    int Shown() const { return static_cast<int>(m_shown.size()); }
    int Total() const { return static_cast<int>(m_processes.size()); }

    // The record of a row (null for an index of no row); the socket
    // table's RecordRole gives the same, MarkRole the row's mark and the
    // header's ColumnRole each section's column, as the view reads them.
    sockets::RecordPtr RecordAt(const QModelIndex& index) const;
    // The column sorted by and its direction; -1 for the Processes lines'
    // order (total rate, highest first), which sort(-1) restores.
    int SortColumn() const;
    Qt::SortOrder SortOrder() const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    struct Socket;
    struct Process;
    struct Staged;

    const Process* ProcessOf(const QModelIndex& index) const;
    const Socket* SocketOf(const QModelIndex& index) const;
    const sockets::Record* RecordOf(const QModelIndex& index) const;
    QModelIndex IndexOf(const Process& process, int column = 0) const;

    // Turns the rows into `next` (the processes of a refresh, with their
    // new records and sockets): removes the rows no longer shown, sorts the
    // rest again, inserts the rows newly shown and redraws those whose
    // values changed.
    void Apply(std::vector<Staged> next);
    // Sorts the shown rows by m_order when they are not in that order.
    void Resort();
    // Changes the rows inside one layout change: `change` reorders, hides
    // or shows rows of the nodes there are; the persistent indexes follow
    // their rows, those of rows no longer shown become invalid.
    void Relayout(QAbstractItemModel::LayoutChangeHint hint, const std::function<void()>& change);
    void InsertChildren(Process& process, std::vector<Socket*> added);

    std::vector<std::unique_ptr<Process>> m_processes;  // every process, in the refresh's order
    std::vector<Process*> m_shown;                      // the top-level rows
    sockets::RowOrder m_order;
    sockets::RecordFilter m_filter;
};
