// The data pane under Qt's offscreen platform: toolbar, timer, visibility,
// the refresh command and the layout.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QAbstractItemDelegate>
#include <QMainWindow>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "CNetworkDataView.h"
#include "IpHelper.h"

namespace {

class PaneTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TESSALINE_LIBRARY_PATH", PROVIDER_DIR, 1);
        static int argc = 1;
        static char name[] = "pane_test";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete s_app;
        s_app = nullptr;
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

    static QApplication* s_app;
    QMainWindow m_window;
};
QApplication* PaneTest::s_app = nullptr;

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
    ASSERT_EQ(tree.topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree.topLevelItem(0);
    ASSERT_EQ(root->childCount(), 5);
    QTreeWidgetItem* first = root->child(0);

    pane->ToolBar().actions()[0]->trigger();
    EXPECT_EQ(pane->UpdateCount(), 1);
    pane->ToolBar().actions()[0]->trigger();
    EXPECT_EQ(pane->UpdateCount(), 2);
    EXPECT_FALSE(pane->m_bRefreshRequested);
    EXPECT_EQ(tree.topLevelItem(0), root);
    EXPECT_EQ(root->child(0), first);
    EXPECT_EQ(root->childCount(), 5);
    EXPECT_TRUE(first->text(0).startsWith(QStringLiteral("InDatagrams     ")));
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
    QTreeWidgetItem* root = pane->Tree().topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->font(0).bold());
    EXPECT_FALSE(root->icon(0).isNull());
    EXPECT_TRUE(root->isExpanded());
    EXPECT_EQ(pane->Tree().iconSize(), QSize(16, 15));
}

// The report column is as wide as the widest line shown, worked out from
// the fixed pitch rather than by laying each line out: it must come to what
// the item delegate says of every shown line, bold, padded and non-Latin
// lines included, and leave out the lines under a collapsed item.
TEST_F(PaneTest, ReportColumnFitsEveryShownLineAndNoHiddenOne) {
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

    // What the view itself would take for the shown lines: the delegate's
    // width plus one indentation per level below the decorated root.
    const auto expected = [&tree] {
        QStyleOptionViewItem option;
        option.initFrom(&tree);
        option.font = tree.font();
        option.fontMetrics = QFontMetrics(tree.font());
        option.decorationSize = tree.iconSize();
        int widest = 0;
        std::vector<std::pair<QModelIndex, int>> pending = {{QModelIndex(), 0}};  // parent, depth
        while (!pending.empty()) {
            const auto [parent, depth] = pending.back();
            pending.pop_back();
            for (int row = 0; row < tree.model()->rowCount(parent); ++row) {
                const QModelIndex index = tree.model()->index(row, 0, parent);
                widest = std::max(widest, tree.itemDelegate()->sizeHint(option, index).width() +
                                              (depth + 1) * tree.indentation());
                if (tree.isExpanded(index)) pending.emplace_back(index, depth + 1);
            }
        }
        return widest;
    };
    const int collapsed = tree.sizeHintForColumn(0);
    EXPECT_GE(collapsed, expected());
    EXPECT_LE(collapsed, expected() + 2);

    tree.Expand(group);
    const int expanded = tree.sizeHintForColumn(0);
    EXPECT_GT(expanded, collapsed);
    EXPECT_GE(expanded, expected());
    EXPECT_LE(expanded, expected() + 2);
}

}  // namespace
