// The tab bars of the frame's tab groups of panes.
//
// Titles: where the whole titles of a bar's tabs do not all fit in it, its
// tabs show their pane's short title ("TCP" for "Active TCP Sockets"; a
// title short enough has none and stays); where they fit, the whole ones.
// Every tab's tooltip (and its pane's caption) says the title whole.  The toolkit writes
// the whole title into the bar at every layout of the frame, so the bar
// keeps it as its text: the bar's own style measures and draws the short
// one in its place.
//
// Tearing off: a tab dragged out of its bar takes its pane with it, to
// float or to dock elsewhere, as a pane's caption does.
#pragma once

#include <QString>
#include <functional>

class QMainWindow;
class QTabBar;

// A tab's short title by its whole one; null where it has none.
using ShortTitleOf = std::function<QString(const QString& title)>;

// Makes `bar`, a tab bar of `frame`'s tab groups, one whose tabs take short
// titles as they must (fitted again whenever the bar is resized) and come
// out of it when dragged away.  Once per bar; later calls do nothing.
void AdoptPaneTabBar(QMainWindow* frame, QTabBar* bar, ShortTitleOf shortOf);
bool IsAdoptedPaneTabBar(const QTabBar* bar);

// Fits the titles of an adopted bar to its width now; true when a tab's
// title changed.
bool FitPaneTabTitles(QTabBar* bar);

// The title tab `index` of `bar` shows.
QString ShownTabTitle(const QTabBar* bar, int index);

// The width (the height, for tabs on a side) the tabs of an adopted bar
// take with the short title on every tab that has one.
int ShortTabsExtent(const QTabBar* bar);
