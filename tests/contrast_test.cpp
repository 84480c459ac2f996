// What the main window shows in each of the nine looks, read off rendered
// pictures: every text against its background (WCAG AA: 4.5:1) in its
// resting, hot, pressed and selected states, the focus mark against what
// surrounds it (3:1), the colours of report tree lines marked new, changed
// and closed against the tree's background, their glyphs beside a selected
// line, and hot states that end once the pointer has gone.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHoverEvent>
#include <QImage>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QScreen>
#include <QStyle>
#include <QStyleOption>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "AppEnvironment.h"
#include "AutoHide.h"
#include "CAboutDlg.h"
#include "CMainFrame.h"
#include "CNetworkDataView.h"
#include "CRibbonBar.h"
#include "CTessalineApp.h"
#include "Looks.h"
#include "Resources.h"

namespace {

constexpr double kTextContrast = 4.5;
constexpr double kMarkContrast = 3.0;
const unsigned kLooks[] = {210, 211, 212, 213, 214, 215, 216, 217, 218};

// ------------------------------------------------------------ measuring

// WCAG relative luminance of an sRGB colour, and the contrast ratio of two.
double Luminance(QRgb c) {
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

double Contrast(QRgb a, QRgb b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QRgb MostCommon(const std::unordered_map<QRgb, int>& counts) {
    QRgb best = 0;
    int most = -1;
    for (const auto& [colour, n] : counts)
        if (n > most || (n == most && colour < best)) best = colour, most = n;
    return best;
}

struct Reading {
    double ratio = 1;
    QRgb foreground = 0;
    QRgb background = 0;
};

std::string Hex(QRgb c) { return QColor(c).name().toStdString(); }

std::ostream& operator<<(std::ostream& os, const Reading& r) {
    return os << r.ratio << ":1, " << Hex(r.foreground) << " on " << Hex(r.background);
}

// A text in `area` of `image`: its background is the area's most common
// colour, its colour the pixel that stands out most against that.  An area
// without text reads 1:1.
Reading ReadText(const QImage& image, QRect area) {
    area &= image.rect();
    std::unordered_map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++counts[image.pixel(x, y) | 0xFF000000u];
    Reading reading;
    reading.background = reading.foreground = MostCommon(counts);
    for (const auto& [colour, n] : counts) {
        const double ratio = Contrast(colour, reading.background);
        if (ratio > reading.ratio) reading.ratio = ratio, reading.foreground = colour;
    }
    return reading;
}

// The focus mark: the pixels that taking the focus changed, set against
// the most common colour of the unchanged pixels beside them.  A mark of
// two colours (dots of one between dots of the other, to show on any fill)
// is read by the one that stands out more; a colour counts as the mark's
// when a quarter of its pixels have it.  No changed pixels, no mark: 1:1.
Reading ReadMark(const QImage& focused, const QImage& resting, int* markPixels) {
    const auto changed = [&](int x, int y) { return focused.pixel(x, y) != resting.pixel(x, y); };
    std::unordered_map<QRgb, int> mark, around;
    *markPixels = 0;
    for (int y = 0; y < focused.height(); ++y) {
        for (int x = 0; x < focused.width(); ++x) {
            if (changed(x, y)) {
                ++mark[focused.pixel(x, y) | 0xFF000000u];
                ++*markPixels;
                continue;
            }
            const bool beside = (x > 0 && changed(x - 1, y)) || (x + 1 < focused.width() && changed(x + 1, y)) ||
                                (y > 0 && changed(x, y - 1)) || (y + 1 < focused.height() && changed(x, y + 1));
            if (beside) ++around[focused.pixel(x, y) | 0xFF000000u];
        }
    }
    Reading reading;
    if (mark.empty() || around.empty()) return reading;
    reading.background = MostCommon(around);
    reading.foreground = MostCommon(mark);
    reading.ratio = Contrast(reading.foreground, reading.background);
    for (const auto& [colour, n] : mark) {
        if (4 * n >= *markPixels && Contrast(colour, reading.background) > reading.ratio)
            reading.ratio = Contrast(colour, reading.background), reading.foreground = colour;
    }
    return reading;
}

// ---------------------------------------------------------------- window

// A region of `widget` as the window shows it: grabbed from its window, so
// that what the parents draw behind the widget is in the picture.
QImage Seen(QWidget* widget, const QRect& region) {
    QWidget* window = widget->window();
    const QRect inWindow(widget->mapTo(window, region.topLeft()), region.size());
    return window->grab(inWindow).toImage().convertToFormat(QImage::Format_RGB32);
}
QImage Seen(QWidget* widget) { return Seen(widget, widget->rect()); }

void Settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

// A tab's text: the tab inside its outline, without its picture and the
// button at its end.
QRect TabTextArea(const QTabBar* bar, int index) {
    QRect area = bar->tabRect(index).adjusted(4, 3, -4, -3);
    if (!bar->tabIcon(index).isNull()) area.setLeft(area.left() + bar->iconSize().width() + 2);
    for (const auto side : {QTabBar::LeftSide, QTabBar::RightSide}) {
        const QWidget* button = bar->tabButton(index, side);
        if (button == nullptr || button->isHidden()) continue;
        if (side == QTabBar::LeftSide)
            area.setLeft(std::max(area.left(), button->geometry().right() + 2));
        else
            area.setRight(std::min(area.right(), button->geometry().left() - 2));
    }
    return area;
}

QTabBar* TabBarOf(QWidget* parent, const QString& tabText, int* index) {
    for (QTabBar* bar : parent->findChildren<QTabBar*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!bar->isVisible()) continue;
        for (int i = 0; i < bar->count(); ++i)
            if (bar->tabText(i) == tabText) {
                *index = i;
                return bar;
            }
    }
    return nullptr;
}

// The pointer over a tab of a bar, as its hover events tell it.
void HoverTab(QTabBar* bar, int index) {
    const QPointF at = bar->tabRect(index).center();
    QHoverEvent move(QEvent::HoverMove, at, bar->mapToGlobal(at), QPointF(-1, -1));
    QApplication::sendEvent(bar, &move);
}
void LeaveTabBar(QTabBar* bar) {
    QHoverEvent leave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(-1, -1), QPointF(-1, -1));
    QApplication::sendEvent(bar, &leave);
}


class Window : public ::testing::Test {
protected:
    void SetUp() override {
        m_app = std::make_unique<CTessalineApp>();
        m_app->m_messageHook = [](QWidget*, const QString&) {};
        m_app->m_runAboutBox = [](CAboutDlg&) {};
        ASSERT_TRUE(m_app->InitInstance({}));
        Settle();
        ASSERT_NE(m_app->MainFrame(), nullptr);
        QApplication::setActiveWindow(m_app->MainFrame());
        Settle();
    }
    void TearDown() override { m_app.reset(); }

