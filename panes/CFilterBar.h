// The filter field above a socket-like pane: the expression typed (parsed
// on every edit, SocketFilter.h), and "N of M" beside it.  A good expression
// is handed to the pane through filterChanged; a bad one turns the field
// red with the reason and column as its tooltip, and the pane keeps the
// last good filter.  Escape clears the field.
#pragma once

#include <QWidget>
#include <cstddef>
#include <memory>

#include "SocketFilter.h"

class QLabel;
class QLineEdit;

class CFilterBar : public QWidget {
    Q_OBJECT
public:
    explicit CFilterBar(QWidget* parent = nullptr);

    // The expression as typed, for the settings; SetText puts one back
    // (and parses it as an edit would).
    QString Text() const;
    void SetText(const QString& text);
    // "N of M": the rows shown of those there are.
    void SetCounts(std::size_t shown, std::size_t total);
    // Moves the keyboard focus into the field, its text selected (Ctrl+F).
    void FocusField();
    // The last good filter (an empty one, which matches everything, until
    // one is typed), and whether the text now is a bad expression.
    std::shared_ptr<const sockets::Filter> CurrentFilter() const { return m_filter; }
    bool HasError() const { return m_error; }

signals:
    // A good expression other than the last one: the filter to apply.
    void filterChanged(std::shared_ptr<const sockets::Filter> filter);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void OnTextChanged(const QString& text);
    // The field's colours: its palette's own, or red for a bad expression,
    // made from the current base and text colours so that it reads in
    // light and dark looks alike.
    void ShowError(bool error);

    QLineEdit* m_field;
    QLabel* m_counts;
    std::shared_ptr<const sockets::Filter> m_filter;
    bool m_error = false;
};

Q_DECLARE_METATYPE(std::shared_ptr<const sockets::Filter>)
