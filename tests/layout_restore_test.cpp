// The window's saved layouts on screens smaller and larger than the one
// they were saved on.  CTest runs this program once per screen size (the
// offscreen screen is fixed when a process starts), with LAYOUT_DIR set:
//   Generate  drives the real window into many states (panes pinned on every
//             edge, floating, hidden, moved; the window small, larger than
//             the screen, moved off it, maximised, full screen), closes it
//             and keeps each settings file in $LAYOUT_DIR.
//   Restore   starts the window with each file found under $LAYOUT_DIR (and,
//             for those in its folder $LAYOUT_DAMAGED, with its values cut
//             short or garbled): the start never fails or crashes, every pane
//             can be reached, a layout that cannot be taken is dropped for
//             the first layout with one message, and one saved on another
//             screen is saved and taken again on this one.
// Each start's name goes to stderr first, so that a crash names its layout.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScreen>
#include <QSettings>
#include <QTabBar>
#include <QToolBar>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "AppEnvironment.h"
#include "AutoHide.h"
#include "CAboutDlg.h"
#include "CMainFrame.h"
#include "CNetworkDataView.h"
#include "CRibbonBar.h"
#include "CTessalineApp.h"

namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }

void Settle() {
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

class Layouts : public ::testing::Test {
protected:
    void TearDown() override { app_.reset(); }

    static void RemoveSettings() { QFile::remove(CTessalineApp::SettingsFilePath()); }

    // Starts the window; the message boxes it shows are counted.
    void Start() {
        app_ = std::make_unique<CTessalineApp>();
        messages_.clear();
        app_->m_messageHook = [this](QWidget*, const QString& text) { messages_ << text; };
        app_->m_runAboutBox = [](CAboutDlg&) {};
        ASSERT_TRUE(app_->InitInstance({}));
        Settle();
    }
    CMainFrame& Frame() { return *app_->MainFrame(); }

    // Where each pane is: area, floating, on an edge, its tab group's size.
    std::vector<std::tuple<int, bool, bool, int>> Where() {
        std::vector<std::tuple<int, bool, bool, int>> panes;
        for (CNetworkDataView* pane : Frame().Panes())
            panes.emplace_back(Frame().dockWidgetArea(pane), pane->isFloating(), Frame().AutoHide()->IsAutoHidden(pane),
                               static_cast<int>(Frame().tabifiedDockWidgets(pane).size()));
        return panes;
    }

    std::unique_ptr<CTessalineApp> app_;
    QStringList messages_;
};

// ------------------------------------------------------------ generating

struct WindowState {
    const char* name;
    std::function<void(CMainFrame&)> apply;
};

struct PaneMoves {
    const char* name;
    std::function<void(CMainFrame&)> apply;
};

const std::vector<WindowState>& WindowStates() {
    static const std::vector<WindowState> states = {
        {"normal", [](CMainFrame&) {}},
        {"maximised", [](CMainFrame& f) { f.showMaximized(); }},
        {"fullscreen", [](CMainFrame& f) { f.showFullScreen(); }},
        {"small", [](CMainFrame& f) { f.resize(640, 480); }},
        {"larger", [](CMainFrame& f) { f.resize(Available().size() + QSize(400, 300)); }},
        {"offscreen", [](CMainFrame& f) { f.move(Available().right() - 200, Available().bottom() - 150); }},
    };
    return states;
}

const std::vector<PaneMoves>& PaneMovesTable() {
    const auto pin = [](CMainFrame& f, CNetworkDataView* pane) { f.AutoHide()->SetAutoHidden(pane, true); };
    const auto dock = [](CMainFrame& f, CNetworkDataView* pane, Qt::DockWidgetArea area) {
        f.addDockWidget(area, pane);
        pane->show();
        Settle();
    };
    static const std::vector<PaneMoves> moves = {
        {"first", [](CMainFrame&) {}},
        {"pinned-right", [=](CMainFrame& f) { pin(f, f.m_paneTcpSockets); }},
        {"pinned-left", [=](CMainFrame& f) { pin(f, f.m_paneNetworks); }},
        {"pinned-right-and-bottom",
         [=](CMainFrame& f) {
             pin(f, f.m_paneTcpSockets);
             dock(f, f.m_paneIpStats, Qt::BottomDockWidgetArea);
             pin(f, f.m_paneIpStats);
         }},
        {"pinned-top-and-slid-out",
         [=](CMainFrame& f) {
             dock(f, f.m_paneProcesses, Qt::TopDockWidgetArea);
             pin(f, f.m_paneProcesses);
             f.AutoHide()->SlideOut(f.m_paneProcesses);
             f.AutoHide()->FinishAnimations();
         }},
        {"pinned-every-edge",
         [=](CMainFrame& f) {
             dock(f, f.m_paneConnectionLog, Qt::BottomDockWidgetArea);
             dock(f, f.m_paneListeningPorts, Qt::TopDockWidgetArea);
             for (CNetworkDataView* pane :
                  {f.m_paneNetworks, f.m_paneTcpSockets, f.m_paneConnectionLog, f.m_paneListeningPorts})
                 pin(f, pane);
         }},
        {"pinned-whole-group",
         [=](CMainFrame& f) {
             for (CNetworkDataView* pane :
                  {f.m_paneTcpSockets, f.m_paneUdpSockets, f.m_paneTcp6Sockets, f.m_paneUdp6Sockets,
                   f.m_paneConnectionLog, f.m_paneProcesses, f.m_paneListeningPorts})
                 pin(f, pane);
         }},
        {"floating-off-screen",
         [](CMainFrame& f) {
             f.m_paneUdpSockets->setFloating(true);
             f.m_paneUdpSockets->setGeometry(Available().right() - 100, Available().bottom() - 80, 500, 400);
             f.m_paneIcmpStats->setFloating(true);
             f.m_paneIcmpStats->move(-300, 40);
         }},
        {"hidden",
         [](CMainFrame& f) {
             f.m_paneAdapters->close();
             f.m_paneTcpStats->close();
             f.m_paneTcpSockets->close();
         }},
        {"all-hidden",
         [](CMainFrame& f) {
             for (CNetworkDataView* pane : f.Panes()) pane->close();
         }},
        {"moved-between-groups",
         [=](CMainFrame& f) {
             f.tabifyDockWidget(f.m_paneNetworks, f.m_paneProcesses);
             dock(f, f.m_paneIp6Stats, Qt::BottomDockWidgetArea);
             dock(f, f.m_paneUdpStats, Qt::BottomDockWidgetArea);
             f.splitDockWidget(f.m_paneIp6Stats, f.m_paneUdpStats, Qt::Horizontal);
         }},
        {"mixed",
         [=](CMainFrame& f) {
             f.m_paneProtocols->setFloating(true);
             pin(f, f.m_paneTcpSockets);
             dock(f, f.m_paneTcpStats, Qt::BottomDockWidgetArea);
             pin(f, f.m_paneTcpStats);
             f.m_paneInterfaces->close();
         }},
    };
    return moves;
}

TEST_F(Layouts, Generate) {
    const QString dir = qEnvironmentVariable("LAYOUT_DIR");
    if (dir.isEmpty()) GTEST_SKIP() << "run by CTest with LAYOUT_DIR set";
    // Made afresh: no layout of an earlier build stays among them.
    QDir(dir).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(dir));
    for (const WindowState& window : WindowStates()) {
        // Every set of moves in the normal and the maximised window (the
        // states a user keeps); the others with a few.
        const bool all = Q(window.name) == Q("normal") || Q(window.name) == Q("maximised");
        for (const PaneMoves& moves : PaneMovesTable()) {
            if (!all && Q(moves.name) != Q("pinned-right-and-bottom") && Q(moves.name) != Q("floating-off-screen") &&
                Q(moves.name) != Q("mixed"))
                continue;
            const QString name = Q(window.name) + Q("-") + Q(moves.name);
            SCOPED_TRACE(name.toStdString());
            RemoveSettings();
            {
                QSettings settings(CTessalineApp::SettingsFilePath(), QSettings::IniFormat);
                settings.setValue(Q("Workspace/FirstRun"), 0);
            }
            Start();
            window.apply(Frame());
            Settle();
            moves.apply(Frame());
            Settle();
            Frame().close();
            app_.reset();
            const QString kept = dir + Q("/") + name + Q(".conf");
            QFile::remove(kept);
            ASSERT_TRUE(QFile::copy(CTessalineApp::SettingsFilePath(), kept));
        }
    }
}

