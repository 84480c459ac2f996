// Room and reach of the panes in the whole window, offscreen and under an X
// server: the first layout shows whole socket lines and every tab at any
// screen size (CTest runs the layout test once per size), tabs show short
// titles only where the whole ones do not fit, Ctrl+Tab and Ctrl+PageDown
// walk the focused group, a click on a tab puts the focus in its pane, a
// tab dragged away takes its pane out of the group, and the socket panes
// say what they show in their status line.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTabBar>
#include <QTest>
#include <QToolButton>
#include <memory>
#include <vector>

#include "AppEnvironment.h"
#include "CAboutDlg.h"
#include "CMainFrame.h"
#include "CNetworkDataView.h"
#include "CPaneStatus.h"
#include "CTessalineApp.h"
#include "CViewTree.h"
#include "PaneTabs.h"
#include "Resources.h"
#include "SavedLayout.h"

namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }

void Settle() {
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// A TCP line as the pane writes one for a browser's connection.
constexpr std::u16string_view kTcpLine =
    u"010.000.002.015:51234  => 142.250.185.078:443    [    ESTABLISHED: PID  4321 : firefox-esr ]";

class Reach : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(CTessalineApp::SettingsFilePath());
        QSettings settings(CTessalineApp::SettingsFilePath(), QSettings::IniFormat);
        settings.setValue(Q("Workspace/FirstRun"), 0);
    }
    void TearDown() override { app_.reset(); }

    void Start() {
        app_ = std::make_unique<CTessalineApp>();
        app_->m_messageHook = [](QWidget*, const QString&) {};
        app_->m_runAboutBox = [](CAboutDlg&) {};
        ASSERT_TRUE(app_->InitInstance({}));
        Settle();
        // The focus is a window's while it is active; under an X server
        // without a window manager the test makes it so.
        Frame().activateWindow();
        if (!QTest::qWaitForWindowActive(&Frame(), 5000)) ADD_FAILURE() << "the window did not become active";
        Settle();
    }
    CMainFrame& Frame() { return *app_->MainFrame(); }

    // The tab bar of the socket group, and the panes of its tabs in order.
    QTabBar* SocketBar() {
        for (QTabBar* bar : Frame().PaneTabBars())
            for (int i = 0; i < bar->count(); ++i)
                if (bar->isVisible() && Frame().PaneOfTab(bar, i) == Frame().m_paneTcpSockets) return bar;
        return nullptr;
    }
    std::vector<CNetworkDataView*> TabPanes(QTabBar* bar) {
        std::vector<CNetworkDataView*> panes;
        for (int i = 0; i < bar->count(); ++i) panes.push_back(Frame().PaneOfTab(bar, i));
        return panes;
    }
    // The pane the focus is in; null for none.
    CNetworkDataView* FocusedPane() {
        const QWidget* focus = QApplication::focusWidget();
        for (CNetworkDataView* pane : Frame().Panes())
            if (focus != nullptr && (pane == focus || pane->isAncestorOf(focus))) return pane;
        return nullptr;
    }

    // Every tab bar of panes in view shows all its tabs whole, no scroll
    // arrow, each tab's tooltip its pane's caption; the socket group shows
    // a TCP line whole.
    void ExpectWholeLinesAndTabs(const char* when) {
        SCOPED_TRACE(when);
        CMainFrame& frame = Frame();
        CViewTree& tree = frame.m_paneTcpSockets->Tree();
        CViewTree line;
        line.setFont(tree.font());
        line.setIconSize(tree.iconSize());
        HTREEITEM root = line.AppendItem(TVI_ROOT, u"TCP Connections", 0);
        line.AppendItem(root, kTcpLine, 0);
        line.Expand(root);
        const int needed = line.ContentWidth() + tree.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &tree);
        EXPECT_GE(tree.width(), needed) << "a TCP line of " << needed << " px in a tree of " << tree.width();
        int bars = 0;
        for (QTabBar* bar : frame.PaneTabBars()) {
            if (!bar->isVisible()) continue;
            ++bars;
            for (int i = 0; i < bar->count(); ++i) {
                const CNetworkDataView* pane = frame.PaneOfTab(bar, i);
                ASSERT_NE(pane, nullptr) << bar->tabText(i).toStdString();
                EXPECT_TRUE(bar->rect().contains(bar->tabRect(i))) << bar->tabText(i).toStdString();
                EXPECT_EQ(bar->tabToolTip(i), pane->windowTitle());
            }
            for (const QToolButton* arrow : bar->findChildren<QToolButton*>())
                EXPECT_FALSE(arrow->isVisible()) << "scroll arrows beside " << bar->tabText(0).toStdString();
        }
        EXPECT_EQ(bars, 4);
    }

    std::unique_ptr<CTessalineApp> app_;
};

