#include "CRibbonBar.h"

#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QGridLayout>
#include <QHoverEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QStyleOption>
#include <QStackedWidget>
#include <QTabBar>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

constexpr int kRowsPerColumn = 3;
const char* const kKeyTipProperty = "keyTip";

// Unique key tips for `texts`: the first letter of each text that is still
// free, else another of its letters, else a letter and a digit.
std::vector<QString> MakeTips(const std::vector<QString>& texts, QStringList taken) {
    std::vector<QString> tips;
    for (const QString& raw : texts) {
        QString text = raw;
        text.remove(QLatin1Char('&'));
        QString tip;
        for (const QChar c : text) {
            const QString candidate = QString(c).toUpper();
            if (c.isLetterOrNumber() && !taken.contains(candidate)) {
                tip = candidate;
                break;
            }
        }
        for (int n = 1; tip.isEmpty() && n < 100; ++n) {
            const QString candidate =
                (text.isEmpty() ? QStringLiteral("Y") : QString(text[0]).toUpper()) + QString::number(n);
            if (!taken.contains(candidate)) tip = candidate;
        }
        taken << tip;
        tips.push_back(tip);
    }
    return tips;
}

QString OwnTip(const QWidget* element) { return element->property(kKeyTipProperty).toString(); }

// A button whose menu held the mouse heard of no Leave when the pointer
// went from it onto the menu: once the menu has closed with the pointer
// elsewhere, the button is told the pointer left, and rests again.
void LeaveIfPointerGone(QWidget* button) {
    if (!button->underMouse() || button->rect().contains(button->mapFromGlobal(QCursor::pos()))) return;
    button->setAttribute(Qt::WA_UnderMouse, false);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(button, &leave);
    if (button->testAttribute(Qt::WA_Hover)) {
        const QPointF nowhere(-1, -1);
        QHoverEvent hoverLeave(QEvent::HoverLeave, nowhere, nowhere, nowhere);
        QCoreApplication::sendEvent(button, &hoverLeave);
    }
    button->update();
}

}  // namespace

// ------------------------------------------------------------------ panels

CRibbonPanel::CRibbonPanel(const QString& title, const QIcon& icon, CRibbonBar* ribbon, QWidget* parent)
    : QGroupBox(title, parent), m_ribbon(ribbon), m_icon(icon), m_layout(new QHBoxLayout(this)) {
    // Room below the elements for the panel's title, which most looks put at
    // the bottom.
    m_layout->setContentsMargins(6, 4, 6, 22);
    m_layout->setSpacing(8);
    setWindowIcon(icon);
    // A panel is shown whole or collapsed, never squeezed.
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    m_collapsedButton = new QToolButton(parent);
    m_collapsedButton->setObjectName(QStringLiteral("ribbonCollapsedPanel"));
    m_collapsedButton->setText(title);
    m_collapsedButton->setIcon(icon);
    m_collapsedButton->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_collapsedButton->setAutoRaise(true);
    m_collapsedButton->setToolTip(title);
    m_collapsedButton->setAccessibleName(title);
    m_collapsedButton->hide();
    connect(m_collapsedButton, &QToolButton::clicked, this, [this] { DropDown(); });
}

void CRibbonPanel::SetCollapsed(bool collapsed) {
    if (collapsed == m_collapsed) return;
    m_collapsed = collapsed;
    if (!collapsed && m_dropDown != nullptr) m_dropDown->hide();
    setVisible(!collapsed);
    m_collapsedButton->setVisible(collapsed);
}

bool CRibbonPanel::IsDroppedDown() const { return m_dropDown != nullptr && m_dropDown->isVisible(); }

void CRibbonPanel::DropDown() {
    if (!m_collapsed || IsDroppedDown()) return;
    QWidget* page = parentWidget();
    if (m_dropDown == nullptr) {
        m_dropDown = new QFrame(m_collapsedButton, Qt::Popup);
        // Drawn as a piece of the ribbon's page, in the page's colours.
        m_dropDown->setObjectName(QStringLiteral("ribbonPages"));
        m_dropDown->setFrameShape(QFrame::StyledPanel);
        auto* holder = new QHBoxLayout(m_dropDown);
        holder->setContentsMargins(2, 2, 2, 2);
        // Closed, the drop-down gives the panel back to its page, hidden
        // while it stays collapsed.
        m_dropDown->installEventFilter(this);
    }
    const int index = page != nullptr && page->layout() != nullptr ? page->layout()->indexOf(this) : -1;
    setProperty("pageIndex", index);
    m_dropDown->layout()->addWidget(this);
    show();
    m_dropDown->adjustSize();
    m_dropDown->move(m_collapsedButton->mapToGlobal(QPoint(0, m_collapsedButton->height())));
    m_dropDown->show();
}

