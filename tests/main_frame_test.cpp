// The application under Qt's offscreen platform, with settings and a data
// directory of the test's own: start-up order, settings, the ribbon, the
// panes and their tab groups, show/hide, auto-refresh, looks, the saved
// layout and the documents of the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QTest>
#include <QMenu>
#include <QStyle>
#include <QTabBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "AppEnvironment.h"
#include "CAboutDlg.h"
#include "AutoHide.h"
#include "CMainFrame.h"
#include "RemoteView.h"
#include "ConnectionLog.h"
#include "CFilterBar.h"
#include "CNetworkDataView.h"
#include "CTableView.h"
#include "CRibbonBar.h"
#include "CTessalineApp.h"
#include "Documents.h"
#include "Looks.h"
#include "SavedLayout.h"

namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }

// Ends the test process instead of letting a call that waits hang it.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
};

// What the process writes on stderr while it lives.
class StderrCapture {
public:
    StderrCapture() : m_saved(dup(2)), m_file(m_stream != nullptr ? fileno(m_stream) : -1) {
        std::fflush(stderr);
        if (m_saved >= 0 && m_file >= 0) dup2(m_file, 2);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        if (m_saved >= 0) {
            dup2(m_saved, 2);
            close(m_saved);
        }
        if (m_stream != nullptr) std::fclose(m_stream);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    QByteArray Text() const {
        std::fflush(stderr);
        QByteArray text;
        if (m_file < 0) return text;
        char buffer[4096];
        for (off_t at = 0; at < (off_t{1} << 24);) {
            const ssize_t n = pread(m_file, buffer, sizeof buffer, at);
            if (n <= 0) break;
            text.append(buffer, n);
            at += n;
        }
        return text;
    }

private:
    std::FILE* m_stream = std::tmpfile();
    int m_saved;
    int m_file;
};

// Removes whatever is at `path` (a directory with its content), now and at
// the end of the scope: a FIFO left behind would make the next reader wait.
class Removed {
public:
    explicit Removed(QByteArray path) : m_path(std::move(path)) { Remove(); }
    ~Removed() { Remove(); }
    Removed(const Removed&) = delete;
    Removed& operator=(const Removed&) = delete;

private:
    void Remove() const {
        std::error_code error;
        std::filesystem::remove_all(std::filesystem::path(m_path.toStdString()), error);
    }
    QByteArray m_path;
};

// The current directory changed for a scope.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const QByteArray& path) : m_saved(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (::chdir(path.constData()) != 0) ADD_FAILURE() << "cannot enter " << path.toStdString();
    }
    ~CurrentDirectory() {
        if (m_saved >= 0) {
            if (::fchdir(m_saved) != 0) ADD_FAILURE() << "cannot return to the directory";
            ::close(m_saved);
        }
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    int m_saved;
};


class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        CMainFrame::s_failPaneStep = -1;
    }
    void TearDown() override {
        app_.reset();
        CMainFrame::s_failPaneStep = -1;
    }

    static void ClearSettings() {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(kSettingsOrganization),
                           Q(kSettingsApplication));
        settings.clear();
        settings.sync();
    }
    static QVariant Setting(const char* entry) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(kSettingsOrganization),
                           Q(kSettingsApplication));
        return settings.value(Q("Workspace/") + Q(entry));
    }
    static void SetSetting(const char* entry, const QVariant& value) {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, Q(kSettingsOrganization),
                           Q(kSettingsApplication));
        settings.setValue(Q("Workspace/") + Q(entry), value);
        settings.sync();
    }

    // Starts the application; the About box, when it opens, is recorded and
    // closed at once.
    // Starts the application without reading the settings file behind its
    // back; the About box, when it opens, is counted and closed at once.
    bool StartAlone() {
        app_ = std::make_unique<CTessalineApp>();
        app_->m_messageHook = [](QWidget*, const QString&) {};
        app_->m_runAboutBox = [](CAboutDlg&) {};
        const bool ok = app_->InitInstance({});
        QApplication::processEvents();
        return ok;
    }
    bool Start(const QByteArrayList& files = {}) {
        app_ = std::make_unique<CTessalineApp>();
        app_->m_messageHook = [](QWidget*, const QString&) {};
        app_->m_runAboutBox = [this](CAboutDlg&) {
            aboutFirstRunValue_ = Setting("FirstRun");
            frameShownBeforeAbout_ = app_->MainFrame() != nullptr && app_->MainFrame()->isVisible();
        };
        const bool ok = app_->InitInstance(files);
        QApplication::processEvents();
        return ok;
    }
    CMainFrame& Frame() { return *app_->MainFrame(); }

    std::unique_ptr<CTessalineApp> app_;
    QVariant aboutFirstRunValue_;
    bool frameShownBeforeAbout_ = false;
};

// ------------------------------------------------------------ start-up

TEST_F(Shell, FirstStartWritesTheDefaultsAndShowsTheAboutBoxOnceAfterTheWindow) {
    ASSERT_TRUE(Start());
    EXPECT_EQ(Setting("ApplicationLook").toInt(), 216);
    EXPECT_EQ(app_->m_nApplicationLook, 216u);
    EXPECT_EQ(app_->m_nAboutBoxes, 1);
    EXPECT_EQ(aboutFirstRunValue_.toInt(), 0);  // written before the box opened
    EXPECT_TRUE(frameShownBeforeAbout_);
    EXPECT_EQ(Setting("FirstRun").toInt(), 0);
    EXPECT_TRUE(app_->m_bHighColorIcons);
    // The two context menus are registered.
    ASSERT_NE(app_->ContextMenu(Q("Edit")), nullptr);
    ASSERT_NE(app_->ContextMenu(Q("Explorer")), nullptr);
    EXPECT_EQ(app_->ContextMenu(Q("Edit"))->actions().size(), 3);
    EXPECT_EQ(app_->ContextMenu(Q("Explorer"))->actions().size(), 10);

    app_.reset();
    ASSERT_TRUE(Start());
    EXPECT_EQ(app_->m_nAboutBoxes, 0);  // only the very first run
}

// The first start places its window in the middle of the screen itself (a
// window manager would place it only after the About box had been centred
// on where the window seemed to be), and the About box opens in the middle
// of the window, wholly inside it.
TEST_F(Shell, TheFirstStartsAboutBoxOpensInTheMiddleOfTheWindow) {
    QRect about, window;
    app_ = std::make_unique<CTessalineApp>();
    app_->m_messageHook = [](QWidget*, const QString&) {};
    app_->m_runAboutBox = [&](CAboutDlg& dialog) {
        dialog.show();
        QApplication::processEvents();
        about = dialog.frameGeometry();
        window = app_->MainFrame()->frameGeometry();
        dialog.close();
    };
    ASSERT_TRUE(app_->InitInstance({}));
    ASSERT_EQ(app_->m_nAboutBoxes, 1);
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const auto near = [](const QPoint& a, const QPoint& b, int by) {
        return std::abs(a.x() - b.x()) <= by && std::abs(a.y() - b.y()) <= by;
    };
    // Within the room left for a window manager's frame.
    EXPECT_TRUE(near(window.center(), available.center(), 20))
        << window.x() << "," << window.y() << " " << window.width() << "x" << window.height();
    EXPECT_TRUE(window.contains(about)) << about.x() << "," << about.y() << " " << about.width() << "x"
                                        << about.height();
    EXPECT_TRUE(near(about.center(), window.center(), 2));
}

TEST_F(Shell, AnyOtherFirstRunValueShowsNoAboutBoxAndStays) {
    for (int value : {0, 2, -1}) {
        ClearSettings();
        SetSetting("FirstRun", value);
        ASSERT_TRUE(Start());
        EXPECT_EQ(app_->m_nAboutBoxes, 0) << value;
        EXPECT_EQ(Setting("FirstRun").toInt(), value);
        app_.reset();
    }
}

TEST_F(Shell, APaneThatCannotBeCreatedEndsTheStart) {
    CMainFrame::s_failPaneStep = 4;
    EXPECT_FALSE(Start());
    EXPECT_EQ(app_->MainFrame(), nullptr);
}

// --------------------------------------------------------------- panes