// CTest runs this at several screen sizes.
TEST_F(Reach, TheFirstLayoutShowsWholeSocketLinesAndEveryTab) {
    Start();
    CMainFrame& frame = Frame();
    ExpectWholeLinesAndTabs("first layout");
    const int right = frame.AreaExtent(Qt::RightDockWidgetArea);
    const int left = frame.AreaExtent(Qt::LeftDockWidgetArea);

    // Maximised; with no window manager to do it (an X server of the
    // test's own), as large as the screen.
    frame.showMaximized();
    Settle();
    const QRect available = frame.screen()->availableGeometry();
    if (frame.width() < available.width() * 9 / 10) {
        frame.setGeometry(available);
        Settle();
    }
    ExpectWholeLinesAndTabs("maximised");
    // The panes keep what they had, and get what they want as far as the
    // document can give way.
    EXPECT_GE(frame.AreaExtent(Qt::RightDockWidgetArea), right);
    EXPECT_GE(frame.AreaExtent(Qt::LeftDockWidgetArea), left);
    const int least = frame.centralWidget()->minimumWidth();
    const bool documentAtLeast = frame.centralWidget()->width() <= least + 1;
    EXPECT_TRUE(documentAtLeast ||
                frame.AreaExtent(Qt::RightDockWidgetArea) >= frame.WantedExtent(Qt::RightDockWidgetArea))
        << "the document " << frame.centralWidget()->width() << " px beside sockets of "
        << frame.AreaExtent(Qt::RightDockWidgetArea) << " that want " << frame.WantedExtent(Qt::RightDockWidgetArea);

    // Moved about and reset in the large window.
    frame.m_paneUdpSockets->setFloating(true);
    frame.resizeDocks({frame.m_paneTcpSockets}, {300}, Qt::Horizontal);
    Settle();
    frame.OnCommand(ids::ID_RESET_LAYOUT);
    Settle();
    ExpectWholeLinesAndTabs("reset in the large window");
}

TEST_F(Reach, TabsShowShortTitlesOnlyWhereTheWholeOnesDoNotFit) {
    Start();
    CMainFrame& frame = Frame();
    QTabBar* bar = SocketBar();
    ASSERT_NE(bar, nullptr);
    const auto shown = [bar] {
        QStringList titles;
        for (int i = 0; i < bar->count(); ++i) titles << ShownTabTitle(bar, i);
        return titles;
    };
    const auto whole = [bar] {
        QStringList titles;
        for (int i = 0; i < bar->count(); ++i) titles << bar->tabText(i);
        return titles;
    };
    // Narrow: short titles, the whole ones in the captions and tooltips.
    frame.resize(1200, 800);
    frame.resizeDocks({frame.m_paneTcpSockets}, {600}, Qt::Horizontal);
    Settle();
    EXPECT_EQ(shown(), (QStringList{Q("TCP"), Q("UDP"), Q("TCPv6"), Q("UDPv6"), Q("Log"), Q("Processes"), Q("Ports")}));
    EXPECT_EQ(whole(),
              (QStringList{Q("Active TCP Sockets"), Q("Active UDP Sockets"), Q("Active TCPv6 Sockets"),
                           Q("Active UDPv6 Sockets"), Q("Connection Log"), Q("Processes"), Q("Listening Ports")}));
    for (int i = 0; i < bar->count(); ++i) EXPECT_EQ(bar->tabToolTip(i), bar->tabText(i));
    EXPECT_EQ(frame.m_paneTcpSockets->windowTitle(), Q("Active TCP Sockets"));
    // Wide enough: the whole titles again.
    frame.resize(1900, 800);
    Settle();
    frame.resizeDocks({frame.m_paneTcpSockets}, {1400}, Qt::Horizontal);
    Settle();
    EXPECT_EQ(shown(), whole());
    for (int i = 0; i < bar->count(); ++i) EXPECT_TRUE(bar->rect().contains(bar->tabRect(i)));
}

