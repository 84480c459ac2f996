// The data pane under Qt's offscreen platform: toolbar, timer, visibility,
// the refresh command and the layout.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QMainWindow>
#include <QScrollBar>
#include <QWheelEvent>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "CNetworkDataView.h"
#include "IpHelper.h"
#include "QtAppTest.h"

namespace {

class PaneTest : public QtAppTest {
protected:
    static void SetUpTestSuite() {
        setenv("TESSALINE_LIBRARY_PATH", PROVIDER_DIR, 1);
        QtAppTest::SetUpTestSuite();
    }

    // A main window holding the given panes, docked side by side and shown.
    std::vector<CNetworkDataView*> ShowPanes(std::initializer_list<int> kinds) {
        std::vector<CNetworkDataView*> panes;
        for (int kind : kinds) {
            auto* pane = new CNetworkDataView(kind, &m_window);
            pane->setObjectName(QString::number(kind));
            pane->Create();
            m_window.addDockWidget(Qt::LeftDockWidgetArea, pane);
            panes.push_back(pane);
        }
        m_window.resize(800, 600);
        m_window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&m_window));
        return panes;
    }

    QMainWindow m_window;
};

TEST_F(PaneTest, OnlyRefreshingKindsGetAButtonAndATimer) {
    struct Case {
        int kind;
        bool refreshes;
    };
    const Case cases[] = {{10, true},  {11, true},  {12, true}, {13, true}, {14, false}, {15, false},
                          {16, false}, {17, false}, {18, true}, {19, true}, {20, false}, {-1, false}};
    for (const Case& c : cases) {
        CNetworkDataView pane(c.kind);
        pane.Create();
        EXPECT_EQ(pane.m_bAutoCapable, c.refreshes) << c.kind;
        EXPECT_EQ(pane.HasTimer(), c.refreshes) << c.kind;
        const QList<QAction*> actions = pane.ToolBar().actions();
        ASSERT_EQ(actions.size(), c.refreshes ? 1 : 0) << c.kind;
        if (c.refreshes) {
            EXPECT_EQ(actions[0]->data().toInt(), ID_REFRESH);
        }
        EXPECT_FALSE(pane.m_bAutoRefresh);
        EXPECT_FALSE(pane.m_bRefreshRequested);
    }
}

TEST_F(PaneTest, RefreshButtonUpdatesAVisiblePaneOncePerPressInPlace) {
    CNetworkDataView* pane = ShowPanes({12})[0];
    CViewTree& tree = pane->Tree();
    ASSERT_EQ(tree.ChildCount(TVI_ROOT), 1u);
    HTREEITEM root = tree.Child(TVI_ROOT, 0);
    ASSERT_EQ(tree.ChildCount(root), 5u);
    HTREEITEM first = tree.Child(root, 0);

    pane->ToolBar().actions()[0]->trigger();
    EXPECT_EQ(pane->UpdateCount(), 1);
    pane->ToolBar().actions()[0]->trigger();
    EXPECT_EQ(pane->UpdateCount(), 2);
    EXPECT_FALSE(pane->m_bRefreshRequested);
    EXPECT_EQ(tree.Child(TVI_ROOT, 0), root);
    EXPECT_EQ(tree.Child(root, 0), first);
    EXPECT_EQ(tree.ChildCount(root), 5u);
    EXPECT_EQ(tree.Text(first).rfind(u"InDatagrams     ", 0), 0u);
}

TEST_F(PaneTest, RequestWhileHiddenIsDropped) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    pane->hide();
    pane->OnRefresh();
    EXPECT_EQ(pane->UpdateCount(), 0);
    EXPECT_FALSE(pane->m_bRefreshRequested);
    pane->show();
    QTest::qWait(2300);  // one tick of the timer, auto-refresh off
    EXPECT_EQ(pane->UpdateCount(), 0);
}

