// The data pane under Qt's offscreen platform: toolbar, timer, visibility,
// the refresh command, the layout and the report tree's mouse, keys,
// context menu and tooltips.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QMainWindow>
#include <QMenu>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CNetworkDataView.h"
#include "IpHelper.h"
#include "MemoryTree.h"
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
                          {16, false}, {17, false}, {18, true}, {19, true}, {20, true},  {21, true},
                          {22, true},  {23, true},  {24, true},  {25, true},  {26, false}, {-1, false}};
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

// A request made while the pane is hidden is dropped; the pane brings its
// lines up to date once when it is shown again, and the timer adds nothing
// with auto-refresh off.
TEST_F(PaneTest, RequestWhileHiddenIsDroppedAndThePaneIsUpdatedWhenItComesBack) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    pane->hide();
    pane->OnRefresh();
    EXPECT_EQ(pane->UpdateCount(), 0);
    EXPECT_FALSE(pane->m_bRefreshRequested);
    pane->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(pane->UpdateCount(), 1);
    QTest::qWait(2300);  // one tick of the timer, auto-refresh off
    EXPECT_EQ(pane->UpdateCount(), 1);

    // A kind that does not refresh is never updated.
    CNetworkDataView* still = ShowPanes({14})[0];
    still->hide();
    still->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(still->UpdateCount(), 0);
}

TEST_F(PaneTest, TimerUpdatesOnlyVisiblePanesWhileAutoRefreshIsOn) {
    std::vector<CNetworkDataView*> panes = ShowPanes({10, 13});
    m_window.tabifyDockWidget(panes[0], panes[1]);
    QCoreApplication::processEvents();
    panes[0]->raise();
    QCoreApplication::processEvents();
    ASSERT_TRUE(panes[0]->IsOnScreen());
    ASSERT_FALSE(panes[1]->IsOnScreen());
    // Coming back into sight may have updated a pane once; the timer starts
    // from here.
    const int shown0 = panes[0]->UpdateCount();
    const int hidden1 = panes[1]->UpdateCount();

    QTest::qWait(2300);
    EXPECT_EQ(panes[0]->UpdateCount(), shown0) << "auto-refresh is off";
    EXPECT_EQ(panes[1]->UpdateCount(), hidden1) << "auto-refresh is off";

    for (CNetworkDataView* p : panes) p->m_bAutoRefresh = true;
    QTest::qWait(2300);
    EXPECT_GE(panes[0]->UpdateCount(), shown0 + 1);
    EXPECT_EQ(panes[1]->UpdateCount(), hidden1) << "a tab that is not shown makes no update";

    panes[1]->raise();
    QCoreApplication::processEvents();
    const int before = panes[0]->UpdateCount();
    QTest::qWait(2300);
    EXPECT_GE(panes[1]->UpdateCount(), hidden1 + 1);
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

    // The room each shown line needs: the mark column, its indentation, the
    // image and the text as the font lays it out.
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
                widest = std::max(widest, tree.MarkColumnWidth() + (depth + 2) * CViewTree::kIndentation +
                                              tree.iconSize().width() + static_cast<int>(std::ceil(advance)));
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

// Dotted lines join every line to its parent and to its later siblings,
// also at the top level; a line with no later sibling ends at its own row.
// With the focus, the
// current line (or the first when none is) is marked.
TEST_F(PaneTest, TreeDrawsConnectingLinesAndMarksTheFocus) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    CViewTree& tree = pane->Tree();
    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"Root", kImageRoot);
    tree.AppendItem(root, u"a", kImageValue);
    HTREEITEM group = tree.AppendItem(root, u"group", kImageGroup);
    tree.AppendItem(group, u"inner", kImageValue);
    tree.AppendItem(root, u"b", kImageValue);
    tree.Expand(root);
    tree.Expand(group);
    tree.clearFocus();
    QApplication::processEvents();
    ASSERT_FALSE(tree.hasFocus());
    // Rows: Root, a, group, inner, b.
    const QImage picture = tree.grab().toImage();
    const QColor base = tree.palette().color(QPalette::Base);
    const int h = tree.RowHeight();
    const auto inked = [&](int x, int top, int bottom) {  // any line pixel in the column, rows' y range
        for (int y = top; y < bottom; ++y)
            if (picture.pixelColor(x, y) != base) return true;
        return false;
    };
    const auto column = [&tree](int depth) {
        return tree.MarkColumnWidth() + depth * CViewTree::kIndentation + CViewTree::kIndentation / 2;
    };
    struct Case {
        const char* what;
        int x, top, bottom;
        bool drawn;
    };
    const Case cases[] = {
        {"the only top-level line has nothing above or below", column(0), h + 2, 5 * h, false},
        {"the children's column passes by the inner line", column(1), 3 * h, 4 * h, true},
        {"the last child's line ends at its middle", column(1), 4 * h + h / 2 + 2, 5 * h, false},
        {"and reaches it from above", column(1), 4 * h, 4 * h + h / 2 - 1, true},
        {"the inner line joins its parent", column(2), 3 * h, 3 * h + h / 2 - 1, true},
        {"the inner line is its parent's last", column(2), 3 * h + h / 2 + 2, 4 * h, false},
        {"a stub leads to each line's image", column(1) + 3, h + h / 2 - 1, h + h / 2 + 2, true},
    };
    for (const Case& c : cases) EXPECT_EQ(inked(c.x, c.top, c.bottom), c.drawn) << c.what;

    // The focus mark: the first line's picture changes when the tree takes
    // the focus, though no line is current.
    tree.setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(tree.hasFocus());
    const QImage focused = tree.grab().toImage();
    EXPECT_NE(focused.copy(0, 0, picture.width(), h), picture.copy(0, 0, picture.width(), h));
    EXPECT_EQ(focused.copy(0, h, picture.width(), h), picture.copy(0, h, picture.width(), h));
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
    // A marked line says its mark in words; an unmarked one says nothing.
    EXPECT_TRUE(line->text(QAccessible::Description).isEmpty());
    tree.SetItemMark(value, LineMark::Closed);
    EXPECT_EQ(line->text(QAccessible::Description), QStringLiteral("closed since the last refresh"));

    tree.SetExpanded(group, true);
    EXPECT_EQ(access->childCount(), 4);
    EXPECT_TRUE(groupLine->state().expanded);
    EXPECT_EQ(access->child(2)->text(QAccessible::Name), QStringLiteral("Inner"));
    tree.DeleteItem(value);
    EXPECT_FALSE(line->isValid());
    EXPECT_TRUE(line->text(QAccessible::Name).isEmpty());
}

