// The window's layout as the settings keep it: the panes (the toolkit's
// main window state) and the window's placement (the toolkit's widget
// geometry).  The settings file is the user's and may hold anything; the
// toolkit's readers of both trust what they read (an area number out of its
// range writes outside the layout, a deep nesting runs the stack out), so
// the bytes are checked here first, against the forms the toolkit writes.
#pragma once

#include <QByteArray>
#include <QRect>
#include <optional>

// Whether `state` is a main window state as the toolkit writes it for this
// window: its version marker and version 0, one dock section (0xfd) and at
// most one tool bar section (0xfc), nothing else and nothing after them.
// Within them: at most the four areas, each once, its root ordered as the
// area runs; nested groups no deeper than a window can make them; tabs only
// of panes; every pane named, and once; numbers within a screen's reach;
// no floating tab groups or tool bars (this window makes none).
bool IsSoundDockState(const QByteArray& state);

// A window placement as the toolkit writes it (format versions 1 to 3).
struct SavedPlacement {
    QRect geometry;  // the window's inner rectangle in its normal state; may be
                     // none (invalid) for a maximised or full screen window
    bool maximized = false;
    bool fullScreen = false;
};

// The placement, or none when the bytes are not one whole placement with
// sane rectangles and state flags.
std::optional<SavedPlacement> ParsePlacement(const QByteArray& bytes);
