#include "AutoHide.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QCursor>
#include <QDockWidget>
#include <QEnterEvent>
#include <QFrame>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScreen>
#include <QStatusBar>
#include <QStyleOptionDockWidget>
#include <QStyleOptionTab>
#include <QStylePainter>
#include <QTabBar>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <functional>
#include <utility>

#include "LookStyle.h"

namespace {

constexpr int kHoverDelayMs = 350;  // a tab hovered this long slides its pane out
constexpr int kLeaveDelayMs = 500;  // a hover-opened pane left this long slides back
constexpr int kGripWidth = 5;
constexpr int kMinExtent = 80;
constexpr int kDefaultExtent = 250;
constexpr int kTitleIconSize = 12;
constexpr int kPaneIconSize = 16;  // a pane's own icon on its caption and tabs

QString Tr(const char* text) { return QCoreApplication::translate("CAutoHideManager", text); }

int EdgeIndex(Qt::DockWidgetArea area) {
    switch (area) {
        case Qt::LeftDockWidgetArea: return 0;
        case Qt::RightDockWidgetArea: return 1;
        case Qt::TopDockWidgetArea: return 2;
        default: return 3;
    }
}

// Left and right strips run vertically, and their panes slide sideways.
bool IsSideEdge(Qt::DockWidgetArea area) { return area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea; }

Qt::ToolBarArea ToolBarAreaOf(Qt::DockWidgetArea area) {
    switch (area) {
        case Qt::LeftDockWidgetArea: return Qt::LeftToolBarArea;
        case Qt::RightDockWidgetArea: return Qt::RightToolBarArea;
        case Qt::TopDockWidgetArea: return Qt::TopToolBarArea;
        default: return Qt::BottomToolBarArea;
    }
}

// The tab shape whose open side faces the window's inside.
QTabBar::Shape TabShapeOf(Qt::DockWidgetArea area) {
    switch (area) {
        case Qt::LeftDockWidgetArea: return QTabBar::RoundedWest;
        case Qt::RightDockWidgetArea: return QTabBar::RoundedEast;
        case Qt::TopDockWidgetArea: return QTabBar::RoundedNorth;
        default: return QTabBar::RoundedSouth;
    }
}

// The caption as a dock widget shows it: "[*]" stands for the modified mark.
QString PaneCaption(const QWidget* pane) {
    QString caption = pane->windowTitle();
    caption.replace(QStringLiteral("[*]"), pane->isWindowModified() ? QStringLiteral("*") : QString());
    return caption;
}

bool Contains(const QWidget* outer, const QWidget* widget) {
    return outer != nullptr && widget != nullptr && (outer == widget || outer->isAncestorOf(widget));
}

// Shown, and not behind another tab of its group: the dock layout keeps
// those "visible" but moves them out of the window.
bool OnScreen(const QWidget* pane) {
    return pane->isVisible() && pane->parentWidget() != nullptr &&
           pane->geometry().intersects(pane->parentWidget()->rect());
}

QWidget* FirstFocusable(QWidget* root) {
    if (root == nullptr) return nullptr;
    auto accepts = [root](QWidget* widget) {
        return widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus) && widget->isVisibleTo(root);
    };
    if (accepts(root)) return root;
    for (QWidget* child : root->findChildren<QWidget*>())
        if (accepts(child)) return child;
    return nullptr;
}

// A push pin, upright while its pane is docked, lying while it is auto-hidden.
QPixmap DrawPin(const QColor& color, bool lying, qreal ratio) {
    return DrawPicture(ratio, [&color, lying](QPainter& painter) {
        if (lying) {
            painter.translate(8, 8);
            painter.rotate(90);
            painter.translate(-8, -8);
        }
        painter.setPen(QPen(color, 1.2));
        painter.drawRect(QRectF(5.5, 1.5, 5, 7));
        painter.drawLine(QPointF(3, 8.5), QPointF(13, 8.5));
        painter.drawLine(QPointF(8, 8.5), QPointF(8, 14.5));
    });
}

// The pin in `color`; drawn once per colour, as every caption shows the same.
QIcon PinIcon(const QColor& color) {
    static QHash<QRgb, QIcon> drawn;
    QIcon& icon = drawn[color.rgba()];
    if (icon.isNull()) {
        for (qreal ratio : {1.0, 2.0}) {
            icon.addPixmap(DrawPin(color, false, ratio), QIcon::Normal, QIcon::Off);
            icon.addPixmap(DrawPin(color, true, ratio), QIcon::Normal, QIcon::On);
        }
    }
    return icon;
}

// Hands the application's events to a function (the manager's own filter
// watches its panes and the frame).
class CEventHook : public QObject {
public:
    CEventHook(std::function<bool(QObject*, QEvent*)> hook, QObject* parent)
        : QObject(parent), m_hook(std::move(hook)) {}
    bool eventFilter(QObject* watched, QEvent* event) override { return m_hook(watched, event); }

private:
    std::function<bool(QObject*, QEvent*)> m_hook;
};

}  // namespace

// ------------------------------------------------------------- title bar

// A pane's caption with its pin, float and close buttons.  Mouse events the
// buttons leave go on to the dock widget, which moves and floats the pane by
// its title as usual; while the pane is auto-hidden they stop here, since it
// is in no dock area to be dragged from.
class CPaneTitleBar : public QWidget {
public:
    CPaneTitleBar(QDockWidget* pane, CAutoHideManager* manager) : QWidget(pane), m_pPane(pane), m_pManager(manager) {
        // The caption's text is drawn with the bar, left of the buttons.
        setObjectName(QStringLiteral("paneTitleBar"));
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(kCaptionLeft, 2, 2, 2);
        layout->setSpacing(1);
        layout->addStretch(1);
        m_pPin =
            AddButton(QStringLiteral("pinButton"), Tr("Auto Hide"), PinIcon(palette().color(QPalette::ButtonText)));
        m_pPin->setCheckable(true);
        m_pFloat = AddButton(QStringLiteral("floatButton"), Tr("Float"),
                             style()->standardIcon(QStyle::SP_TitleBarNormalButton, nullptr, this));
        m_pClose = AddButton(QStringLiteral("closeButton"), Tr("Close"),
                             style()->standardIcon(QStyle::SP_TitleBarCloseButton, nullptr, this));

        connect(m_pPin, &QToolButton::clicked, this, [this](bool checked) {
            if (m_pManager && m_pPane) m_pManager->SetAutoHidden(m_pPane, checked);
            // A refused request leaves the button as the pane is.
            if (m_pManager && m_pPane) m_pPin->setChecked(m_pManager->IsAutoHidden(m_pPane));
        });
        connect(m_pFloat, &QToolButton::clicked, this, [this] {
            if (m_pManager && m_pPane) m_pManager->ToggleFloating(m_pPane);
        });
        connect(m_pClose, &QToolButton::clicked, this, [this] {
            if (m_pPane) m_pPane->close();
        });
    }