// Ctrl+C and the context menu, opened by the right button, the Menu key or
// Shift+F10: Copy puts the selected line and every line under it, open or
// closed, on the clipboard (and is disabled without a selection), Copy All
// the report exactly as the command line prints it, and Expand All and
// Collapse All open and close every item with children.
TEST_F(PaneTest, CopyCommandsAndExpandCollapseAllFromKeysAndTheContextMenu) {
    const std::vector<CNetworkDataView*> panes = ShowPanes({14, 17, 11});
    QClipboard* clipboard = QGuiApplication::clipboard();
    const std::string untouched = "(untouched)";

    // Gives a command as the user does: Ctrl+C, or the menu opened on the
    // tree and an entry picked with the mouse (Copy enabled only with a
    // selection).
    enum class Via { CtrlC, RightClick, MenuKey, ShiftF10 };
    const auto command = [](CViewTree& tree, Via via, HTREEITEM line, const QString& entry) {
        tree.setFocus();
        if (via == Via::CtrlC) {
            QTest::keySequence(&tree, QKeySequence::Copy);
            return;
        }
        if (via == Via::RightClick) {
            // Through the window, which turns the press into a context menu
            // event as the windowing system does.
            QWindow* window = tree.window()->windowHandle();
            const QPoint at = tree.ItemRect(line).topLeft() + QPoint(30, tree.RowHeight() / 2);
            QTest::mouseClick(window, Qt::RightButton, {}, window->mapFromGlobal(tree.mapToGlobal(at)));
        } else if (via == Via::MenuKey) {
            QTest::keyClick(&tree, Qt::Key_Menu);
        } else {
            QTest::keyClick(&tree, Qt::Key_F10, Qt::ShiftModifier);
        }
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        QStringList entries;
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            if (action->isSeparator()) continue;
            entries << action->text();
            if (action->text() == entry) chosen = action;
            if (action->text() == QStringLiteral("Copy")) {
                EXPECT_EQ(action->isEnabled(), tree.CurrentItem() != nullptr);
            }
        }
        EXPECT_EQ(entries, QStringList({"Copy", "Copy All", "Expand All", "Collapse All"}));
        ASSERT_NE(chosen, nullptr) << entry.toStdString();
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
        if (menu->isVisible()) menu->close();  // a disabled entry leaves it open
    };

    // Copy All of a real report equals what `tessaline --print KIND` writes.
    for (CNetworkDataView* pane : {panes[0], panes[1]}) {
        command(pane->Tree(), Via::MenuKey, nullptr, QStringLiteral("Copy All"));
        MemoryTree printed;
        CNetworkReport report(pane->objectName().toInt(), DeferSnapshot{});
        report.SetReportTree(&printed);
        report.BuildReport();
        ASSERT_GT(printed.ItemCount(), 1u);
        EXPECT_EQ(clipboard->text().toStdString(), printed.Print()) << pane->objectName().toStdString();
    }

    CViewTree& tree = panes[2]->Tree();
    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"Root", kImageRoot);
    tree.SetItemBold(root);
    HTREEITEM group = tree.AppendItem(root, u"Group", kImageGroup);
    tree.AppendItem(group, u"Inner: 1", kImageValue);
    HTREEITEM sub = tree.AppendItem(group, u"Sub", kImageGroup);
    tree.AppendItem(sub, u"Deep \u00e9l\u00e8ve", kImageValue);
    HTREEITEM value = tree.AppendItem(root, u"Value: 2", kImageValue);
    HTREEITEM second = tree.AppendItem(TVI_ROOT, u"Second", kImageRoot);
    tree.AppendItem(second, u"Leaf", kImageValue);
    tree.Expand(root);
    QApplication::processEvents();
    const std::string all(
        "Root\n  Group\n    Inner: 1\n    Sub\n      Deep \u00e9l\u00e8ve\n  Value: 2\nSecond\n  Leaf\n");

    struct Case {
        const char* what;
        HTREEITEM select;  // selected before the command
        Via via;
        HTREEITEM click;  // the line under the right button
        QString entry;
        std::string clipboard;
        HTREEITEM current;  // selected after
        std::vector<HTREEITEM> open;
    };
    const std::vector<HTREEITEM> onlyRoot = {root};
    const std::vector<HTREEITEM> every = {root, group, sub, second};
    const Case cases[] = {
        {"Ctrl+C on a closed item copies what is under it", group, Via::CtrlC, nullptr, {},
         "Group\n  Inner: 1\n  Sub\n    Deep \u00e9l\u00e8ve\n", group, onlyRoot},
        {"the right button selects the line it copies", root, Via::RightClick, value, "Copy", "Value: 2\n",
         value, onlyRoot},
        {"Menu key, Copy on a top-level item", root, Via::MenuKey, nullptr, "Copy",
         all.substr(0, all.find("Second")), root, onlyRoot},
        {"Copy All", value, Via::ShiftF10, nullptr, "Copy All", all, value, onlyRoot},
        {"Expand All opens every item with children", value, Via::MenuKey, nullptr, "Expand All", untouched,
         value, every},
        {"Ctrl+C on a line shown by Expand All", sub, Via::CtrlC, nullptr, {}, "Sub\n  Deep \u00e9l\u00e8ve\n",
         sub, every},
        {"Collapse All closes them and selects the top-level line", group, Via::RightClick, sub, "Collapse All",
         untouched, root, {}},
        {"no selection: Copy is disabled", nullptr, Via::ShiftF10, nullptr, "Copy", untouched, nullptr, {}},
        {"no selection: Ctrl+C copies nothing", nullptr, Via::CtrlC, nullptr, {}, untouched, nullptr, {}},
        {"no selection: Copy All", nullptr, Via::MenuKey, nullptr, "Copy All", all, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clipboard->setText(QString::fromStdString(untouched));
        tree.SetCurrentItem(c.select);
        command(tree, c.via, c.click, c.entry);
        EXPECT_EQ(clipboard->text().toStdString(), c.clipboard);
        EXPECT_EQ(tree.CurrentItem(), c.current);
        for (HTREEITEM item : every)
            EXPECT_EQ(tree.IsExpanded(item), std::find(c.open.begin(), c.open.end(), item) != c.open.end())
                << QString::fromStdU16String(tree.Text(item)).toStdString();
    }
    EXPECT_EQ(tree.ShownLineCount(), 2u);
}