TEST_F(PaneTest, TimerUpdatesOnlyVisiblePanesWhileAutoRefreshIsOn) {
    std::vector<CNetworkDataView*> panes = ShowPanes({10, 13});
    m_window.tabifyDockWidget(panes[0], panes[1]);
    QCoreApplication::processEvents();
    panes[0]->raise();
    QCoreApplication::processEvents();
    ASSERT_TRUE(panes[0]->IsOnScreen());
    ASSERT_FALSE(panes[1]->IsOnScreen());

    QTest::qWait(2300);
    EXPECT_EQ(panes[0]->UpdateCount() + panes[1]->UpdateCount(), 0) << "auto-refresh is off";

    for (CNetworkDataView* p : panes) p->m_bAutoRefresh = true;
    QTest::qWait(2300);
    EXPECT_GE(panes[0]->UpdateCount(), 1);
    EXPECT_EQ(panes[1]->UpdateCount(), 0) << "a tab that is not shown makes no update";

    panes[1]->raise();
    QCoreApplication::processEvents();
    const int before = panes[0]->UpdateCount();
    QTest::qWait(2300);
    EXPECT_GE(panes[1]->UpdateCount(), 1);
    EXPECT_EQ(panes[0]->UpdateCount(), before);
}

TEST_F(PaneTest, ToolbarOnTopTreeInsetByOnePixel) {
    CNetworkDataView* pane = ShowPanes({13})[0];
    for (const QSize size : {QSize(300, 400), QSize(520, 260)}) {
        pane->widget()->resize(size);
        QCoreApplication::processEvents();
        const QRect client = pane->widget()->rect();
        const QRect bar = pane->ToolBar().geometry();
        const QRect tree = pane->Tree().geometry();
        EXPECT_EQ(bar.topLeft(), client.topLeft());
        EXPECT_EQ(bar.width(), client.width());
        EXPECT_EQ(bar.height(), pane->ToolBar().CalcFixedHeight());
        EXPECT_EQ(tree, QRect(1, bar.height() + 1, client.width() - 2, client.height() - bar.height() - 2));
    }
}

TEST_F(PaneTest, TreeUsesANinePointFixedPitchFontAndTheImageStrip) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    const QFontInfo info(pane->Tree().font());
    EXPECT_TRUE(info.fixedPitch()) << info.family().toStdString();
    EXPECT_EQ(info.pointSize(), 9);
    HTREEITEM root = pane->Tree().Child(TVI_ROOT, 0);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(pane->Tree().IsBold(root));
    EXPECT_EQ(pane->Tree().Image(root), kImageRoot);
    EXPECT_TRUE(pane->Tree().IsExpanded(root));
    EXPECT_EQ(pane->Tree().iconSize(), QSize(16, 15));
}

// The width the tree scrolls over is that of the widest line shown, worked
// out from the fixed pitch rather than by laying each line out: it must
// hold every shown line's text as the font measures it, bold, padded and
// non-Latin lines included, and leave out the lines under a closed item.
TEST_F(PaneTest, ContentWidthFitsEveryShownLineAndNoHiddenOne) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    CViewTree& tree = pane->Tree();
    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"A Bold Root Item", kImageRoot);
    tree.SetItemBold(root);
    tree.AppendItem(root, u"Short", kImageValue);
    tree.AppendItem(root, u"Padded            1     ", kImageValue);
    tree.AppendItem(root, u"\u8fdb\u7a0b \u8fdb\u7a0b \u8fdb\u7a0b \u8fdb\u7a0b", kImageValue);
    HTREEITEM group = tree.AppendItem(root, u"Group", kImageGroup);
    tree.AppendItem(group, std::u16string(120, u'x'), kImageValue);
    tree.Expand(root);

    // The room each shown line needs: its indentation, the image and the
    // text as the font lays it out.
    const auto expected = [&tree] {
        QFont bold = tree.font();
        bold.setBold(true);
        int widest = 0;
        std::vector<std::pair<HTREEITEM, int>> pending = {{TVI_ROOT, -1}};
        while (!pending.empty()) {
            const auto [parent, depth] = pending.back();
            pending.pop_back();
            for (std::size_t i = 0; i < tree.ChildCount(parent); ++i) {
                HTREEITEM item = tree.Child(parent, i);
                const QString text = QString::fromStdU16String(tree.Text(item));
                const qreal advance = QFontMetricsF(tree.IsBold(item) ? bold : tree.font()).horizontalAdvance(text);
                widest = std::max(widest, (depth + 2) * CViewTree::kIndentation + tree.iconSize().width() +
                                              static_cast<int>(std::ceil(advance)));
                if (tree.IsExpanded(item)) pending.emplace_back(item, depth + 1);
            }
        }
        return widest;
    };
    const int closed = tree.ContentWidth();
    EXPECT_GE(closed, expected());
    EXPECT_LE(closed, expected() + 12);

    tree.Expand(group);
    const int open = tree.ContentWidth();
    EXPECT_GT(open, closed + 100);
    EXPECT_GE(open, expected());
    EXPECT_LE(open, expected() + 12);
}