TEST_F(Reach, CtrlTabAndCtrlPageDownWalkTheFocusedGroupRound) {
    Start();
    CMainFrame& frame = Frame();
    QTabBar* bar = SocketBar();
    ASSERT_NE(bar, nullptr);
    const std::vector<CNetworkDataView*> group = TabPanes(bar);
    ASSERT_EQ(group.size(), 7u);
    ASSERT_EQ(group.front(), frame.m_paneTcpSockets);
    frame.m_paneTcpSockets->setFocus();
    Settle();
    ASSERT_EQ(FocusedPane(), frame.m_paneTcpSockets);
    const auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        Settle();
    };
    for (std::size_t i = 1; i <= group.size(); ++i) {
        press(Qt::Key_Tab, Qt::ControlModifier);
        const CNetworkDataView* expected = group[i % group.size()];
        EXPECT_TRUE(expected->IsOnScreen()) << i;
        EXPECT_EQ(FocusedPane(), expected) << i;
    }
    // Back round the end, as X11 sends Ctrl+Shift+Tab, then by pages.
    press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(FocusedPane(), group.back());
    press(Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(FocusedPane(), group.front());
    press(Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(FocusedPane(), group.back());
    EXPECT_TRUE(group.back()->IsOnScreen());

    // Tab alone still moves among the pane's own controls.
    press(Qt::Key_Tab, Qt::NoModifier);
    EXPECT_EQ(FocusedPane(), group.back());
    EXPECT_TRUE(group.back()->IsOnScreen());

    // In the document the keys are the document area's: the group stays.
    QMdiSubWindow* document = frame.ShownDocument();
    ASSERT_NE(document, nullptr);
    document->widget()->setFocus();
    Settle();
    const int current = bar->currentIndex();
    press(Qt::Key_Tab, Qt::ControlModifier);
    press(Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(bar->currentIndex(), current);
    EXPECT_EQ(FocusedPane(), nullptr);
}

TEST_F(Reach, AClickOnATabPutsTheFocusInItsPane) {
    Start();
    CMainFrame& frame = Frame();
    QTabBar* bar = SocketBar();
    ASSERT_NE(bar, nullptr);
    QMdiSubWindow* document = frame.ShownDocument();
    ASSERT_NE(document, nullptr);
    for (const int index : {1, 1, 4}) {
        // From the document, on another tab and on the tab in view.
        document->widget()->setFocus();
        Settle();
        ASSERT_EQ(FocusedPane(), nullptr);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        Settle();
        CNetworkDataView* pane = frame.PaneOfTab(bar, index);
        EXPECT_TRUE(pane->IsOnScreen()) << index;
        EXPECT_EQ(FocusedPane(), pane) << index;
        EXPECT_EQ(QApplication::focusWidget(), &pane->Tree()) << index;
    }
}

TEST_F(Reach, ATabDraggedAwayTakesItsPaneOutOfTheGroup) {
    Start();
    CMainFrame& frame = Frame();
    const QMainWindow::DockOptions options = frame.dockOptions();
    CNetworkDataView* udp = frame.m_paneUdpSockets;
    // A floating pane where the pointer first leaves the bar: the two do not
    // become a floating group (the saved layout holds none).
    CNetworkDataView* floating = frame.m_paneProcesses;
    floating->setFloating(true);
    Settle();
    QTabBar* bar = SocketBar();
    ASSERT_NE(bar, nullptr);
    int index = -1;
    for (int i = 0; i < bar->count(); ++i)
        if (frame.PaneOfTab(bar, i) == udp) index = i;
    ASSERT_GE(index, 0);
    // Pressed, moved along the bar, then up over the document and let go.
    const QPoint start = bar->tabRect(index).center();
    floating->setGeometry(QRect(bar->mapToGlobal(start + QPoint(20, -80)) - QPoint(100, 30), QSize(200, 60)));
    Settle();
    QTest::mousePress(bar, Qt::LeftButton, {}, start);
    const QPoint document =
        bar->mapFromGlobal(frame.centralWidget()->mapToGlobal(frame.centralWidget()->rect().center()));
    const std::vector<QPoint> path = {start + QPoint(20, 0), start + QPoint(20, -20), start + QPoint(20, -80),
                                      start + QPoint(20, -200), document};
    for (const QPoint& at : path) {
        QMouseEvent move(QEvent::MouseMove, QPointF(at), bar->mapToGlobal(QPointF(at)), Qt::NoButton, Qt::LeftButton,
                         {});
        QApplication::sendEvent(bar, &move);
        Settle();
    }
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(document), bar->mapToGlobal(QPointF(document)),
                        Qt::LeftButton, Qt::NoButton, {});
    QApplication::sendEvent(bar, &release);
    Settle();
    EXPECT_TRUE(udp->isFloating());
    EXPECT_TRUE(udp->isVisible());
    // The group's other panes stay together, and captions go on dragging
    // their pane alone.
    bar = SocketBar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->count(), 5);
    for (int i = 0; i < bar->count(); ++i) EXPECT_NE(frame.PaneOfTab(bar, i), udp);
    EXPECT_EQ(frame.dockOptions(), options);
    EXPECT_TRUE(floating->isFloating());
    EXPECT_TRUE(IsSoundDockState(frame.saveState()));
}

