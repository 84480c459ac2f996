// Auto-hide of dock widgets under Qt's offscreen platform: pins, edge tabs,
// sliding out and back, docking back in place, closing, floating, captions,
// deletion and saving the layout.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDockWidget>
#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>
#include <QTabBar>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "AutoHide.h"
#include "QtAppTest.h"

namespace {

// The frame's rectangle of a widget inside it.
QRect InFrame(const QWidget* widget, const QWidget* frame) {
    return {widget->mapTo(frame, QPoint(0, 0)), widget->size()};
}

bool Within(const QWidget* outer, const QWidget* widget) {
    return widget != nullptr && (outer == widget || outer->isAncestorOf(widget));
}

void Settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

// A main window like the program's: a central widget and panes on the four
// edges, the right pane tabified with a second one.
struct Frame {
    std::unique_ptr<QMainWindow> window = std::make_unique<QMainWindow>();
    QTextEdit* central = nullptr;
    QDockWidget* left = nullptr;
    QDockWidget* right = nullptr;
    QDockWidget* rightTwo = nullptr;
    QDockWidget* top = nullptr;
    QDockWidget* bottom = nullptr;
    CAutoHideManager* manager = nullptr;

    explicit Frame(bool withManager = true) {
        window->setAnimated(false);
        window->statusBar()->showMessage(QStringLiteral("Ready"));
        central = new QTextEdit(window.get());
        central->setObjectName(QStringLiteral("central"));
        window->setCentralWidget(central);
        left = Add(QStringLiteral("Left"), Qt::LeftDockWidgetArea);
        right = Add(QStringLiteral("Right"), Qt::RightDockWidgetArea);
        rightTwo = Add(QStringLiteral("Right Two"), Qt::RightDockWidgetArea);
        window->tabifyDockWidget(right, rightTwo);
        top = Add(QStringLiteral("Top"), Qt::TopDockWidgetArea);
        bottom = Add(QStringLiteral("Bottom"), Qt::BottomDockWidgetArea);
        if (withManager) {
            manager = new CAutoHideManager(window.get());
            manager->EnableAutoHidePanes(Qt::AllDockWidgetAreas);
        }
        window->resize(1000, 760);
    }

    QDockWidget* Add(const QString& title, Qt::DockWidgetArea area) {
        auto* pane = new QDockWidget(title, window.get());
        pane->setObjectName(QStringLiteral("pane") + QString(title).remove(QLatin1Char(' ')));
        auto* tree = new QTreeWidget(pane);
        tree->setObjectName(QStringLiteral("tree"));
        tree->setHeaderLabel(title);
        for (int i = 0; i < 5; ++i) tree->addTopLevelItem(new QTreeWidgetItem(QStringList(title + QString::number(i))));
        pane->setWidget(tree);
        window->addDockWidget(area, pane);
        return pane;
    }

    void Show() {
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        right->raise();  // the first of its tab group selected
        Settle();
    }

    QRect Rect(const QWidget* widget) const { return InFrame(widget, window.get()); }

    QToolButton* Button(QDockWidget* pane, const char* name) const {
        QWidget* bar = pane->titleBarWidget();
        return bar == nullptr ? nullptr : bar->findChild<QToolButton*>(QString::fromLatin1(name));
    }

    void Click(QWidget* widget) {
        ASSERT_NE(widget, nullptr);
        QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
        Settle();
    }

    // The visible tab bars' texts, in the order they show.
    QList<QStringList> TabGroups() const {
        QList<QStringList> groups;
        for (QTabBar* bar : window->findChildren<QTabBar*>()) {
            if (!bar->isVisible()) continue;
            QStringList texts;
            for (int i = 0; i < bar->count(); ++i) texts << bar->tabText(i);
            groups << texts;
        }
        return groups;
    }

    // The selected tab of each visible tab bar.
    QStringList CurrentTabs() const {
        QStringList current;
        for (QTabBar* bar : window->findChildren<QTabBar*>())
            if (bar->isVisible()) current << bar->tabText(bar->currentIndex());
        return current;
    }