    CMainFrame& Frame() { return *m_app->MainFrame(); }
    template <typename T = QWidget>
    T* Named(const char* name) {
        return Frame().findChild<T*>(QString::fromLatin1(name));
    }

    std::unique_ptr<CTessalineApp> m_app;
};

// ------------------------------------------------------------- the table

// One text or focus mark of the window in one state: `take` puts the
// element in the state, returns its picture, and puts it back.
struct Shot {
    QImage image;
    QRect area;      // the text's rectangle in the picture (texts)
    QImage resting;  // the same region without the focus (marks)
};
struct Case {
    std::string element;
    std::string state;
    bool mark;  // a focus mark, else a text
    std::function<Shot()> take;
};

// A widget's text in `area`, with `before` done and `after` undone around
// the picture.
Shot TextShot(QWidget* widget, const QRect& area, const std::function<void()>& before = {},
              const std::function<void()>& after = {}) {
    if (before) before();
    Shot shot{Seen(widget), area, {}};
    if (after) after();
    return shot;
}

// The focus mark of `widget` in `region`, as the keyboard gives it the focus.
Shot MarkShot(QWidget* widget, const QRect& region, QWidget* elsewhere) {
    widget->window()->setAttribute(Qt::WA_KeyboardFocusChange);
    elsewhere->setFocus(Qt::TabFocusReason);
    Settle();
    const QImage resting = Seen(widget, region);
    widget->setFocus(Qt::TabFocusReason);
    Settle();
    EXPECT_TRUE(widget->hasFocus()) << widget->objectName().toStdString();
    const QImage focused = Seen(widget, region);
    elsewhere->setFocus(Qt::TabFocusReason);
    Settle();
    return {focused, {}, resting};
}

// The states a button shows: resting, hot, pressed.
void AddButtonStates(std::vector<Case>& cases, const std::string& element, QAbstractButton* button,
                     const std::function<QRect()>& area) {
    cases.push_back({element, "normal", false, [=] { return TextShot(button, area()); }});
    cases.push_back({element, "hover", false, [=] {
                         return TextShot(
                             button, area(), [=] { button->setAttribute(Qt::WA_UnderMouse, true); },
                             [=] { button->setAttribute(Qt::WA_UnderMouse, false); });
                     }});
    cases.push_back({element, "pressed", false, [=] {
                         return TextShot(
                             button, area(),
                             [=] {
                                 button->setAttribute(Qt::WA_UnderMouse, true);
                                 button->setDown(true);
                             },
                             [=] {
                                 button->setDown(false);
                                 button->setAttribute(Qt::WA_UnderMouse, false);
                             });
                     }});
}

QRect CheckBoxText(QCheckBox* box) {
    QStyleOptionButton option;
    option.initFrom(box);
    option.text = box->text();
    option.icon = box->icon();
    option.iconSize = box->iconSize();
    return box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
}

// A tool button's text: the button inside the frame its hot state draws.
QRect ToolButtonText(QToolButton* button) { return button->rect().adjusted(3, 3, -3, -3); }

// The tabs of a bar: the current one, another, and another under the pointer.
void AddTabStates(std::vector<Case>& cases, const std::string& element, QWidget* parent, const QString& current,
                  const QString& other) {
    const auto tab = [parent](const QString& text, int* index) {
        QTabBar* bar = TabBarOf(parent, text, index);
        EXPECT_NE(bar, nullptr) << text.toStdString();
        return bar;
    };
    cases.push_back({element, "current", false, [=] {
                         int i = 0;
                         QTabBar* bar = tab(current, &i);
                         EXPECT_EQ(bar->currentIndex(), i);
                         return TextShot(bar, TabTextArea(bar, i));
                     }});
    cases.push_back({element, "other", false, [=] {
                         int i = 0;
                         QTabBar* bar = tab(other, &i);
                         return TextShot(bar, TabTextArea(bar, i));
                     }});
    cases.push_back({element, "other hover", false, [=] {
                         int i = 0;
                         QTabBar* bar = tab(other, &i);
                         return TextShot(
                             bar, TabTextArea(bar, i), [=] { HoverTab(bar, i); }, [=] { LeaveTabBar(bar); });
                     }});
}

// ------------------------------------------------------- change colours

// A colour's hue in degrees, or -1 for a grey: below 40% saturation or 15%
// value it shows none.
int Hue(const QColor& c) { return c.hsvSaturation() < 102 || c.value() < 38 ? -1 : c.hsvHue(); }

// Two colours a user tells apart by their hue: both coloured and at least
// 30 degrees apart, or one coloured and the other grey.
bool ApartInHue(const QColor& a, const QColor& b) {
    const int ha = Hue(a), hb = Hue(b);
    if (ha < 0 || hb < 0) return ha != hb;
    const int d = std::abs(ha - hb);
    return std::min(d, 360 - d) >= 30;
}

// A marked line's colour as a user names it: new lines green, changed ones
// amber or yellow, closed ones red; a hue range of [from, to], through 0
// where `from` > `to`.
struct ChangeMark {
    const char* mark;
    QColor ChangeColours::*colour;
    int from, to;
};
const ChangeMark kChangeMarks[] = {
    {"new", &ChangeColours::added, 90, 170},
    {"changed", &ChangeColours::changed, 35, 65},
    {"closed", &ChangeColours::closed, 345, 15},
};

// The report tree's lines marked new, changed and closed, drawn in the
// look's change colours on the tree's background.  The background is read
// off the tree as the window shows it, with the focus and without; the base
// of the tree's active and inactive palettes counts too (a window that is
// not active fills the tree with the latter).  Each colour reads at 4.5:1
// on every one of them, differs in hue from the other two and from the
// lines' normal text, and lies in its colour family.  Returns the figures:
// each colour with its lowest ratio, and the background shown.
std::string CheckChangeColours(CViewTree& tree, QWidget* elsewhere, const std::string& look) {
    std::vector<QRgb> backgrounds;
    for (QWidget* focus : {static_cast<QWidget*>(&tree), elsewhere}) {
        focus->setFocus(Qt::OtherFocusReason);
        Settle();
        const QImage shown = Seen(&tree);
        std::unordered_map<QRgb, int> counts;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) ++counts[shown.pixel(x, y) | 0xFF000000u];
        backgrounds.push_back(MostCommon(counts));
    }
    std::vector<QColor> texts;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        backgrounds.push_back(tree.palette().color(group, QPalette::Base).rgb());
        texts.push_back(tree.palette().color(group, QPalette::Text));
    }

    const ChangeColours colours = LookChangeColours(CurrentLook());
    std::string figures;
    for (const ChangeMark& m : kChangeMarks) {
        const QColor colour = colours.*m.colour;
        Reading lowest{1e9, colour.rgb(), 0};
        for (const QRgb background : backgrounds)
            if (Contrast(colour.rgb(), background) < lowest.ratio)
                lowest = {Contrast(colour.rgb(), background), colour.rgb(), background};
        EXPECT_GE(lowest.ratio, kTextContrast) << look << ": report tree line marked " << m.mark << ": " << lowest;
        const int hue = Hue(colour);
        EXPECT_TRUE(m.from <= m.to ? hue >= m.from && hue <= m.to : hue >= m.from || (hue >= 0 && hue <= m.to))
            << look << ": the colour of " << m.mark << " lines, " << Hex(colour.rgb()) << ", has hue " << hue
            << ", outside " << m.from << ".." << m.to;
        for (const QColor& text : texts)
            EXPECT_TRUE(ApartInHue(colour, text)) << look << ": " << m.mark << " lines, " << Hex(colour.rgb())
                                                  << ", look like the text, " << Hex(text.rgb());
        for (const ChangeMark& other : kChangeMarks) {
            if (&other <= &m) continue;
            EXPECT_TRUE(ApartInHue(colour, colours.*other.colour))
                << look << ": " << m.mark << " lines, " << Hex(colour.rgb()) << ", look like " << other.mark
                << " lines, " << Hex((colours.*other.colour).rgb());
        }
        figures += std::string(figures.empty() ? "" : ", ") + m.mark + " " + Hex(colour.rgb()) + " " +
                   QString::number(lowest.ratio, 'f', 2).toStdString() + ":1";
    }
    return figures + " (on " + Hex(backgrounds.front()) + ")";
}