// ------------------------------------------------------------- restoring

// A saved layout with its values cut short or garbled: the dock layout
// cut, the dock layout with bytes past its header changed, or the window
// placement, edges and extents garbled.
void Damage(QSettings& settings, int how, std::mt19937& random) {
    const auto cut = [&random](QByteArray bytes) {
        if (bytes.isEmpty()) return bytes;
        bytes.truncate(std::uniform_int_distribution<qsizetype>(0, bytes.size() - 1)(random));
        return bytes;
    };
    const auto garble = [&random](QByteArray bytes, qsizetype from) {
        for (int i = 0; i < 6 && bytes.size() > from; ++i)
            bytes[std::uniform_int_distribution<qsizetype>(from, bytes.size() - 1)(random)] =
                static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
        return bytes;
    };
    const QString state = Q("Workspace/DockingManagers");
    const QString placement = Q("Workspace/WindowPlacement");
    switch (how) {
        case 0: settings.setValue(state, cut(settings.value(state).toByteArray())); break;
        case 1: settings.setValue(state, garble(settings.value(state).toByteArray(), 8)); break;
        default: {
            const QByteArray bytes = settings.value(placement).toByteArray();
            settings.setValue(placement, random() % 2 == 0 ? cut(bytes) : garble(bytes, 4));
            const QString names[] = {Q("57358"), Q("57348"), Q("57363"), Q("nonsense"), Q("")};
            QStringList edges;
            for (int i = 0; i < 4; ++i)
                edges << Q("%1 %2 %3")
                             .arg(names[random() % 5])
                             .arg(static_cast<int>(random() % 10))
                             .arg(static_cast<int>(random() % 100000) - 1000);
            settings.setValue(Q("Workspace/AutoHiddenPanes"), edges.join(QLatin1Char(';')));
            settings.setValue(Q("Workspace/PaneExtents"),
                              Q("%1 %2 0 %3").arg(random() % 70000).arg(random() % 300).arg(random() % 3000));
            break;
        }
    }
}