    QList<QToolBar*> VisibleStrips() const {
        QList<QToolBar*> strips;
        for (QToolBar* bar : window->findChildren<QToolBar*>())
            if (bar->objectName().startsWith(QLatin1String("autoHideBar")) && bar->isVisible()) strips << bar;
        return strips;
    }
};

class AutoHideTest : public QtAppTest {};

struct EdgeCase {
    const char* name;
    QDockWidget* Frame::*pane;
    Qt::DockWidgetArea area;
    bool alone;  // the only pane of its area
};

const EdgeCase kEdges[] = {
    {"left", &Frame::left, Qt::LeftDockWidgetArea, true},
    {"right", &Frame::right, Qt::RightDockWidgetArea, false},
    {"top", &Frame::top, Qt::TopDockWidgetArea, true},
    {"bottom", &Frame::bottom, Qt::BottomDockWidgetArea, true},
};

// Whether `inner` lies on the given edge's side of `outer`, clear of it.
bool Beyond(const QRect& inner, const QRect& outer, Qt::DockWidgetArea area) {
    switch (area) {
        case Qt::LeftDockWidgetArea: return inner.right() < outer.left();
        case Qt::RightDockWidgetArea: return inner.left() > outer.right();
        case Qt::TopDockWidgetArea: return inner.bottom() < outer.top();
        default: return inner.top() > outer.bottom();
    }
}

// The gap between a slid-out pane and its strip, on its edge's side.
int GapToStrip(const QRect& pane, const QRect& strip, Qt::DockWidgetArea area) {
    switch (area) {
        case Qt::LeftDockWidgetArea: return pane.left() - strip.right() - 1;
        case Qt::RightDockWidgetArea: return strip.left() - pane.right() - 1;
        case Qt::TopDockWidgetArea: return pane.top() - strip.bottom() - 1;
        default: return strip.top() - pane.bottom() - 1;
    }
}

// ------------------------------------------------------------- collapsing

TEST_F(AutoHideTest, PinCollapsesThePaneToATabOnTheEdgeItWasDockedAt) {
    for (const EdgeCase& edge : kEdges) {
        SCOPED_TRACE(edge.name);
        Frame frame;
        frame.Show();
        QDockWidget* pane = frame.*edge.pane;
        const QRect centralBefore = frame.Rect(frame.central);

        frame.Click(frame.Button(pane, "pinButton"));

        EXPECT_TRUE(frame.manager->IsAutoHidden(pane));
        EXPECT_FALSE(pane->isVisible());
        EXPECT_FALSE(frame.manager->IsSlidOut(pane));
        QWidget* tab = frame.manager->EdgeTab(pane);
        ASSERT_NE(tab, nullptr);
        EXPECT_TRUE(tab->isVisible());
        EXPECT_EQ(tab->toolTip(), pane->windowTitle());
        const QRect tabRect = frame.Rect(tab);
        const QRect central = frame.Rect(frame.central);
        EXPECT_TRUE(Beyond(tabRect, central, edge.area)) << "tab outside the central area, on its edge";
        // Text along the strip: side tabs are tall and narrow.
        const bool side = edge.area == Qt::LeftDockWidgetArea || edge.area == Qt::RightDockWidgetArea;
        EXPECT_EQ(tabRect.height() > tabRect.width(), side);
        EXPECT_EQ(frame.VisibleStrips().size(), 1);
        if (edge.alone) {
            // The room it took goes to the central widget.
            const int grown =
                side ? central.width() - centralBefore.width() : central.height() - centralBefore.height();
            EXPECT_GT(grown, 0);
        } else {
            EXPECT_TRUE(frame.rightTwo->isVisible()) << "its tab group stays docked";
        }
    }
}

TEST_F(AutoHideTest, PinnedPanesOfOneEdgeShareOneStripInPinningOrder) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.rightTwo, true);
    frame.manager->SetAutoHidden(frame.right, true);
    Settle();
    QWidget* first = frame.manager->EdgeTab(frame.rightTwo);
    QWidget* second = frame.manager->EdgeTab(frame.right);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->parentWidget(), second->parentWidget());
    EXPECT_LT(frame.Rect(first).top(), frame.Rect(second).top());
    EXPECT_EQ(frame.VisibleStrips().size(), 1);
}