TEST_F(Shell, SixteenPanesInFourTabGroupsWithTheirCaptionsAndIds) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    // Construction in member order: kinds 14, 15, 17, 16, 18, 19, 12, 13, 11,
    // 10, then the IPv6 kinds 20, 21, 22, then the connection log, the
    // processes and the listening ports.
    std::vector<int> kinds;
    for (CNetworkDataView* pane : frame.Panes()) kinds.push_back(pane->m_nKind);
    EXPECT_EQ(kinds, (std::vector<int>{14, 15, 17, 16, 18, 19, 12, 13, 11, 10, 20, 21, 22, 23, 24, 25}));

    struct Expect {
        CNetworkDataView* pane;
        const char* caption;
        const char* id;
        Qt::DockWidgetArea area;
    };
    const Expect table[] = {
        {frame.m_paneNetworks, "Networks", "57348", Qt::LeftDockWidgetArea},
        {frame.m_paneAdapters, "Adapters", "57349", Qt::LeftDockWidgetArea},
        {frame.m_paneInterfaces, "Interfaces", "57350", Qt::LeftDockWidgetArea},
        {frame.m_paneProtocols, "Protocols", "57351", Qt::LeftDockWidgetArea},
        {frame.m_paneTcpSockets, "Active TCP Sockets", "57358", Qt::RightDockWidgetArea},
        {frame.m_paneUdpSockets, "Active UDP Sockets", "57356", Qt::RightDockWidgetArea},
        {frame.m_paneIcmpStats, "ICMP Statistics", "57354", Qt::LeftDockWidgetArea},
        {frame.m_paneIpStats, "IP Statistics", "57352", Qt::LeftDockWidgetArea},
        {frame.m_paneTcpStats, "TCP Statistics", "57357", Qt::LeftDockWidgetArea},
        {frame.m_paneUdpStats, "UDP Statistics", "57355", Qt::LeftDockWidgetArea},
        {frame.m_paneUdp6Sockets, "Active UDPv6 Sockets", "57360", Qt::RightDockWidgetArea},
        {frame.m_paneTcp6Sockets, "Active TCPv6 Sockets", "57361", Qt::RightDockWidgetArea},
        {frame.m_paneIp6Stats, "IPv6 Statistics", "57362", Qt::LeftDockWidgetArea},
        {frame.m_paneConnectionLog, "Connection Log", "57363", Qt::RightDockWidgetArea},
        {frame.m_paneProcesses, "Processes", "57364", Qt::RightDockWidgetArea},
        {frame.m_paneListeningPorts, "Listening Ports", "57365", Qt::RightDockWidgetArea},
    };
    const QIcon& icon = frame.m_paneNetworks->windowIcon();
    EXPECT_FALSE(icon.isNull());
    for (const Expect& e : table) {
        EXPECT_EQ(e.pane->windowTitle(), Q(e.caption));
        EXPECT_EQ(e.pane->objectName(), Q(e.id));
        EXPECT_EQ(frame.dockWidgetArea(e.pane), e.area) << e.caption;
        EXPECT_FALSE(e.pane->isHidden()) << e.caption;
        EXPECT_EQ(e.pane->windowIcon().cacheKey(), icon.cacheKey()) << e.caption;
    }
    // The groups, each with its first tab the active one.
    const auto group = [&](CNetworkDataView* first) {
        QList<QDockWidget*> tabs = frame.tabifiedDockWidgets(first);
        tabs.prepend(first);
        return tabs;
    };
    EXPECT_EQ(group(frame.m_paneNetworks).size(), 4);
    EXPECT_TRUE(group(frame.m_paneNetworks).contains(frame.m_paneProtocols));
    EXPECT_EQ(group(frame.m_paneTcpSockets).size(), 7);
    for (CNetworkDataView* socket : {frame.m_paneUdpSockets, frame.m_paneTcp6Sockets, frame.m_paneUdp6Sockets,
                                     frame.m_paneConnectionLog, frame.m_paneProcesses, frame.m_paneListeningPorts})
        EXPECT_TRUE(group(frame.m_paneTcpSockets).contains(socket)) << socket->windowTitle().toStdString();
    EXPECT_TRUE(group(frame.m_paneIpStats).contains(frame.m_paneIcmpStats));
    EXPECT_TRUE(group(frame.m_paneIpStats).contains(frame.m_paneIp6Stats));
    EXPECT_TRUE(group(frame.m_paneTcpStats).contains(frame.m_paneUdpStats));
    EXPECT_FALSE(group(frame.m_paneNetworks).contains(frame.m_paneIpStats));
    for (CNetworkDataView* first :
         {frame.m_paneNetworks, frame.m_paneTcpSockets, frame.m_paneIpStats, frame.m_paneTcpStats})
        EXPECT_TRUE(first->IsOnScreen()) << first->windowTitle().toStdString();
    for (CNetworkDataView* other : {frame.m_paneAdapters, frame.m_paneUdpSockets, frame.m_paneIcmpStats,
                                    frame.m_paneTcp6Sockets, frame.m_paneUdp6Sockets, frame.m_paneIp6Stats})
        EXPECT_FALSE(other->IsOnScreen()) << other->windowTitle().toStdString();
    // A pane behind another tab gets its content and report when it first
    // comes on screen.
    EXPECT_EQ(frame.m_paneAdapters->widget(), nullptr);
    frame.m_paneAdapters->raise();
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    ASSERT_NE(frame.m_paneAdapters->widget(), nullptr);
    CViewTree& adapters = frame.m_paneAdapters->Tree();
    EXPECT_EQ(adapters.Text(adapters.Child(TVI_ROOT, 0)), u"Adapter List");
    frame.m_paneNetworks->raise();
    // The sockets at the right edge and the others at the left as wide as
    // the first layout makes them (pane_reach_test says how wide).
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    const CMainFrame::FirstWidths first = frame.FirstLayoutWidths();
    EXPECT_GE(first.left, 250);
    EXPECT_GT(first.right, first.left);
    EXPECT_NEAR(frame.m_paneTcpSockets->width(), first.right, 2);
    EXPECT_NEAR(frame.m_paneNetworks->width(), first.left, 2);
    // No maximize button; the title with the document's.
    EXPECT_FALSE(frame.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(frame.windowTitle(), Q("Tessaline 2.1 - Tessaline1"));
}

TEST_F(Shell, ShowHideBoxesFollowThePanesAndAutorefreshAllSwitchesAllTen) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    const auto box = [&](int id) { return qobject_cast<QCheckBox*>(frame.Ribbon()->FindElement(id)); };
    for (const ToggleInfo& t : CMainFrame::ToggleTable()) {
        ASSERT_NE(box(t.commandId), nullptr);
        EXPECT_TRUE(box(t.commandId)->isChecked());
    }
    // Closing a pane clears its box; the box shows and activates it again.
    frame.m_paneAdapters->close();
    QApplication::processEvents();
    EXPECT_FALSE(box(32772)->isChecked());
    box(32772)->click();
    QApplication::processEvents();
    EXPECT_FALSE(frame.m_paneAdapters->isHidden());
    EXPECT_TRUE(frame.m_paneAdapters->IsOnScreen());
    EXPECT_TRUE(box(32772)->isChecked());
    // The command hides a shown pane.
    frame.OnCommand(32779);
    EXPECT_TRUE(frame.m_paneTcpStats->isHidden());
    EXPECT_FALSE(box(32779)->isChecked());

    // Autorefresh All: on for all ten, then off for all ten, whatever they were.
    frame.m_paneIpStats->m_bAutoRefresh = true;
    QCheckBox* all = box(57359);
    ASSERT_NE(all, nullptr);
    EXPECT_FALSE(all->isChecked());
    all->click();
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_TRUE(pane->m_bAutoRefresh);
    EXPECT_TRUE(all->isChecked());
    all->click();
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_FALSE(pane->m_bAutoRefresh);
    EXPECT_FALSE(all->isChecked());
}

// The live panes' commands: Pause (button and key) freezes every pane and
// says so in the title; Highlight Changes is kept in the settings; the log
// is saved as CSV or JSON by the name's extension.
TEST_F(Shell, PauseHighlightChangesAndSaveLog) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    auto* pause = qobject_cast<QToolButton*>(frame.Ribbon()->FindElement(32796));
    ASSERT_NE(pause, nullptr);
    pause->click();
    EXPECT_TRUE(frame.m_bPaused);
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_TRUE(pane->IsPaused());
    EXPECT_TRUE(frame.windowTitle().endsWith(Q(" [Paused]"))) << frame.windowTitle().toStdString();
    EXPECT_TRUE(pause->isChecked());
    EXPECT_EQ(pause->text(), Q("Resume"));
    frame.activateWindow();
    QTest::keyClick(&frame, Qt::Key_Pause);
    EXPECT_FALSE(frame.m_bPaused);
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_FALSE(pane->IsPaused());
    EXPECT_FALSE(frame.windowTitle().contains(Q("Paused")));
    EXPECT_FALSE(pause->isChecked());

    auto* highlight = qobject_cast<QCheckBox*>(frame.Ribbon()->FindElement(32795));
    ASSERT_NE(highlight, nullptr);
    EXPECT_TRUE(highlight->isChecked());
    highlight->click();
    EXPECT_FALSE(highlight->isChecked());
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_FALSE(pane->m_bMarkChanges);
    EXPECT_EQ(Setting("HighlightChanges").toInt(), 0);
    app_.reset();
    ASSERT_TRUE(Start());
    EXPECT_FALSE(Frame().m_paneTcpSockets->m_bMarkChanges);
    EXPECT_FALSE(qobject_cast<QCheckBox*>(Frame().Ribbon()->FindElement(32795))->isChecked());

    sockets::ConnectionLog& log = sockets::ProcessConnectionLog();
    log.Clear();
    sockets::Event event;
    event.protocol = "TCP";
    event.local = "127.0.0.1:40000";
    event.remote = "127.0.0.1:80";
    event.owner = "PID  1234 : a, \"b\"";
    event.pid = 1234;
    event.process = "a, \"b\"";
    log.Add(event);
    QTemporaryDir dir;
    const QString csv = dir.filePath(Q("log.csv")), json = dir.filePath(Q("log.JSON"));
    ASSERT_TRUE(CMainFrame::SaveConnectionLog(csv));
    ASSERT_TRUE(CMainFrame::SaveConnectionLog(json));
    QFile csvFile(csv), jsonFile(json);
    ASSERT_TRUE(csvFile.open(QIODevice::ReadOnly));
    ASSERT_TRUE(jsonFile.open(QIODevice::ReadOnly));
    const QByteArray csvText = csvFile.readAll(), jsonText = jsonFile.readAll();
    EXPECT_TRUE(csvText.startsWith("time,event,protocol,local,remote,pid,process\r\n")) << csvText.toStdString();
    EXPECT_TRUE(csvText.contains(",1234,\"a, \"\"b\"\"\"")) << csvText.toStdString();
    EXPECT_TRUE(jsonText.startsWith("[")) << jsonText.toStdString();
    EXPECT_TRUE(jsonText.contains("\"pid\":1234,\"process\":\"a, \\\"b\\\"\"")) << jsonText.toStdString();
    EXPECT_FALSE(CMainFrame::SaveConnectionLog(dir.filePath(Q("missing/log.csv"))));
    log.Clear();
}

// Pausing and resuming by the ribbon's button (which takes the focus from
// the document) or by the key keeps the document's name in the title.
TEST_F(Shell, PauseAndResumeKeepTheDocumentsNameInTheTitle) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    frame.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame));
    auto* pause = qobject_cast<QToolButton*>(frame.Ribbon()->FindElement(32796));
    ASSERT_NE(pause, nullptr);
    const auto title = [&frame] { return frame.windowTitle().toStdString(); };
    const std::string shown = "Tessaline 2.1 - Tessaline1";
    EXPECT_EQ(title(), shown);
    for (int round = 0; round < 2; ++round) {
        QTest::mouseClick(pause, Qt::LeftButton);
        EXPECT_EQ(title(), shown + " [Paused]") << round;
        QTest::mouseClick(pause, Qt::LeftButton);
        EXPECT_EQ(title(), shown) << round;
    }
    QTest::keyClick(&frame, Qt::Key_Pause);
    EXPECT_EQ(title(), shown + " [Paused]");
    QTest::keyClick(&frame, Qt::Key_Pause);
    EXPECT_EQ(title(), shown);
    // A second document, brought into view by its tab: its name.
    app_->DocTemplate()->OnFileNew();
    QApplication::processEvents();
    EXPECT_EQ(title(), "Tessaline 2.1 - Tessaline2");
    QTest::mouseClick(pause, Qt::LeftButton);
    EXPECT_EQ(title(), "Tessaline 2.1 - Tessaline2 [Paused]");
}

// "Save Log As" opens in the user's documents folder, or the home folder
// when there is none, wherever the program was started; the name chosen is
// written.
TEST_F(Shell, SaveLogAsOpensInTheDocumentsFolderElseHome) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    QTemporaryDir elsewhere, documents;
    ASSERT_TRUE(elsewhere.isValid() && documents.isValid());
    const CurrentDirectory started(QFile::encodeName(elsewhere.path()));
    // Where the desktop says the documents are.
    const QString dirs = qEnvironmentVariable("XDG_CONFIG_HOME") + Q("/user-dirs.dirs");
    ASSERT_TRUE(QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME")));
    {
        QFile file(dirs);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("XDG_DOCUMENTS_DIR=\"" + QFile::encodeName(documents.path()) + "\"\n");
    }
    QString asked;
    bool save = true;
    app_->m_saveLogPrompt = [&](QWidget*, const QString& start, QString*) {
        asked = start;
        return save ? QFileInfo(start).path() + Q("/log") : QString();
    };
    Frame().OnCommand(32797);  // Save Log As
    EXPECT_EQ(asked, documents.path() + Q("/connection-log.csv"));
    EXPECT_TRUE(QFileInfo::exists(documents.path() + Q("/log.csv")));  // the type's extension added

    // No documents folder: the home folder (one of the test's own).
    documents.remove();
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QByteArray realHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    save = false;
    Frame().OnCommand(32797);  // Save Log As
    qputenv("HOME", realHome);
    EXPECT_EQ(asked, home.path() + Q("/connection-log.csv"));
    QFile::remove(dirs);
}

