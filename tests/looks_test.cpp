// The application looks: the state each look command leaves behind, and the
// palette and style that show it.
#include "Looks.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDockWidget>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmapCache>
#include <QStyleOption>
#include <QStackedWidget>
#include <QTabBar>
#include <QToolButton>
#include <QTreeWidget>
#include <cmath>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "CRibbonBar.h"
#include "LookStyle.h"

void PrintTo(const LookState& s, std::ostream* os) {
    *os << "{manager " << static_cast<int>(s.manager) << ", style " << s.office2007Style << ", tabs3D " << s.tabs3D
        << ", smartDocking " << s.smartDocking << "}";
}

namespace {

// Read before any test runs: the state no look has touched yet.
const LookState g_initial = CurrentLook();
bool g_lookApplied = false;

QApplication& App() {
    static int argc = 1;
    static char name[] = "looks_test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    return *app;
}

void Apply(unsigned id, QWidget* root = nullptr) {
    g_lookApplied = true;
    SetApplicationLook(id, &App(), root);
}

const std::vector<unsigned> kMenuLooks = {210, 211, 212, 213, 214, 215, 216, 217, 218};
const std::vector<unsigned> kOutsideMenu = {0, 1, 209, 219, 1000, 0xFFFFFFFFu};

// --------------------------------------------------------------- state

TEST(LookState, BeforeAnyLookIsClassicBlueWithBothFlagsOff) {
    EXPECT_EQ(g_initial, (LookState{VisualManager::Classic, kOffice2007Blue, false, false}));
}

TEST(LookState, EachMenuLookSetsItsManagerSchemeAndDocking) {
    constexpr int kKept = -1;  // the scheme of the look before
    struct Case {
        unsigned id;
        VisualManager manager;
        int style;
        bool smartDocking;
    };
    const Case cases[] = {
        {210, VisualManager::Classic, kKept, false},
        {211, VisualManager::OfficeXP, kKept, false},
        {212, VisualManager::Windows, kKept, false},
        {213, VisualManager::Office2003, kKept, true},
        {214, VisualManager::VS2005, kKept, true},
        {215, VisualManager::Office2007, kOffice2007Blue, true},
        {216, VisualManager::Office2007, kOffice2007Black, true},
        {217, VisualManager::Office2007, kOffice2007Silver, true},
        {218, VisualManager::Office2007, kOffice2007Aqua, true},
    };
    for (const Case& c : cases) {
        // A look of another scheme first, so that a kept scheme shows.
        const unsigned before = c.id == 218 ? 216 : 218;
        const int beforeStyle = c.id == 218 ? kOffice2007Black : kOffice2007Aqua;
        Apply(before);
        Apply(c.id);
        const LookState& s = CurrentLook();
        EXPECT_EQ(s.manager, c.manager) << c.id;
        EXPECT_EQ(s.office2007Style, c.style == kKept ? beforeStyle : c.style) << c.id;
        EXPECT_EQ(s.smartDocking, c.smartDocking) << c.id;
    }
}

TEST(LookState, IdsOutsideTheMenuChooseOffice2007InTheSchemeChosenLast) {
    struct Case {
        std::vector<unsigned> before;
        int style;
    };
    const Case cases[] = {
        {{215}, kOffice2007Blue},
        {{216}, kOffice2007Black},
        {{217}, kOffice2007Silver},
        {{218}, kOffice2007Aqua},
        // Looks of other managers leave the scheme as it was.
        {{217, 210}, kOffice2007Silver},
        {{216, 212, 214}, kOffice2007Black},
        {{218, 211, 213}, kOffice2007Aqua},
    };
    for (const Case& c : cases) {
        for (unsigned id : kOutsideMenu) {
            for (unsigned b : c.before) Apply(b);
            Apply(id);
            const LookState& s = CurrentLook();
            EXPECT_EQ(s.manager, VisualManager::Office2007) << id << " after " << c.before.back();
            EXPECT_EQ(s.office2007Style, c.style) << id << " after " << c.before.back();
            EXPECT_TRUE(s.smartDocking) << id;
            // Twice in a row changes nothing either.
            Apply(id);
            EXPECT_EQ(CurrentLook().office2007Style, c.style) << id;
        }
    }
}

TEST(LookState, FirstLookOutsideTheMenuUsesTheBlueScheme) {
    // Meaningful only as the first look of the process (ctest runs every
    // test in a process of its own).
    if (g_lookApplied) GTEST_SKIP() << "a look was applied earlier in this process";
    Apply(219);
    EXPECT_EQ(CurrentLook(), (LookState{VisualManager::Office2007, kOffice2007Blue, false, true}));
}

TEST(LookState, WindowsXpSetsThe3DTabFlagForGood) {
    std::vector<unsigned> others = kOutsideMenu;
    for (unsigned id : kMenuLooks)
        if (id != 212) others.push_back(id);

    // No other look sets it (checked while it is still off in this process).
    if (!CurrentLook().tabs3D) {
        for (unsigned id : others) {
            Apply(id);
            EXPECT_FALSE(CurrentLook().tabs3D) << id;
        }
    }
    Apply(212);
    EXPECT_TRUE(CurrentLook().tabs3D);
    EXPECT_TRUE(TabsDrawn3D(CurrentLook()));
    for (unsigned id : others) {
        Apply(id);
        EXPECT_TRUE(CurrentLook().tabs3D) << id;
        // Only the Windows manager draws tabs in 3D.
        EXPECT_FALSE(TabsDrawn3D(CurrentLook())) << id;
    }
    Apply(212);
    EXPECT_TRUE(TabsDrawn3D(CurrentLook()));
}

TEST(LookLabels, MenuLabelsWithTheirMnemonics) {
    const std::map<unsigned, QString> labels = {
        {210, "Windows 2000"},
        {211, "Office XP"},
        {212, "Windows XP"},
        {213, "Office 2003 (Lite Blue)"},
        {214, "Visual Studio 2005"},
        {215, "Office 2007 (&Blue Style)"},
        {216, "Office 2007 (B&lack Style)"},
        {217, "Office 2007 (&Silver Style)"},
        {218, "Office 2007 (&Aqua Style)"},
    };
    for (const auto& [id, label] : labels) EXPECT_EQ(LookLabel(id).toStdString(), label.toStdString()) << id;
    for (unsigned id : kOutsideMenu) EXPECT_TRUE(LookLabel(id).isEmpty()) << id;
}

// ---------------------------------------------------------- appearance

// A window with an element of every kind a look draws: the ribbon with its
// application button, tab, page and panel, and a document area, a pane and
// pane tabs.
struct SampleWindow {
    QMainWindow window;
    QMdiArea* mdi = new QMdiArea;
    QDockWidget* dock = new QDockWidget(QStringLiteral("IP"), &window);
    QTreeWidget* tree = new QTreeWidget;
    QTabBar* paneTabs = new QTabBar(&window);
    CRibbonBar* ribbon = new CRibbonBar(&window);