TEST_F(AutoHideTest, PaneThatCannotBeAutoHiddenIsLeftAsItIs) {
    struct Case {
        const char* name;
        std::function<void(Frame&)> prepare;
        bool pinEnabled;
    };
    const Case cases[] = {
        {"floating", [](Frame& f) { f.left->setFloating(true); }, false},
        {"closed", [](Frame& f) { f.left->close(); }, true},
        {"area not allowed", [](Frame& f) { f.manager->EnableAutoHidePanes(Qt::RightDockWidgetArea); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        frame.Show();
        c.prepare(frame);
        Settle();
        EXPECT_EQ(frame.Button(frame.left, "pinButton")->isEnabled(), c.pinEnabled);
        const bool floating = frame.left->isFloating();
        const bool hidden = frame.left->isHidden();
        frame.manager->SetAutoHidden(frame.left, true);
        Settle();
        EXPECT_FALSE(frame.manager->IsAutoHidden(frame.left));
        EXPECT_EQ(frame.manager->EdgeTab(frame.left), nullptr);
        EXPECT_EQ(frame.left->isFloating(), floating);
        EXPECT_EQ(frame.left->isHidden(), hidden);
        EXPECT_TRUE(frame.VisibleStrips().isEmpty());
    }
}

TEST_F(AutoHideTest, PinsShowOnlyOnceAutoHideIsEnabled) {
    Frame frame(false);
    auto* manager = new CAutoHideManager(frame.window.get());
    frame.Show();
    QToolButton* pin = frame.Button(frame.left, "pinButton");
    ASSERT_NE(pin, nullptr);
    EXPECT_FALSE(pin->isVisible());
    manager->SetAutoHidden(frame.left, true);
    EXPECT_FALSE(manager->IsAutoHidden(frame.left));
    manager->EnableAutoHidePanes(Qt::AllDockWidgetAreas);
    Settle();
    EXPECT_TRUE(pin->isVisible());
    EXPECT_EQ(pin->toolTip(), QStringLiteral("Auto Hide"));
}

// ---------------------------------------------------------------- sliding

TEST_F(AutoHideTest, TabClickSlidesThePaneOutOverTheWindowFromItsEdge) {
    for (const EdgeCase& edge : kEdges) {
        SCOPED_TRACE(edge.name);
        Frame frame;
        frame.Show();
        QDockWidget* pane = frame.*edge.pane;
        frame.manager->SetAutoHidden(pane, true);
        Settle();
        QWidget* tab = frame.manager->EdgeTab(pane);
        ASSERT_NE(tab, nullptr);

        frame.Click(tab);

        ASSERT_TRUE(frame.manager->IsSlidOut(pane));
        EXPECT_TRUE(pane->isVisible());
        EXPECT_TRUE(frame.manager->IsAutoHidden(pane));
        EXPECT_EQ(pane->window(), frame.window.get());
        const QRect rect = frame.Rect(pane);
        const QRect central = frame.Rect(frame.central);
        // Over the window's inside: the central area, or what is left of its tab group.
        EXPECT_TRUE(rect.intersects(edge.alone ? central : frame.Rect(frame.rightTwo)));
        EXPECT_FALSE(rect.intersects(frame.Rect(tab))) << "clear of its tab";
        const int gap = GapToStrip(rect, frame.Rect(tab->parentWidget()), edge.area);
        EXPECT_GE(gap, 0);
        EXPECT_LE(gap, 4) << "against its edge strip";
        // On top: what is seen in its middle is the pane.
        EXPECT_TRUE(Within(pane, frame.window->childAt(rect.center())));
        EXPECT_TRUE(Within(pane, QApplication::focusWidget())) << "it takes the focus";
    }
}

TEST_F(AutoHideTest, SlidOutPaneSlidesBack) {
    struct Case {
        const char* name;
        std::function<void(Frame&, QDockWidget*)> act;
    };
    const Case cases[] = {
        {"tab clicked again", [](Frame& f, QDockWidget* p) { f.Click(f.manager->EdgeTab(p)); }},
        {"Esc", [](Frame&, QDockWidget* p) { QTest::keyClick(p->widget(), Qt::Key_Escape); }},
        {"click elsewhere in the window", [](Frame& f, QDockWidget*) { f.Click(f.central->viewport()); }},
        {"click where the focus cannot go", [](Frame& f, QDockWidget*) { f.Click(f.window->statusBar()); }},
        {"focus elsewhere", [](Frame& f, QDockWidget*) { f.central->setFocus(); }},
        {"SlideIn", [](Frame& f, QDockWidget* p) { f.manager->SlideIn(p); }},
    };
    for (const Case& c : cases) {
        for (const EdgeCase& edge : kEdges) {
            SCOPED_TRACE(std::string(c.name) + ", " + edge.name);
            Frame frame;
            frame.Show();
            QDockWidget* pane = frame.*edge.pane;
            frame.manager->SetAutoHidden(pane, true);
            frame.manager->SlideOut(pane);
            Settle();
            ASSERT_TRUE(frame.manager->IsSlidOut(pane));

            c.act(frame, pane);
            Settle();

            EXPECT_FALSE(frame.manager->IsSlidOut(pane));
            EXPECT_FALSE(pane->isVisible());
            EXPECT_TRUE(frame.manager->IsAutoHidden(pane));
            EXPECT_NE(frame.manager->EdgeTab(pane), nullptr);
            EXPECT_FALSE(Within(pane, QApplication::focusWidget()));
        }
    }
}

TEST_F(AutoHideTest, APaneBehindItsTabGroupSlidesOutAsWideAsTheGroupWas) {
    Frame frame;
    frame.Show();
    const int width = frame.right->width();
    frame.manager->SetAutoHidden(frame.rightTwo, true);
    frame.manager->SlideOut(frame.rightTwo);
    Settle();
    EXPECT_EQ(frame.rightTwo->width(), width);
}

TEST_F(AutoHideTest, ClicksInsideTheSlidOutPaneKeepItOut) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.left, true);
    frame.manager->SlideOut(frame.left);
    Settle();
    auto* tree = frame.left->findChild<QTreeWidget*>(QStringLiteral("tree"));
    frame.Click(tree->viewport());
    QTest::keyClick(tree, Qt::Key_Down);
    Settle();
    EXPECT_TRUE(frame.manager->IsSlidOut(frame.left));
}

TEST_F(AutoHideTest, OneSlidOutPaneAtATime) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.left, true);
    frame.manager->SetAutoHidden(frame.bottom, true);
    Settle();
    frame.Click(frame.manager->EdgeTab(frame.left));
    frame.Click(frame.manager->EdgeTab(frame.bottom));
    EXPECT_FALSE(frame.manager->IsSlidOut(frame.left));
    EXPECT_FALSE(frame.left->isVisible());
    EXPECT_TRUE(frame.manager->IsSlidOut(frame.bottom));
    EXPECT_TRUE(frame.bottom->isVisible());
}