    void SetCaption(const QString& caption) {
        m_caption = caption;
        setAccessibleName(caption);
        update();
    }
    const QString& Caption() const { return m_caption; }
    // The pane's icon, drawn before the caption.
    void SetIcon(const QIcon& icon) {
        m_icon = icon;
        update();
    }

    QSize sizeHint() const override { return WithTextHeight(QWidget::sizeHint()); }
    QSize minimumSizeHint() const override { return WithTextHeight(QWidget::minimumSizeHint()); }

    void Update(bool pinShown, bool pinEnabled, bool autoHidden) {
        m_bAutoHidden = autoHidden;
        m_pPin->setVisible(pinShown);
        m_pPin->setEnabled(pinEnabled);
        m_pPin->setChecked(autoHidden);
        const QDockWidget::DockWidgetFeatures features =
            m_pPane ? m_pPane->features() : QDockWidget::NoDockWidgetFeatures;
        m_pFloat->setVisible(features.testFlag(QDockWidget::DockWidgetFloatable));
        m_pClose->setVisible(features.testFlag(QDockWidget::DockWidgetClosable));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionDockWidget option;
        option.initFrom(this);
        option.rect = rect();
        option.floatable = m_pFloat->isVisible();
        option.closable = m_pClose->isVisible();
        option.movable = !m_bAutoHidden;
        painter.drawControl(QStyle::CE_DockWidgetTitle, option);
        // The caption, cut short with an ellipsis where the buttons begin.
        int right = width() - kCaptionLeft;
        for (const QToolButton* button : {m_pPin, m_pFloat, m_pClose})
            if (button->isVisible()) right = std::min(right, button->x() - kCaptionGap);
        int left = kCaptionLeft;
        if (!m_icon.isNull()) {
            const int side = std::min(kPaneIconSize, height());
            m_icon.paint(&painter, QRect(left, (height() - side) / 2, side, side));
            left += side + kCaptionGap;
        }
        const QRect text(left, 0, std::max(0, right - left), height());
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(m_caption, Qt::ElideRight, text.width()));
    }
    void changeEvent(QEvent* event) override {
        QWidget::changeEvent(event);
        // The pin is drawn in the colour of the buttons' pictures.
        if (event->type() == QEvent::PaletteChange)
            m_pPin->setIcon(PinIcon(palette().color(QPalette::ButtonText)));
    }
    void mousePressEvent(QMouseEvent* event) override { Route(event); }
    void mouseMoveEvent(QMouseEvent* event) override { Route(event); }
    void mouseReleaseEvent(QMouseEvent* event) override { Route(event); }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        // Floats or docks back the pane as its float button does (the dock
        // widget's own double-click docks it back behind its group's tab in
        // view, and floats it over its place).
        if (event->button() == Qt::LeftButton && !m_bAutoHidden && m_pPane && m_pManager &&
            m_pPane->features().testFlag(QDockWidget::DockWidgetFloatable)) {
            event->accept();
            m_pManager->ToggleFloating(m_pPane);
            return;
        }
        Route(event);
    }

private:
    QToolButton* AddButton(const QString& name, const QString& tip, const QIcon& icon) {
        auto* button = new QToolButton(this);
        button->setObjectName(name);
        button->setToolTip(tip);
        button->setAccessibleName(tip);
        button->setIcon(icon);
        button->setIconSize(QSize(kTitleIconSize, kTitleIconSize));
        button->setAutoRaise(true);
        // Reached by Tab from within the pane; a click leaves the focus
        // where it was.
        button->setFocusPolicy(Qt::TabFocus);
        layout()->addWidget(button);
        return button;
    }
    void Route(QMouseEvent* event) {
        if (m_bAutoHidden)
            event->accept();
        else
            event->ignore();
    }
    QSize WithTextHeight(QSize size) const {
        size.setHeight(std::max(size.height(), fontMetrics().height() + 4));
        return size;
    }
    static constexpr int kCaptionLeft = 6;
    static constexpr int kCaptionGap = 4;

    QPointer<QDockWidget> m_pPane;
    QPointer<CAutoHideManager> m_pManager;
    QToolButton* m_pPin;
    QToolButton* m_pFloat;
    QToolButton* m_pClose;
    QString m_caption;
    QIcon m_icon;
    bool m_bAutoHidden = false;
};

// ------------------------------------------------------------ edge tabs