// Another host shown: its name in the title; its connection lost, every
// pane says so above its report and the title too; back, both clear.
TEST_F(Shell, AnotherHostsLostConnectionShowsInEveryPaneAndTheTitle) {
    struct LabHost : remote::RemoteView {
        std::string Host() const override { return "lab@10.9.8.7"; }
        bool Connected() const override { return connected; }
        std::string LastError() const override { return "Connection timed out"; }
        bool connected = true;
    } host;
    CMainFrame::SetRemote(&host);
    struct Unset {
        ~Unset() { CMainFrame::SetRemote(nullptr); }
    } unset;
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    EXPECT_TRUE(frame.windowTitle().contains(Q(" - lab@10.9.8.7"))) << frame.windowTitle().toStdString();
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_TRUE(pane->Banner().isEmpty());

    host.connected = false;
    frame.UpdateRemoteState();
    const QString said = Q("Connection to lab@10.9.8.7 lost (Connection timed out); retrying every 2 seconds.");
    // Every pane made so far (the others are made when first shown, and
    // get the line from the next look at the connection).
    int made = 0;
    for (CNetworkDataView* pane : frame.Panes()) {
        if (pane->widget() == nullptr) continue;
        ++made;
        EXPECT_EQ(pane->Banner(), said) << pane->windowTitle().toStdString();
    }
    EXPECT_GE(made, 4);
    EXPECT_TRUE(frame.windowTitle().endsWith(Q(" [Connection lost]"))) << frame.windowTitle().toStdString();
    // The report keeps its room below the line.
    CNetworkDataView* tcp = frame.m_paneTcpSockets;
    EXPECT_GT(tcp->Tree().geometry().top(), tcp->ToolBar().geometry().bottom() + 10);

    host.connected = true;
    frame.UpdateRemoteState();
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_TRUE(pane->Banner().isEmpty());
    EXPECT_FALSE(frame.windowTitle().contains(Q("lost")));
}

// A box says whether its pane can be reached: docked (in view or behind a
// tab), floating, or on an edge strip.  Every path that moves a pane keeps
// the boxes true, and a box acts through the edge strips' logic.
TEST_F(Shell, EveryBoxSaysWhetherItsPaneCanBeReached) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    CAutoHideManager& edges = *frame.AutoHide();
    const auto box = [&](CNetworkDataView* pane) -> QCheckBox* {
        for (const ToggleInfo& t : CMainFrame::ToggleTable())
            if (frame.*t.member == pane) return qobject_cast<QCheckBox*>(frame.Ribbon()->FindElement(t.commandId));
        return nullptr;
    };
    const auto reachable = [&](CNetworkDataView* pane) {
        if (edges.IsAutoHidden(pane)) return edges.EdgeTab(pane) != nullptr && edges.EdgeTab(pane)->isVisible();
        if (pane->isHidden()) return false;
        if (pane->isFloating()) return pane->isVisible();
        return frame.dockWidgetArea(pane) != Qt::NoDockWidgetArea;
    };
    CNetworkDataView* tcp = frame.m_paneTcpSockets;
    CNetworkDataView* udp = frame.m_paneUdpSockets;
    struct Step {
        const char* what;
        std::function<void()> act;
        bool tcpReachable, udpReachable;
    };
    const std::vector<Step> steps = {
        {"pin TCP", [&] { edges.SetAutoHidden(tcp, true); }, true, true},
        {"pin UDP, alone in its area", [&] { edges.SetAutoHidden(udp, true); }, true, true},
        {"untick UDP", [&] { box(udp)->click(); }, true, false},
        {"tick UDP", [&] { box(udp)->click(); }, true, true},
        {"untick TCP on its edge", [&] { box(tcp)->click(); }, false, true},
        {"tick TCP", [&] { box(tcp)->click(); }, true, true},
        {"unpin both", [&] {
             edges.SetAutoHidden(tcp, false);
             edges.SetAutoHidden(udp, false);
         }, true, true},
        {"close UDP by its pane", [&] { udp->close(); }, true, false},
        {"tick UDP", [&] { box(udp)->click(); }, true, true},
        {"float TCP", [&] { tcp->setFloating(true); }, true, true},
        {"untick floating TCP", [&] { box(tcp)->click(); }, false, true},
        {"tick TCP", [&] { box(tcp)->click(); }, true, true},
    };
    for (const Step& step : steps) {
        step.act();
        QApplication::processEvents();
        edges.FinishAnimations();
        EXPECT_EQ(reachable(tcp), step.tcpReachable) << step.what << ": TCP";
        EXPECT_EQ(reachable(udp), step.udpReachable) << step.what << ": UDP";
        for (CNetworkDataView* pane : frame.Panes())
            EXPECT_EQ(box(pane)->isChecked(), reachable(pane))
                << step.what << ": the box of " << pane->windowTitle().toStdString();
    }
}

// A pane docked at any edge shows four lines of its report at least besides
// a scroll bar (80 pixels of report at the default font), and slides out as
// deep from that edge once pinned there.
TEST_F(Shell, APaneDockedAtAnyEdgeShowsAFewLines) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    CNetworkDataView* pane = frame.m_paneTcpSockets;
    constexpr int kLines = 4;
    constexpr int kPixels = 80;
    for (const Qt::DockWidgetArea area :
         {Qt::TopDockWidgetArea, Qt::BottomDockWidgetArea, Qt::LeftDockWidgetArea, Qt::RightDockWidgetArea}) {
        frame.addDockWidget(area, pane);
        pane->show();
        pane->raise();
        QApplication::processEvents();
        const int bar = pane->Tree().style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &pane->Tree());
        const int content = pane->Tree().height() - bar;
        EXPECT_GE(content / pane->Tree().RowHeight(), kLines) << "docked at area " << area << ": " << content << " px";
        EXPECT_GE(pane->Tree().height(), kPixels) << "docked at area " << area;

        frame.AutoHide()->SetAutoHidden(pane, true);
        frame.AutoHide()->SlideOut(pane);
        frame.AutoHide()->FinishAnimations();
        QApplication::processEvents();
        EXPECT_GE((pane->Tree().height() - bar) / pane->Tree().RowHeight(), kLines)
            << "slid out from area " << area << ": " << pane->Tree().height() << " px";
        frame.AutoHide()->SetAutoHidden(pane, false);
        QApplication::processEvents();
    }
}

// Reset Layout puts every pane back where a first start docks it, wherever
// the user had taken it: to an edge strip, floating, closed or to another
// edge.
TEST_F(Shell, ResetLayoutPutsEveryPaneWhereAFirstStartDocksIt) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    const auto where = [&frame] {
        std::vector<std::tuple<int, bool, bool, int>> panes;  // area, floating, auto-hidden, tab group size
        for (CNetworkDataView* pane : frame.Panes())
            panes.emplace_back(frame.dockWidgetArea(pane), pane->isFloating(), frame.AutoHide()->IsAutoHidden(pane),
                               static_cast<int>(frame.tabifiedDockWidgets(pane).size()));
        return panes;
    };
    const auto first = where();
    frame.AutoHide()->SetAutoHidden(frame.m_paneTcpSockets, true);
    frame.m_paneIpStats->setFloating(true);
    frame.m_paneAdapters->close();
    frame.addDockWidget(Qt::BottomDockWidgetArea, frame.m_paneProtocols);
    QApplication::processEvents();
    ASSERT_NE(where(), first);

    frame.OnCommand(32790);
    QApplication::processEvents();
    EXPECT_EQ(where(), first);
    for (CNetworkDataView* pane : frame.Panes()) {
        EXPECT_FALSE(pane->isHidden()) << pane->windowTitle().toStdString();
        EXPECT_TRUE(frame.IsPaneReachable(pane));
    }
    for (CNetworkDataView* shown : {frame.m_paneNetworks, frame.m_paneIpStats, frame.m_paneTcpStats, frame.m_paneTcpSockets})
        EXPECT_TRUE(shown->IsOnScreen()) << shown->windowTitle().toStdString();
}

// A small window takes its width from the document area first; when it
// grows again the panes get back the width the user gave them, by the first
// layout or by dragging a separator, and that width is what the next start
// finds, however small the window was at exit.
TEST_F(Shell, PanesGetTheirWidthBackWhenTheWindowGrowsAndKeepItAcrossRuns) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame* frame = &Frame();
    const auto settle = [] {
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
    };
    const auto widths = [&frame] {
        return std::pair(frame->AreaExtent(Qt::LeftDockWidgetArea), frame->AreaExtent(Qt::RightDockWidgetArea));
    };
    settle();
    const auto first = widths();
    EXPECT_GE(first.first, 250);
    EXPECT_GT(first.second, first.first);

    frame->resize(700, 600);
    settle();
    ASSERT_LT(widths().first + widths().second, 700);  // squeezed
    frame->resize(1280, 800);
    settle();
    EXPECT_EQ(widths(), first);
    // Wider, the panes get all they want before the document grows.
    frame->resize(1900, 800);
    settle();
    const int wantedRight = frame->WantedExtent(Qt::RightDockWidgetArea);
    EXPECT_EQ(widths(), std::pair(frame->WantedExtent(Qt::LeftDockWidgetArea), wantedRight));
    ASSERT_GT(wantedRight, first.second);

    // The separator between the left panes and the document, dragged 60
    // pixels to the right.
    const QRect left = frame->m_paneNetworks->geometry();
    const QPoint grip(left.right() + 2, left.center().y());
    QTest::mousePress(frame, Qt::LeftButton, {}, grip);
    for (int dx = 10; dx <= 60; dx += 10) {
        QMouseEvent move(QEvent::MouseMove, QPointF(grip + QPoint(dx, 0)), frame->mapToGlobal(QPointF(grip + QPoint(dx, 0))),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(frame, &move);
        settle();  // the frame moves its separator on a timer
    }
    QTest::mouseRelease(frame, Qt::LeftButton, {}, grip + QPoint(60, 0));
    settle();
    const int dragged = widths().first;
    ASSERT_GT(dragged, first.first + 40);
    EXPECT_EQ(frame->WantedExtent(Qt::LeftDockWidgetArea), dragged);
    EXPECT_EQ(frame->WantedExtent(Qt::RightDockWidgetArea), wantedRight);

    frame->resize(640, 480);
    settle();
    ASSERT_LT(widths().first, dragged);
    frame->close();
    app_.reset();

    ASSERT_TRUE(Start());
    frame = &Frame();
    frame->resize(1900, 800);
    settle();
    EXPECT_EQ(widths(), std::pair(dragged, wantedRight));
}