TEST_F(AutoHideTest, HoveringATabSlidesItsPaneOutAndLeavingSlidesItBack) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.left, true);
    Settle();
    QWidget* tab = frame.manager->EdgeTab(frame.left);
    QTest::mouseMove(tab, tab->rect().center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame.manager->IsSlidOut(frame.left); }));
    EXPECT_FALSE(Within(frame.left, QApplication::focusWidget())) << "hovering leaves the focus where it is";
    const QRect central = frame.Rect(frame.central);
    QTest::mouseMove(frame.window.get(), QPoint(central.right() - 10, central.center().y()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !frame.manager->IsSlidOut(frame.left); }));
}

TEST_F(AutoHideTest, AHoverOpenedPaneInUseStaysOutWhenTheMouseLeaves) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.bottom, true);
    Settle();
    QWidget* tab = frame.manager->EdgeTab(frame.bottom);
    QTest::mouseMove(tab, tab->rect().center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return frame.manager->IsSlidOut(frame.bottom); }));
    auto* tree = frame.bottom->findChild<QTreeWidget*>(QStringLiteral("tree"));
    frame.Click(tree->viewport());
    const QRect central = frame.Rect(frame.central);
    QTest::mouseMove(frame.window.get(), QPoint(central.center().x(), central.top() + 10));
    QTest::qWait(1500);
    EXPECT_TRUE(frame.manager->IsSlidOut(frame.bottom));
}

TEST_F(AutoHideTest, PanesSlideFromTheirEdgeAndFinishAnimationsCompletesTheSlide) {
    for (const EdgeCase& edge : kEdges) {
        if (!edge.alone) continue;
        SCOPED_TRACE(edge.name);
        Frame frame;
        frame.manager->SetAnimationDuration(60000);
        frame.Show();
        QDockWidget* pane = frame.*edge.pane;
        frame.manager->SetAutoHidden(pane, true);
        Settle();
        const QRect central = frame.Rect(frame.central);

        frame.manager->SlideOut(pane);
        EXPECT_TRUE(frame.manager->IsSlidOut(pane));
        // At the start the pane is all beyond the edge, its inner side first to come in.
        EXPECT_TRUE(Beyond(frame.Rect(pane), central, edge.area));
        frame.manager->FinishAnimations();
        EXPECT_TRUE(frame.Rect(pane).intersects(central));
        EXPECT_TRUE(pane->isVisible());

        frame.manager->SlideIn(pane);
        EXPECT_FALSE(frame.manager->IsSlidOut(pane));
        EXPECT_TRUE(pane->isVisible()) << "still sliding back";
        frame.manager->FinishAnimations();
        EXPECT_FALSE(pane->isVisible());
    }
}

TEST_F(AutoHideTest, ShowAndRaiseSlideAnAutoHiddenPaneOut) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.top, true);
    Settle();
    frame.top->show();
    frame.top->raise();
    Settle();
    EXPECT_TRUE(frame.manager->IsSlidOut(frame.top));
    EXPECT_TRUE(frame.top->isVisible());
    EXPECT_TRUE(frame.manager->IsAutoHidden(frame.top));
}

TEST_F(AutoHideTest, GripResizesTheSlidOutPane) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.left, true);
    frame.manager->SlideOut(frame.left);
    Settle();
    auto* grip = frame.window->findChild<QWidget*>(QStringLiteral("autoHideGrip"));
    ASSERT_NE(grip, nullptr);
    ASSERT_TRUE(grip->isVisible());
    const int before = frame.left->width();
    const QPoint start = grip->rect().center();
    QTest::mousePress(grip, Qt::LeftButton, Qt::NoModifier, start);
    QTest::mouseMove(grip, start + QPoint(60, 0));
    QTest::mouseRelease(grip, Qt::LeftButton, Qt::NoModifier, start + QPoint(60, 0));
    Settle();
    EXPECT_EQ(frame.left->width(), before + 60);
    // The new depth is kept for the next time.
    frame.manager->SlideIn(frame.left);
    frame.manager->SlideOut(frame.left);
    Settle();
    EXPECT_EQ(frame.left->width(), before + 60);
}

// ------------------------------------------------------------ docking back