bool CRibbonPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_dropDown && event->type() == QEvent::Hide) {
        auto* page = qobject_cast<CRibbonCategory*>(m_collapsedButton->parentWidget());
        auto* pageLayout = page != nullptr ? qobject_cast<QBoxLayout*>(page->layout()) : nullptr;
        if (pageLayout != nullptr) {
            const int index = property("pageIndex").toInt();
            setParent(page);
            pageLayout->insertWidget(index >= 0 ? index : pageLayout->indexOf(m_collapsedButton), this);
            setVisible(!m_collapsed);
            page->FitPanels();
        }
    }
    return QGroupBox::eventFilter(watched, event);
}

QCheckBox* CRibbonPanel::AddCheckBox(int id, const QString& text) {
    auto* box = new QCheckBox(text, this);
    box->setObjectName(QStringLiteral("ribbonCheck%1").arg(id));
    box->setProperty("commandId", id);
    // The box shows what its command's update says: a click asks for the
    // command, and the frame then sets the mark.
    connect(box, &QCheckBox::clicked, this, [this, box, id](bool) {
        box->setChecked(!box->isChecked());
        emit m_ribbon->command(id);
    });
    PlaceInColumn(box);
    m_elements.push_back(box);
    m_ribbon->Register(id, box);
    return box;
}

void CRibbonPanel::PlaceInColumn(QWidget* element) {
    // Small elements stand in columns of three rows, filled top down.
    QVBoxLayout* column = nullptr;
    if (m_columnRows % kRowsPerColumn != 0 && m_layout->count() > 0)
        column = qobject_cast<QVBoxLayout*>(m_layout->itemAt(m_layout->count() - 1)->layout());
    if (column == nullptr) {
        column = new QVBoxLayout;
        m_layout->addLayout(column);
        column->addWidget(element);
        column->addStretch(1);
        m_columnRows = 1;
        return;
    }
    column->insertWidget(column->count() - 1, element);
    ++m_columnRows;
}

QToolButton* CRibbonPanel::AddButton(int id, const QString& text, const QIcon& small, const QIcon& large) {
    auto* button = new QToolButton(this);
    button->setText(text);
    button->setIcon(large.isNull() ? small : large);
    button->setToolButtonStyle(large.isNull() ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonTextUnderIcon);
    button->setProperty("commandId", id);
    connect(button, &QToolButton::clicked, this, [this, id] { emit m_ribbon->command(id); });
    if (large.isNull()) {
        PlaceInColumn(button);
    } else {
        m_layout->addWidget(button);
        m_columnRows = 0;
    }
    m_elements.push_back(button);
    m_ribbon->Register(id, button);
    return button;
}

// -------------------------------------------------------------- categories

CRibbonCategory::CRibbonCategory(const QString& label, CRibbonBar* ribbon, QWidget* parent)
    : QWidget(parent), m_ribbon(ribbon), m_label(label), m_layout(new QHBoxLayout(this)) {
    m_layout->setContentsMargins(4, 2, 4, 2);
    m_layout->setSpacing(4);
    m_layout->addStretch(1);
}

CRibbonPanel* CRibbonCategory::AddPanel(const QString& title, const QIcon& icon) {
    auto* panel = new CRibbonPanel(title, icon, m_ribbon, this);
    panel->setObjectName(QStringLiteral("ribbonPanel%1").arg(m_panels.size()));
    m_layout->insertWidget(m_layout->count() - 1, panel);
    m_layout->insertWidget(m_layout->count() - 1, panel->CollapsedButton());
    m_panels.push_back(panel);
    return panel;
}

QSize CRibbonCategory::minimumSizeHint() const {
    const QMargins margins = m_layout->contentsMargins();
    int width = margins.left() + margins.right();
    int height = 0;
    for (const CRibbonPanel* panel : m_panels) {
        if (width > margins.left() + margins.right()) width += m_layout->spacing();
        width += panel->CollapsedButton()->sizeHint().width();
        height = std::max({height, panel->CollapsedButton()->sizeHint().height(), panel->minimumSizeHint().height()});
    }
    return {width, height + margins.top() + margins.bottom()};
}

