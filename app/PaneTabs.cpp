#include "PaneTabs.h"

#include <QApplication>
#include <QDockWidget>
#include <QEvent>
#include <QFontMetrics>
#include <QHash>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QTimer>
#include <algorithm>
#include <vector>

namespace {

bool SideTabs(QTabBar::Shape shape) {
    return shape == QTabBar::RoundedWest || shape == QTabBar::RoundedEast || shape == QTabBar::TriangularWest ||
           shape == QTabBar::TriangularEast;
}

int TextExtent(const QFontMetrics& metrics, const QString& text) {
    // As the bar measures a tab's text.
    return metrics.size(Qt::TextShowMnemonic, text).width();
}

constexpr QLatin1StringView kName("paneTabs");

// What an adopted bar keeps: the short titles, the titles shown short now,
// and the tab pressed for a drag.
class CPaneTabs : public QObject {
public:
    CPaneTabs(QMainWindow* frame, QTabBar* bar, ShortTitleOf shortOf)
        : QObject(bar), m_frame(frame), m_bar(bar), m_shortOf(std::move(shortOf)) {
        setObjectName(kName);
        bar->installEventFilter(this);
    }

    static CPaneTabs* Of(const QWidget* widget) {
        if (widget == nullptr) return nullptr;
        return dynamic_cast<CPaneTabs*>(widget->findChild<QObject*>(kName, Qt::FindDirectChildrenOnly));
    }

    // The short title a tab of this whole title shows now; null when it
    // shows the whole one.
    QString ShownShort(const QString& title) const { return m_shown.value(title); }

    bool Fit();
    int ShortExtent() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Tab {
        QString title;
        QString brief;  // null: none
        int whole = 0;  // its extent with the whole title, and with the short one
        int shortened = 0;
    };
    std::vector<Tab> Tabs() const;
    void FitLater();

    QPointer<QMainWindow> m_frame;
    QTabBar* m_bar;
    ShortTitleOf m_shortOf;
    QHash<QString, QString> m_shown;  // whole title -> short title, for the tabs shown short
    bool m_fitPending = false;
    int m_pressedTab = -1;
    bool m_tearing = false;
};

std::vector<CPaneTabs::Tab> CPaneTabs::Tabs() const {
    std::vector<Tab> tabs;
    const QFontMetrics metrics = m_bar->fontMetrics();
    const bool side = SideTabs(m_bar->shape());
    for (int i = 0; i < m_bar->count(); ++i) {
        if (!m_bar->isTabVisible(i)) continue;
        Tab tab;
        tab.title = m_bar->tabText(i);
        tab.brief = m_shortOf ? m_shortOf(tab.title) : QString();
        // The tab's extent beside its text, from the tab as laid out now
        // (the bar elides none: every tab has the extent it asks for).
        const QRect r = m_bar->tabRect(i);
        const QString shown = m_shown.value(tab.title, tab.title);
        const int besides = (side ? r.height() : r.width()) - TextExtent(metrics, shown);
        tab.whole = besides + TextExtent(metrics, tab.title);
        tab.shortened = tab.brief.isEmpty() ? tab.whole : std::min(tab.whole, besides + TextExtent(metrics, tab.brief));
        tabs.push_back(std::move(tab));
    }
    return tabs;
}

bool CPaneTabs::Fit() {
    m_fitPending = false;
    // A bar out of sight (a group of one tab shows none) keeps its titles
    // until it shows again.
    if (!m_bar->isVisible()) return false;
    const int room = SideTabs(m_bar->shape()) ? m_bar->height() : m_bar->width();
    if (room <= 0) return false;
    // The whole titles where they all fit; else every tab that has a short
    // title shows it, so that the bar reads alike from tab to tab.
    const std::vector<Tab> tabs = Tabs();
    int total = 0;
    for (const Tab& tab : tabs) total += tab.whole;
    QHash<QString, QString> shown;
    if (total > room)
        for (const Tab& tab : tabs)
            if (tab.shortened < tab.whole) shown.insert(tab.title, tab.brief);
    if (shown == m_shown) return false;
    m_shown = std::move(shown);
    // Lays the tabs out again at their new extents (the bar's only public
    // way to; it elides none either way).
    m_bar->setElideMode(Qt::ElideNone);
    m_bar->update();
    return true;
}

int CPaneTabs::ShortExtent() const {
    int extent = 0;
    for (const Tab& tab : Tabs()) extent += tab.shortened;
    return extent;
}

void CPaneTabs::FitLater() {
    // After the layout that resized the bar is done with it.
    if (m_fitPending) return;
    m_fitPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_fitPending) Fit();
    });
}