// The kept extents come from the user's settings file: four sane numbers,
// or none at all.
TEST(PaneExtentsSetting, FourSaneNumbersOrNone) {
    const std::array<int, 4> none{};
    const std::pair<const char*, std::array<int, 4>> cases[] = {
        {"250 450 0 0", {250, 450, 0, 0}},
        {"  1 2   3 4 ", {1, 2, 3, 4}},
        {"", none},
        {"250 450 0", none},
        {"250 450 0 0 7", none},
        {"250 -1 0 0", none},
        {"250 x 0 0", none},
        {"250 99999999 0 0", none},
    };
    for (const auto& [text, extents] : cases) EXPECT_EQ(ParsePaneExtents(QString::fromLatin1(text)), extents) << text;
}

// A window placement saved on a larger screen, or on one no longer there,
// comes back inside the screen in use.
TEST_F(Shell, ARestoredPlacementThatNoLongerFitsIsBroughtInsideTheScreen) {
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect saved[] = {
        {100, 100, 2560, 1600},   // a larger monitor
        {2200, 1300, 1280, 800},  // a second screen to the right, now gone
        {-3000, 50, 1280, 800},   // one to the left
    };
    const QRect fits(200, 150, 1000, 700);  // where it is kept as it was
    for (const QRect& geometry : {saved[0], saved[1], saved[2], fits}) {
        QWidget elsewhere;
        elsewhere.setGeometry(geometry);
        SetSetting("WindowPlacement", elsewhere.saveGeometry());
        SetSetting("FirstRun", 0);
        ASSERT_TRUE(Start());
        const QRect placed = Frame().frameGeometry();
        EXPECT_TRUE(available.contains(placed))
            << placed.x() << "," << placed.y() << " " << placed.width() << "x" << placed.height();
        if (geometry == fits) {
            EXPECT_EQ(Frame().geometry(), fits);
        }
        app_.reset();
        ClearSettings();
    }
}

// -------------------------------------------------------------- ribbon

TEST_F(Shell, RibbonElementsWithTheirIdsTextsAndOrder) {
    ASSERT_TRUE(Start());
    CRibbonBar* ribbon = Frame().Ribbon();
    EXPECT_EQ(ribbon->ApplicationButton()->text(), Q("Ulvo"));
    EXPECT_EQ(ribbon->ApplicationButton()->toolTip(), Q("Tessaline"));
    EXPECT_EQ(ribbon->ApplicationButton()->size(), QSize(45, 45));
    EXPECT_EQ(ribbon->MainCategoryLabel(), Q("File"));
    ASSERT_EQ(ribbon->MainMenu()->actions().size(), 1);
    EXPECT_EQ(ribbon->MainMenu()->actions()[0]->text(), Q("E&xit"));
    EXPECT_EQ(ribbon->MainMenu()->actions()[0]->property("commandId").toInt(), 57665);

    ASSERT_EQ(ribbon->Categories().size(), 1u);
    EXPECT_EQ(ribbon->Tabs()->tabText(0), Q("Data Sources"));
    const std::vector<CRibbonPanel*> panels = ribbon->Categories()[0]->Panels();
    ASSERT_EQ(panels.size(), 4u);
    const std::vector<std::pair<QString, std::vector<std::pair<int, QString>>>> expected = {
        {Q("Enumerators"),
         {{32781, Q("Networks")}, {32771, Q("Protocols")}, {32772, Q("Adapters")}, {32773, Q("Interfaces")}}},
        {Q("Sockets"),
         {{32778, Q("UDP Sockets")},
          {32780, Q("TCP Sockets")},
          {32791, Q("UDPv6 Sockets")},
          {32792, Q("TCPv6 Sockets")},
          {32794, Q("Connection Log")},
          {32798, Q("Processes")},
          {32799, Q("Listening Ports")}}},
        {Q("Statistics"),
         {{32775, Q("ICMP Packets")},
          {32774, Q("IP Packets")},
          {32777, Q("UDP Packets")},
          {32779, Q("TCP Packets")},
          {32793, Q("IPv6 Packets")}}},
        {Q("Configuration"),
         {{57359, Q("Autorefresh All")},
          {32795, Q("Highlight Changes")},
          {32796, Q("Pause")},
          {32790, Q("Reset Layout")},
          {32797, Q("Save Log As...")},
          {32810, Q("View as Table")},
          {32811, Q("Hide Listening")},
          {32812, Q("Hide TIME_WAIT")},
          {32813, Q("Hide Loopback")}}},
    };
    for (std::size_t p = 0; p < panels.size(); ++p) {
        EXPECT_EQ(panels[p]->title(), expected[p].first);
        EXPECT_FALSE(panels[p]->Icon().isNull());
        const std::vector<QWidget*> elements = panels[p]->Elements();
        ASSERT_EQ(elements.size(), expected[p].second.size()) << p;
        for (std::size_t e = 0; e < elements.size(); ++e) {
            // Check boxes, and the command buttons of the Configuration panel.
            auto* box = qobject_cast<QAbstractButton*>(elements[e]);
            ASSERT_NE(box, nullptr);
            const int id = expected[p].second[e].first;
            EXPECT_EQ(qobject_cast<QCheckBox*>(box) != nullptr, id != 32790 && id != 32796 && id != 32797 && id != 32810);
            EXPECT_EQ(box->property("commandId").toInt(), expected[p].second[e].first);
            EXPECT_EQ(box->text(), expected[p].second[e].second);
        }
    }

    const std::vector<QToolButton*> row = ribbon->TabRowButtons();
    ASSERT_EQ(row.size(), 2u);
    QToolButton* style = row[0];
    EXPECT_EQ(style->text(), Q("Style"));
    EXPECT_EQ(style->toolTip(), Q("Modify Visual Style"));
    EXPECT_EQ(style->statusTip(), Q("Choose one of the Office 2007 themes"));
    ASSERT_NE(style->menu(), nullptr);
    std::vector<int> order;
    for (QAction* action : style->menu()->actions()) order.push_back(action->data().toInt());
    EXPECT_EQ(order, (std::vector<int>{215, 216, 217, 218, 213, 211, 212, 210, 214}));
    EXPECT_EQ(style->menu()->actions()[1]->text(), Q("Office 2007 (B&lack Style)"));
    QToolButton* about = row[1];
    EXPECT_EQ(about->property("commandId").toInt(), 57664);
    EXPECT_TRUE(about->text().isEmpty());
    EXPECT_FALSE(about->icon().isNull());
    EXPECT_TRUE(ribbon->QuickAccessActions().isEmpty());

    // About runs the About box.
    about->click();
    EXPECT_EQ(app_->m_nAboutBoxes, 2);
}

TEST_F(Shell, AltShowsKeyTipsThatRunTheirElements) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    frame.activateWindow();
    QApplication::setActiveWindow(&frame);
    CRibbonBar* ribbon = frame.Ribbon();
    QKeyEvent altDown(QEvent::KeyPress, Qt::Key_Alt, Qt::AltModifier);
    QKeyEvent altUp(QEvent::KeyRelease, Qt::Key_Alt, Qt::NoModifier);
    QApplication::sendEvent(&frame, &altDown);
    QApplication::sendEvent(&frame, &altUp);
    ASSERT_TRUE(ribbon->KeyTipsShown());
    QStringList tips;
    for (QLabel* label : frame.findChildren<QLabel*>(Q("keyTip"))) tips << label->text();
    EXPECT_TRUE(tips.contains(Q("A")));  // the About button's own tip
    EXPECT_TRUE(tips.contains(Q("D")));  // the "Data Sources" tab
    QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, Q("a"));
    QApplication::sendEvent(&frame, &a);
    EXPECT_FALSE(ribbon->KeyTipsShown());
    EXPECT_EQ(app_->m_nAboutBoxes, 2);
}

// Ctrl+F4 closes the active document; the About button, which shows only a
// picture, is named for assistive tools.
TEST_F(Shell, CtrlF4ClosesTheActiveDocumentAndTheAboutButtonHasAName) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    frame.activateWindow();
    QApplication::setActiveWindow(&frame);
    frame.OnCommand(57600);  // a second document
    QApplication::processEvents();
    ASSERT_EQ(frame.MdiArea()->subWindowList().size(), 2);
    const QString second = frame.MdiArea()->activeSubWindow()->windowTitle();
    QTest::keyClick(frame.MdiArea()->activeSubWindow(), Qt::Key_F4, Qt::ControlModifier);
    QApplication::processEvents();
    const QList<QMdiSubWindow*> left = frame.MdiArea()->subWindowList();
    ASSERT_EQ(left.size(), 1);
    EXPECT_NE(left[0]->windowTitle(), second);

    const QWidget* about = frame.findChild<QWidget*>(Q("ribbonAboutButton"));
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->accessibleName(), Q("About"));
    // Every button has a name for assistive tools: its text or its own.
    for (CNetworkDataView* pane : frame.Panes()) pane->Create();
    int buttons = 0;
    for (const QAbstractButton* button : frame.findChildren<QAbstractButton*>()) {
        ++buttons;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(const_cast<QAbstractButton*>(button));
        const QString name = face != nullptr ? face->text(QAccessible::Name) : QString();
        EXPECT_FALSE(name.trimmed().isEmpty()) << button->metaObject()->className() << " "
                                               << button->objectName().toStdString() << " in "
                                               << button->parentWidget()->metaObject()->className() << " "
                                               << button->toolTip().toStdString();
    }
    EXPECT_GT(buttons, 40);
}

// F6 goes from the document through the panes in view and back to the
// document; Shift+F6 goes the other way.  Panes behind other tabs are passed.
TEST_F(Shell, F6MovesTheFocusBetweenTheDocumentAndThePanesInView) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    frame.activateWindow();
    QApplication::setActiveWindow(&frame);
    const std::vector<QWidget*> areas = frame.FocusAreas();
    // The document and the first tab of each of the four groups.
    ASSERT_EQ(areas.size(), 5u);
    EXPECT_EQ(areas[0], frame.MdiArea()->subWindowList().front()->widget());
    for (QWidget* area : areas) EXPECT_TRUE(area->isVisible());
    EXPECT_EQ(areas.back(), &frame.m_paneTcpSockets->Tree()) << "the right-hand group comes last";
    areas[0]->setFocus();
    QApplication::processEvents();
    const auto focusedArea = [&areas]() -> int {
        for (std::size_t i = 0; i < areas.size(); ++i)
            if (QApplication::focusWidget() == areas[i] || areas[i]->isAncestorOf(QApplication::focusWidget()))
                return static_cast<int>(i);
        return -1;
    };
    for (int step = 1; step <= 5; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
        EXPECT_EQ(focusedArea(), step % 5) << "F6 number " << step;
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_EQ(focusedArea(), 4) << "Shift+F6 from the document";
}

