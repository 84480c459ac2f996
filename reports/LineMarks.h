// The glyph that marks a line changed at the last refresh, drawn beside it
// with the mark's colour so that the mark does not rest on colour alone:
// "+" new, "~" changed, "×" closed, nothing for a line that did not change.
// Every view of the socket lines draws the same glyphs.  Qt-free.
#pragma once

#include <string_view>

#include "ReportTree.h"

constexpr std::u16string_view LineMarkGlyph(LineMark mark) {
    switch (mark) {
        case LineMark::New: return u"+";
        case LineMark::Changed: return u"~";
        case LineMark::Closed: return u"\u00D7";
        case LineMark::None: break;
    }
    return {};
}