void CRibbonCategory::FitPanels() {
    const QMargins margins = m_layout->contentsMargins();
    const int room = width() - margins.left() - margins.right();
    // Panels fold from the right: the first ones are the most used.
    std::vector<int> whole, folded;
    for (const CRibbonPanel* panel : m_panels) {
        whole.push_back(panel->sizeHint().width());
        folded.push_back(panel->CollapsedButton()->sizeHint().width());
    }
    const int gaps = m_panels.empty() ? 0 : m_layout->spacing() * static_cast<int>(m_panels.size() - 1);
    std::size_t open = m_panels.size();
    const auto needed = [&] {
        int sum = gaps;
        for (std::size_t i = 0; i < m_panels.size(); ++i) sum += i < open ? whole[i] : folded[i];
        return sum;
    };
    while (open > 0 && needed() > room) --open;
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        if (m_panels[i]->IsDroppedDown()) continue;  // it stays down until closed
        m_panels[i]->SetCollapsed(i >= open);
    }
}

void CRibbonCategory::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FitPanels();
}

// ------------------------------------------------------------------ ribbon

CRibbonBar::CRibbonBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ribbonBar"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setSpacing(2);

    m_appButton = new QToolButton(this);
    m_appButton->setObjectName(QStringLiteral("ribbonApplicationButton"));
    m_appButton->setPopupMode(QToolButton::InstantPopup);
    m_appButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    grid->addWidget(m_appButton, 0, 0, 2, 1, Qt::AlignTop);

    m_tabRow = new QHBoxLayout;
    m_tabRow->setSpacing(2);
    // The quick access toolbar comes first in the row once it has commands.
    m_tabs = new QTabBar(this);
    m_tabs->setObjectName(QStringLiteral("ribbonTabs"));
    m_tabs->setDrawBase(false);
    m_tabs->setExpanding(false);
    // Tab labels are kept whole: the window is never narrower than they are.
    m_tabs->setUsesScrollButtons(false);
    m_tabs->setElideMode(Qt::ElideNone);
    m_tabRow->addWidget(m_tabs);
    m_tabRow->addStretch(1);
    grid->addLayout(m_tabRow, 0, 1);

    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("ribbonPages"));
    m_pages->setFrameShape(QFrame::StyledPanel);  // the look draws the page with its frame
    grid->addWidget(m_pages, 1, 1);
    grid->setColumnStretch(1, 1);
    connect(m_tabs, &QTabBar::currentChanged, m_pages, &QStackedWidget::setCurrentIndex);
    // A double click on a tab collapses the ribbon to its tab row, and
    // another brings the pages back, as users know it from ribbons.
    connect(m_tabs, &QTabBar::tabBarDoubleClicked, this, [this](int index) {
        if (index >= 0) SetCollapsed(!IsCollapsed());
    });

    qApp->installEventFilter(this);
}

void CRibbonBar::SetCollapsed(bool collapsed) {
    if (collapsed == IsCollapsed()) return;
    if (collapsed && KeyTipsShown()) HideKeyTips();
    m_pages->setVisible(!collapsed);
    updateGeometry();
}

bool CRibbonBar::IsCollapsed() const { return m_pages->isHidden(); }

QToolButton* CRibbonBar::SetApplicationButton(const QIcon& icon, const QString& text, const QString& toolTip,
                                              int size) {
    m_appButton->setIcon(icon);
    m_appButton->setText(text);
    m_appButton->setToolTip(toolTip);
    m_appButton->setFixedSize(size, size);
    m_appButton->setIconSize(QSize(size - 13, size - 13));
    return m_appButton;
}

QMenu* CRibbonBar::AddMainCategory(const QString& label) {
    m_mainLabel = label;
    m_mainMenu = new QMenu(label, this);
    m_mainMenu->setObjectName(QStringLiteral("ribbonMainCategory"));
    m_appButton->setMenu(m_mainMenu);
    return m_mainMenu;
}

QAction* CRibbonBar::AddMainCategoryButton(int id, const QString& text, const QIcon& small) {
    QAction* action = m_mainMenu->addAction(small, text);
    action->setProperty("commandId", id);
    connect(action, &QAction::triggered, this, [this, id] { emit command(id); });
    RegisterAction(id, action);
    return action;
}