TEST_F(Reach, SocketPanesSayWhatTheyShowInTheirStatusLine) {
    // A listening socket of the test's own on loopback, so that the TCP
    // pane has a line in that state.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{listener};

    Start();
    CMainFrame& frame = Frame();
    CNetworkDataView* tcp = frame.m_paneTcpSockets;
    ASSERT_NE(tcp->StatusLine(), nullptr);
    EXPECT_EQ(frame.m_paneIpStats->StatusLine(), nullptr);
    QElapsedTimer waited;
    waited.start();
    while (tcp->Tree().ChildCount(tcp->SocketRoot()) == 0 && waited.elapsed() < 10000) {
        QTest::qWait(50);
    }
    const std::size_t lines = tcp->Tree().ChildCount(tcp->SocketRoot());
    ASSERT_GT(lines, 0u);
    const QString status = tcp->StatusLine()->FullText();
    EXPECT_TRUE(status.startsWith(QString::number(lines) + (lines == 1 ? Q(" row") : Q(" rows"))))
        << status.toStdString();
    EXPECT_TRUE(status.contains(Q("LISTENING"))) << status.toStdString();
    EXPECT_TRUE(status.contains(Q("updated"))) << status.toStdString();
    EXPECT_FALSE(status.contains(Q("Paused")));

    frame.OnCommand(ids::ID_PAUSE);
    EXPECT_TRUE(tcp->StatusLine()->FullText().endsWith(Q("Paused"))) << tcp->StatusLine()->FullText().toStdString();
    frame.OnCommand(ids::ID_PAUSE);
    EXPECT_FALSE(tcp->StatusLine()->FullText().contains(Q("Paused")));

    // A view that shows fewer rows says so through the pane.
    tcp->SetStatusCounts(3, 10, {{"ESTABLISHED", 2}, {"LISTENING", 1}});
    EXPECT_TRUE(tcp->StatusLine()->FullText().startsWith(Q("3 of 10 rows \u00b7 ESTABLISHED 2 \u00b7 LISTENING 1")))
        << tcp->StatusLine()->FullText().toStdString();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);
    return RUN_ALL_TESTS();
}