// One auto-hidden pane's tab on an edge strip, drawn as a tab bar's tab whose
// open side faces the window's inside; on the side strips the text runs
// vertically.
class CAutoHideTab : public QAbstractButton {
public:
    CAutoHideTab(Qt::DockWidgetArea area, QWidget* parent) : QAbstractButton(parent), m_shape(TabShapeOf(area)) {
        setObjectName(QStringLiteral("autoHideTab"));
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

    std::function<void(bool)> onHover;

    void SetCaption(const QString& caption) {
        m_caption = caption;
        setToolTip(caption);
        setAccessibleName(caption);
        updateGeometry();
        update();
    }
    void SetOpen(bool open) {
        m_bOpen = open;
        update();
    }
    // The pane's icon, drawn before the text.
    void SetIcon(const QIcon& icon) {
        m_icon = icon;
        updateGeometry();
        update();
    }

    QSize sizeHint() const override {
        QStyleOptionTab option;
        InitOption(&option);
        const int hframe = style()->pixelMetric(QStyle::PM_TabBarTabHSpace, &option, this);
        const int vframe = style()->pixelMetric(QStyle::PM_TabBarTabVSpace, &option, this);
        const QFontMetrics metrics = fontMetrics();
        const int icon = m_icon.isNull() ? 0 : option.iconSize.width() + 4;
        const int along = metrics.size(Qt::TextShowMnemonic, option.text).width() + hframe + icon;
        const int across = metrics.height() + vframe;
        const bool vertical = m_shape == QTabBar::RoundedWest || m_shape == QTabBar::RoundedEast;
        const QSize contents = vertical ? QSize(across, along) : QSize(along, across);
        return style()->sizeFromContents(QStyle::CT_TabBarTab, &option, contents, this);
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionTab option;
        InitOption(&option);
        painter.drawControl(QStyle::CE_TabBarTab, option);
    }
    void enterEvent(QEnterEvent* event) override {
        QAbstractButton::enterEvent(event);
        if (onHover) onHover(true);
    }
    void leaveEvent(QEvent* event) override {
        QAbstractButton::leaveEvent(event);
        if (onHover) onHover(false);
    }

private:
    void InitOption(QStyleOptionTab* option) const {
        option->initFrom(this);
        option->shape = m_shape;
        // The tab draws "&" as itself, not as a mnemonic mark.
        option->text = QString(m_caption).replace(QLatin1Char('&'), QStringLiteral("&&"));
        option->icon = m_icon;
        option->iconSize = QSize(kPaneIconSize, kPaneIconSize);
        option->position = QStyleOptionTab::OnlyOneTab;
        option->selectedPosition = QStyleOptionTab::NotAdjacent;
        option->state &= ~QStyle::State_HasFocus;
        if (m_bOpen || isDown()) option->state |= QStyle::State_Selected;
    }

    QTabBar::Shape m_shape;
    QString m_caption;
    QIcon m_icon;
    bool m_bOpen = false;
};

// An edge strip: a tool bar of the window's, fixed to its edge, that shows
// only while it holds a tab.
class CAutoHideBar : public QToolBar {
public:
    CAutoHideBar(Qt::DockWidgetArea area, QWidget* parent) : QToolBar(parent) {
        static const char* const kNames[] = {"autoHideBarLeft", "autoHideBarRight", "autoHideBarTop",
                                             "autoHideBarBottom"};
        setObjectName(QString::fromLatin1(kNames[EdgeIndex(area)]));
        setWindowTitle(Tr("Auto Hide"));
        setMovable(false);
        setFloatable(false);
        setAllowedAreas(ToolBarAreaOf(area));
        setOrientation(IsSideEdge(area) ? Qt::Vertical : Qt::Horizontal);
        setContextMenuPolicy(Qt::PreventContextMenu);
        toggleViewAction()->setVisible(false);  // not listed in the window's tool bar menu
    }

    void setVisible(bool visible) override { QToolBar::setVisible(visible && !actions().isEmpty()); }
};

// ------------------------------------------------------- slid-out panel

// The handle on a slid-out pane's inner side that resizes it.
class CPanelGrip : public QWidget {
public:
    CPanelGrip(Qt::DockWidgetArea area, QWidget* parent) : QWidget(parent), m_area(area) {
        setObjectName(QStringLiteral("autoHideGrip"));
        if (IsSideEdge(area)) {
            setFixedWidth(kGripWidth);
            setCursor(Qt::SplitHCursor);
        } else {
            setFixedHeight(kGripWidth);
            setCursor(Qt::SplitVCursor);
        }
    }

    std::function<int()> extent;
    std::function<void(int)> setExtent;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || !extent) return QWidget::mousePressEvent(event);
        m_start = event->globalPosition().toPoint();
        m_nStartExtent = extent();
        m_bDragging = true;
        event->accept();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!m_bDragging || !setExtent) return QWidget::mouseMoveEvent(event);
        const QPoint moved = event->globalPosition().toPoint() - m_start;
        int grown = 0;
        switch (m_area) {
            case Qt::LeftDockWidgetArea: grown = moved.x(); break;
            case Qt::RightDockWidgetArea: grown = -moved.x(); break;
            case Qt::TopDockWidgetArea: grown = moved.y(); break;
            default: grown = -moved.y(); break;
        }
        setExtent(m_nStartExtent + grown);
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        m_bDragging = false;
        event->accept();
    }

private:
    Qt::DockWidgetArea m_area;
    QPoint m_start;
    int m_nStartExtent = 0;
    bool m_bDragging = false;
};

// Holds an auto-hidden pane over the window.  The pane sits on a sheet of
// its full size; the panel is the slice of it that has slid out, so that
// growing the panel from the edge slides the sheet in view without laying
// the pane out again at every step.
class CAutoHidePanel : public QWidget {
public:
    CAutoHidePanel(Qt::DockWidgetArea area, QWidget* parent) : QWidget(parent), m_area(area) {
        setObjectName(QStringLiteral("autoHidePanel"));
        setFocusPolicy(Qt::ClickFocus);
        hide();
        m_pSheet = new QFrame(this);
        m_pSheet->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
        m_pSheet->setAutoFillBackground(true);
        m_pLayout = new QBoxLayout(IsSideEdge(area) ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom, m_pSheet);
        m_pLayout->setContentsMargins(0, 0, 0, 0);  // the frame is outside the sheet's contents already
        m_pLayout->setSpacing(0);
        m_pGrip = new CPanelGrip(area, m_pSheet);
    }
    ~CAutoHidePanel() override {
        if (onDestroying) onDestroying(this);
    }

    std::function<void()> onEscape;
    std::function<void(CAutoHidePanel*)> onDestroying;

    CPanelGrip* Grip() const { return m_pGrip; }
    // How much deeper the panel is than the pane it holds.
    int Chrome() const { return kGripWidth + 2 * m_pSheet->frameWidth(); }

    void Hold(QDockWidget* pane) {
        pane->setParent(m_pSheet);
        // The grip is on the side facing the window's inside.
        const bool gripFirst = m_area == Qt::RightDockWidgetArea || m_area == Qt::BottomDockWidgetArea;
        m_pLayout->removeWidget(m_pGrip);
        if (gripFirst) m_pLayout->addWidget(m_pGrip);
        m_pLayout->addWidget(pane, 1);
        if (!gripFirst) m_pLayout->addWidget(m_pGrip);
        // The grip stays above the pane, so that a raise() of the pane shows
        // as a change of order (a request to show it).
        m_pGrip->raise();
    }

    void SetFullSize(const QSize& size) {
        m_full = size;
        PlaceSheet();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        PlaceSheet();
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && onEscape) {
            event->accept();
            onEscape();
            return;
        }
        QWidget::keyPressEvent(event);
    }