CRibbonCategory* CRibbonBar::AddCategory(const QString& label) {
    auto* category = new CRibbonCategory(label, this, m_pages);
    category->setObjectName(QStringLiteral("ribbonCategory%1").arg(m_categories.size()));
    m_pages->addWidget(category);
    m_tabs->addTab(label);
    m_categories.push_back(category);
    return category;
}

void CRibbonBar::paintEvent(QPaintEvent*) {
    // The row behind the tabs, in the look's colours.
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

void CRibbonBar::AddToTabs(QToolButton* button) {
    button->setParent(this);
    button->setAutoRaise(true);
    m_tabRow->addWidget(button);
    m_tabButtons.push_back(button);
}

void CRibbonBar::SetQuickAccessCommands(const std::vector<int>& ids) {
    QList<QAction*> actions;
    for (int id : ids) {
        if (QAction* action = FindAction(id)) actions << action;
    }
    // An empty toolbar is made only when it first gets commands.
    if (m_quickAccess == nullptr && actions.isEmpty()) return;
    if (m_quickAccess == nullptr) {
        m_quickAccess = new QToolBar(this);
        m_quickAccess->setObjectName(QStringLiteral("ribbonQuickAccess"));
        m_quickAccess->setIconSize(QSize(16, 16));
        m_tabRow->insertWidget(0, m_quickAccess);
    }
    m_quickAccess->clear();
    m_quickAccess->addActions(actions);
    m_quickAccess->setVisible(!actions.isEmpty());
    updateGeometry();
}

QList<QAction*> CRibbonBar::QuickAccessActions() const {
    return m_quickAccess != nullptr ? m_quickAccess->actions() : QList<QAction*>();
}

void CRibbonBar::SetKeyTip(QWidget* element, const QString& tip) { element->setProperty(kKeyTipProperty, tip); }

// ---------------------------------------------------------------- key tips

std::vector<CRibbonBar::Tip> CRibbonBar::ReachableTips() {
    QStringList own;
    std::vector<QString> texts;
    std::vector<Tip> pending;
    if (m_tipLevel == 0) {
        pending.push_back({QString(), m_appButton, [this] { m_appButton->showMenu(); }});
        texts.push_back(m_mainLabel);
        for (int i = 0; i < m_tabs->count(); ++i) {
            pending.push_back({QString(), m_tabs,
                               [this, i] {
                                   m_tabs->setCurrentIndex(i);
                                   m_tipLevel = 1;
                                   ShowKeyTips();
                               },
                               i});
            texts.push_back(m_tabs->tabText(i));
        }
        for (QToolButton* button : m_tabButtons) {
            pending.push_back({OwnTip(button), button, [button] {
                                   if (button->menu() != nullptr)
                                       button->showMenu();
                                   else
                                       button->click();
                               }});
            texts.push_back(button->text());
        }
    } else if (m_tabs->currentIndex() >= 0 && m_tabs->currentIndex() < static_cast<int>(m_categories.size())) {
        for (CRibbonPanel* panel : m_categories[static_cast<std::size_t>(m_tabs->currentIndex())]->Panels()) {
            if (panel->IsCollapsed() && !panel->IsDroppedDown()) {
                // A folded panel's tip drops it down and shows its elements'
                // tips there.
                pending.push_back({QString(), panel->CollapsedButton(), [this, panel] {
                                       panel->DropDown();
                                       ShowKeyTips();
                                   }});
                texts.push_back(panel->title());
                continue;
            }
            for (QWidget* element : panel->Elements()) {
                auto* button = qobject_cast<QAbstractButton*>(element);
                pending.push_back({OwnTip(element), element, [button] {
                                       if (button != nullptr) button->click();
                                   }});
                texts.push_back(button != nullptr ? button->text() : QString());
            }
        }
    }
    for (const Tip& t : pending)
        if (!t.keys.isEmpty()) own << t.keys.toUpper();
    // Elements with a tip of their own keep it; the others get one made.
    std::vector<QString> free;
    std::vector<std::size_t> pendingIndex;
    for (std::size_t i = 0; i < pending.size(); ++i)
        if (pending[i].keys.isEmpty()) {
            free.push_back(texts[i]);
            pendingIndex.push_back(i);
        }
    const std::vector<QString> made = MakeTips(free, own);
    for (std::size_t k = 0; k < pendingIndex.size(); ++k) pending[pendingIndex[k]].keys = made[k];
    for (Tip& t : pending) t.keys = t.keys.toUpper();
    return pending;
}

void CRibbonBar::ShowKeyTips() {
    for (QPointer<QLabel>& label : m_tipLabels) delete label.data();
    m_tipLabels.clear();
    m_typed.clear();
    m_tips = ReachableTips();
    for (const Tip& tip : m_tips) {
        // A dropped-down panel is a window of its own.
        QWidget* top = tip.target->window();
        QPoint anchor = tip.target->rect().bottomLeft() + QPoint(tip.target->width() / 2, -4);
        if (tip.tab >= 0) {
            // One tip per tab, under the tab.
            const QRect tab = m_tabs->tabRect(tip.tab);
            anchor = tab.bottomLeft() + QPoint(tab.width() / 2, -4);
        }
        auto* label = new QLabel(tip.keys, top);
        label->setObjectName(QStringLiteral("keyTip"));
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        label->setStyleSheet(QStringLiteral(
            "QLabel { background: #fdfdf0; color: #202020; border: 1px solid #707070; padding: 0 3px; }"));
        label->adjustSize();
        label->move(tip.target->mapTo(top, anchor) - QPoint(label->width() / 2, 0));
        label->show();
        label->raise();
        m_tipLabels.emplace_back(label);
    }
}

void CRibbonBar::HideKeyTips() {
    for (QPointer<QLabel>& label : m_tipLabels) delete label.data();
    m_tipLabels.clear();
    m_tips.clear();
    m_typed.clear();
    m_tipLevel = 0;
}

void CRibbonBar::RunTip(const QString& typed) {
    m_typed += typed.toUpper();
    bool prefix = false;
    for (const Tip& tip : m_tips) {
        if (tip.keys == m_typed) {
            const std::function<void()> run = tip.run;
            const bool stays = tip.target == m_tabs || tip.target->objectName() == QLatin1String("ribbonCollapsedPanel");
            if (!stays) HideKeyTips();
            run();
            return;
        }
        prefix |= tip.keys.startsWith(m_typed);
    }
    if (!prefix) m_typed.clear();
}

bool CRibbonBar::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (window() == nullptr || !window()->isActiveWindow()) return QWidget::eventFilter(watched, event);
        if (type == QEvent::KeyPress) {
            if (key->key() == Qt::Key_Alt && !key->isAutoRepeat()) {
                m_altAlone = true;
                return QWidget::eventFilter(watched, event);
            }
            m_altAlone = false;
            if (KeyTipsShown() && (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)) {
                // Tab while the key tips show takes the focus into the
                // ribbon, on its tabs; Esc there gives it back.
                HideKeyTips();
                QWidget* before = QApplication::focusWidget();
                if (before != nullptr && !isAncestorOf(before)) m_focusBefore = before;
                m_tabs->setFocus(Qt::ShortcutFocusReason);
                return true;
            }
            if (!KeyTipsShown() && key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier &&
                QApplication::focusWidget() != nullptr && isAncestorOf(QApplication::focusWidget()) &&
                QApplication::activePopupWidget() == nullptr) {
                if (m_focusBefore != nullptr && m_focusBefore->isVisible())
                    m_focusBefore->setFocus(Qt::ShortcutFocusReason);
                else
                    QApplication::focusWidget()->clearFocus();
                m_focusBefore = nullptr;
                return true;
            }
            if (KeyTipsShown()) {
                if (key->key() == Qt::Key_Escape) {
                    if (m_tipLevel == 1) {
                        m_tipLevel = 0;
                        ShowKeyTips();
                    } else {
                        HideKeyTips();
                    }
                } else if (!key->text().isEmpty() && key->text()[0].isLetterOrNumber()) {
                    RunTip(key->text());
                }
                return true;
            }
        } else if (key->key() == Qt::Key_Alt && m_altAlone && !key->isAutoRepeat()) {
            m_altAlone = false;
            if (KeyTipsShown())
                HideKeyTips();
            else
                ShowKeyTips();
            return true;
        }
    } else if (type == QEvent::MouseButtonPress && KeyTipsShown()) {
        HideKeyTips();
    } else if (type == QEvent::Hide && qobject_cast<QMenu*>(watched) != nullptr) {
        for (QToolButton* button : m_tabButtons)
            if (button->menu() == watched) LeaveIfPointerGone(button);
    }
    return QWidget::eventFilter(watched, event);
}