// Each pane shows its icon on its caption, on its tab in a tab group and on
// its tab on an edge strip.
TEST_F(Shell, PanesShowTheirIconOnCaptionsTabsAndEdgeTabs) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    CNetworkDataView* pane = frame.m_paneTcpSockets;
    const QIcon icon = pane->windowIcon();
    ASSERT_FALSE(icon.isNull());
    // The icon's most colourful opaque pixel: drawn, it is in the picture.
    const QImage picture = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    QColor mark;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            if (c.alpha() == 255 && (!mark.isValid() || c.hsvSaturation() > mark.hsvSaturation())) mark = c;
        }
    ASSERT_TRUE(mark.isValid());
    const auto shows = [&mark](QWidget* w) {
        const QImage grabbed = w->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < grabbed.height(); ++y)
            for (int x = 0; x < grabbed.width(); ++x)
                if (grabbed.pixelColor(x, y) == mark) return true;
        return false;
    };
    EXPECT_TRUE(shows(pane->titleBarWidget())) << "caption";

    int tabs = 0;
    for (QTabBar* bar : frame.findChildren<QTabBar*>(Qt::FindDirectChildrenOnly))
        for (int i = 0; i < bar->count(); ++i, ++tabs)
            EXPECT_FALSE(bar->tabIcon(i).isNull()) << bar->tabText(i).toStdString();
    EXPECT_EQ(tabs, 16) << "the four tab groups";

    frame.AutoHide()->SetAutoHidden(pane, true);
    QApplication::processEvents();
    QWidget* edgeTab = frame.AutoHide()->EdgeTab(pane);
    ASSERT_NE(edgeTab, nullptr);
    EXPECT_TRUE(shows(edgeTab)) << "edge tab";
}

// Tab and Shift+Tab move among the controls of the focused area and wrap
// round in it: a pane's caption buttons, its refresh button and its tree
// (never a tree behind another tab); the document keeps it; the ribbon is
// entered by Tab while its key tips show, and Esc gives the focus back.
TEST_F(Shell, TabMovesAmongTheControlsOfTheFocusedAreaOnly) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    frame.activateWindow();
    QApplication::setActiveWindow(&frame);
    const auto cycle = [](QWidget* from, Qt::KeyboardModifiers modifiers, int presses) {
        from->setFocus();
        QApplication::processEvents();
        std::vector<QWidget*> visited;
        for (int i = 0; i < presses; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, modifiers);
            visited.push_back(QApplication::focusWidget());
        }
        return visited;
    };
    const auto named = [](const QWidget* w) { return w != nullptr ? w->objectName().toStdString() : std::string("none"); };

    struct Case {
        CNetworkDataView* pane;
        std::size_t controls;  // caption buttons, refresh button, the socket panes' filter field, tree
    };
    for (const Case& c : {Case{frame.m_paneIpStats, 5}, Case{frame.m_paneNetworks, 4}, Case{frame.m_paneTcpSockets, 6}}) {
        SCOPED_TRACE(c.pane->windowTitle().toStdString());
        QWidget* tree = &c.pane->Tree();
        const std::vector<QWidget*> forward = cycle(tree, Qt::NoModifier, static_cast<int>(c.controls));
        EXPECT_EQ(forward.back(), tree) << "wraps round to the tree";
        std::set<QWidget*> distinct(forward.begin(), forward.end());
        EXPECT_EQ(distinct.size(), c.controls);
        for (QWidget* w : forward) {
            EXPECT_TRUE(c.pane->isAncestorOf(w)) << named(w);
            EXPECT_TRUE(w->isVisible()) << named(w);
        }
        EXPECT_NE(std::find_if(forward.begin(), forward.end(),
                               [](const QWidget* w) { return w->objectName() == QLatin1String("pinButton"); }),
                  forward.end());
        std::vector<QWidget*> backward = cycle(tree, Qt::ShiftModifier, static_cast<int>(c.controls));
        std::reverse(backward.begin(), backward.end() - 1);
        EXPECT_EQ(backward, forward) << "Shift+Tab goes the same way back";
    }

    QWidget* document = frame.MdiArea()->subWindowList().front()->widget();
    for (QWidget* w : cycle(document, Qt::NoModifier, 3)) EXPECT_EQ(w, document);

    // Alt shows the key tips; Tab takes the focus into the ribbon.
    CRibbonBar* ribbon = frame.Ribbon();
    QWidget* before = &frame.m_paneTcpStats->Tree();
    before->setFocus();
    QApplication::processEvents();
    QTest::keyPress(before, Qt::Key_Alt);
    QTest::keyRelease(before, Qt::Key_Alt);
    ASSERT_TRUE(ribbon->KeyTipsShown());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_FALSE(ribbon->KeyTipsShown());
    EXPECT_EQ(QApplication::focusWidget(), ribbon->Tabs());
    std::vector<QWidget*> inRibbon;
    for (int i = 0; i < 24; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        inRibbon.push_back(QApplication::focusWidget());
    }
    for (QWidget* w : inRibbon) EXPECT_TRUE(ribbon->isAncestorOf(w)) << named(w);
    for (const int id : {32781, 32780, 32779, 57359 /* Autorefresh All */, 32790 /* Reset Layout */})
        EXPECT_NE(std::find(inRibbon.begin(), inRibbon.end(), ribbon->FindElement(id)), inRibbon.end()) << id;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(QApplication::focusWidget(), before);
}

// A double click on a ribbon tab collapses the ribbon to its tab row, giving
// the panes its height; another double click brings the pages back.
TEST_F(Shell, ADoubleClickOnARibbonTabCollapsesAndRestoresTheRibbon) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    CRibbonBar* ribbon = frame.Ribbon();
    const int fullHeight = ribbon->height();
    const auto panesHeight = [&frame] { return frame.m_paneTcpSockets->height(); };
    const int paneHeight = panesHeight();
    QTabBar* tabs = ribbon->Tabs();
    const QPoint onTab = tabs->tabRect(0).center();
    QTest::mouseDClick(tabs, Qt::LeftButton, Qt::NoModifier, onTab);
    QApplication::processEvents();
    EXPECT_TRUE(ribbon->IsCollapsed());
    EXPECT_LT(ribbon->height(), fullHeight / 2);
    EXPECT_GE(panesHeight(), paneHeight + fullHeight / 2) << "the panes take the pages' height";
    QTest::mouseDClick(tabs, Qt::LeftButton, Qt::NoModifier, onTab);
    QApplication::processEvents();
    EXPECT_FALSE(ribbon->IsCollapsed());
    EXPECT_EQ(ribbon->height(), fullHeight);
}

// However narrow the window, every ribbon label is whole: panels that do
// not fit fold from the right into a button with their title, which drops
// the panel down whole; the window is never narrower than the ribbon with
// every panel folded.
TEST_F(Shell, RibbonLabelsStayWholeAtEveryWidth) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    CRibbonBar* ribbon = frame.Ribbon();
    CRibbonCategory* page = ribbon->Categories().front();
    const std::vector<CRibbonPanel*> panels = page->Panels();
    const auto whole = [](const QWidget* w) { return w->width() >= w->sizeHint().width(); };
    std::vector<std::size_t> foldedAt;
    for (const int width : {1280, 1000, 800, 700, 600, 500, 300, 1}) {
        frame.resize(width, 700);
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
        SCOPED_TRACE(width);
        EXPECT_GE(frame.width(), std::min(width, 1280));
        EXPECT_LE(page->geometry().right(), ribbon->width());
        std::size_t folded = 0;
        for (CRibbonPanel* panel : panels) {
            if (panel->IsCollapsed()) {
                ++folded;
                EXPECT_TRUE(panel->isHidden());
                EXPECT_TRUE(whole(panel->CollapsedButton())) << panel->title().toStdString();
                EXPECT_LE(panel->CollapsedButton()->geometry().right(), page->width());
            } else {
                EXPECT_EQ(folded, 0u) << "panels fold from the right";
                EXPECT_TRUE(whole(panel)) << panel->title().toStdString();
                EXPECT_LE(panel->geometry().right(), page->width());
                for (QWidget* element : panel->Elements()) EXPECT_TRUE(whole(element));
            }
        }
        EXPECT_TRUE(whole(ribbon->Tabs()));
        for (QToolButton* button : ribbon->TabRowButtons()) EXPECT_TRUE(whole(button));
        foldedAt.push_back(folded);
    }
    EXPECT_EQ(foldedAt.front(), 0u);
    EXPECT_EQ(foldedAt.back(), panels.size());
    EXPECT_TRUE(std::is_sorted(foldedAt.begin(), foldedAt.end()));

    // A folded panel drops down whole; its boxes work from there; closed, it
    // is back on its page, folded; a wider window opens it again.
    CRibbonPanel* sockets = panels[1];
    ASSERT_TRUE(sockets->IsCollapsed());
    sockets->CollapsedButton()->click();
    QApplication::processEvents();
    ASSERT_TRUE(sockets->IsDroppedDown());
    EXPECT_TRUE(sockets->isVisible());
    auto* tcpBox = qobject_cast<QCheckBox*>(ribbon->FindElement(32780));
    ASSERT_NE(tcpBox, nullptr);
    EXPECT_TRUE(tcpBox->isVisible());
    tcpBox->click();
    QApplication::processEvents();
    EXPECT_TRUE(frame.m_paneTcpSockets->isHidden());
    EXPECT_FALSE(tcpBox->isChecked());
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_FALSE(sockets->IsDroppedDown());
    EXPECT_EQ(sockets->parentWidget(), page);
    EXPECT_TRUE(sockets->isHidden());
    frame.resize(1280, 800);
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    for (CRibbonPanel* panel : panels) EXPECT_FALSE(panel->IsCollapsed());
    EXPECT_TRUE(sockets->isVisible());
    EXPECT_LT(page->layout()->indexOf(panels[0]), page->layout()->indexOf(sockets));
    EXPECT_LT(page->layout()->indexOf(sockets), page->layout()->indexOf(panels[2]));
}

// --------------------------------------------------------------- looks

TEST_F(Shell, LooksMoveTheRadioMarkAndAreSaved) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    const auto marked = [&] {
        std::vector<int> ids;
        for (QAction* action : frame.LookActions()->actions())
            if (action->isChecked()) ids.push_back(action->data().toInt());
        return ids;
    };
    EXPECT_EQ(marked(), std::vector<int>{216});
    frame.OnCommand(212);
    EXPECT_EQ(marked(), std::vector<int>{212});
    EXPECT_EQ(Setting("ApplicationLook").toInt(), 212);
    EXPECT_TRUE(CurrentLook().tabs3D);
    frame.OnCommand(217);
    EXPECT_EQ(marked(), std::vector<int>{217});
    EXPECT_EQ(CurrentLook().office2007Style, 3);
    EXPECT_TRUE(CurrentLook().tabs3D);  // stays set
    EXPECT_EQ(Setting("ApplicationLook").toInt(), 217);
}