private:
    void PlaceSheet() {
        // The sheet's inner side leads: it is the first to come into view.
        int x = 0;
        int y = 0;
        if (m_area == Qt::LeftDockWidgetArea) x = width() - m_full.width();
        if (m_area == Qt::TopDockWidgetArea) y = height() - m_full.height();
        m_pSheet->setGeometry(x, y, m_full.width(), m_full.height());
    }

    Qt::DockWidgetArea m_area;
    QFrame* m_pSheet;
    QBoxLayout* m_pLayout;
    CPanelGrip* m_pGrip;
    QSize m_full;
};

// ---------------------------------------------------------------- manager

CAutoHideManager::CAutoHideManager(QMainWindow* frame) : QObject(frame), m_pFrame(frame), m_pFrameObject(frame) {
    if (qEnvironmentVariableIsSet("TESSALINE_NO_ANIMATION") ||
        QGuiApplication::platformName() == QLatin1String("offscreen"))
        m_nDuration = 0;

    m_hoverTimer.setSingleShot(true);
    m_hoverTimer.setInterval(kHoverDelayMs);
    connect(&m_hoverTimer, &QTimer::timeout, this, [this] {
        // A pane opened by a click is not taken away by passing over a tab.
        const PaneState* hovered = Find(m_pHovered);
        if (hovered != nullptr && m_pOpen != m_pHovered && (m_pOpen == nullptr || !m_bSticky))
            Open(hovered->pane, false, false);
    });
    m_leaveTimer.setSingleShot(true);
    m_leaveTimer.setInterval(kLeaveDelayMs);
    connect(&m_leaveTimer, &QTimer::timeout, this, &CAutoHideManager::OnLeaveTimeout);

    m_pAnimation = new QPropertyAnimation(this);
    m_pAnimation->setPropertyName("geometry");
    m_pAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_pAnimation, &QAbstractAnimation::finished, this, &CAutoHideManager::OnAnimationDone);

    m_pAppHook =
        new CEventHook([this](QObject* watched, QEvent* event) { return WatchApplication(watched, event); }, this);
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
        connect(app, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { OnFocusChanged(now); });

    if (m_pFrame) {
        m_pFrame->installEventFilter(this);
        for (QDockWidget* pane : m_pFrame->findChildren<QDockWidget*>()) Adopt(pane);
    }
}

CAutoHideManager::~CAutoHideManager() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(m_pAppHook);
    m_pAnimation->stop();
    // The panels and tabs belong to the frame and may outlive the manager.
    for (auto& [key, state] : m_panes) {
        if (state.panel) {
            state.panel->onDestroying = nullptr;
            state.panel->onEscape = nullptr;
            state.panel->Grip()->extent = nullptr;
            state.panel->Grip()->setExtent = nullptr;
        }
        if (state.tab) state.tab->onHover = nullptr;
    }
}

CAutoHideManager::PaneState* CAutoHideManager::Find(const QObject* pane) {
    const auto it = m_panes.find(pane);
    return it == m_panes.end() ? nullptr : &it->second;
}

const CAutoHideManager::PaneState* CAutoHideManager::Find(const QObject* pane) const {
    const auto it = m_panes.find(pane);
    return it == m_panes.end() ? nullptr : &it->second;
}

void CAutoHideManager::EnableAutoHidePanes(Qt::DockWidgetAreas areas) {
    m_areas = areas;
    if (m_pFrame)
        for (QDockWidget* pane : m_pFrame->findChildren<QDockWidget*>()) Adopt(pane);
    for (auto& [key, state] : m_panes) {
        if (state.autoHidden && !m_areas.testFlag(state.area)) DockBack(state, true, state.wasShown);
        UpdateTitleBar(state);
    }
}

void CAutoHideManager::Adopt(QObject* child) {
    auto* pane = qobject_cast<QDockWidget*>(child);
    if (pane == nullptr || m_pFrame.isNull()) return;
    // Only the frame's own panes, not those of a window nested in a pane.
    for (QWidget* up = pane->parentWidget(); up != nullptr; up = up->parentWidget()) {
        if (qobject_cast<QMainWindow*>(up) != nullptr) {
            if (up == m_pFrameObject) AddPane(pane);
            return;
        }
    }
}

void CAutoHideManager::AddPane(QDockWidget* pane) {
    if (pane == nullptr || Find(pane) != nullptr) return;
    PaneState& state = m_panes[pane];
    state.pane = pane;
    if (pane->titleBarWidget() == nullptr) {
        state.titleBar = new CPaneTitleBar(pane, this);
        pane->setTitleBarWidget(state.titleBar);
    }
    pane->installEventFilter(this);
    connect(pane, &QObject::destroyed, this, &CAutoHideManager::OnPaneDestroyed);
    auto update = [this, pane] {
        if (const PaneState* found = Find(pane)) UpdateTitleBar(*found);
    };
    connect(pane, &QDockWidget::topLevelChanged, this, update);
    connect(pane, &QDockWidget::dockLocationChanged, this, update);
    connect(pane, &QDockWidget::featuresChanged, this, update);
    UpdateCaption(state);
    UpdateTitleBar(state);
}

bool CAutoHideManager::IsAutoHidden(QDockWidget* pane) const {
    const PaneState* state = Find(pane);
    return state != nullptr && state->autoHidden;
}

bool CAutoHideManager::IsSlidOut(QDockWidget* pane) const { return pane != nullptr && m_pOpen == pane; }

QWidget* CAutoHideManager::EdgeTab(QDockWidget* pane) const {
    const PaneState* state = Find(pane);
    return state != nullptr && state->autoHidden ? state->tab.data() : nullptr;
}

bool CAutoHideManager::CanAutoHide(QDockWidget* pane) const {
    const PaneState* state = Find(pane);
    if (m_pFrame.isNull() || state == nullptr || state->autoHidden) return false;
    if (pane->parentWidget() != m_pFrame || pane->isFloating()) return false;
    const Qt::DockWidgetArea area = m_pFrame->dockWidgetArea(pane);
    return area != Qt::NoDockWidgetArea && m_areas.testFlag(area);
}

void CAutoHideManager::SetAutoHidden(QDockWidget* pane, bool autoHidden) {
    PaneState* state = Find(pane);
    if (state == nullptr || state->autoHidden == autoHidden) return;
    if (!autoHidden)
        DockBack(*state, true, true);
    else if (CanAutoHide(pane) && !pane->isHidden())
        Collapse(*state);
}