    SampleWindow() {
        window.setCentralWidget(mdi);
        mdi->setViewMode(QMdiArea::TabbedView);
        mdi->addSubWindow(new QLabel(QStringLiteral("document")));
        new QTreeWidgetItem(tree, QStringList(QStringLiteral("Forwarding: 0")));
        dock->setWidget(tree);
        window.addDockWidget(Qt::LeftDockWidgetArea, dock);
        paneTabs->setShape(QTabBar::RoundedSouth);
        paneTabs->addTab(QStringLiteral("IP Statistics"));
        paneTabs->addTab(QStringLiteral("ICMP Statistics"));
        paneTabs->move(0, 200);
        QPixmap picture(16, 16);
        picture.fill(Qt::blue);
        ribbon->SetApplicationButton(QIcon(picture), QStringLiteral("Ulvo"), QStringLiteral("Tessaline"), 45);
        ribbon->AddMainCategory(QStringLiteral("File"));
        ribbon->AddMainCategoryButton(1, QStringLiteral("E&xit"), QIcon());
        ribbon->AddCategory(QStringLiteral("Data Sources"))
            ->AddPanel(QStringLiteral("Enumerators"), QIcon())
            ->AddCheckBox(2, QStringLiteral("Networks"));
        window.setMenuWidget(ribbon);
        window.resize(500, 300);
    }
    void Polish() {
        for (QWidget* w : window.findChildren<QWidget*>()) w->ensurePolished();
        window.ensurePolished();
    }
    QByteArray Pixels(QWidget* widget) const {
        const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        return QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
    }
};

SampleWindow& Sample() {
    App();
    static auto* sample = [] {
        auto* s = new SampleWindow;
        s->window.show();
        return s;
    }();
    return *sample;
}

void ApplyToSample(unsigned id) {
    Apply(id, &Sample().window);
    Sample().Polish();
}

struct Shown {
    LookState state;
    QPalette palette;
    QByteArray window;  // the sample window's pixels
};

Shown ShownNow() { return {CurrentLook(), QApplication::palette(), Sample().Pixels(&Sample().window)}; }

void ExpectSameLook(const Shown& a, const Shown& b, const std::string& what) {
    EXPECT_EQ(a.state.manager, b.state.manager) << what;
    EXPECT_TRUE(a.palette == b.palette) << what;
    EXPECT_TRUE(a.window == b.window) << what;
}

TEST(LookAppearance, EveryMenuLookShowsItsOwnPaletteAndRibbon) {
    std::set<QRgb> windows;
    std::set<QRgb> highlights;
    std::set<QByteArray> ribbons;
    for (unsigned id : kMenuLooks) {
        ApplyToSample(id);
        windows.insert(QApplication::palette().color(QPalette::Window).rgb());
        highlights.insert(QApplication::palette().color(QPalette::Highlight).rgb());
        ribbons.insert(Sample().Pixels(Sample().ribbon));
    }
    EXPECT_EQ(windows.size(), kMenuLooks.size());
    EXPECT_EQ(ribbons.size(), kMenuLooks.size());
    EXPECT_GE(highlights.size(), 7u);
}

TEST(LookAppearance, ApplyingALookTwiceChangesNothing) {
    for (unsigned id : kMenuLooks) {
        ApplyToSample(id);
        const Shown once = ShownNow();
        ApplyToSample(id);
        const Shown twice = ShownNow();
        EXPECT_EQ(once.state, twice.state) << id;
        ExpectSameLook(once, twice, "look " + std::to_string(id));
    }
}

TEST(LookAppearance, ALookShowsTheSameWhateverCameBefore) {
    // A fresh process takes the first references before the 3D tab flag is
    // ever set, so a flag leaking into another manager shows too.
    std::map<unsigned, Shown> first;
    for (unsigned id : kMenuLooks) {
        ApplyToSample(id);
        first[id] = ShownNow();
    }
    for (unsigned a : kMenuLooks) {
        for (unsigned b : kMenuLooks) {
            ApplyToSample(b);
            ApplyToSample(a);
            ExpectSameLook(first[a], ShownNow(), "look " + std::to_string(a) + " after " + std::to_string(b));
        }
    }
}

QStringList g_warnings;
void CollectWarnings(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg) g_warnings << text;
}