TEST_F(Shell, ALookOutsideTheRangeIsOffice2007WithoutAMarkAndWrittenBack) {
    SetSetting("FirstRun", 0);
    SetSetting("ApplicationLook", 300);
    ASSERT_TRUE(Start());
    EXPECT_EQ(app_->m_nApplicationLook, 300u);
    EXPECT_EQ(Setting("ApplicationLook").toInt(), 300);
    EXPECT_EQ(CurrentLook().manager, VisualManager::Office2007);
    for (QAction* action : Frame().LookActions()->actions()) EXPECT_FALSE(action->isChecked());
}

// -------------------------------------------------- layout and documents

TEST_F(Shell, TheLayoutOfOneRunIsRestoredOnTheNext) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    Frame().OnCommand(32780);  // hide the TCP sockets
    Frame().m_paneAdapters->raise();
    QApplication::processEvents();
    Frame().close();
    app_.reset();
    EXPECT_FALSE(Setting("DockingManagers").toByteArray().isEmpty());

    ASSERT_TRUE(Start());
    EXPECT_TRUE(Frame().m_paneTcpSockets->isHidden());
    EXPECT_FALSE(qobject_cast<QCheckBox*>(Frame().Ribbon()->FindElement(32780))->isChecked());
    EXPECT_FALSE(Frame().m_paneUdpSockets->isHidden());
}

// Panes on the edge strips at the end of one run are on the same edges at
// the next, in the same order and sliding out as deep.
TEST_F(Shell, TheAutoHiddenPanesOfOneRunAreOnTheirEdgesAtTheNext) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    Frame().AutoHide()->SetAutoHidden(Frame().m_paneTcpSockets, true);
    Frame().AutoHide()->SetAutoHidden(Frame().m_paneNetworks, true);
    QApplication::processEvents();
    const std::vector<CAutoHideManager::EdgePane> before = Frame().AutoHide()->EdgePanes();
    ASSERT_EQ(before.size(), 2u);
    Frame().close();
    app_.reset();
    // The first pane was dragged deeper before the window closed.
    std::vector<CAutoHideManager::EdgePane> expected = before;
    expected[0].extent = 333;
    QString saved = Setting("AutoHiddenPanes").toString();
    const QString first = QStringLiteral("%1 %2 ").arg(before[0].name).arg(static_cast<int>(before[0].area));
    ASSERT_TRUE(saved.startsWith(first + QString::number(before[0].extent))) << saved.toStdString();
    SetSetting("AutoHiddenPanes", saved.replace(0, saved.indexOf(QLatin1Char(';')), first + QStringLiteral("333")));

    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    EXPECT_TRUE(frame.AutoHide()->IsAutoHidden(frame.m_paneTcpSockets));
    EXPECT_TRUE(frame.AutoHide()->IsAutoHidden(frame.m_paneNetworks));
    EXPECT_FALSE(frame.AutoHide()->IsAutoHidden(frame.m_paneUdpSockets));
    const std::vector<CAutoHideManager::EdgePane> after = frame.AutoHide()->EdgePanes();
    ASSERT_EQ(after.size(), expected.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, expected[i].name);
        EXPECT_EQ(after[i].area, expected[i].area);
        EXPECT_EQ(after[i].extent, expected[i].extent);
    }
    EXPECT_TRUE(qobject_cast<QCheckBox*>(frame.Ribbon()->FindElement(32780))->isChecked());
}

// The list comes from the user's settings file: what does not parse, names
// no single edge or runs on without end is passed over.
TEST(EdgePanesSetting, OnlyWellFormedItemsAreTaken) {
    struct Case {
        const char* text;
        std::size_t taken;
    };
    const Case cases[] = {
        {"", 0},
        {"280 2 300", 1},
        {"280 2 300;57348 1 250", 2},
        {"280 2", 0},                // no extent
        {"280 2 300 9", 0},          // a field too many
        {"280 3 300", 0},            // two edges at once
        {"280 0 300", 0},            // no edge
        {"280 x 300", 0},
        {"280 2 99999999999", 0},    // not a number that fits
        {";;280 2 300;;", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseEdgePanes(QString::fromLatin1(c.text)).size(), c.taken) << c.text;
    QStringList many;
    for (int i = 0; i < 1000; ++i) many << QStringLiteral("p%1 1 100").arg(i);
    EXPECT_EQ(ParseEdgePanes(many.join(QLatin1Char(';'))).size(), 64u);
}

// ------------------------------------------------------ saved layout bytes

// A main window state written as the toolkit writes one: its header, a dock
// section the caller fills, and an empty tool bar section.
QByteArray DockState(const std::function<void(QDataStream&)>& docks, bool toolBars = true) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint32(0xff) << qint32(0) << quint8(0xfd);
    docks(out);
    if (toolBars) out << quint8(0xfc) << qint32(0);
    return bytes;
}

// One area (0 left, 1 right, 2 top, 3 bottom) holding `group`; then the
// central area's size and the four corners.
std::function<void(QDataStream&)> OneArea(int area, const std::function<void(QDataStream&)>& group) {
    return [area, group](QDataStream& out) {
        out << qint32(1) << qint32(area) << QSize(250, 700);
        group(out);
        out << QSize(600, 700) << qint32(4) << qint32(8) << qint32(1) << qint32(2);
    };
}

void Pane(QDataStream& out, const QString& name) {
    out << quint8(0xfb) << name << quint8(1) << qint32(0) << qint32(200) << qint32(0) << qint32(0);
}

// A vertical group of panes (a left or right area's root).
std::function<void(QDataStream&)> Panes(const QStringList& names, quint8 orientation = 2) {
    return [names, orientation](QDataStream& out) {
        out << quint8(0xfc) << orientation << qint32(names.size());
        for (const QString& name : names) Pane(out, name);
    };
}

// Groups nested `depth` deep, each a sequence holding the next, the last a
// pane.
void Nested(QDataStream& out, int depth, quint8 orientation) {
    out << quint8(0xfc) << orientation << qint32(1);
    if (depth == 0) {
        Pane(out, Q("57348"));
        return;
    }
    out << quint8(0xfc) << qint32(0) << qint32(100) << qint32(0) << qint32(0);
    Nested(out, depth - 1, orientation == 1 ? 2 : 1);
}