// Whether the user can get the pane in view now, and how it failed if not.
QString Unreachable(CMainFrame& frame, CNetworkDataView* pane) {
    CAutoHideManager& edges = *frame.AutoHide();
    // Within the window, and the window's part of it on the screen.
    const QRect inside = frame.rect();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const auto in = [&frame, &inside, &screen](const QWidget* widget) {
        return inside.contains(QRect(widget->mapTo(&frame, QPoint(0, 0)), widget->size())) &&
               screen.contains(QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()));
    };
    if (pane->isHidden()) return Q("hidden");
    if (edges.IsAutoHidden(pane)) {
        QWidget* tab = edges.EdgeTab(pane);
        if (tab == nullptr) return Q("on an edge without a tab");
        // A strip longer than the window shows the rest behind its
        // extension button.
        auto* strip = qobject_cast<QToolBar*>(tab->parentWidget());
        const bool behindButton = strip != nullptr && !tab->isVisible() && strip->isVisible() &&
                                  strip->findChild<QAbstractButton*>(Q("qt_toolbar_ext_button")) != nullptr &&
                                  strip->findChild<QAbstractButton*>(Q("qt_toolbar_ext_button"))->isVisible();
        if (!behindButton && (!tab->isVisible() || !in(tab) || tab->width() < 8 || tab->height() < 8))
            return Q("its edge tab is out of sight");
        edges.SlideOut(pane);
        edges.FinishAnimations();
        Settle();
        const bool out = pane->isVisible() && in(pane) && pane->width() >= 40 && pane->height() >= 40;
        edges.SlideIn(pane);
        edges.FinishAnimations();
        return out ? QString() : Q("it does not slide out into the window");
    }
    if (pane->isFloating()) {
        const QRect place = pane->frameGeometry();
        return pane->isVisible() && Available().contains(place) ? QString() : Q("floating out of the screen");
    }
    if (frame.dockWidgetArea(pane) == Qt::NoDockWidgetArea) return Q("in no dock area");
    pane->raise();
    Settle();
    if (!pane->IsOnScreen() || !in(pane) || pane->height() < 40 || pane->width() < 40) return Q("docked out of sight");
    return {};
}

void ExpectReachable(CMainFrame& frame) {
    // The window on the screen: in its normal state wholly; maximised or
    // full screen, no larger than the screen, and its normal place on it.
    const QRect screen = frame.isFullScreen() ? QGuiApplication::primaryScreen()->geometry() : Available();
    const QRect place = frame.frameGeometry();
    const QRect normal = frame.normalGeometry();
    const bool onScreen = frame.isMaximized() || frame.isFullScreen()
                              ? place.width() <= screen.width() && place.height() <= screen.height() &&
                                    (!normal.isValid() || Available().contains(normal))
                              : screen.contains(place);
    EXPECT_TRUE(onScreen) << "window at " << place.x() << "," << place.y() << " " << place.width() << "x"
                          << place.height() << " in the state " << frame.windowState().toInt();
    for (const ToggleInfo& toggle : CMainFrame::ToggleTable()) {
        CNetworkDataView* pane = frame.*toggle.member;
        auto* box = qobject_cast<QCheckBox*>(frame.Ribbon()->FindElement(toggle.commandId));
        ASSERT_NE(box, nullptr);
        const QString caption = pane->windowTitle();
        EXPECT_EQ(box->isChecked(), !pane->isHidden()) << caption.toStdString();
        if (pane->isHidden()) {
            // Its box brings it back.
            box->click();
            Settle();
            frame.AutoHide()->FinishAnimations();
        }
        const QString problem = Unreachable(frame, pane);
        EXPECT_TRUE(problem.isEmpty()) << caption.toStdString() << ": " << problem.toStdString();
    }
}