bool CPaneTabs::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_bar) return QObject::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::Resize:
        case QEvent::Show: FitLater(); break;
        case QEvent::MouseButtonPress: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            m_pressedTab = mouse->button() == Qt::LeftButton ? m_bar->tabAt(mouse->position().toPoint()) : -1;
            break;
        }
        case QEvent::MouseButtonRelease: m_pressedTab = -1; break;
        case QEvent::MouseMove: {
            // A tab pulled well away from its bar comes out of it with its
            // pane: the toolkit's tab bars of a main window do so while the
            // window drags groups whole by their captions, which this one
            // does not (a caption takes its pane alone).  That option is on
            // just while the bar takes this move, from which the pane's
            // own drag goes on.
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (m_tearing || m_pressedTab < 0 || !(mouse->buttons() & Qt::LeftButton) || m_frame == nullptr) break;
            const int reach = 3 * (QApplication::startDragDistance() + 1);
            if (m_bar->rect().adjusted(-reach, -reach, reach, reach).contains(mouse->position().toPoint())) break;
            // Over a floating pane the option would make the two a floating
            // group: the pane comes out once the pointer is clear of them.
            const QPoint pointer = mouse->globalPosition().toPoint();
            const QList<QDockWidget*> panes = m_frame->findChildren<QDockWidget*>(Qt::FindDirectChildrenOnly);
            if (std::any_of(panes.begin(), panes.end(), [&pointer](const QDockWidget* pane) {
                    return pane->isFloating() && pane->isVisible() && pane->geometry().contains(pointer);
                }))
                break;
            m_pressedTab = -1;
            m_tearing = true;
            const QPointer<CPaneTabs> self(this);
            const QPointer<QMainWindow> frame(m_frame);
            const QMainWindow::DockOptions options = frame->dockOptions();
            frame->setDockOptions(options | QMainWindow::GroupedDragging);
            QCoreApplication::sendEvent(m_bar, event);
            if (frame != nullptr) frame->setDockOptions(options);
            if (self != nullptr) m_tearing = false;
            return true;
        }
        default: break;
    }
    return QObject::eventFilter(watched, event);
}

// The application's style, with the tabs of adopted bars measured and
// drawn with the short title they show.  Set on those bars alone; it owns
// nothing and keeps no state of its own.
class CPaneTabStyle : public QStyle {
public:
    static CPaneTabStyle* Instance() {
        // Made once and kept for the process: bars made at any time use it
        // until they go.
        static CPaneTabStyle* style = new CPaneTabStyle;
        return style;
    }