// The window's own states pass the check in the shapes a user gives them;
// states whose numbers the toolkit's reader would follow out of its tables,
// or that run on without end, do not.
TEST_F(Shell, SavedDockStatesAreCheckedBeforeTheToolkitReadsThem) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    std::vector<QByteArray> own = {frame.saveState()};
    frame.AutoHide()->SetAutoHidden(frame.m_paneTcpSockets, true);
    frame.addDockWidget(Qt::BottomDockWidgetArea, frame.m_paneIpStats);
    frame.addDockWidget(Qt::BottomDockWidgetArea, frame.m_paneUdpStats);
    frame.splitDockWidget(frame.m_paneIpStats, frame.m_paneUdpStats, Qt::Horizontal);
    frame.addDockWidget(Qt::TopDockWidgetArea, frame.m_paneProcesses);
    frame.m_paneProtocols->setFloating(true);
    frame.m_paneAdapters->close();
    QApplication::processEvents();
    own.push_back(frame.saveState());
    frame.AutoHide()->RestoreAllBeforeSave();
    own.push_back(frame.saveState());
    for (const QByteArray& state : own) EXPECT_TRUE(IsSoundDockState(state));

    const auto two = Panes({Q("57348"), Q("57349")});
    struct Case {
        const char* what;
        QByteArray state;
        bool sound;
    };
    const Case cases[] = {
        {"two panes on the left", DockState(OneArea(0, two)), true},
        {"without the tool bar section", DockState(OneArea(0, two), false), true},
        {"groups nested as deep as splitting goes", DockState(OneArea(0, [](QDataStream& out) { Nested(out, 15, 2); })),
         true},
        {"an area beyond the four", DockState(OneArea(7, two)), false},
        {"a negative area", DockState(OneArea(-1, two)), false},
        {"one area twice", DockState([&two](QDataStream& out) {
             out << qint32(2) << qint32(0) << QSize(250, 700);
             two(out);
             out << qint32(0) << QSize(250, 700);
             Panes({Q("57350")})(out);
             out << QSize(600, 700) << qint32(4) << qint32(8) << qint32(1) << qint32(2);
         }),
         false},
        {"five areas", DockState([](QDataStream& out) { out << qint32(5); }), false},
        {"groups nested without end", DockState(OneArea(0, [](QDataStream& out) { Nested(out, 5000, 2); })), false},
        {"a left area lying across", DockState(OneArea(0, Panes({Q("57348")}, 1))), false},
        {"an orientation of neither kind", DockState(OneArea(0, Panes({Q("57348")}, 3))), false},
        {"a selected tab past the tabs",
         DockState(OneArea(0,
                           [](QDataStream& out) {
                               out << quint8(0xfa) << qint32(2) << quint8(2) << qint32(2);
                               Pane(out, Q("57348"));
                               Pane(out, Q("57349"));
                           })),
         false},
        {"a group inside a tab group",
         DockState(OneArea(0,
                           [](QDataStream& out) {
                               out << quint8(0xfa) << qint32(0) << quint8(2) << qint32(1);
                               out << quint8(0xfc) << qint32(0) << qint32(100) << qint32(0) << qint32(0);
                               Panes({Q("57348")})(out);
                           })),
         false},
        {"a pane twice", DockState(OneArea(0, Panes({Q("57348"), Q("57348")}))), false},
        {"a pane without a name", DockState(OneArea(0, Panes({QString()}))), false},
        {"a name of a million letters", DockState(OneArea(0, Panes({QString(1'000'000, QLatin1Char('x'))}))), false},
        {"a billion items",
         DockState(OneArea(0, [](QDataStream& out) { out << quint8(0xfc) << quint8(2) << qint32(1'000'000'000); })),
         false},
        {"an empty group", DockState(OneArea(0, Panes({}))), false},
        {"a size beyond any screen",
         DockState(OneArea(0,
                           [](QDataStream& out) {
                               out << quint8(0xfc) << quint8(2) << qint32(1) << quint8(0xfb) << Q("57348") << quint8(1)
                                   << qint32(0) << qint32(1 << 30) << qint32(0) << qint32(0);
                           })),
         false},
        {"a corner owned by no area", DockState([&two](QDataStream& out) {
             out << qint32(1) << qint32(0) << QSize(250, 700);
             two(out);
             out << QSize(600, 700) << qint32(4) << qint32(8) << qint32(3) << qint32(2);
         }),
         false},
        {"a floating tab group", DockState(OneArea(0, two)) + QByteArray("\xf9", 1), false},
        {"a byte after the end", DockState(OneArea(0, two)) + QByteArray(1, '\0'), false},
        {"another version", QByteArray::fromHex("000000ff00000001") + DockState(OneArea(0, two)).mid(8), false},
        {"nothing but the header", QByteArray::fromHex("000000ff00000000"), false},
        {"nothing", QByteArray(), false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsSoundDockState(c.state), c.sound) << c.what;
    // Cut anywhere, the first layout is no state, except where a section
    // ends; at the end of its dock section it is one.
    const QByteArray first = own.front();
    for (qsizetype length = 0; length < first.size(); ++length)
        EXPECT_EQ(IsSoundDockState(first.left(length)), length == first.size() - 5) << length;
}

// Whatever damaged state passes the check, the toolkit restores it without
// harm (the sanitizer build watches), and the window is whole afterwards.
TEST_F(Shell, DamagedDockStatesThatPassTheCheckAreRestoredWithoutHarm) {
    ASSERT_TRUE(Start());
    CMainFrame& frame = Frame();
    frame.addDockWidget(Qt::BottomDockWidgetArea, frame.m_paneIpStats);
    frame.splitDockWidget(frame.m_paneIpStats, frame.m_paneUdpStats, Qt::Horizontal);
    frame.m_paneProtocols->setFloating(true);
    QApplication::processEvents();
    const QByteArray state = frame.saveState();
    std::mt19937 random(25);
    int passed = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray damaged = state;
        // A few bytes changed, or a number set to one at the edge of its
        // range, or a stretch cut out or repeated.
        const auto at = [&random](qsizetype size) {
            return std::uniform_int_distribution<qsizetype>(0, size - 1)(random);
        };
        switch (round % 4) {
            case 0:
                for (int i = 0; i < 3; ++i) damaged[at(damaged.size())] = static_cast<char>(random());
                break;
            case 1: {
                const qsizetype where = at(damaged.size() - 4);
                const quint32 edges[] = {0, 1, 3, 4, 0xffffffffu, 0x7fffffffu, 0x80000000u, 0xfa, 0xfb, 0xfc, 0xfd};
                const quint32 value = edges[random() % std::size(edges)];
                for (int i = 0; i < 4; ++i) damaged[where + i] = static_cast<char>(value >> (24 - 8 * i));
                break;
            }
            case 2: damaged.remove(at(damaged.size()), static_cast<qsizetype>(random() % 40)); break;
            default: {
                const qsizetype from = at(damaged.size());
                damaged.insert(at(damaged.size()), damaged.mid(from, static_cast<qsizetype>(random() % 40)));
                break;
            }
        }
        if (!IsSoundDockState(damaged)) continue;
        ++passed;
        frame.restoreState(damaged);
        QApplication::processEvents();
    }
    EXPECT_GT(passed, 100);  // the check is no wall that lets nothing through
    frame.OnResetLayout();
    QApplication::processEvents();
    for (CNetworkDataView* pane : frame.Panes()) EXPECT_TRUE(frame.IsPaneReachable(pane));
    EXPECT_TRUE(frame.m_paneNetworks->IsOnScreen());
}

// A window placement as the toolkit writes one is read whole, on any
// screen; anything else is none.
TEST(SavedPlacement, ReadWholeOrNotAtAll) {
    QWidget normal;
    normal.setGeometry(120, 90, 900, 640);
    const QByteArray saved = normal.saveGeometry();
    const std::optional<SavedPlacement> read = ParsePlacement(saved);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->geometry, QRect(120, 90, 900, 640));
    EXPECT_FALSE(read->maximized);
    EXPECT_FALSE(read->fullScreen);

    QWidget maximized;
    maximized.setGeometry(100, 100, 800, 600);
    maximized.showMaximized();
    QApplication::processEvents();
    const std::optional<SavedPlacement> big = ParsePlacement(maximized.saveGeometry());
    ASSERT_TRUE(big.has_value());
    EXPECT_TRUE(big->maximized);
    EXPECT_EQ(big->geometry, QRect(100, 100, 800, 600));  // where it comes back to

    // The places of the fields in the form the toolkit writes (version 3):
    // magic, version, frame, normal rectangle, screen, maximised, full
    // screen, the screen's width, the window's rectangle.
    ASSERT_EQ(saved.size(), 66);
    constexpr qsizetype kVersion = 4, kMaximized = 44, kScreenWidth = 46, kLeft = 50, kRight = 58;
    const auto with = [&saved](qsizetype at, quint32 value, int bytes = 4) {
        QByteArray changed = saved;
        for (int i = 0; i < bytes; ++i) changed[at + i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
        return changed;
    };
    // Saved on a screen of another width: read all the same.
    EXPECT_TRUE(ParsePlacement(with(kScreenWidth, 3840)).has_value());

    const std::pair<const char*, QByteArray> bad[] = {
        {"empty", QByteArray()},
        {"another magic number", with(0, 0x1D9D0CC)},
        {"version 4", with(kVersion, 4, 2)},
        {"version 0", with(kVersion, 0, 2)},
        {"a maximised flag of 1", with(kMaximized, 1, 1)},
        {"a byte after the end", saved + QByteArray(1, '\0')},
        {"a rectangle turned inside out", with(kRight, 10)},
        {"far beyond any screen", with(kLeft, 0x7f000000)},
    };
    for (const auto& [what, bytes] : bad) EXPECT_FALSE(ParsePlacement(bytes).has_value()) << what;
    for (qsizetype length = 0; length < saved.size(); ++length)
        EXPECT_FALSE(ParsePlacement(saved.left(length)).has_value()) << length;
}

// A start that finds the settings as it would write them leaves the file
// alone: writing it again would replace it and wait for the disk.
TEST_F(Shell, AStartWithTheSettingsInPlaceDoesNotRewriteThem) {
    ASSERT_TRUE(Start());  // the first start writes the look and the first-run mark
    app_.reset();
    const QString path = QSettings(QSettings::NativeFormat, QSettings::UserScope, Q(kSettingsOrganization),
                                   Q(kSettingsApplication))
                             .fileName();
    struct stat before {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &before), 0);

    ASSERT_TRUE(Start());
    struct stat after {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // a rewrite replaces the file
    EXPECT_EQ(Setting("ApplicationLook").toInt(), 216);

    Frame().OnCommand(212);  // a change is written
    struct stat changed {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &changed), 0);
    EXPECT_NE(changed.st_ino, before.st_ino);
    EXPECT_EQ(Setting("ApplicationLook").toInt(), 212);
}

TEST_F(Shell, TheCommandLineFileOpensAsTheDocument) {
    SetSetting("FirstRun", 0);
    QTemporaryDir dir;
    const QString path = dir.path() + "/capture.bin";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\x00\x01 not a document", 18);
    file.close();
    ASSERT_TRUE(Start({QFile::encodeName(path)}));
    QMdiArea* area = Frame().MdiArea();
    ASSERT_EQ(area->subWindowList().size(), 1);
    EXPECT_EQ(area->subWindowList()[0]->windowTitle(), Q("capture.bin"));
    EXPECT_EQ(Frame().windowTitle(), Q("Tessaline 2.1 - capture.bin"));

    // New documents count on from 1; the windows dialog lists them all.
    Frame().OnCommand(57600);
    Frame().OnCommand(57600);
    QStringList listed;
    app_->m_runWindowsDialog = [&](QDialog& dialog) {
        auto* list = dialog.findChild<QListWidget*>(Q("windowsList"));
        for (int i = 0; list != nullptr && i < list->count(); ++i) listed << list->item(i)->text();
    };
    Frame().OnCommand(131);
    listed.sort();
    EXPECT_EQ(listed, (QStringList{Q("Tessaline1"), Q("Tessaline2"), Q("capture.bin")}));
}

// The first window fits the screen's available area with room for a window
// manager's frame, and is never larger than 1280 x 800.
TEST(FirstWindow, FitsTheAvailableAreaOfTheScreen) {
    struct Case {
        QSize available;
        QSize window;
    };
    const Case cases[] = {
        {{1920, 1170}, {1280, 800}},  // a common desktop screen, panel at the bottom
        {{1366, 736}, {1280, 696}},   // a common laptop screen with a 32-pixel panel
        {{1024, 768}, {1008, 728}},
        {{1280, 800}, {1264, 760}},
        {{800, 600}, {784, 560}},
        {{}, {1280, 800}},  // no screen known
    };
    for (const Case& c : cases) {
        const QSize size = FirstWindowSize(c.available);
        EXPECT_EQ(size, c.window) << c.available.width() << "x" << c.available.height();
        if (c.available.isValid()) {
            EXPECT_LE(size.width(), c.available.width());
            EXPECT_LE(size.height(), c.available.height());
        }
    }
    // On the screen the tests run on, the preferred size fits.
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(FirstWindowSize(screen->availableGeometry().size()), QSize(1280, 800));
}

// A file named on the command line that cannot be opened is told of once,
// and the window comes up with a new document instead of the start ending.
TEST_F(Shell, AFileThatCannotBeOpenedIsToldAndANewDocumentOpens) {
    SetSetting("FirstRun", 0);
    app_ = std::make_unique<CTessalineApp>();
    // The toolkit's message is shown by the document type; here it is only
    // counted, so that nothing waits.
    int messages = 0;
    app_->m_messageHook = [&](QWidget*, const QString&) { ++messages; };
    ASSERT_TRUE(app_->InitInstance({QByteArray("/nonexistent/tessaline-test.tsl")}));
    EXPECT_EQ(messages, 1);
    const QList<QMdiSubWindow*> windows = Frame().MdiArea()->subWindowList();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_EQ(windows[0]->windowTitle(), Q("Tessaline1"));
    EXPECT_TRUE(Frame().isVisible());
}

// The command line's name reaches the document as the bytes it was: a name
// that is not UTF-8 names its own file, not one spelt with replacement
// characters, and a name may start with '-'.
TEST_F(Shell, TheCommandLineFileIsNamedInBytes) {
    SetSetting("FirstRun", 0);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    ASSERT_EQ(mkdir((root + "/sub").constData(), 0700), 0);
    struct Case {
        QByteArray given;     // relative to the temporary directory unless absolute
        QByteArray resolved;  // the file, under the temporary directory
    };
    const Case cases[] = {
        {"-x", "/-x"},
        {root + "/caf\xe9 \xff.tsl", "/caf\xe9 \xff.tsl"},
        {"sub/../\xc3(-\x80.bin", "/\xc3(-\x80.bin"},
        {"./sub/--print", "/sub/--print"},
    };
    const CurrentDirectory here(root);
    for (const Case& c : cases) {
        const QByteArray file = root + c.resolved;
        const Removed cleanup(file);  // the temporary directory cannot remove a name it cannot decode
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << c.given.toStdString();
        ::close(fd);
        ASSERT_TRUE(Start({c.given})) << c.given.toStdString();
        const QList<QMdiSubWindow*> windows = Frame().MdiArea()->subWindowList();
        ASSERT_EQ(windows.size(), 1);
        const auto* frame = qobject_cast<CChildFrame*>(windows[0]);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->Document()->NativePathName(), file) << c.given.toStdString();
        EXPECT_EQ(frame->Document()->Title(), QFile::decodeName(file.mid(file.lastIndexOf('/') + 1)));
        app_.reset();
    }
}

// ------------------------------------------------------------ settings file

// Whatever stands where the settings file goes that is not a regular file is
// never opened, written or replaced: the start goes on at once with the
// defaults, kept in memory, and says so once.
TEST_F(Shell, ASettingsPathThatIsNoRegularFileIsLeftAloneAndTheDefaultsUsed) {
    const QString path = CTessalineApp::SettingsFilePath();
    const QByteArray native = QFile::encodeName(path);
    const QString folder = QFileInfo(path).path();
    ASSERT_TRUE(QDir().mkpath(folder));
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());

    // A character device to point a link at.  Root could replace a real one
    // in /dev, so root points at a node of its own (the null device's
    // numbers) in the scratch directory; anyone else cannot write /dev and
    // points at /dev/null itself.
    QByteArray device = "/dev/null";
    if (geteuid() == 0) {
        device = QFile::encodeName(scratch.path()) + "/null";
        if (mknod(device.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
            std::printf("root without the right to make a device node: no link to a device is tried\n");
            device.clear();
        }
    }
    const QByteArray fifo = QFile::encodeName(scratch.path()) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);

    struct Case {
        const char* what;
        std::function<bool()> make;
    };
    std::vector<Case> cases = {
        {"FIFO", [&] { return mkfifo(native.constData(), 0600) == 0; }},
        {"link to a FIFO", [&] { return symlink(fifo.constData(), native.constData()) == 0; }},
        {"directory", [&] { return mkdir(native.constData(), 0700) == 0; }},
        {"dangling link", [&] { return symlink("nowhere/at/all", native.constData()) == 0; }},
        {"socket",
         [&] {
             const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             if (fd < 0 || native.size() >= static_cast<qsizetype>(sizeof address.sun_path)) return false;
             std::memcpy(address.sun_path, native.constData(), static_cast<std::size_t>(native.size()));
             const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
             close(fd);
             return bound;
         }},
    };
    struct stat deviceBefore {};
    if (!device.isEmpty()) {
        ASSERT_EQ(::stat(device.constData(), &deviceBefore), 0);
        cases.push_back({"link to a device", [&] { return symlink(device.constData(), native.constData()) == 0; }});
    }
    for (const Case& c : cases) {
        const Removed cleanup(native);
        ASSERT_TRUE(c.make()) << c.what << ": " << std::strerror(errno);
        struct stat before {};
        ASSERT_EQ(::lstat(native.constData(), &before), 0);
        {
            const Watchdog watchdog(60);  // a start that waits on the path is ended, and fails
            const StderrCapture err;
            ASSERT_TRUE(StartAlone()) << c.what;
            EXPECT_TRUE(app_->SettingsInMemory()) << c.what;
            EXPECT_EQ(app_->m_nApplicationLook, 216u) << c.what;  // the default
            EXPECT_EQ(app_->m_nAboutBoxes, 1) << c.what;          // a first run, as far as anyone knows
            Frame().OnCommand(212);                               // kept for the run
            EXPECT_EQ(app_->GetInt(Q("ApplicationLook"), 0), 212) << c.what;
            Frame().close();
            app_.reset();
            const QByteArray said =
                "tessaline: settings file " + native + " is not a regular file; using the defaults and not saving\n";
            EXPECT_EQ(err.Text().count(said), 1) << c.what << ": " << err.Text().toStdString();
        }
        struct stat after {};
        ASSERT_EQ(::lstat(native.constData(), &after), 0) << c.what;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.what;  // never renamed over
        EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
        EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                  QStringList{QFileInfo(path).fileName()})
            << c.what;  // no temporary file left beside it
    }
    if (!device.isEmpty()) {
        struct stat deviceAfter {};
        ASSERT_EQ(::stat(device.constData(), &deviceAfter), 0);
        EXPECT_TRUE(S_ISCHR(deviceAfter.st_mode));
        EXPECT_EQ(deviceAfter.st_ino, deviceBefore.st_ino);
        EXPECT_EQ(deviceAfter.st_rdev, deviceBefore.st_rdev);
    }
}