// ------------------------------------------------------------- contrast

TEST_F(Window, EveryTextAndFocusMarkStandsOutInEveryLook) {
    CMainFrame& frame = Frame();
    CAutoHideManager& edges = *frame.AutoHide();
    CRibbonBar& ribbon = *frame.Ribbon();
    // A second document, for a document tab that is not the current one,
    // and a pane on each side strip.
    frame.OnCommand(ids::ID_FILE_NEW);
    edges.SetAutoHidden(frame.m_paneUdpStats, true);
    edges.SetAutoHidden(frame.m_paneUdpSockets, true);
    Settle();
    ASSERT_TRUE(edges.IsAutoHidden(frame.m_paneUdpStats));
    ASSERT_TRUE(edges.IsAutoHidden(frame.m_paneUdpSockets));

    std::vector<Case> cases;

    // The ribbon: its one category tab, the check boxes, the buttons.
    QTabBar* categories = ribbon.Tabs();
    cases.push_back(
        {"ribbon category tab", "selected", false, [=] { return TextShot(categories, TabTextArea(categories, 0)); }});
    cases.push_back({"ribbon category tab", "selected hover", false, [=] {
                         return TextShot(
                             categories, TabTextArea(categories, 0), [=] { HoverTab(categories, 0); },
                             [=] { LeaveTabBar(categories); });
                     }});
    for (const int id : {32781, ids::ID_AUTOREFRESH_ALL}) {
        auto* box = qobject_cast<QCheckBox*>(ribbon.FindElement(id));
        ASSERT_NE(box, nullptr) << id;
        AddButtonStates(cases, "ribbon check box " + box->text().toStdString(), box,
                        [box] { return CheckBoxText(box); });
    }
    auto* style = Named<QToolButton>("ribbonStyleButton");
    auto* about = Named<QToolButton>("ribbonAboutButton");
    auto* reset = qobject_cast<QToolButton*>(ribbon.FindElement(ids::ID_RESET_LAYOUT));
    ASSERT_TRUE(style != nullptr && about != nullptr && reset != nullptr);
    AddButtonStates(cases, "Style button", style, [style] { return ToolButtonText(style); });
    AddButtonStates(cases, "Reset Layout button", reset, [reset] { return ToolButtonText(reset); });
    // A panel folded into its button in a narrow window: its title under
    // its icon.
    {
        CRibbonPanel* folded = ribbon.Categories().front()->Panels().back();
        QToolButton* button = folded->CollapsedButton();
        for (const std::string state : {"normal", "hover", "pressed"}) {
            cases.push_back({"folded panel " + folded->title().toStdString(), state, false, [=, &frame] {
                                 const QSize size = frame.size();
                                 frame.resize(frame.minimumWidth(), size.height());
                                 Settle();
                                 EXPECT_TRUE(folded->IsCollapsed());
                                 if (state != "normal") button->setAttribute(Qt::WA_UnderMouse, true);
                                 if (state == "pressed") button->setDown(true);
                                 const QRect text = button->rect().adjusted(3, button->iconSize().height() + 6, -3, -3);
                                 Shot shot{Seen(button), text, {}};
                                 button->setDown(false);
                                 button->setAttribute(Qt::WA_UnderMouse, false);
                                 frame.resize(size);
                                 Settle();
                                 return shot;
                             }});
        }
    }

    // The panels' titles.
    for (CRibbonPanel* panel : ribbon.Categories().front()->Panels()) {
        cases.push_back({"panel label " + panel->title().toStdString(), "normal", false, [panel] {
                             QStyleOptionGroupBox option;
                             option.initFrom(panel);
                             option.text = panel->title();
                             option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
                             const QRect band = panel->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                                               QStyle::SC_GroupBoxLabel, panel);
                             return TextShot(panel, band.adjusted(2, 2, -2, -2));
                         }});
    }

    // Pane captions, of the pane that holds the focus and of another.
    for (CNetworkDataView* pane : {frame.m_paneNetworks, frame.m_paneTcpSockets}) {
        QWidget* bar = pane->titleBarWidget();
        ASSERT_NE(bar, nullptr);
        auto* pin = bar->findChild<QToolButton*>(QStringLiteral("pinButton"));
        ASSERT_NE(pin, nullptr);
        // The caption's text, after the pane's 16-pixel icon and its gap.
        constexpr int kTextLeft = 6 + 16 + 4;
        const auto caption = [bar, pin] { return QRect(kTextLeft, 3, pin->x() - kTextLeft - 4, bar->height() - 6); };
        for (const bool active : {true, false}) {
            cases.push_back({"pane caption " + pane->windowTitle().toStdString(), active ? "active" : "inactive", false,
                             [=, &frame] {
                                 QWidget* focus = active ? static_cast<QWidget*>(&pane->Tree())
                                                         : frame.MdiArea()->currentSubWindow()->widget();
                                 return TextShot(bar, caption(), [focus] {
                                     focus->setFocus(Qt::OtherFocusReason);
                                     Settle();
                                 });
                             }});
        }
    }

    // The docked panes' tab bars, and the document tabs.
    AddTabStates(cases, "dock tabs Networks group", &frame, frame.m_paneNetworks->windowTitle(),
                 frame.m_paneAdapters->windowTitle());
    AddTabStates(cases, "dock tabs IP group", &frame, frame.m_paneIpStats->windowTitle(),
                 frame.m_paneIcmpStats->windowTitle());
    QMdiArea* mdi = frame.MdiArea();
    ASSERT_EQ(mdi->subWindowList().size(), 2);
    // The first layout gives the socket lines their width and leaves the
    // documents room for one tab: both tabs are read in a wider window.
    frame.resize(std::max(frame.width(), 1900), frame.height());
    QApplication::processEvents();
    AddTabStates(cases, "document tabs", mdi, mdi->currentSubWindow()->windowTitle(),
                 mdi->subWindowList().front() == mdi->currentSubWindow() ? mdi->subWindowList().back()->windowTitle()
                                                                         : mdi->subWindowList().front()->windowTitle());

    // The tabs on the edge strips: resting, hot, and open (its pane slid out).
    for (CNetworkDataView* pane : {frame.m_paneUdpStats, frame.m_paneUdpSockets}) {
        const std::string element = "edge tab " + pane->windowTitle().toStdString();
        const auto tab = [&edges, pane] { return static_cast<QAbstractButton*>(edges.EdgeTab(pane)); };
        // The text without the pane's icon, which comes first in the text's
        // direction: on the left edge it reads upwards, on the right down.
        const auto area = [tab] {
            QRect r = tab()->rect().adjusted(4, 4, -4, -4);
            constexpr int kIcon = 16 + 4;
            if (r.height() <= r.width())
                r.setLeft(r.left() + kIcon);
            else if (tab()->mapTo(tab()->window(), QPoint()).x() < tab()->window()->width() / 2)
                r.setBottom(r.bottom() - kIcon);
            else
                r.setTop(r.top() + kIcon);
            return r;
        };
        cases.push_back({element, "normal", false, [=] { return TextShot(tab(), area()); }});
        cases.push_back({element, "hover", false, [=] {
                             return TextShot(
                                 tab(), area(), [=] { tab()->setAttribute(Qt::WA_UnderMouse, true); },
                                 [=] { tab()->setAttribute(Qt::WA_UnderMouse, false); });
                         }});
        cases.push_back({element, "open", false, [=, &edges] {
                             return TextShot(
                                 tab(), area(),
                                 [=, &edges] {
                                     edges.SlideOut(pane);
                                     edges.FinishAnimations();
                                     Settle();
                                 },
                                 [=, &edges] {
                                     edges.SlideIn(pane);
                                     edges.FinishAnimations();
                                     Settle();
                                 });
                         }});
    }

    // Report tree lines: resting, and selected with and without the focus.
    CViewTree& tree = frame.m_paneNetworks->Tree();
    HTREEITEM line = tree.Child(tree.Child(TVI_ROOT, 0), 0);
    ASSERT_NE(line, nullptr);
    // The line's text: after the image, inside the selection's margins.
    const auto lineText = [&tree, line] {
        return tree.ItemRect(line).adjusted(3 + tree.iconSize().width() + 4, 2, -3, -2);
    };
    const auto treeShot = [&tree, &frame, line, lineText](bool selected, bool focused) {
        return TextShot(&tree, lineText(), [&, selected, focused] {
            tree.SetCurrentItem(selected ? line : tree.Child(TVI_ROOT, 0));
            if (focused)
                tree.setFocus(Qt::OtherFocusReason);
            else
                frame.MdiArea()->currentSubWindow()->widget()->setFocus(Qt::OtherFocusReason);
            Settle();
        });
    };
    cases.push_back({"report tree line", "normal", false, [=] { return treeShot(false, true); }});
    cases.push_back({"report tree line", "selected, focused", false, [=] { return treeShot(true, true); }});
    cases.push_back({"report tree line", "selected, unfocused", false, [=] { return treeShot(true, false); }});
    // The glyph of each mark in the mark column, beside the selected line.
    const std::pair<LineMark, const char*> marks[] = {
        {LineMark::New, "new"}, {LineMark::Changed, "changed"}, {LineMark::Closed, "closed"}};
    for (const auto& [mark, what] : marks) {
        cases.push_back({std::string("report tree mark ") + what, "selected, focused", false, [=, &tree] {
                             const QRect cell(0, tree.ItemRect(line).top(), tree.MarkColumnWidth(), tree.RowHeight());
                             return TextShot(
                                 &tree, cell,
                                 [=, &tree] {
                                     tree.SetItemMark(line, mark);
                                     tree.SetCurrentItem(line);
                                     tree.setFocus(Qt::OtherFocusReason);
                                     Settle();
                                 },
                                 [=, &tree] { tree.SetItemMark(line, LineMark::None); });
                         }});
    }

    // The Style menu's items, resting and highlighted.
    QMenu* looks = style->menu();
    ASSERT_NE(looks, nullptr);
    for (const bool highlighted : {false, true}) {
        cases.push_back({"Style menu item", highlighted ? "highlighted" : "normal", false, [=] {
                             looks->popup(style->mapToGlobal(QPoint(0, style->height())));
                             Settle();
                             // An item without the radio mark of the look shown.
                             QAction* item = looks->actions().value(looks->actions().front()->isChecked() ? 1 : 0);
                             looks->setActiveAction(highlighted ? item : nullptr);
                             Settle();
                             Shot shot{looks->grab().toImage().convertToFormat(QImage::Format_RGB32),
                                       looks->actionGeometry(item).adjusted(3, 3, -3, -3),
                                       {}};
                             looks->hide();
                             Settle();
                             return shot;
                         }});
    }

    // Tooltips, among them the About button's, which has no text of its own.
    for (QToolButton* button : {style, about}) {
        cases.push_back(
            {"tooltip " + button->toolTip().toStdString(), "normal", false, [button] {
                 QToolTip::showText(button->mapToGlobal(button->rect().center()), button->toolTip(), button);
                 Settle();
                 QLabel* tip = nullptr;
                 for (QWidget* w : QApplication::topLevelWidgets())
                     if (w->objectName() == QLatin1String("qtooltip_label") && w->isVisible())
                         tip = qobject_cast<QLabel*>(w);
                 EXPECT_NE(tip, nullptr);
                 if (tip == nullptr) return Shot{};
                 Shot shot{tip->grab().toImage().convertToFormat(QImage::Format_RGB32), tip->contentsRect(), {}};
                 QToolTip::hideText();
                 Settle();
                 return shot;
             }});
    }

    // Focus marks, each against the same region without the focus.
    QWidget* document = frame.MdiArea()->currentSubWindow()->widget();
    const std::pair<const char*, QWidget*> focusable[] = {
        {"ribbon check box", ribbon.FindElement(32781)},
        {"application button", ribbon.ApplicationButton()},
        {"Style button", style},
        {"About button", about},
        {"Reset Layout button", reset},
    };
    for (const auto& [element, widget] : focusable) {
        cases.push_back({std::string("focus mark ") + element, "focused", true,
                         [=] { return MarkShot(widget, widget->rect(), document); }});
    }
    cases.push_back({"focus mark ribbon category tab", "focused", true,
                     [=] { return MarkShot(categories, categories->tabRect(0), document); }});
    cases.push_back({"focus mark dock tabs", "focused", true, [=, &frame] {
                         int i = 0;
                         QTabBar* bar = TabBarOf(&frame, frame.m_paneNetworks->windowTitle(), &i);
                         return MarkShot(bar, bar->tabRect(i), document);
                     }});
    cases.push_back({"focus mark caption button", "focused", true, [=, &frame] {
                         // The caption buttons take no focus of their own; one
                         // that does is marked like any tool button.
                         auto* pin = frame.m_paneNetworks->titleBarWidget()->findChild<QToolButton*>(
                             QStringLiteral("pinButton"));
                         const Qt::FocusPolicy policy = pin->focusPolicy();
                         pin->setFocusPolicy(Qt::TabFocus);
                         Shot shot = MarkShot(pin, pin->rect(), document);
                         pin->setFocusPolicy(policy);
                         return shot;
                     }});

    for (const unsigned look : kLooks) {
        frame.OnCommand(static_cast<int>(look));
        Settle();
        const std::string name = LookLabel(look).remove(QLatin1Char('&')).toStdString();
        // The lowest ratio of the texts and of the focus marks, and where.
        std::map<bool, std::pair<double, std::string>> lowest = {{false, {1e9, ""}}, {true, {1e9, ""}}};
        for (const Case& c : cases) {
            const Shot shot = c.take();
            Reading reading;
            if (c.mark) {
                int pixels = 0;
                reading = ReadMark(shot.image, shot.resting, &pixels);
                EXPECT_GE(pixels, 8) << name << ": " << c.element << " shows no focus mark";
                EXPECT_GE(reading.ratio, kMarkContrast) << name << ": " << c.element << ": " << reading;
            } else {
                reading = ReadText(shot.image, shot.area);
                EXPECT_GE(reading.ratio, kTextContrast)
                    << name << ": " << c.element << ", " << c.state << ": " << reading;
            }
            if (reading.ratio < lowest[c.mark].first) lowest[c.mark] = {reading.ratio, c.element + ", " + c.state};
        }
        const std::string changes = CheckChangeColours(tree, document, name);
        const auto ratio = [](double r) { return QString::number(r, 'f', 2).toStdString(); };
        std::cout << "lowest contrast, " << name << ": text " << ratio(lowest[false].first) << ":1 ("
                  << lowest[false].second << "), focus mark " << ratio(lowest[true].first) << ":1 ("
                  << lowest[true].second << "), tree lines marked " << changes << std::endl;
        RecordProperty("lowest text contrast, " + name, ratio(lowest[false].first));
        RecordProperty("lowest focus mark contrast, " + name, ratio(lowest[true].first));
        RecordProperty("tree lines marked, " + name, changes);
    }
}