// The user's side of the tree: a click on a line selects it, a click on an
// item's button or a double click opens and closes it, and the keys move
// the selection and open and close items; lines under a closed item are
// not shown.
TEST_F(PaneTest, TreeLinesAreSelectedOpenedAndClosedByMouseAndKeys) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    CViewTree& tree = pane->Tree();
    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"Root", kImageRoot);
    HTREEITEM a = tree.AppendItem(root, u"a", kImageValue);
    HTREEITEM group = tree.AppendItem(root, u"group", kImageGroup);
    HTREEITEM inner = tree.AppendItem(group, u"inner", kImageValue);
    tree.Expand(root);
    QApplication::processEvents();
    QWidget* area = &tree;

    EXPECT_TRUE(tree.ItemRect(inner).isEmpty());  // under a closed item
    QTest::mouseClick(area, Qt::LeftButton, {}, tree.ItemRect(a).center());
    EXPECT_EQ(tree.CurrentItem(), a);
    // The button left of the group's image opens it.
    const QRect g = tree.ItemRect(group);
    QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(g.left() - CViewTree::kIndentation / 2, g.center().y()));
    EXPECT_TRUE(tree.IsExpanded(group));
    EXPECT_FALSE(tree.ItemRect(inner).isEmpty());
    EXPECT_EQ(tree.CurrentItem(), a);
    QTest::mouseDClick(area, Qt::LeftButton, {}, tree.ItemRect(group).center());
    EXPECT_FALSE(tree.IsExpanded(group));

    tree.setFocus();
    struct Step {
        Qt::Key key;
        HTREEITEM current;
        bool groupOpen;
    };
    const Step steps[] = {
        {Qt::Key_Down, group, false},  {Qt::Key_Right, group, true}, {Qt::Key_Right, inner, true},
        {Qt::Key_Left, group, true},   {Qt::Key_Left, group, false}, {Qt::Key_Home, root, false},
        {Qt::Key_End, group, false},   {Qt::Key_Plus, group, true},  {Qt::Key_End, inner, true},
        {Qt::Key_Up, group, true},     {Qt::Key_Minus, group, false}, {Qt::Key_PageUp, root, false},
    };
    for (const Step& step : steps) {
        QTest::keyClick(&tree, step.key);
        EXPECT_EQ(tree.CurrentItem(), step.current) << step.key;
        EXPECT_EQ(tree.IsExpanded(group), step.groupOpen) << step.key;
    }
    // Closing an item with the selection inside moves it to the item;
    // deleting the selected line leaves none.
    tree.Expand(group);
    tree.SetCurrentItem(inner);
    tree.SetExpanded(group, false);
    EXPECT_EQ(tree.CurrentItem(), group);
    tree.DeleteItem(root);
    EXPECT_EQ(tree.CurrentItem(), nullptr);
    EXPECT_EQ(tree.ChildCount(TVI_ROOT), 0u);
}

