// The table view of a socket-like pane: a row per socket (or event, or
// process with its sockets under it), a column per value.  A header click
// sorts by the column, ascending, then descending, then in the pane's order
// again (the model sorts); columns are dragged to reorder and resize, and
// the header's context menu hides and shows them; SaveState and
// RestoreState keep all of it.  A narrow mark before each row's first
// column tells new ("+"), changed ("~") and closed ("×") rows apart besides
// their colour, and stays readable on the selection.  The row's context
// menu narrows the pane to its process or port (through signals) and
// copies its address or process id.  The selection and the rows in view
// stay on their sockets as the rows change under them.
//
// The cells are in the window's ordinary font rather than the tree's fixed
// pitch: the columns line the values up already, and proportional text
// leaves room for more of them.  One row is selected at a time.
//
// Works with any model of socket rows that gives the roles of
// CSocketTableModel (the mark, the record, the header's column, the
// sample text a column is first sized by); a model other than that flat
// one gets the branches of a tree.  RestoreState is for after setModel.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QString>
#include <QPersistentModelIndex>
#include <QTreeView>
#include <vector>

#include "SocketRecord.h"

class CTableView : public QTreeView {
    Q_OBJECT
public:
    explicit CTableView(QWidget* parent = nullptr);
    ~CTableView() override;

    // Sizes the columns to their common values (the model's SampleRole),
    // in the pane's order, unsorted.  A flat model's rows have no branch.
    void setModel(QAbstractItemModel* model) override;

    // The text colours of rows marked new, changed and closed (the look's).
    void SetMarkColours(const QColor& added, const QColor& changed, const QColor& closed);
    QColor MarkColour(sockets::Mark mark) const;
    // The width of the mark before a row's first column, and its font.
    int MarkWidth() const { return m_markWidth; }
    const QFont& MarkFont() const { return m_markFont; }
    // The first column shown (in the header's order); -1 for none.
    int FirstShownColumn() const;
    // The font the cells' texts are drawn in (the view's) and its metrics.
    const QFont& TextFont() const { return m_textFont; }
    const QFontMetrics& TextMetrics() const { return m_textMetrics; }
    int TextWidth(const QString& text) const;

    // The columns' order, widths and shown state, and the sort, as bytes;
    // RestoreState takes back only what SaveState made for as many columns
    // (anything else changes nothing and returns false).
    QByteArray SaveState() const;
    bool RestoreState(const QByteArray& state);

    // A list that grows at its end (the log): a view showing its end
    // keeps showing it as rows come.
    void SetFollowsEnd(bool follows) { m_followsEnd = follows; }

    // The record of the row of `index` (null: none).
    sockets::RecordPtr RecordAt(const QModelIndex& index) const;
    // The row menu's commands for the row of `index`: the address of the
    // end the column is about (else the remote end, else the local one),
    // and the owner's process id, put on the clipboard.
    void CopyAddress(const QModelIndex& index);
    void CopyPid(const QModelIndex& index);
    // Copies the selected rows' shown columns, tab-separated (Ctrl+C).
    void CopyRows();
    // Adds a command of the pane's to the end of the row menu (also the
    // menu of the space without rows).
    void AddMenuAction(QAction* action) { m_extraActions.push_back(action); }

signals:
    // "Show Only This Process" and "Show Only This Port" on a row: the
    // row's record, and for the port which end: the remote one when the
    // menu was opened on a remote column, else the local one for a socket
    // that listens or has no remote end, else the end with the lower port
    // (the service's side of a connection).
    void showOnlyProcess(const sockets::RecordPtr& record);
    void showOnlyPort(const sockets::RecordPtr& record, bool remoteEnd);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class MarkDelegate;

    // Before the rows change: the row at the top of the view and where it
    // is; once they have: the view scrolled so that it is there again.
    void NoteTopRow();
    void KeepTopRow();
    void ShowHeaderMenu(const QPoint& pos);
    void SizeColumns();
    void SetTextFont();
    sockets::Column ColumnOf(int section) const;
    // Which end a row command is about, for the column it was opened on.
    bool RemoteEnd(const sockets::Record& record, int section) const;

    std::vector<QAction*> m_extraActions;
    MarkDelegate* m_delegate = nullptr;
    QFont m_textFont;
    QFontMetrics m_textMetrics;
    QFont m_markFont;
    int m_markWidth = 0;
    mutable QHash<QString, int> m_textWidths;
    QColor m_markColours[3] = {QColor(0x00, 0x6B, 0x1E), QColor(0x7A, 0x5C, 0x00), QColor(0xB0, 0x00, 0x20)};
    std::vector<QMetaObject::Connection> m_modelConnections;
    QPersistentModelIndex m_anchor;
    int m_anchorTop = 0;
    bool m_anchorNoted = false;
    bool m_atEnd = false;
    bool m_followsEnd = false;
};
