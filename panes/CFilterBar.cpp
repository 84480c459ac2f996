#include "CFilterBar.h"

#include <QBoxLayout>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace {

// What the field's tooltip says while its expression is good.
QString SyntaxHelp() {
    return QObject::tr(
        "Words match any column's text. field:value tests proto, family, addr, laddr, raddr, port, lport, "
        "rport, state, pid, proc, user, service.\n"
        "-term negates it; terms are all required; 'or' between terms; ( ) groups; \"...\" quotes.");
}

// `a` with `share` (0 to 1) of `b`.
QColor Mixed(const QColor& a, const QColor& b, double share) {
    const auto mix = [share](int x, int y) { return static_cast<int>(x + (y - x) * share + 0.5); };
    return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()));
}

}  // namespace

CFilterBar::CFilterBar(QWidget* parent)
    : QWidget(parent),
      m_field(new QLineEdit(this)),
      m_counts(new QLabel(this)),
      m_filter(sockets::ParseFilter({}, nullptr)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(6);
    m_field->setObjectName(QStringLiteral("filterField"));
    m_field->setPlaceholderText(tr("Filter: proto:tcp port:443 -state:listening"));
    m_field->setClearButtonEnabled(true);
    // The field's clear button is a child the toolkit makes without a name.
    for (QToolButton* clear : m_field->findChildren<QToolButton*>()) clear->setAccessibleName(tr("Clear Filter"));
    m_field->setToolTip(SyntaxHelp());
    m_field->setAccessibleName(tr("Filter"));
    m_field->installEventFilter(this);
    m_counts->setObjectName(QStringLiteral("filterCounts"));
    m_counts->setTextFormat(Qt::PlainText);
    // Room for six-digit counts, so that the field does not move as they
    // change.
    m_counts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_counts->setMinimumWidth(m_counts->fontMetrics().horizontalAdvance(tr("%1 of %2").arg(888888).arg(888888)));
    layout->addWidget(m_field, 1);
    layout->addWidget(m_counts);
    setFocusProxy(m_field);
    connect(m_field, &QLineEdit::textChanged, this, &CFilterBar::OnTextChanged);
}

QString CFilterBar::Text() const { return m_field->text(); }

void CFilterBar::SetText(const QString& text) { m_field->setText(text); }

void CFilterBar::SetCounts(std::size_t shown, std::size_t total) {
    m_counts->setText(tr("%1 of %2").arg(static_cast<qulonglong>(shown)).arg(static_cast<qulonglong>(total)));
}

void CFilterBar::FocusField() {
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

void CFilterBar::OnTextChanged(const QString& text) {
    sockets::FilterError error;
    const QByteArray utf8 = text.toUtf8();
    std::shared_ptr<const sockets::Filter> filter =
        sockets::ParseFilter(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), &error);
    if (!filter) {
        // The pane keeps the filter it has.
        m_field->setToolTip(
            tr("%1 at column %2").arg(QString::fromStdString(error.reason)).arg(static_cast<qulonglong>(error.column)));
        ShowError(true);
        return;
    }
    m_field->setToolTip(SyntaxHelp());
    ShowError(false);
    // The same expression but for blanks at its ends is the same filter.
    if (QString::fromStdString(filter->Text()).trimmed() == QString::fromStdString(m_filter->Text()).trimmed()) return;
    m_filter = std::move(filter);
    emit filterChanged(m_filter);
}

void CFilterBar::ShowError(bool error) {
    m_error = error;
    m_field->setProperty("filterError", error);
    m_field->setAccessibleDescription(error ? m_field->toolTip() : QString());
    // Back to the colours of the look; then, for an error, its base colour
    // turned towards red, more on a dark base, the text kept.
    m_field->setPalette(QPalette());
    if (!error) return;
    QPalette palette = m_field->palette();
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const bool dark = base.lightnessF() < 0.5;
    const QColor red(0xD0, 0x30, 0x30);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, QPalette::Base, Mixed(palette.color(group, QPalette::Base), red, dark ? 0.45 : 0.25));
    m_field->setPalette(palette);
}

bool CFilterBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Escape clears a field that holds something; an empty one leaves
        // the key to the pane.
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier && !m_field->text().isEmpty()) {
            m_field->clear();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CFilterBar::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Another look: the red made again from its colours.
    if (event->type() == QEvent::PaletteChange && m_error) ShowError(true);
}