TEST_F(AutoHideTest, PinOfASlidOutPaneDocksItBackWhereItWas) {
    for (const EdgeCase& edge : kEdges) {
        SCOPED_TRACE(edge.name);
        Frame frame;
        frame.Show();
        QDockWidget* pane = frame.*edge.pane;
        const QRect before = frame.Rect(pane);
        const QRect centralBefore = frame.Rect(frame.central);
        const QList<QStringList> groups = frame.TabGroups();
        const QList<QDockWidget*> tabified = frame.window->tabifiedDockWidgets(pane);

        frame.manager->SetAutoHidden(pane, true);
        frame.manager->SlideOut(pane);
        Settle();
        QToolButton* pin = frame.Button(pane, "pinButton");
        ASSERT_TRUE(pin->isChecked());
        frame.Click(pin);

        EXPECT_FALSE(frame.manager->IsAutoHidden(pane));
        EXPECT_FALSE(frame.manager->IsSlidOut(pane));
        EXPECT_EQ(frame.manager->EdgeTab(pane), nullptr);
        EXPECT_FALSE(pin->isChecked());
        EXPECT_TRUE(pane->isVisible());
        EXPECT_EQ(frame.window->dockWidgetArea(pane), edge.area);
        EXPECT_EQ(frame.window->tabifiedDockWidgets(pane), tabified);
        EXPECT_EQ(frame.TabGroups(), groups);
        EXPECT_EQ(frame.Rect(pane), before);
        // An empty strip takes no room.
        EXPECT_TRUE(frame.VisibleStrips().isEmpty());
        EXPECT_EQ(frame.Rect(frame.central), centralBefore);
        EXPECT_TRUE(frame.window->findChildren<QWidget*>(QStringLiteral("autoHideTab")).isEmpty());
    }
}

TEST_F(AutoHideTest, TabGroupComesBackInItsOrderWhateverOrderItsPanesReturn) {
    for (bool firstBackFirst : {true, false}) {
        SCOPED_TRACE(firstBackFirst ? "first pinned returns first" : "last pinned returns first");
        Frame frame;
        QDockWidget* third = frame.Add(QStringLiteral("Right Three"), Qt::RightDockWidgetArea);
        frame.window->tabifyDockWidget(frame.rightTwo, third);
        frame.right->raise();
        frame.Show();
        const QList<QStringList> groups = frame.TabGroups();
        ASSERT_TRUE(groups.contains(QStringList({"Right", "Right Two", "Right Three"})));

        frame.manager->SetAutoHidden(frame.right, true);
        frame.manager->SetAutoHidden(third, true);
        Settle();
        EXPECT_TRUE(frame.rightTwo->isVisible());
        QDockWidget* last = firstBackFirst ? third : frame.right;
        frame.manager->SetAutoHidden(firstBackFirst ? frame.right : third, false);
        frame.manager->SetAutoHidden(last, false);
        Settle();
        EXPECT_EQ(frame.TabGroups(), groups);
        // The pane docked back is the one shown.
        EXPECT_EQ(frame.CurrentTabs(), QStringList({last->windowTitle()}));
    }
}

TEST_F(AutoHideTest, PaneWithoutObjectNameReturnsToItsTabGroup) {
    Frame frame;
    frame.Show();
    frame.right->setObjectName(QString());
    frame.manager->SetAutoHidden(frame.right, true);
    Settle();
    frame.manager->SetAutoHidden(frame.right, false);
    Settle();
    EXPECT_EQ(frame.window->dockWidgetArea(frame.right), Qt::RightDockWidgetArea);
    EXPECT_EQ(frame.window->tabifiedDockWidgets(frame.right), QList<QDockWidget*>({frame.rightTwo}));
    EXPECT_TRUE(frame.right->isVisible());
}

// ------------------------------------------------------- closing, showing

TEST_F(AutoHideTest, ClosingAnAutoHiddenPaneRemovesItsTabAndShowingDocksItBack) {
    struct Case {
        const char* name;
        bool slidOut;
        std::function<void(Frame&, QDockWidget*)> close;
    };
    const Case cases[] = {
        {"close button", true, [](Frame& f, QDockWidget* p) { f.Click(f.Button(p, "closeButton")); }},
        {"hide() while slid in", false, [](Frame&, QDockWidget* p) { p->hide(); }},
        {"hide() while slid out", true, [](Frame&, QDockWidget* p) { p->hide(); }},
        {"close() while slid in", false, [](Frame&, QDockWidget* p) { p->close(); }},
        {"view action", false, [](Frame&, QDockWidget* p) { p->toggleViewAction()->trigger(); }},
    };
    for (const Case& c : cases) {
        for (const EdgeCase& edge : kEdges) {
            SCOPED_TRACE(std::string(c.name) + ", " + edge.name);
            Frame frame;
            frame.Show();
            QDockWidget* pane = frame.*edge.pane;
            const QRect before = frame.Rect(pane);
            frame.manager->SetAutoHidden(pane, true);
            if (c.slidOut) frame.manager->SlideOut(pane);
            Settle();
            EXPECT_TRUE(pane->toggleViewAction()->isChecked());

            c.close(frame, pane);
            Settle();

            EXPECT_TRUE(pane->isHidden());
            EXPECT_FALSE(frame.manager->IsAutoHidden(pane));
            EXPECT_FALSE(frame.manager->IsSlidOut(pane));
            EXPECT_EQ(frame.manager->EdgeTab(pane), nullptr);
            EXPECT_TRUE(frame.VisibleStrips().isEmpty());
            EXPECT_FALSE(pane->toggleViewAction()->isChecked());

            pane->show();
            pane->raise();
            Settle();
            EXPECT_TRUE(pane->isVisible());
            EXPECT_FALSE(frame.manager->IsAutoHidden(pane));
            EXPECT_EQ(frame.window->dockWidgetArea(pane), edge.area);
            EXPECT_EQ(frame.Rect(pane), before);
        }
    }
}