void CAutoHideManager::Collapse(PaneState& state) {
    QDockWidget* pane = state.pane;
    if (m_pOpen != nullptr) Close(false);
    FinishAnimations();

    state.area = m_pFrame->dockWidgetArea(pane);
    state.tabGroup.clear();
    if (QLayout* layout = m_pFrame->layout()) layout->activate();
    state.wasShown = OnScreen(pane);
    state.pinOrder = ++m_nPins;
    const QWidget* shown = state.wasShown ? pane : nullptr;
    for (QDockWidget* other : m_pFrame->tabifiedDockWidgets(pane)) {
        state.tabGroup.append(other);
        if (shown == nullptr && OnScreen(other)) shown = other;
    }
    // It slides out as deep as it (or its tab group) was docked.
    const int depth = shown == nullptr ? kDefaultExtent : IsSideEdge(state.area) ? shown->width() : shown->height();

    ++m_nBusy;
    // Hidden first, so that the slot it leaves in the dock layout is kept
    // as one of a hidden pane: it takes no room and stays where it was.
    pane->hide();
    m_pFrame->removeDockWidget(pane);

    auto* panel = new CAutoHidePanel(state.area, m_pFrame);
    state.extent = depth + panel->Chrome();
    QPointer<CAutoHideManager> self(this);
    panel->onEscape = [self, pane] {
        if (self) self->SlideIn(pane);
    };
    panel->onDestroying = [self, pane](CAutoHidePanel* dying) {
        if (!self) return;
        if (PaneState* found = self->Find(pane)) found->panel = nullptr;
        if (self->m_pAnimated == dying) {
            self->m_pAnimation->stop();
            self->m_pAnimated = nullptr;
        }
        if (self->m_pOpen == pane) {
            self->m_pOpen = nullptr;
            if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(self->m_pAppHook);
        }
    };
    panel->Grip()->extent = [self, pane] {
        const PaneState* found = self ? self->Find(pane) : nullptr;
        return found != nullptr ? found->extent : kDefaultExtent;
    };
    panel->Grip()->setExtent = [self, pane](int extent) {
        if (self) self->OnGripDragged(pane, extent);
    };
    panel->installEventFilter(this);
    panel->Hold(pane);
    pane->show();  // shown with the panel
    pane->toggleViewAction()->setChecked(true);
    state.panel = panel;
    state.autoHidden = true;
    AddTab(state);
    --m_nBusy;

    UpdateTitleBar(state);
    emit AutoHiddenChanged(pane, true);
}

void CAutoHideManager::DockBack(PaneState& state, bool show, bool raise) {
    QDockWidget* pane = state.pane;
    if (m_pOpen == pane) Close(false);
    if (m_pHovered == pane) m_pHovered = nullptr;
    if (m_pAnimated != nullptr && m_pAnimated == state.panel) FinishAnimations();

    ++m_nBusy;
    const bool visible = show && !pane->isHidden();
    pane->hide();
    // Back into the slot it left, found by its object name; without one, it
    // joins its tab group, else the end of its area.
    bool placed = !pane->objectName().isEmpty() && m_pFrame->restoreDockWidget(pane);
    if (!placed) {
        for (const QPointer<QDockWidget>& other : std::as_const(state.tabGroup)) {
            if (other && other != pane && other->parentWidget() == m_pFrame && !other->isFloating() &&
                m_pFrame->dockWidgetArea(other) == state.area) {
                m_pFrame->tabifyDockWidget(other, pane);
                placed = true;
                break;
            }
        }
    }
    if (!placed) m_pFrame->addDockWidget(state.area, pane);

    ReleaseEdge(state);
    if (visible) {
        pane->show();
        if (raise) SelectTab(pane);
    }
    pane->toggleViewAction()->setChecked(!pane->isHidden());
    --m_nBusy;

    UpdateTitleBar(state);
    emit AutoHiddenChanged(pane, false);
}

void CAutoHideManager::ToggleFloating(QDockWidget* pane) {
    if (pane == nullptr || m_pFrame.isNull() || Find(pane) == nullptr ||
        !pane->features().testFlag(QDockWidget::DockWidgetFloatable))
        return;
    if (pane->isFloating()) {
        pane->setFloating(false);
        // Docked back to be looked at: the tab in view of its group.
        if (!pane->isHidden()) SelectTab(pane);
        return;
    }
    // An auto-hidden pane floats from its place in the dock layout.
    if (IsAutoHidden(pane)) SetAutoHidden(pane, false);
    if (QLayout* layout = m_pFrame->layout()) layout->activate();
    const QPoint docked = pane->mapToGlobal(QPoint(0, 0));
    pane->setFloating(true);
    // Opened exactly over its place it would cover the group it left, and
    // nothing would seem to have happened: it opens a step down and to the
    // right, or up and to the left where the screen ends there.
    if (pane->geometry().topLeft() != docked) return;
    const QWidget* title = pane->titleBarWidget();
    const int step = 2 * std::max(title != nullptr ? title->sizeHint().height() : 0, 16);
    const QScreen* screen = QGuiApplication::screenAt(docked);
    if (screen == nullptr) screen = pane->screen();
    QRect place = pane->geometry().translated(step, step);
    if (screen != nullptr && !screen->availableGeometry().contains(place)) {
        const QRect available = screen->availableGeometry();
        const QRect back = pane->geometry().translated(-step, -step);
        place = available.contains(back) ? back : place;
        place.moveTo(
            std::clamp(place.x(), available.left(), std::max(available.left(), available.right() + 1 - place.width())),
            std::clamp(place.y(), available.top(), std::max(available.top(), available.bottom() + 1 - place.height())));
    }
    pane->move(place.topLeft());
}

void CAutoHideManager::SelectTab(QDockWidget* pane) {
    // Once the tab bar of its group has its tab.  Raising selects; but it
    // does nothing for the frame's last child, which a pane just docked back
    // is: it is lowered first.
    if (QLayout* layout = m_pFrame->layout()) layout->activate();
    pane->lower();
    pane->raise();
}

void CAutoHideManager::ReleaseEdge(PaneState& state) {
    // The pane leaves its edge: no tab, no slide-out panel.
    RemoveTab(state);
    if (state.panel) {
        state.panel->onDestroying = nullptr;
        state.panel->hide();
        state.panel->deleteLater();
    }
    state.panel = nullptr;
    state.autoHidden = false;
    state.tabGroup.clear();
}