// -------------------------------------------------------- hot states end

// The Style button is hot while the pointer is on it; the look menu it
// opens takes the mouse, so that the button hears nothing when the pointer
// leaves it for the menu.  Once a look is picked there, the button rests.
TEST_F(Window, TheStyleButtonRestsOnceALookIsPickedFromItsMenu) {
    CMainFrame& frame = Frame();
    auto* style = Named<QToolButton>("ribbonStyleButton");
    ASSERT_NE(style, nullptr);
    QMenu* looks = style->menu();
    ASSERT_NE(looks, nullptr);
    QTest::mouseMove(frame.MdiArea());
    Settle();
    const QImage resting = Seen(style);

    QTest::mouseMove(style);
    Settle();
    ASSERT_TRUE(style->underMouse());
    EXPECT_FALSE(Seen(style) == resting) << "the button is drawn hot under the pointer";
    // The look shown now is picked again, so that the button's picture is
    // comparable.
    QAction* shown = nullptr;
    for (QAction* action : looks->actions())
        if (action->isChecked()) shown = action;
    ASSERT_NE(shown, nullptr);
    // While the menu holds the mouse, the pointer goes off the button and
    // the button is told nothing of it.  The offscreen platform, unlike a
    // desktop's window system, tells the window the pointer left as soon as
    // the menu opens: the button is put back as a desktop leaves it, and
    // the pointer is put where there is no window, which tells no window.
    const QPoint nowhere = QGuiApplication::primaryScreen()->geometry().bottomRight();
    ASSERT_FALSE(frame.frameGeometry().contains(nowhere));
    bool picked = false;
    QTimer::singleShot(0, looks, [&] {
        style->setAttribute(Qt::WA_UnderMouse, true);
        QCursor::setPos(nowhere);
        const QPoint at = looks->actionGeometry(shown).center();
        QTest::mouseMove(looks, at);
        QTest::mouseClick(looks, Qt::LeftButton, Qt::NoModifier, at);
        picked = true;
    });
    // Should the click not close the menu, it is closed anyway: the test
    // fails instead of waiting.
    QTimer::singleShot(5000, looks, [looks] { looks->close(); });
    QTest::mouseClick(style, Qt::LeftButton);  // opens the menu and returns once it has closed
    Settle();
    ASSERT_TRUE(picked);
    EXPECT_FALSE(looks->isVisible());
    EXPECT_FALSE(style->underMouse());
    EXPECT_TRUE(Seen(style) == resting) << "the button is still drawn hot";
    // The pointer going back onto the button makes it hot again.
    QTest::mouseMove(style);
    Settle();
    EXPECT_TRUE(style->underMouse());
    EXPECT_FALSE(Seen(style) == resting);
}