// Every element is drawn in colours its look's scheme holds, without style
// sheets and without style warnings, the out-of-range look included.
TEST(LookAppearance, EveryLookDrawsInItsOwnSchemesColours) {
    std::vector<unsigned> ids = kMenuLooks;
    ids.push_back(0);
    const QtMessageHandler previous = qInstallMessageHandler(CollectWarnings);
    for (unsigned id : ids) {
        g_warnings.clear();
        const unsigned missing = looks_testing::MissingColourLookups();
        ApplyToSample(id);
        (void)Sample().window.grab();
        Sample().ribbon->MainMenu()->setActiveAction(Sample().ribbon->MainMenu()->actions().value(0));
        (void)Sample().ribbon->MainMenu()->grab();
        EXPECT_EQ(looks_testing::MissingColourLookups(), missing) << id;
        EXPECT_TRUE(App().styleSheet().isEmpty()) << id;
        EXPECT_TRUE(Sample().ribbon->styleSheet().isEmpty()) << id;
        EXPECT_TRUE(g_warnings.filter(QStringLiteral("style"), Qt::CaseInsensitive).isEmpty())
            << id << ": " << g_warnings.join(QLatin1Char('\n')).toStdString();
    }
    qInstallMessageHandler(previous);
}

// WCAG contrast ratio of two colours.
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST(LookAppearance, TextStaysReadableInEveryLook) {
    struct Pair {
        QPalette::ColorRole text;
        QPalette::ColorRole background;
        const char* name;
    };
    const Pair pairs[] = {
        {QPalette::WindowText, QPalette::Window, "window"},
        {QPalette::Text, QPalette::Base, "base"},
        {QPalette::ButtonText, QPalette::Button, "button"},
        {QPalette::HighlightedText, QPalette::Highlight, "highlight"},
        {QPalette::ToolTipText, QPalette::ToolTipBase, "tooltip"},
    };
    for (unsigned id : kMenuLooks) {
        Apply(id);
        const QPalette p = QApplication::palette();
        for (const Pair& pair : pairs)
            EXPECT_GE(Contrast(p.color(pair.text), p.color(pair.background)), 4.5) << id << " " << pair.name;
    }
}