void CAutoHideManager::Forget(PaneState& state) {
    // Someone else has put the pane elsewhere (restoreState, addDockWidget):
    // it is no longer auto-hidden.
    if (m_pOpen == state.pane.data()) Close(false);
    if (m_pHovered == state.pane.data()) m_pHovered = nullptr;
    if (m_pAnimated != nullptr && m_pAnimated == state.panel) FinishAnimations();
    ReleaseEdge(state);
    UpdateTitleBar(state);
    emit AutoHiddenChanged(state.pane, false);
}

CAutoHideBar* CAutoHideManager::Bar(Qt::DockWidgetArea area) {
    QPointer<CAutoHideBar>& bar = m_bars[EdgeIndex(area)];
    if (bar.isNull()) {
        bar = new CAutoHideBar(area, m_pFrame);
        // A line of its own, next to the docks.
        m_pFrame->addToolBarBreak(ToolBarAreaOf(area));
        m_pFrame->addToolBar(ToolBarAreaOf(area), bar);
    }
    return bar;
}

void CAutoHideManager::AddTab(PaneState& state) {
    QDockWidget* pane = state.pane;
    CAutoHideBar* bar = Bar(state.area);
    auto* tab = new CAutoHideTab(state.area, bar);
    connect(tab, &QAbstractButton::clicked, this, [this, pane] { OnTabClicked(pane); });
    QPointer<CAutoHideManager> self(this);
    tab->onHover = [self, pane](bool entered) {
        if (self) self->OnTabHovered(pane, entered);
    };
    state.tab = tab;
    state.tabAction = bar->addWidget(tab);
    UpdateCaption(state);
    bar->setVisible(true);
}

void CAutoHideManager::RemoveTab(PaneState& state) {
    if (state.tab && state.tab->underMouse()) m_hoverTimer.stop();
    CAutoHideBar* bar = m_bars[EdgeIndex(state.area)];
    if (state.tabAction) {
        if (bar != nullptr) bar->removeAction(state.tabAction);
        delete state.tabAction.data();  // and the tab with it
    }
    delete state.tab.data();
    // The strip stays shown while it holds other tabs (it hides itself once
    // it holds none): hiding it would take every other pane of that edge
    // out of reach.
    if (bar != nullptr) bar->setVisible(true);
}

void CAutoHideManager::UpdateTitleBar(const PaneState& state) {
    if (state.titleBar.isNull() || state.pane.isNull()) return;
    state.titleBar->Update(m_areas != Qt::DockWidgetAreas(), state.autoHidden || CanAutoHide(state.pane),
                           state.autoHidden);
}

void CAutoHideManager::UpdateCaption(const PaneState& state) {
    if (state.pane.isNull()) return;
    const QString caption = PaneCaption(state.pane);
    const QIcon icon = state.pane->windowIcon();
    if (state.titleBar) {
        state.titleBar->SetCaption(caption);
        state.titleBar->SetIcon(icon);
    }
    if (state.tab) {
        state.tab->SetCaption(caption);
        state.tab->SetIcon(icon);
    }
}

// --------------------------------------------------------------- sliding

void CAutoHideManager::SlideOut(QDockWidget* pane) { Open(pane, true, true); }

void CAutoHideManager::SlideIn(QDockWidget* pane) {
    if (pane != nullptr && m_pOpen == pane) Close(true);
}

void CAutoHideManager::Open(QDockWidget* pane, bool sticky, bool focus) {
    PaneState* state = Find(pane);
    if (state == nullptr || !state->autoHidden || state->panel.isNull() || m_pFrame.isNull()) return;
    if (pane->isHidden()) return;  // closed, about to be docked back
    if (m_pOpen == pane) {
        m_bSticky = m_bSticky || sticky;
        if (focus) FocusPane(*state);
        return;
    }
    if (m_pOpen != nullptr) Close(false);
    if (m_pAnimated != nullptr && m_pAnimated != state->panel) FinishAnimations();

    CAutoHidePanel* panel = state->panel;
    m_pOpen = pane;
    m_bSticky = sticky;
    m_leaveTimer.stop();
    const QRect open = PanelRect(*state, true);
    panel->SetFullSize(open.size());
    if (panel->isHidden()) panel->setGeometry(PanelRect(*state, false));
    panel->show();
    panel->raise();
    if (state->tab) state->tab->SetOpen(true);
    QCoreApplication::instance()->installEventFilter(m_pAppHook);
    Animate(panel, open, false);
    if (focus) FocusPane(*state);
}

void CAutoHideManager::FocusPane(const PaneState& state) {
    QWidget* focused = QApplication::focusWidget();
    if (!Contains(state.panel, focused)) m_pFocusBefore = focused;
    QWidget* target = state.pane->focusProxy() != nullptr ? state.pane.data() : FirstFocusable(state.pane->widget());
    if (target == nullptr) target = state.panel;
    target->setFocus(Qt::OtherFocusReason);
}

void CAutoHideManager::Close(bool animate) {
    const QObject* pane = m_pOpen;
    if (pane == nullptr) return;
    m_pOpen = nullptr;
    m_bSticky = false;
    m_leaveTimer.stop();
    QCoreApplication::instance()->removeEventFilter(m_pAppHook);
    PaneState* state = Find(pane);
    if (state == nullptr || state->panel.isNull()) return;
    if (state->tab) state->tab->SetOpen(false);
    // The focus goes back where it was before the pane took it.
    if (Contains(state->panel, QApplication::focusWidget())) {
        if (m_pFocusBefore && m_pFocusBefore->isVisible() && !Contains(state->panel, m_pFocusBefore))
            m_pFocusBefore->setFocus(Qt::OtherFocusReason);
        else
            QApplication::focusWidget()->clearFocus();
    }
    m_pFocusBefore = nullptr;
    if (animate && m_nDuration > 0) {
        Animate(state->panel, PanelRect(*state, false), true);
    } else {
        if (m_pAnimated == state->panel) {
            m_pAnimation->stop();
            m_pAnimated = nullptr;
        }
        state->panel->hide();
    }
}

