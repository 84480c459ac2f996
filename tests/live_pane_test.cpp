// A TCP pane in a window with a socket worker, on scripted tables: its
// selection and its view follow sockets, not row numbers, across refreshes,
// and a paused pane keeps its lines until it resumes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CNetworkDataView.h"
#include "CSocketFeed.h"
#include "FakeReportFixture.h"
#include "QtAppTest.h"

namespace {

class LivePane : public QtAppTest {
protected:
    void SetUp() override {
        fake_ = UseFreshFakeProvider();
        ASSERT_NE(fake_, nullptr);
    }
    void TearDown() override {
        pane_.reset();
        feed_.reset();
        iphelper_testing::ResetProcessState();
    }

    // Socket v: 10.0.v.1:(2000 + v) to 192.168.1.v:(3000 + v), established.
    void Script(const std::vector<unsigned>& sockets) {
        ASSERT_LE(sockets.size(), kFakeMaxSocketRows);
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            const unsigned v = sockets[i];
            MIB_TCPROW_OWNER_PID& row = fake_->tcpRows[i];
            row = {};
            row.dwState = 5;
            const unsigned char local[4] = {10, 0, static_cast<unsigned char>(v), 1};
            const unsigned char remote[4] = {192, 168, 1, static_cast<unsigned char>(v)};
            std::memcpy(&row.dwLocalAddr, local, 4);
            std::memcpy(&row.dwRemoteAddr, remote, 4);
            row.dwLocalPort = htons(static_cast<std::uint16_t>(2000 + v));
            row.dwRemotePort = htons(static_cast<std::uint16_t>(3000 + v));
        }
        fake_->tcpRowCount = fake_->tcpTable.rows[0] = static_cast<unsigned>(sockets.size());
    }
    static std::vector<unsigned> Range(unsigned first, unsigned last) {
        std::vector<unsigned> v;
        for (unsigned i = first; i <= last; ++i) v.push_back(i);
        return v;
    }
    static std::u16string Port(unsigned v) {
        const std::string text = ":" + std::to_string(2000 + v);
        return std::u16string(text.begin(), text.end());
    }

    // Makes the feed and the pane, a few lines high, and waits for its rows.
    void Open() {
        feed_ = std::make_unique<CSocketFeed>();
        pane_ = std::make_unique<CNetworkDataView>(kKindTcpConnections, DeferSnapshot{});
        spy_ = std::make_unique<QSignalSpy>(pane_.get(), &CNetworkDataView::rowsShown);
        ASSERT_TRUE(pane_->Create());
        pane_->resize(420, 260);
        pane_->show();
        WaitForRows();
    }
    void WaitForRows() {
        const int before = static_cast<int>(spy_->count());
        ASSERT_TRUE(spy_->count() > before || spy_->wait(5000)) << "no rows from the worker";
        QApplication::processEvents();
    }
    void Refresh() {
        pane_->OnRefresh();
        WaitForRows();
    }
    CViewTree& Tree() { return pane_->Tree(); }
    HTREEITEM LineOf(unsigned v) {
        HTREEITEM root = Tree().GetChildItem(TVI_ROOT);
        for (HTREEITEM l = Tree().GetChildItem(root); l != nullptr; l = Tree().GetNextSiblingItem(l))
            if (Tree().Text(l).find(Port(v)) != std::u16string::npos) return l;
        return nullptr;
    }
    HTREEITEM TopLine() {
        Tree().grab();  // a paint: the view settles after the changes
        return Tree().ShownLine(static_cast<std::size_t>(Tree().RowAt(1)));
    }

    FakeControl* fake_ = nullptr;
    std::unique_ptr<CSocketFeed> feed_;
    std::unique_ptr<CNetworkDataView> pane_;
    std::unique_ptr<QSignalSpy> spy_;
};

TEST_F(LivePane, SelectionAndViewFollowTheirSocketsAcrossRefreshes) {
    Script(Range(0, 31));
    Open();
    ASSERT_EQ(Tree().ChildCount(Tree().GetChildItem(TVI_ROOT)), 32u);
    HTREEITEM selected = LineOf(20);
    Tree().SetCurrentItem(selected);
    auto* bar = Tree().findChild<QScrollBar*>();
    ASSERT_NE(bar, nullptr);
    bar->setValue(Tree().RowOf(LineOf(10)) * Tree().RowHeight());
    ASSERT_EQ(TopLine(), LineOf(10));

    // Five sockets open ahead of them all, five at the end close.
    std::vector<unsigned> table = Range(100, 104);
    for (unsigned v : Range(0, 26)) table.push_back(v);
    Script(table);
    Refresh();
    EXPECT_EQ(Tree().CurrentItem(), selected);
    EXPECT_EQ(TopLine(), LineOf(10));
    EXPECT_EQ(Tree().Mark(LineOf(100)), LineMark::New);
    EXPECT_EQ(Tree().Mark(LineOf(31)), LineMark::Closed);

    // The selected socket closes: its line stays one refresh, marked, then
    // the selection passes to its neighbour.
    std::erase(table, 20u);
    Script(table);
    Refresh();
    EXPECT_EQ(Tree().CurrentItem(), selected);
    EXPECT_EQ(Tree().Mark(selected), LineMark::Closed);
    Refresh();
    EXPECT_EQ(LineOf(20), nullptr);
    EXPECT_EQ(Tree().CurrentItem(), LineOf(21));
    EXPECT_EQ(TopLine(), LineOf(10));
}

TEST_F(LivePane, APausedPaneKeepsItsLinesAndResumesInOneStep) {
    Script(Range(0, 9));
    Open();
    pane_->SetPaused(true);
    Script(Range(5, 14));
    pane_->OnRefresh();
    // The table is still taken (for the log) but not shown.
    QTest::qWait(300);
    EXPECT_NE(LineOf(0), nullptr);
    EXPECT_EQ(LineOf(14), nullptr);
    pane_->SetPaused(false);
    WaitForRows();
    EXPECT_EQ(Tree().Mark(LineOf(0)), LineMark::Closed);
    EXPECT_EQ(Tree().Mark(LineOf(14)), LineMark::New);
    EXPECT_EQ(Tree().Mark(LineOf(7)), LineMark::None);
}


// A socket line opens by its button or the keys like any other item; its
// detail lines are written when it opens and follow it across refreshes.
TEST_F(LivePane, AnOpenedSocketLineShowsItsDetailsAndKeepsThem) {
    Script(Range(3, 6));
    Open();
    HTREEITEM line = LineOf(5);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(Tree().ChildCount(line), 0u);
    Tree().SetCurrentItem(line);
    QTest::keyClick(&Tree(), Qt::Key_Right);
    EXPECT_TRUE(Tree().IsExpanded(line));
    ASSERT_GT(Tree().ChildCount(line), 0u);
    // The fake owner table names no process.
    EXPECT_EQ(Tree().Text(Tree().Child(line, 0)), u"Owner not visible to this user");
    const std::size_t shown = Tree().ShownLineCount();

    Script(Range(0, 6));
    Refresh();
    EXPECT_EQ(LineOf(5), line);
    EXPECT_TRUE(Tree().IsExpanded(line));
    EXPECT_EQ(Tree().Text(Tree().Child(line, 0)), u"Owner not visible to this user");
    EXPECT_EQ(Tree().ShownLineCount(), shown + 3) << "three new lines, the details still open";
}

}  // namespace