// Scroll bars come when the lines outgrow the tree and go when they fit
// again; the wheel and the keys scroll, and the selected line is kept in
// view.
TEST_F(PaneTest, ScrollBarsFollowTheLinesAndKeepTheSelectionInView) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    CViewTree& tree = pane->Tree();
    const auto bar = [&tree](Qt::Orientation o) -> QScrollBar* {
        for (QScrollBar* b : tree.findChildren<QScrollBar*>())
            if (b->orientation() == o && !b->isHidden()) return b;
        return nullptr;
    };
    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"Root", kImageRoot);
    HTREEITEM last = nullptr;
    for (int i = 0; i < 200; ++i) last = tree.AppendItem(root, u"line", kImageValue);
    tree.AppendItem(root, std::u16string(300, u'w'), kImageValue);
    tree.Expand(root);
    QApplication::processEvents();
    ASSERT_NE(bar(Qt::Vertical), nullptr);
    ASSERT_NE(bar(Qt::Horizontal), nullptr);
    EXPECT_GT(bar(Qt::Vertical)->maximum(), 0);

    QWheelEvent wheel(QPointF(10, 10), tree.mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&tree, &wheel);
    EXPECT_EQ(bar(Qt::Vertical)->value(), 3 * tree.RowHeight());

    tree.setFocus();
    QTest::keyClick(&tree, Qt::Key_End);
    QTest::keyClick(&tree, Qt::Key_Up);
    EXPECT_EQ(tree.CurrentItem(), last);
    const QRect line = tree.ItemRect(last);
    EXPECT_GE(line.top(), 0);
    EXPECT_LE(line.bottom(), bar(Qt::Horizontal)->y());

    tree.DeleteAllItems();
    tree.AppendItem(TVI_ROOT, u"One short line", kImageRoot);
    QApplication::processEvents();
    EXPECT_EQ(bar(Qt::Vertical), nullptr);
    EXPECT_EQ(bar(Qt::Horizontal), nullptr);
}

// Assistive tools see the tree's shown lines as its items, with their text,
// place and state, and follow lines opening, closing and going.
TEST_F(PaneTest, AssistiveToolsSeeTheShownLines) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    CViewTree& tree = pane->Tree();
    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"Root", kImageRoot);
    HTREEITEM group = tree.AppendItem(root, u"Group", kImageGroup);
    tree.AppendItem(group, u"Inner", kImageValue);
    HTREEITEM value = tree.AppendItem(root, u"Value: 1", kImageValue);
    tree.Expand(root);
    tree.SetCurrentItem(value);

    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(&tree);
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->role(), QAccessible::Tree);
    ASSERT_EQ(access->childCount(), 3);  // the inner line is under a closed item
    QAccessibleInterface* line = access->child(2);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->role(), QAccessible::TreeItem);
    EXPECT_EQ(line->text(QAccessible::Name), QStringLiteral("Value: 1"));
    EXPECT_TRUE(line->state().selected);
    EXPECT_EQ(access->indexOfChild(line), 2);
    EXPECT_EQ(line->parent(), access);
    EXPECT_EQ(access->childAt(line->rect().center().x(), line->rect().center().y()), line);
    QAccessibleInterface* groupLine = access->child(1);
    EXPECT_TRUE(groupLine->state().collapsed);

    tree.SetExpanded(group, true);
    EXPECT_EQ(access->childCount(), 4);
    EXPECT_TRUE(groupLine->state().expanded);
    EXPECT_EQ(access->child(2)->text(QAccessible::Name), QStringLiteral("Inner"));
    tree.DeleteItem(value);
    EXPECT_FALSE(line->isValid());
    EXPECT_TRUE(line->text(QAccessible::Name).isEmpty());
}

}  // namespace