// A line cut off at the tree's right edge shows its whole text in a tooltip
// when the pointer rests on it, a line that fits none.  The width is that of
// the tree's own font: narrow letters of a proportional font may need more
// room there, wide ones less.
TEST_F(PaneTest, ALineCutOffAtTheEdgeShowsItsWholeTextAsATooltip) {
    CNetworkDataView* pane = ShowPanes({11})[0];
    m_window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_window));
    CViewTree& tree = pane->Tree();
    const QFontMetricsF own(tree.font());
    const QFontMetricsF other(m_window.font());
    const qreal width = tree.width();
    const auto repeated = [](QChar c, qreal advance, qreal room) {
        return QString(static_cast<qsizetype>(std::ceil(room / advance)), c).toStdU16String();
    };
    const std::u16string narrow = repeated(u'i', own.horizontalAdvance(u'i'), width + 10);
    const std::u16string wide = repeated(u'W', own.horizontalAdvance(u'W'), width - 150);
    ASSERT_LT(other.horizontalAdvance(QString::fromStdU16String(narrow)), width - 150);
    ASSERT_GT(other.horizontalAdvance(QString::fromStdU16String(wide)), width);
    std::u16string words;
    for (int i = 0; i < 200 && own.horizontalAdvance(QString::fromStdU16String(words)) <= width; ++i)
        words += u"counter " + QString::number(i).toStdU16String() + u", ";
    words += u"end";

    tree.DeleteAllItems();
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"Root", kImageRoot);
    tree.Expand(root);

    struct Tip : QObject {
        int seen = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::ToolTip) ++seen;
            return false;
        }
    } tips;
    tree.installEventFilter(&tips);

    struct Case {
        const char* what;
        std::u16string text;
        bool tip;
    };
    const Case cases[] = {
        {"a short line", u"Value: 1", false},
        {"a long line", words, true},
        {"wide letters that fit in the tree's font", wide, false},
        {"narrow letters that do not", narrow, true},
    };
    std::vector<HTREEITEM> lines;
    for (const Case& c : cases) lines.push_back(tree.AppendItem(root, c.text, kImageValue));
    QApplication::processEvents();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const int seen = tips.seen;
        const QRect line = tree.ItemRect(lines[i]);
        ASSERT_FALSE(line.isEmpty());
        QTest::mouseMove(&tree, QPoint(line.left() + 30 + static_cast<int>(i), line.center().y()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return tips.seen > seen; }, 5000));
        const QString text = QString::fromStdU16String(c.text);
        if (c.tip) {
            EXPECT_TRUE(QToolTip::isVisible());
            EXPECT_EQ(QToolTip::text(), text);
        } else {
            EXPECT_FALSE(QToolTip::isVisible() && QToolTip::text() == text);
            EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000));
        }
    }
    tree.removeEventFilter(&tips);
    // The last tip goes, and its label is deleted, before the application
    // ends: one still fading out when it ends is never freed.
    QToolTip::hideText();
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000));
    // Under load the label's deletion can still be pending behind its
    // timers: wait until no tip label is left, deleting what waits.
    const auto tipLabels = [] {
        int n = 0;
        for (const QWidget* w : QApplication::allWidgets())
            if (std::string_view(w->metaObject()->className()) == "QTipLabel") ++n;
        return n;
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return tipLabels() == 0;
        },
        3000));
    QTest::qWait(50);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