// ------------------------------------------------------ float and close

TEST_F(AutoHideTest, FloatAndCloseButtonsOfADockedPane) {
    Frame frame;
    frame.Show();
    QToolButton* floatButton = frame.Button(frame.bottom, "floatButton");
    QToolButton* closeButton = frame.Button(frame.bottom, "closeButton");
    ASSERT_NE(floatButton, nullptr);
    ASSERT_NE(closeButton, nullptr);
    EXPECT_EQ(floatButton->toolTip(), QStringLiteral("Float"));
    EXPECT_EQ(closeButton->toolTip(), QStringLiteral("Close"));

    frame.Click(floatButton);
    EXPECT_TRUE(frame.bottom->isFloating());
    EXPECT_FALSE(frame.Button(frame.bottom, "pinButton")->isEnabled()) << "a floating pane has no edge";
    frame.Click(floatButton);
    EXPECT_FALSE(frame.bottom->isFloating());
    EXPECT_EQ(frame.window->dockWidgetArea(frame.bottom), Qt::BottomDockWidgetArea);
    EXPECT_TRUE(frame.Button(frame.bottom, "pinButton")->isEnabled());

    frame.Click(closeButton);
    EXPECT_TRUE(frame.bottom->isHidden());
}

// Floated by its button or a double-click on its caption, a pane opens a
// step beside its place (within the screen), so that the group it left
// shows; a double-click docks it back as the tab in view of its group.
TEST_F(AutoHideTest, AFloatedPaneOpensBesideItsPlaceAndDocksBackInView) {
    Frame frame;
    frame.Show();
    const QRect available = frame.window->screen()->availableGeometry();
    // The window in the screen's middle, then against its bottom right
    // corner (the right pane at the screen's edge).
    const QPoint places[] = {available.center() - QPoint(500, 380),
                             available.bottomRight() -
                                 QPoint(frame.window->frameGeometry().width(), frame.window->frameGeometry().height())};
    for (const QPoint& place : places) {
        frame.window->move(place);
        Settle();
        for (const bool byButton : {true, false}) {
            SCOPED_TRACE(byButton ? "float button" : "double-click");
            QWidget* title = frame.right->titleBarWidget();
            ASSERT_NE(title, nullptr);
            const QRect docked(frame.right->mapToGlobal(QPoint(0, 0)), frame.right->size());
            if (byButton)
                frame.Click(frame.Button(frame.right, "floatButton"));
            else
                QTest::mouseDClick(title, Qt::LeftButton, Qt::NoModifier, QPoint(20, title->height() / 2));
            Settle();
            ASSERT_TRUE(frame.right->isFloating());
            const QRect floating = frame.right->frameGeometry();
            EXPECT_GE(std::abs(floating.x() - docked.x()), title->height());
            EXPECT_GE(std::abs(floating.y() - docked.y()), title->height());
            EXPECT_TRUE(available.contains(floating))
                << floating.x() << "," << floating.y() << " " << floating.width() << "x" << floating.height();
            // The group it left shows its other pane.
            EXPECT_FALSE(frame.rightTwo->visibleRegion().isEmpty());

            QTest::mouseDClick(title, Qt::LeftButton, Qt::NoModifier, QPoint(20, title->height() / 2));
            Settle();
            EXPECT_FALSE(frame.right->isFloating());
            EXPECT_EQ(frame.window->dockWidgetArea(frame.right), Qt::RightDockWidgetArea);
            EXPECT_TRUE(frame.CurrentTabs().contains(QStringLiteral("Right")))
                << frame.CurrentTabs().join(QStringLiteral(", ")).toStdString();
            EXPECT_FALSE(frame.right->visibleRegion().isEmpty());
        }
    }
}

TEST_F(AutoHideTest, ButtonsFollowThePanesFeatures) {
    Frame frame;
    frame.Show();
    frame.top->setFeatures(QDockWidget::DockWidgetMovable);
    Settle();
    EXPECT_FALSE(frame.Button(frame.top, "floatButton")->isVisible());
    EXPECT_FALSE(frame.Button(frame.top, "closeButton")->isVisible());
    EXPECT_TRUE(frame.Button(frame.top, "pinButton")->isVisible());
}

TEST_F(AutoHideTest, FloatButtonOfASlidOutPaneFloatsIt) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.left, true);
    frame.manager->SlideOut(frame.left);
    Settle();
    frame.Click(frame.Button(frame.left, "floatButton"));
    EXPECT_TRUE(frame.left->isFloating());
    EXPECT_TRUE(frame.left->isVisible());
    EXPECT_FALSE(frame.manager->IsAutoHidden(frame.left));
    EXPECT_EQ(frame.manager->EdgeTab(frame.left), nullptr);
    // Docked again, it is back on its edge.
    frame.left->setFloating(false);
    Settle();
    EXPECT_EQ(frame.window->dockWidgetArea(frame.left), Qt::LeftDockWidgetArea);
}