void CAutoHideManager::Animate(CAutoHidePanel* panel, const QRect& to, bool closing) {
    if (m_pAnimated != nullptr && m_pAnimated != panel) FinishAnimations();
    m_pAnimation->stop();
    m_pAnimated = panel;
    m_bAnimationCloses = closing;
    if (m_nDuration <= 0) {
        panel->setGeometry(to);
        OnAnimationDone();
        return;
    }
    m_pAnimation->setTargetObject(panel);
    m_pAnimation->setDuration(m_nDuration);
    m_pAnimation->setStartValue(panel->geometry());
    m_pAnimation->setEndValue(to);
    m_pAnimation->start();
}

void CAutoHideManager::OnAnimationDone() {
    CAutoHidePanel* panel = m_pAnimated;
    m_pAnimated = nullptr;
    if (panel != nullptr && m_bAnimationCloses) panel->hide();
}

void CAutoHideManager::FinishAnimations() {
    if (m_pAnimation->state() != QAbstractAnimation::Stopped) {
        // Jumping to the end stops the animation with its final value.
        m_pAnimation->setCurrentTime(m_pAnimation->totalDuration());
        m_pAnimation->stop();
    }
    OnAnimationDone();
}

void CAutoHideManager::Reposition() {
    if (m_pOpen == nullptr) return;
    const PaneState* state = Find(m_pOpen);
    if (state == nullptr || state->panel.isNull()) return;
    const QRect open = PanelRect(*state, true);
    state->panel->SetFullSize(open.size());
    if (m_pAnimated == state->panel && m_pAnimation->state() == QAbstractAnimation::Running)
        m_pAnimation->setEndValue(open);
    else
        state->panel->setGeometry(open);
}

void CAutoHideManager::OnGripDragged(QDockWidget* pane, int extent) {
    PaneState* state = Find(pane);
    if (state == nullptr || !state->autoHidden) return;
    state->extent = std::max(extent, kMinExtent);
    if (m_pOpen != pane) return;
    if (m_pAnimated == state->panel) FinishAnimations();
    const QRect open = PanelRect(*state, true);
    state->extent = IsSideEdge(state->area) ? open.width() : open.height();
    state->panel->SetFullSize(open.size());
    state->panel->setGeometry(open);
}

QRect CAutoHideManager::DockRegion() const {
    // The room of the frame the docks and the central widget share: inside
    // the menu, the tool bars (the strips included) and the status bar.
    QMainWindow* frame = m_pFrame;
    if (QLayout* layout = frame->layout()) layout->activate();
    QRect region = frame->rect();
    QWidget* menu = frame->menuWidget();
    if (menu != nullptr && menu->isVisible() && !menu->isWindow())
        region.setTop(std::max(region.top(), menu->geometry().bottom() + 1));
    auto* status = frame->findChild<QStatusBar*>(QString(), Qt::FindDirectChildrenOnly);
    if (status != nullptr && status->isVisible())
        region.setBottom(std::min(region.bottom(), status->geometry().top() - 1));
    for (QToolBar* bar : frame->findChildren<QToolBar*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!bar->isVisible() || bar->isWindow()) continue;
        const QRect place = bar->geometry();
        switch (frame->toolBarArea(bar)) {
            case Qt::TopToolBarArea: region.setTop(std::max(region.top(), place.bottom() + 1)); break;
            case Qt::BottomToolBarArea: region.setBottom(std::min(region.bottom(), place.top() - 1)); break;
            case Qt::LeftToolBarArea: region.setLeft(std::max(region.left(), place.right() + 1)); break;
            case Qt::RightToolBarArea: region.setRight(std::min(region.right(), place.left() - 1)); break;
            default: break;
        }
    }
    return region;
}

QRect CAutoHideManager::PanelRect(const PaneState& state, bool open) const {
    const QRect region = DockRegion();
    const bool side = IsSideEdge(state.area);
    const int room = side ? region.width() : region.height();
    int extent = 0;
    if (open) {
        // As deep as it was docked, leaving a tenth of the room uncovered.
        extent = std::min(std::max(state.extent, kMinExtent), room * 9 / 10);
        extent = std::max({extent, std::min(kMinExtent, room), 0});
    }
    switch (state.area) {
        case Qt::LeftDockWidgetArea: return {region.left(), region.top(), extent, region.height()};
        case Qt::RightDockWidgetArea: return {region.right() + 1 - extent, region.top(), extent, region.height()};
        case Qt::TopDockWidgetArea: return {region.left(), region.top(), region.width(), extent};
        default: return {region.left(), region.bottom() + 1 - extent, region.width(), extent};
    }
}

// ---------------------------------------------------------------- events

void CAutoHideManager::OnTabClicked(QDockWidget* pane) {
    m_hoverTimer.stop();
    if (m_pOpen != pane) {
        Open(pane, true, true);
    } else if (m_bSticky) {
        Close(true);
    } else {
        // Opened by hovering: the click keeps it out.
        Open(pane, true, true);
    }
}

void CAutoHideManager::OnTabHovered(QDockWidget* pane, bool entered) {
    if (entered) {
        m_pHovered = pane;
        m_hoverTimer.start();
        if (m_pOpen == pane) m_leaveTimer.stop();
        return;
    }
    if (m_pHovered == pane) {
        m_hoverTimer.stop();
        m_pHovered = nullptr;
    }
    if (m_pOpen == pane && !m_bSticky) m_leaveTimer.start();
}

void CAutoHideManager::OnPanelHovered(bool entered) {
    if (entered)
        m_leaveTimer.stop();
    else if (m_pOpen != nullptr && !m_bSticky)
        m_leaveTimer.start();
}

void CAutoHideManager::OnLeaveTimeout() {
    if (m_pOpen == nullptr || m_bSticky) return;
    const PaneState* state = Find(m_pOpen);
    if (state == nullptr) return;
    const QPoint cursor = QCursor::pos();
    auto under = [&cursor](const QWidget* widget) {
        return widget != nullptr && widget->isVisible() && widget->rect().contains(widget->mapFromGlobal(cursor));
    };
    if (under(state->panel) || under(state->tab)) return;
    Close(true);
}

void CAutoHideManager::OnFocusChanged(QWidget* now) {
    if (m_pOpen == nullptr || now == nullptr) return;
    const PaneState* state = Find(m_pOpen);
    if (state == nullptr || state->panel.isNull()) return;
    if (Contains(state->panel, now)) {
        m_bSticky = true;  // in use: it stays out until the focus leaves it
        return;
    }
    if (now->window() == m_pFrameObject) Close(true);
}