// Settings that cannot be written (here: their folder cannot be made, a
// file stands where it would go) are said once, in a box once the window is
// up and on stderr, however many values fail; the run keeps the values it
// set.
TEST_F(Shell, SettingsThatCannotBeSavedAreSaidOnceAndKeptForTheRun) {
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString blocker = scratch.filePath(Q("file"));
    ASSERT_TRUE(QFile(blocker).open(QIODevice::WriteOnly));
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker + Q("/config")));
    struct Restore {
        QByteArray value;
        ~Restore() { qputenv("XDG_CONFIG_HOME", value); }
    } restore{saved};

    QStringList boxes;
    const StderrCapture err;
    app_ = std::make_unique<CTessalineApp>();
    app_->m_messageHook = [&boxes](QWidget*, const QString& text) { boxes << text; };
    app_->m_runAboutBox = [](CAboutDlg&) {};
    ASSERT_TRUE(app_->InitInstance({}));  // a first start: it writes the first-run mark
    QApplication::processEvents();
    EXPECT_EQ(app_->m_nAboutBoxes, 1);
    ASSERT_EQ(boxes.size(), 1) << boxes.join(Q("; ")).toStdString();
    EXPECT_TRUE(boxes.front().contains(Q("cannot be saved"))) << boxes.front().toStdString();
    EXPECT_TRUE(app_->SettingsInMemory());
    Frame().OnCommand(212);  // a look, kept for the run
    EXPECT_EQ(app_->GetInt(Q("ApplicationLook"), 0), 212);
    EXPECT_EQ(app_->GetInt(Q("FirstRun"), 1), 0);
    Frame().close();
    app_.reset();
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_EQ(err.Text().count("cannot be saved"), 1) << err.Text().toStdString();
}

// A regular file, or a link to one, is still read and written.
TEST_F(Shell, SettingsInARegularFileOrBehindALinkToOneAreSavedAndReadBack) {
    const QString path = CTessalineApp::SettingsFilePath();
    const QByteArray native = QFile::encodeName(path);
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QByteArray target = QFile::encodeName(scratch.path()) + "/elsewhere.conf";
    for (const bool link : {false, true}) {
        const Removed cleanup(native);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        if (link) {
            ASSERT_TRUE(QFile(QFile::decodeName(target)).open(QIODevice::WriteOnly));
            ASSERT_EQ(symlink(target.constData(), native.constData()), 0);
        }
        const StderrCapture err;
        ASSERT_TRUE(Start());
        EXPECT_FALSE(app_->SettingsInMemory());
        Frame().OnCommand(212);
        app_.reset();
        ASSERT_TRUE(Start());
        EXPECT_EQ(app_->m_nApplicationLook, 212u) << link;
        EXPECT_EQ(app_->m_nAboutBoxes, 0) << link;
        app_.reset();
        EXPECT_FALSE(err.Text().contains("tessaline: settings file")) << err.Text().toStdString();
        struct stat st {};
        ASSERT_EQ(::lstat(native.constData(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), link);
        if (link) {
            QFile written(QFile::decodeName(target));
            ASSERT_TRUE(written.open(QIODevice::ReadOnly));
            EXPECT_TRUE(written.readAll().contains("ApplicationLook=212"));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);
    return RUN_ALL_TESTS();
}

// ------------------------------------------------------------ table view

// Ctrl+T turns the focused socket pane into its table, Ctrl+F goes to the
// filter, typing filters and "N of M" follows; the table, its sort and the
// filter's text come back at the next start.  Damaged saved values give
// the pane its defaults and a field marked bad, never a crash.
TEST_F(Shell, TheTableItsSortAndTheFilterAreKeptAcrossARestart) {
    SetSetting("FirstRun", 0);
    ASSERT_TRUE(Start());
    CMainFrame* frame = &Frame();
    frame->activateWindow();
    QApplication::setActiveWindow(frame);
    CNetworkDataView* tcp = frame->m_paneTcpSockets;
    ASSERT_TRUE(tcp->HasTableView());
    EXPECT_FALSE(frame->m_paneIpStats->HasTableView());
    tcp->Tree().setFocus();
    QApplication::processEvents();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_T, Qt::ControlModifier);
    ASSERT_TRUE(tcp->IsTableView());
    ASSERT_NE(tcp->TableView(), nullptr);
    EXPECT_TRUE(tcp->TableView()->isVisible());
    EXPECT_FALSE(tcp->Tree().isVisible());
    auto* ribbonTable = qobject_cast<QToolButton*>(frame->Ribbon()->FindElement(32810));
    ASSERT_NE(ribbonTable, nullptr);
    EXPECT_TRUE(ribbonTable->isEnabled());
    EXPECT_TRUE(ribbonTable->isChecked());
    tcp->TableView()->sortByColumn(2, Qt::DescendingOrder);  // Local Port

    tcp->TableView()->setFocus();
    QApplication::processEvents();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::ControlModifier);
    ASSERT_NE(tcp->FilterBar(), nullptr);
    ASSERT_TRUE(tcp->FilterBar()->isAncestorOf(QApplication::focusWidget()));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("lport:1-65535"));
    EXPECT_FALSE(tcp->FilterBar()->HasError());
    auto* counts = tcp->FilterBar()->findChild<QLabel*>(QStringLiteral("filterCounts"));
    ASSERT_NE(counts, nullptr);
    EXPECT_TRUE(counts->text().contains(QStringLiteral(" of "))) << counts->text().toStdString();
    QTest::qWait(700);  // the views are written a moment after they change
    EXPECT_EQ(Setting("TableView19").toInt(), 1);
    EXPECT_EQ(Setting("Filter19").toString(), QStringLiteral("lport:1-65535"));

    app_.reset();
    ASSERT_TRUE(Start());
    tcp = Frame().m_paneTcpSockets;
    ASSERT_TRUE(tcp->IsTableView());
    EXPECT_EQ(tcp->FilterText(), QStringLiteral("lport:1-65535"));
    EXPECT_EQ(tcp->TableView()->header()->sortIndicatorSection(), 2);
    EXPECT_EQ(tcp->TableView()->header()->sortIndicatorOrder(), Qt::DescendingOrder);

    // Saved values that are not ours.
    app_.reset();
    SetSetting("TableView19", 7);
    SetSetting("TableState19", QByteArray("\x00\xff garbage", 10));
    SetSetting("Filter19", QStringLiteral("((((port:"));
    SetSetting("TableView21", QStringLiteral("yes"));
    ASSERT_TRUE(Start());
    tcp = Frame().m_paneTcpSockets;
    EXPECT_FALSE(tcp->IsTableView());
    EXPECT_TRUE(tcp->FilterBar()->HasError());
    tcp->SetTableView(true);
    EXPECT_TRUE(tcp->TableView()->isVisible());
}