TEST_F(AutoHideTest, DraggingTheTitleOfASlidOutPaneDoesNotUndockIt) {
    Frame frame;
    frame.Show();
    frame.manager->SetAutoHidden(frame.right, true);
    frame.manager->SlideOut(frame.right);
    Settle();
    QWidget* title = frame.right->titleBarWidget();
    const QPoint start(5, title->height() / 2);
    QTest::mousePress(title, Qt::LeftButton, Qt::NoModifier, start);
    QTest::mouseMove(title, start + QPoint(-200, 100));
    QTest::mouseRelease(title, Qt::LeftButton, Qt::NoModifier, start + QPoint(-200, 100));
    QTest::mouseDClick(title, Qt::LeftButton, Qt::NoModifier, start);
    Settle();
    EXPECT_FALSE(frame.right->isFloating());
    EXPECT_TRUE(frame.manager->IsAutoHidden(frame.right));
}

// ----------------------------------------------------------------- caption

TEST_F(AutoHideTest, CaptionAndTabFollowTheWindowTitle) {
    struct Case {
        const char* title;
        bool modified;
        const char* shown;
    };
    const Case cases[] = {
        {"Routes", false, "Routes"},
        {"Routes[*]", true, "Routes*"},
        {"Routes[*]", false, "Routes"},
        {"TCP & UDP", false, "TCP & UDP"},
    };
    Frame frame;
    frame.Show();
    QWidget* caption = frame.left->titleBarWidget();
    ASSERT_NE(caption, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        frame.left->setWindowModified(c.modified);
        frame.left->setWindowTitle(QString::fromLatin1(c.title));
        Settle();
        EXPECT_EQ(caption->accessibleName(), QString::fromLatin1(c.shown));
        frame.manager->SetAutoHidden(frame.left, true);
        Settle();
        ASSERT_NE(frame.manager->EdgeTab(frame.left), nullptr);
        EXPECT_EQ(frame.manager->EdgeTab(frame.left)->toolTip(), QString::fromLatin1(c.shown));
        // And while it is hidden.
        frame.left->setWindowTitle(QStringLiteral("Interim"));
        EXPECT_EQ(frame.manager->EdgeTab(frame.left)->toolTip(), QStringLiteral("Interim"));
        frame.manager->SetAutoHidden(frame.left, false);
    }
}

// ----------------------------------------------------------------- lifetime

TEST_F(AutoHideTest, DeletingAnAutoHiddenPaneIsSafe) {
    for (bool slidOut : {false, true}) {
        SCOPED_TRACE(slidOut ? "slid out" : "slid in");
        Frame frame;
        frame.Show();
        frame.manager->SetAutoHidden(frame.left, true);
        frame.manager->SetAutoHidden(frame.right, true);
        if (slidOut) frame.manager->SlideOut(frame.left);
        Settle();
        QDockWidget* left = frame.left;
        delete left;
        Settle();
        EXPECT_FALSE(frame.manager->IsSlidOut(left));
        EXPECT_FALSE(frame.manager->IsAutoHidden(left));
        EXPECT_EQ(frame.manager->EdgeTab(left), nullptr);
        EXPECT_EQ(frame.VisibleStrips().size(), 1) << "only the right strip is left";
        EXPECT_EQ(frame.window->findChildren<QWidget*>(QStringLiteral("autoHidePanel")).size(), 1);
        // The rest goes on working.
        frame.Click(frame.manager->EdgeTab(frame.right));
        EXPECT_TRUE(frame.manager->IsSlidOut(frame.right));
        frame.central->setFocus();
        Settle();
        EXPECT_FALSE(frame.manager->IsSlidOut(frame.right));
    }
}