TEST_F(Layouts, Restore) {
    const QString dir = qEnvironmentVariable("LAYOUT_DIR");
    const QString damaged = qEnvironmentVariable("LAYOUT_DAMAGED");
    if (dir.isEmpty()) GTEST_SKIP() << "run by CTest with LAYOUT_DIR set";
    RemoveSettings();
    Start();
    const auto first = Where();
    app_.reset();

    QStringList files;
    for (const QString& sub : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        for (const QString& file : QDir(dir + Q("/") + sub).entryList({Q("*.conf")}, QDir::Files, QDir::Name))
            files << sub + Q("/") + file;
    ASSERT_FALSE(files.isEmpty());
    int whole = 0, wholeDropped = 0;
    for (const QString& file : files) {
        const bool damage = !damaged.isEmpty() && file.startsWith(damaged + Q("/"));
        for (int variant = -1; variant < (damage ? 3 : 0); ++variant) {
            const QString name = file + (variant < 0 ? QString() : Q(" damaged %1").arg(variant));
            SCOPED_TRACE(name.toStdString());
            std::fprintf(stderr, "restoring %s\n", name.toLocal8Bit().constData());
            std::fflush(stderr);
            RemoveSettings();
            ASSERT_TRUE(QFile::copy(dir + Q("/") + file, CTessalineApp::SettingsFilePath()));
            QFile::setPermissions(CTessalineApp::SettingsFilePath(), QFile::ReadOwner | QFile::WriteOwner);
            QStringList saved;
            {
                QSettings settings(CTessalineApp::SettingsFilePath(), QSettings::IniFormat);
                // The same damage at every run (FNV-1a of the name).
                std::uint32_t seed = 2166136261u;
                for (const char c : name.toUtf8()) seed = (seed ^ static_cast<unsigned char>(c)) * 16777619u;
                std::mt19937 random(seed);
                if (variant >= 0) Damage(settings, variant, random);
                for (const CAutoHideManager::EdgePane& edge :
                     ParseEdgePanes(settings.value(Q("Workspace/AutoHiddenPanes")).toString()))
                    saved << edge.name;
            }
            Start();
            CMainFrame& frame = Frame();
            // Taken as it was saved, its panes on their edges again; or, when
            // its panes need more room than this screen has (its window
            // outgrew the screen it was made on, or a smaller one), dropped.
            const QString noRoom = Q("the saved window layout needs more room than the screen has");
            const bool dropped = !messages_.isEmpty();
            if (variant < 0 && !dropped) {
                QStringList onEdges;
                for (const CAutoHideManager::EdgePane& edge : frame.AutoHide()->EdgePanes()) onEdges << edge.name;
                EXPECT_EQ(onEdges, saved);
            }
            if (variant < 0) {
                ++whole;
                if (dropped) {
                    ++wholeDropped;
                    EXPECT_TRUE(messages_.front().startsWith(noRoom)) << messages_.front().toStdString();
                    // On the largest screen every layout has room.
                    EXPECT_LT(Available().width(), 2560);
                }
            }
            // Dropped for the first layout with one message, or taken.
            EXPECT_LE(messages_.size(), 1) << messages_.join(Q("; ")).toStdString();
            if (dropped) {
                EXPECT_TRUE(messages_.front().contains(Q("layout"))) << messages_.front().toStdString();
                EXPECT_EQ(Where(), first);
                // Forgotten, so that the next start does not say it again.
                QSettings settings(CTessalineApp::SettingsFilePath(), QSettings::IniFormat);
                EXPECT_TRUE(settings.value(Q("Workspace/DockingManagers")).toByteArray().isEmpty());
                EXPECT_TRUE(settings.value(Q("Workspace/WindowPlacement")).toByteArray().isEmpty());
            }
            ExpectReachable(frame);
            if (variant < 0 && !damage && !dropped) {
                // Saved on another screen: saved again on this one, and
                // taken again.
                frame.close();
                app_.reset();
                Start();
                EXPECT_TRUE(messages_.isEmpty()) << messages_.join(Q("; ")).toStdString();
                ExpectReachable(Frame());
            }
            app_.reset();
            if (HasFatalFailure()) return;
        }
    }
    // Most layouts have room on any of the screens.
    EXPECT_LE(wholeDropped * 10, whole) << wholeDropped << " of " << whole << " dropped for room";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);
    return RUN_ALL_TESTS();
}