// The texts the looks draw on fills of their own, against every colour stop
// of those fills: a text across a gradient reads along all of it.  (The
// pictures of contrast_test show the texts in place, against the colour
// most of their background has.)
TEST(LookAppearance, SchemeTextsReadAgainstEveryStopOfTheirFills) {
    struct Pair {
        const char* text;
        std::vector<const char*> fills;
    };
    const Pair pairs[] = {
        {"captionText", {"captionTop", "captionMid", "captionBottom", "captionBg"}},
        {"panelTitleText", {"panelTitleTop", "panelTitleBottom"}},
        {"hotText", {"hotTop", "hotBottom", "pressTop", "pressBottom", "checkTop", "checkBottom"}},
        {"rowText", {"rowTop", "rowBottom"}},
        {"ribbonText", {"pageTop", "pageMid", "pageBottom", "panelTop", "panelBottom"}},
        {"tabText", {"tabTop", "tabBottom", "tabBg"}},
    };
    for (unsigned id : kMenuLooks) {
        Apply(id);
        const LookState& look = CurrentLook();
        for (const Pair& pair : pairs) {
            const QColor text = LookColour(look, pair.text);
            if (!text.isValid()) continue;
            for (const char* fill : pair.fills) {
                // The Windows XP caption's light top edge lies above its text.
                if (look.manager == VisualManager::Windows && std::string_view(fill) == "captionTop") continue;
                const QColor colour = LookColour(look, fill);
                if (!colour.isValid()) continue;
                EXPECT_GE(Contrast(text, colour), 4.5) << id << " " << pair.text << " on " << fill;
            }
        }
    }
}

TEST(LookAppearance, DocumentAreaAndPaneCaptionsTakeTheLook) {
    SampleWindow& sample = Sample();
    std::set<QRgb> workspaces;
    for (unsigned id : kMenuLooks) {
        ApplyToSample(id);
        workspaces.insert(sample.mdi->background().color().rgb());
        // The caption bar is coloured unlike the pane's body.
        const QImage image = sample.dock->grab().toImage();
        const QColor caption = image.pixelColor(image.width() / 2, 1);
        EXPECT_NE(caption.rgb(), QApplication::palette().color(QPalette::Window).rgb()) << id;
    }
    EXPECT_EQ(workspaces.size(), kMenuLooks.size());
}

// The style draws the elements outside the ribbon in each look's own
// shapes and colours: no two looks show the same pane caption or pane
// tabs.
TEST(LookAppearance, EveryLookDrawsCaptionsAndTabsOfItsOwn) {
    SampleWindow& sample = Sample();
    std::set<QByteArray> captions, tabs;
    for (unsigned id : kMenuLooks) {
        ApplyToSample(id);
        const auto pixels = [](const QImage& image) {
            const QImage flat = image.convertToFormat(QImage::Format_ARGB32);
            return QByteArray(reinterpret_cast<const char*>(flat.constBits()), flat.sizeInBytes());
        };
        const QImage dock = sample.dock->grab().toImage();
        captions.insert(pixels(dock.copy(0, 0, dock.width(), 20)));
        tabs.insert(pixels(sample.paneTabs->grab().toImage()));
    }
    EXPECT_EQ(captions.size(), kMenuLooks.size());
    EXPECT_EQ(tabs.size(), kMenuLooks.size());
}

// ------------------------------------------------------- repeated drawing

// Drawing an element again and again, as the panes do on every refresh,
// adds nothing to the toolkit's picture cache after the first time: the
// cache is keyed partly by the palette drawn with, so a palette made anew
// for each draw would fill it.  A picture put in a small cache first is
// thrown out only once the cache overflows.
TEST(LookDrawing, RepeatedBranchMarksAddNothingToThePictureCache) {
    App();
    struct Case {
        unsigned look;
        bool open;
    };
    const Case cases[] = {{215, false}, {215, true}, {216, false}, {210, true}};
    const int limit = QPixmapCache::cacheLimit();
    QTreeWidget tree;
    QImage canvas(40, 40, QImage::Format_ARGB32_Premultiplied);
    for (const Case& c : cases) {
        Apply(c.look);
        QPixmapCache::clear();
        QPixmapCache::setCacheLimit(256);  // KB
        QPixmap probe(32, 32);
        probe.fill(Qt::red);
        const QPixmapCache::Key key = QPixmapCache::insert(probe);
        QStyleOption option;
        option.initFrom(&tree);
        option.rect = QRect(0, 0, 20, 20);
        option.state |= QStyle::State_Children | (c.open ? QStyle::State_Open : QStyle::State_None);
        QPainter painter(&canvas);
        for (int i = 0; i < 2000; ++i) QApplication::style()->drawPrimitive(QStyle::PE_IndicatorBranch, &option, &painter, &tree);
        painter.end();
        QPixmap found;
        EXPECT_TRUE(QPixmapCache::find(key, &found)) << "look " << c.look << (c.open ? " open" : " closed");
    }
    QPixmapCache::setCacheLimit(limit);
    QPixmapCache::clear();
}

}  // namespace