TEST_F(AutoHideTest, DestroyingTheWindowOrTheManagerWithHiddenPanesIsSafe) {
    struct Case {
        const char* name;
        bool slidOut;
        bool managerFirst;
    };
    const Case cases[] = {
        {"window, panes slid in", false, false},
        {"window, a pane slid out", true, false},
        {"manager, then window", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        frame.Show();
        for (QDockWidget* pane : {frame.left, frame.right, frame.top, frame.bottom})
            frame.manager->SetAutoHidden(pane, true);
        if (c.slidOut) frame.manager->SlideOut(frame.bottom);
        Settle();
        if (c.managerFirst) {
            QWidget* tab = frame.manager->EdgeTab(frame.left);
            delete frame.manager;
            // What the manager left behind does nothing, and nothing harmful.
            frame.Click(tab);
            QTest::keyClick(frame.bottom->widget(), Qt::Key_Escape);
            frame.Click(frame.Button(frame.bottom, "pinButton"));
            frame.Click(frame.central->viewport());
        }
        frame.window.reset();
        Settle();
    }
}

TEST_F(AutoHideTest, PanesAddedLaterGetAPin) {
    Frame frame;
    frame.Show();
    QDockWidget* late = frame.Add(QStringLiteral("Late"), Qt::BottomDockWidgetArea);
    Settle();
    QToolButton* pin = frame.Button(late, "pinButton");
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(pin->isVisible());
    frame.Click(pin);
    EXPECT_TRUE(frame.manager->IsAutoHidden(late));
}

// ------------------------------------------------------------------ saving

TEST_F(AutoHideTest, RestoreAllBeforeSaveDocksEveryPaneBackForSaveState) {
    Frame frame;
    frame.Show();
    const QList<QDockWidget*> panes = {frame.left, frame.right, frame.rightTwo, frame.top, frame.bottom};
    QList<QRect> before;
    for (QDockWidget* pane : panes) before << frame.Rect(pane);
    const QList<QStringList> groups = frame.TabGroups();
    ASSERT_EQ(frame.CurrentTabs(), QStringList({"Right"}));

    // The pane behind in its tab group first: the selected one stays selected.
    for (QDockWidget* pane : {frame.rightTwo, frame.left, frame.right, frame.top, frame.bottom})
        frame.manager->SetAutoHidden(pane, true);
    frame.manager->SlideOut(frame.top);
    Settle();
    frame.manager->RestoreAllBeforeSave();
    Settle();

    for (qsizetype i = 0; i < panes.size(); ++i) {
        SCOPED_TRACE(panes[i]->windowTitle().toStdString());
        EXPECT_FALSE(frame.manager->IsAutoHidden(panes[i]));
        EXPECT_FALSE(panes[i]->isHidden());
        if (panes[i] != frame.rightTwo) {
            EXPECT_EQ(frame.Rect(panes[i]), before[i]);
        }
    }
    EXPECT_EQ(frame.TabGroups(), groups);
    EXPECT_EQ(frame.CurrentTabs(), QStringList({"Right"}));
    EXPECT_TRUE(frame.VisibleStrips().isEmpty());

    // The saved layout brings the panes back docked in a window of the same panes.
    const QByteArray state = frame.window->saveState();
    Frame other(false);
    for (QDockWidget* pane : {other.left, other.right, other.rightTwo, other.top, other.bottom})
        other.window->addDockWidget(Qt::LeftDockWidgetArea, pane);
    other.Show();
    ASSERT_TRUE(other.window->restoreState(state));
    Settle();
    const QList<QDockWidget*> restored = {other.left, other.right, other.rightTwo, other.top, other.bottom};
    for (qsizetype i = 0; i < panes.size(); ++i) {
        SCOPED_TRACE(panes[i]->windowTitle().toStdString());
        EXPECT_EQ(other.window->dockWidgetArea(restored[i]), frame.window->dockWidgetArea(panes[i]));
        EXPECT_FALSE(restored[i]->isHidden());
    }
    EXPECT_EQ(other.TabGroups(), groups);
    EXPECT_EQ(other.CurrentTabs(), QStringList({"Right"}));
}

TEST_F(AutoHideTest, LayoutRestoredWhileAPaneIsHiddenIsWhereItDocksBack) {
    Frame frame;
    frame.Show();
    const QByteArray state = frame.window->saveState();
    frame.window->addDockWidget(Qt::BottomDockWidgetArea, frame.left);
    Settle();
    frame.manager->SetAutoHidden(frame.left, true);
    Settle();
    ASSERT_TRUE(frame.window->restoreState(state));
    Settle();
    EXPECT_TRUE(frame.manager->IsAutoHidden(frame.left));
    frame.manager->SetAutoHidden(frame.left, false);
    Settle();
    EXPECT_EQ(frame.window->dockWidgetArea(frame.left), Qt::LeftDockWidgetArea);
    EXPECT_TRUE(frame.left->isVisible());
}

TEST_F(AutoHideTest, PaneTheFrameDocksItselfIsNoLongerAutoHidden) {
    for (bool slidOut : {false, true}) {
        SCOPED_TRACE(slidOut ? "slid out" : "slid in");
        Frame frame;
        frame.Show();
        frame.manager->SetAutoHidden(frame.left, true);
        if (slidOut) frame.manager->SlideOut(frame.left);
        Settle();
        frame.window->addDockWidget(Qt::BottomDockWidgetArea, frame.left);
        Settle();
        EXPECT_FALSE(frame.manager->IsAutoHidden(frame.left));
        EXPECT_FALSE(frame.manager->IsSlidOut(frame.left));
        EXPECT_EQ(frame.manager->EdgeTab(frame.left), nullptr);
        EXPECT_EQ(frame.window->dockWidgetArea(frame.left), Qt::BottomDockWidgetArea);
        EXPECT_TRUE(frame.left->isVisible());
        EXPECT_TRUE(frame.VisibleStrips().isEmpty());
        EXPECT_FALSE(frame.Button(frame.left, "pinButton")->isChecked());
        EXPECT_TRUE(frame.window->findChildren<QWidget*>(QStringLiteral("autoHidePanel")).isEmpty());
    }
}

}  // namespace