    void polish(QWidget* widget) override { Base()->polish(widget); }
    void unpolish(QWidget* widget) override { Base()->unpolish(widget); }
    QPalette standardPalette() const override { return Base()->standardPalette(); }
    QRect itemTextRect(const QFontMetrics& fm, const QRect& r, int flags, bool enabled,
                       const QString& text) const override {
        return Base()->itemTextRect(fm, r, flags, enabled, text);
    }
    QRect itemPixmapRect(const QRect& r, int flags, const QPixmap& pixmap) const override {
        return Base()->itemPixmapRect(r, flags, pixmap);
    }
    void drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& pal, bool enabled,
                      const QString& text, QPalette::ColorRole textRole) const override {
        Base()->drawItemText(painter, rect, flags, pal, enabled, text, textRole);
    }
    void drawItemPixmap(QPainter* painter, const QRect& rect, int alignment, const QPixmap& pixmap) const override {
        Base()->drawItemPixmap(painter, rect, alignment, pixmap);
    }
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        Base()->drawPrimitive(element, option, painter, widget);
    }
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (element == CE_TabBarTab || element == CE_TabBarTabLabel) {
            if (const auto* tab = qstyleoption_cast<const QStyleOptionTab*>(option)) {
                const QString brief = ShortOf(widget, tab->text);
                if (!brief.isNull()) {
                    QStyleOptionTab shown(*tab);
                    shown.text = brief;
                    Base()->drawControl(element, &shown, painter, widget);
                    return;
                }
            }
        }
        Base()->drawControl(element, option, painter, widget);
    }
    QRect subElementRect(SubElement element, const QStyleOption* option, const QWidget* widget) const override {
        return Base()->subElementRect(element, option, widget);
    }
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override {
        Base()->drawComplexControl(control, option, painter, widget);
    }
    SubControl hitTestComplexControl(ComplexControl control, const QStyleOptionComplex* option, const QPoint& pos,
                                     const QWidget* widget) const override {
        return Base()->hitTestComplexControl(control, option, pos, widget);
    }
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl element,
                         const QWidget* widget) const override {
        return Base()->subControlRect(control, option, element, widget);
    }
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        return Base()->pixelMetric(metric, option, widget);
    }
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override {
        if (type == CT_TabBarTab) {
            if (const auto* tab = qstyleoption_cast<const QStyleOptionTab*>(option)) {
                const QString brief = ShortOf(widget, tab->text);
                if (!brief.isNull()) {
                    // The bar measured the whole title: the short one takes
                    // that much less.
                    const QFontMetrics metrics = widget->fontMetrics();
                    const int saved = TextExtent(metrics, tab->text) - TextExtent(metrics, brief);
                    QSize contents = size;
                    if (SideTabs(tab->shape))
                        contents.rheight() -= saved;
                    else
                        contents.rwidth() -= saved;
                    return Base()->sizeFromContents(type, option, contents, widget);
                }
            }
        }
        return Base()->sizeFromContents(type, option, size, widget);
    }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        return Base()->styleHint(hint, option, widget, returnData);
    }
    QPixmap standardPixmap(StandardPixmap pixmap, const QStyleOption* option, const QWidget* widget) const override {
        return Base()->standardPixmap(pixmap, option, widget);
    }
    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option, const QWidget* widget) const override {
        return Base()->standardIcon(icon, option, widget);
    }
    QPixmap generatedIconPixmap(QIcon::Mode mode, const QPixmap& pixmap, const QStyleOption* option) const override {
        return Base()->generatedIconPixmap(mode, pixmap, option);
    }
    int layoutSpacing(QSizePolicy::ControlType control1, QSizePolicy::ControlType control2, Qt::Orientation orientation,
                      const QStyleOption* option, const QWidget* widget) const override {
        return Base()->layoutSpacing(control1, control2, orientation, option, widget);
    }

private:
    CPaneTabStyle() = default;
    static QStyle* Base() { return QApplication::style(); }
    static QString ShortOf(const QWidget* widget, const QString& title) {
        const CPaneTabs* tabs = CPaneTabs::Of(widget);
        return tabs != nullptr && widget != nullptr ? tabs->ShownShort(title) : QString();
    }
};

}  // namespace

void AdoptPaneTabBar(QMainWindow* frame, QTabBar* bar, ShortTitleOf shortOf) {
    if (bar == nullptr || CPaneTabs::Of(bar) != nullptr) return;
    new CPaneTabs(frame, bar, std::move(shortOf));
    bar->setStyle(CPaneTabStyle::Instance());
    // Every tab at the extent it asks for, so that a title is whole or
    // short, never cut.
    bar->setElideMode(Qt::ElideNone);
    FitPaneTabTitles(bar);
}

bool IsAdoptedPaneTabBar(const QTabBar* bar) { return CPaneTabs::Of(bar) != nullptr; }

bool FitPaneTabTitles(QTabBar* bar) {
    CPaneTabs* tabs = CPaneTabs::Of(bar);
    return tabs != nullptr && tabs->Fit();
}

QString ShownTabTitle(const QTabBar* bar, int index) {
    const QString title = bar->tabText(index);
    const CPaneTabs* tabs = CPaneTabs::Of(bar);
    const QString brief = tabs != nullptr ? tabs->ShownShort(title) : QString();
    return brief.isNull() ? title : brief;
}

int ShortTabsExtent(const QTabBar* bar) {
    const CPaneTabs* tabs = CPaneTabs::Of(bar);
    return tabs != nullptr ? tabs->ShortExtent() : 0;
}