bool CAutoHideManager::WatchApplication(QObject* watched, QEvent* event) {
    // A press anywhere else in the window slides the open pane back.
    if (event->type() != QEvent::MouseButtonPress || m_pOpen == nullptr || !watched->isWidgetType()) return false;
    const auto* widget = static_cast<QWidget*>(watched);
    const PaneState* state = Find(m_pOpen);
    if (state == nullptr || state->panel.isNull()) return false;
    if (Contains(state->panel, widget) || Contains(state->tab, widget)) return false;
    if (widget->window() == m_pFrameObject) Close(true);
    return false;
}

void CAutoHideManager::OnPaneDestroyed(QObject* pane) {
    const auto it = m_panes.find(pane);
    if (it == m_panes.end()) return;
    PaneState& state = it->second;
    if (m_pHovered == pane) {
        m_hoverTimer.stop();
        m_pHovered = nullptr;
    }
    if (m_pOpen == pane) {
        m_pOpen = nullptr;
        m_bSticky = false;
        m_leaveTimer.stop();
        QCoreApplication::instance()->removeEventFilter(m_pAppHook);
    }
    if (state.panel) {
        if (m_pAnimated == state.panel) {
            m_pAnimation->stop();
            m_pAnimated = nullptr;
        }
        // The pane is still being destroyed inside it: the panel goes later.
        state.panel->onDestroying = nullptr;
        state.panel->deleteLater();
    }
    RemoveTab(state);
    m_panes.erase(it);
}

std::vector<CAutoHideManager::EdgePane> CAutoHideManager::EdgePanes() const {
    std::vector<const PaneState*> hidden;
    for (const auto& [key, state] : m_panes)
        if (state.autoHidden && state.pane && !state.pane->objectName().isEmpty()) hidden.push_back(&state);
    std::sort(hidden.begin(), hidden.end(),
              [](const PaneState* a, const PaneState* b) { return a->pinOrder < b->pinOrder; });
    std::vector<EdgePane> panes;
    for (const PaneState* state : hidden) panes.push_back({state->pane->objectName(), state->area, state->extent});
    return panes;
}

void CAutoHideManager::RestoreEdgePanes(const std::vector<EdgePane>& panes) {
    constexpr int kMaxExtent = 4096;
    for (const EdgePane& record : panes) {
        QDockWidget* pane = nullptr;
        for (auto& [key, state] : m_panes)
            if (state.pane && state.pane->objectName() == record.name) pane = state.pane;
        if (pane == nullptr || pane->isHidden() || pane->isFloating() || IsAutoHidden(pane) ||
            m_pFrame->dockWidgetArea(pane) != record.area)
            continue;
        SetAutoHidden(pane, true);
        if (PaneState* state = Find(pane); state != nullptr && state->autoHidden)
            state->extent = std::clamp(record.extent, kMinExtent, kMaxExtent);
    }
}

void CAutoHideManager::RestoreAllBeforeSave() {
    if (m_pOpen != nullptr) Close(false);
    FinishAnimations();
    std::vector<PaneState*> hidden;
    for (auto& [key, state] : m_panes)
        if (state.autoHidden) hidden.push_back(&state);
    std::sort(hidden.begin(), hidden.end(),
              [](const PaneState* a, const PaneState* b) { return a->pinOrder < b->pinOrder; });
    for (PaneState* state : hidden) DockBack(*state, true, false);
    // The panes that were selected in their tab groups when they were pinned
    // are selected again, the first pinned last: of a group, that one was
    // selected before any of them was pinned.
    for (auto it = hidden.rbegin(); it != hidden.rend(); ++it)
        if ((*it)->wasShown && (*it)->pane && !(*it)->pane->isHidden()) SelectTab((*it)->pane);
}

void CAutoHideManager::DockBackIfClosed(QDockWidget* pane) {
    PaneState* state = Find(pane);
    if (state != nullptr && state->autoHidden && pane->isHidden() && Contains(state->panel, pane))
        DockBack(*state, false, false);
}

bool CAutoHideManager::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pFrameObject) {
        switch (event->type()) {
            case QEvent::ChildAdded: {
                // Seen while the child is still being constructed: it is
                // looked at once it is complete.
                QPointer<QObject> child = static_cast<QChildEvent*>(event)->child();
                QMetaObject::invokeMethod(
                    this,
                    [this, child] {
                        if (child) Adopt(child);
                    },
                    Qt::QueuedConnection);
                break;
            }
            case QEvent::ChildPolished: Adopt(static_cast<QChildEvent*>(event)->child()); break;
            case QEvent::Resize: Reposition(); break;
            default: break;
        }
        return false;
    }
    if (m_pOpen != nullptr) {
        const PaneState* open = Find(m_pOpen);
        if (open != nullptr && watched == open->panel) {
            if (event->type() == QEvent::Enter) OnPanelHovered(true);
            if (event->type() == QEvent::Leave) OnPanelHovered(false);
            return false;
        }
    }
    PaneState* state = Find(watched);
    if (state == nullptr || state->pane.isNull()) return false;
    switch (event->type()) {
        case QEvent::WindowTitleChange:
        case QEvent::WindowIconChange:
        case QEvent::ModifiedChange: UpdateCaption(*state); break;
        case QEvent::HideToParent:
            // Closed while auto-hidden: docked back, hidden, so that showing
            // it brings it back in its place.  Moving it to another parent
            // hides it too, before the move: whether it is still here and
            // hidden is seen once the move is over.
            if (m_nBusy == 0 && state->autoHidden) {
                if (m_pOpen == state->pane.data()) Close(false);
                QPointer<QDockWidget> pane = state->pane;
                QMetaObject::invokeMethod(
                    this,
                    [this, pane] {
                        if (pane) DockBackIfClosed(pane);
                    },
                    Qt::QueuedConnection);
            }
            break;
        case QEvent::ShowToParent: UpdateTitleBar(*state); break;
        case QEvent::ParentChange:
            if (m_nBusy == 0 && state->autoHidden && !Contains(state->panel, state->pane)) Forget(*state);
            break;
        case QEvent::ZOrderChange:
            // raise() puts the pane above the grip: a request to show it.
            if (m_nBusy == 0 && state->autoHidden && state->panel && !state->pane->parent()->children().isEmpty() &&
                state->pane->parent()->children().constLast() == state->pane) {
                state->panel->Grip()->raise();
                Open(state->pane, true, true);
            }
            break;
        default: break;
    }
    return false;
}