// A pane taken to its edge strip and docked back gets its tab in its group
// again where it was, at the place of the click that chose it before: the
// tab is drawn hot only while the pointer is on it.
TEST_F(Window, ATabDockedBackIsNotHotWhileThePointerIsElsewhere) {
    CMainFrame& frame = Frame();
    CAutoHideManager& edges = *frame.AutoHide();
    CNetworkDataView* adapters = frame.m_paneAdapters;
    int index = -1;
    QTabBar* bar = TabBarOf(&frame, adapters->windowTitle(), &index);
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(bar->currentIndex(), index);
    QTest::mouseMove(frame.MdiArea());
    Settle();
    const QImage resting = Seen(bar, bar->tabRect(index));

    // Chosen by a click, the pointer then goes to the pane's pin.
    const QPoint onTab = bar->tabRect(index).center();
    QTest::mouseMove(bar, onTab);
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, onTab);
    Settle();
    ASSERT_EQ(bar->currentIndex(), index);
    QTest::mouseMove(adapters->titleBarWidget());
    Settle();
    edges.SetAutoHidden(adapters, true);
    Settle();
    ASSERT_TRUE(edges.IsAutoHidden(adapters));
    edges.SetAutoHidden(adapters, false);
    Settle();
    ASSERT_FALSE(edges.IsAutoHidden(adapters));
    // Another tab of the group is chosen, from the keyboard.
    frame.m_paneNetworks->raise();
    Settle();

    bar = TabBarOf(&frame, adapters->windowTitle(), &index);
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(bar->currentIndex(), index);
    EXPECT_TRUE(Seen(bar, bar->tabRect(index)) == resting) << "the tab docked back is drawn hot";
    // Under the pointer it is.
    QTest::mouseMove(bar, bar->tabRect(index).center());
    Settle();
    EXPECT_FALSE(Seen(bar, bar->tabRect(index)) == resting);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);
    return RUN_ALL_TESTS();
}
