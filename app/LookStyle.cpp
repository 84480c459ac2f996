#include "LookStyle.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QMdiArea>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QRadioButton>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTabBar>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "Looks.h"

namespace {

unsigned g_missingColours = 0;

// The current look's colour `name`; `fallback` where its scheme has none.
// Without a fallback, a name the scheme lacks is counted (the tests expect
// none) and drawn black.
QColor Colour(std::string_view name, const QColor& fallback = QColor()) {
    const QColor c = LookColour(CurrentLook(), name);
    if (c.isValid()) return c;
    if (!fallback.isValid()) ++g_missingColours;
    return fallback.isValid() ? fallback : QColor(Qt::black);
}

VisualManager Manager() { return CurrentLook().manager; }

// A fill across the rectangle: top to bottom, or left to right when
// `across` is set; stops are (position, colour name).
QBrush Gradient(const QRectF& r, std::initializer_list<std::pair<qreal, std::string_view>> stops,
                bool across = false) {
    QLinearGradient g(r.topLeft(), across ? r.topRight() : r.bottomLeft());
    for (const auto& [at, name] : stops) g.setColorAt(at, Colour(name));
    return QBrush(g);
}

// Which corners of a box are rounded.
enum Corners { kTopLeft = 1, kTopRight = 2, kBottomRight = 4, kBottomLeft = 8, kAll = 15 };

QPainterPath RoundedBox(const QRectF& r, qreal radius, int corners) {
    QPainterPath path;
    const qreal d = 2 * radius;
    path.moveTo(r.left() + ((corners & kTopLeft) ? radius : 0), r.top());
    if (corners & kTopRight) {
        path.lineTo(r.right() - radius, r.top());
        path.arcTo(QRectF(r.right() - d, r.top(), d, d), 90, -90);
    } else {
        path.lineTo(r.topRight());
    }
    if (corners & kBottomRight) {
        path.lineTo(r.right(), r.bottom() - radius);
        path.arcTo(QRectF(r.right() - d, r.bottom() - d, d, d), 0, -90);
    } else {
        path.lineTo(r.bottomRight());
    }
    if (corners & kBottomLeft) {
        path.lineTo(r.left() + radius, r.bottom());
        path.arcTo(QRectF(r.left(), r.bottom() - d, d, d), 270, -90);
    } else {
        path.lineTo(r.bottomLeft());
    }
    if (corners & kTopLeft) {
        path.lineTo(r.left(), r.top() + radius);
        path.arcTo(QRectF(r.left(), r.top(), d, d), 180, -90);
    }
    path.closeSubpath();
    return path;
}

// A box filled with `fill` and outlined in `border` (none when invalid).
void Box(QPainter* p, const QRect& rect, const QBrush& fill, const QColor& border, qreal radius = 0,
         int corners = kAll) {
    p->save();
    p->setRenderHint(QPainter::Antialiasing, radius > 0);
    const QRectF r = QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5);
    p->setPen(border.isValid() ? QPen(border, 1) : QPen(Qt::NoPen));
    p->setBrush(fill);
    if (radius > 0)
        p->drawPath(RoundedBox(r, radius, corners));
    else
        p->drawRect(r);
    p->restore();
}

// A square 3D edge: `raised` lights the top and left, else the bottom and
// right.
void Bevel(QPainter* p, const QRect& r, bool raised) {
    const QColor light = Colour("light", Qt::white);
    const QColor dark = Colour("shadow", Qt::darkGray);
    p->save();
    p->setPen(raised ? light : dark);
    p->drawLine(r.topLeft(), r.topRight());
    p->drawLine(r.topLeft(), r.bottomLeft());
    p->setPen(raised ? dark : light);
    p->drawLine(r.bottomLeft(), r.bottomRight());
    p->drawLine(r.topRight(), r.bottomRight());
    p->restore();
}

bool Named(const QWidget* widget, const char* name) {
    return widget != nullptr && widget->objectName() == QLatin1String(name);
}

bool IsCaptionButton(const QWidget* widget) {
    return Named(widget, "pinButton") || Named(widget, "floatButton") || Named(widget, "closeButton");
}

// ------------------------------------------------------------ tool buttons

// A tool button's panel: nothing while it rests, the look's hot, pressed or
// checked fill otherwise.
void PaintToolPanel(QPainter* p, const QStyleOption* option, const QWidget* widget) {
    const QRect r = option->rect.adjusted(0, 0, -1, -1);
    const bool hot = (option->state & QStyle::State_MouseOver) && (option->state & QStyle::State_Enabled);
    const bool down = option->state & (QStyle::State_Sunken);
    const bool checked = option->state & QStyle::State_On;
    const bool caption = IsCaptionButton(widget);
    const bool close = Named(widget, "closeButton");

    switch (Manager()) {
        case VisualManager::Classic:
            if (caption && !(down || checked)) {
                Box(p, option->rect, Colour("button"), QColor());
                Bevel(p, r, true);
            } else if (down || checked) {
                Box(p, option->rect, Colour("pressFill"), QColor());
                Bevel(p, r, false);
            } else if (hot) {
                Bevel(p, r, true);
            }
            return;
        case VisualManager::OfficeXP:
            if (down || (checked && hot))
                Box(p, option->rect, Colour("pressed"), Colour("hotBorder"));
            else if (checked)
                Box(p, option->rect, Colour("checked"), Colour("hotBorder"));
            else if (hot)
                Box(p, option->rect, Colour("hot"), Colour("hotBorder"));
            return;
        case VisualManager::Windows:
            if (caption) {
                // Round glassy caption buttons; the close button red.
                QLinearGradient g(r.topLeft(), r.bottomLeft());
                g.setColorAt(0, close ? QColor(0xF7, 0xB9, 0xA6) : Qt::white);
                g.setColorAt(1, close ? QColor(0xE0, 0x60, 0x3C) : QColor(0xC7, 0xD7, 0xF8));
                Box(p, option->rect, down || checked ? QBrush(Colour("pressTop")) : QBrush(g), Colour("light"), 3);
            } else if (down || checked) {
                Box(p, option->rect, Gradient(r, {{0, "pressTop"}, {1, "pressBottom"}}), Colour("pressBorder"), 3);
            } else if (hot) {
                Box(p, option->rect, Gradient(r, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"), 3);
            }
            return;
        case VisualManager::Office2003:
            if (down)
                Box(p, option->rect, Gradient(r, {{0, "pressTop"}, {1, "pressBottom"}}), Colour("hotBorder"));
            else if (checked)
                Box(p, option->rect, Gradient(r, {{0, "checkTop"}, {1, "checkBottom"}}), Colour("hotBorder"));
            else if (hot)
                Box(p, option->rect, Gradient(r, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"));
            return;
        case VisualManager::VS2005:
            if (down)
                Box(p, option->rect, Colour("pressed"), Colour("pressBorder"));
            else if (checked)
                Box(p, option->rect, Colour("hot"), Colour("pressBorder"));
            else if (hot)
                Box(p, option->rect, Colour("hot"), Colour("hotBorder"));
            else if (caption)
                Box(p, option->rect, Colour("window"), Colour("captionBottom"));
            return;
        case VisualManager::Office2007: {
            const qreal radius = caption ? 2 : 3;
            if (down)
                Box(p, option->rect, Gradient(r, {{0, "pressTop"}, {1, "pressBottom"}}), Colour("pressBorder"),
                    radius);
            else if (checked)
                Box(p, option->rect, Gradient(r, {{0, "checkTop"}, {1, "checkBottom"}}), Colour("pressBorder"),
                    radius);
            else if (hot)
                Box(p, option->rect, Gradient(r, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"), radius);
            else if (caption && Colour("captionButton").alpha() > 0)
                Box(p, option->rect, Colour("captionButton"), QColor(), radius);
            return;
        }
    }
}

// ------------------------------------------------------------------- tabs

// The side of a tab that faces away from its page.
enum class Outer { Top, Bottom, Left, Right };

Outer OuterSide(QTabBar::Shape shape) {
    switch (shape) {
        case QTabBar::RoundedSouth:
        case QTabBar::TriangularSouth: return Outer::Bottom;
        case QTabBar::RoundedWest:
        case QTabBar::TriangularWest: return Outer::Left;
        case QTabBar::RoundedEast:
        case QTabBar::TriangularEast: return Outer::Right;
        default: return Outer::Top;
    }
}

// The corners on the outer side.
int OuterCorners(Outer side) {
    switch (side) {
        case Outer::Top: return kTopLeft | kTopRight;
        case Outer::Bottom: return kBottomLeft | kBottomRight;
        case Outer::Left: return kTopLeft | kBottomLeft;
        case Outer::Right: return kTopRight | kBottomRight;
    }
    return kAll;
}

// A fill running from the outer side inwards.
QBrush InwardGradient(const QRect& r, Outer side, std::initializer_list<std::pair<qreal, std::string_view>> stops) {
    QPointF from, to;
    switch (side) {
        case Outer::Top: from = r.topLeft(), to = r.bottomLeft(); break;
        case Outer::Bottom: from = r.bottomLeft(), to = r.topLeft(); break;
        case Outer::Left: from = r.topLeft(), to = r.topRight(); break;
        case Outer::Right: from = r.topRight(), to = r.topLeft(); break;
    }
    QLinearGradient g(from, to);
    for (const auto& [at, name] : stops) g.setColorAt(at, Colour(name));
    return QBrush(g);
}

// The box extended past the open side by a pixel, so that the outline
// stops short of the page the tab opens onto.
QRect OpenBox(const QRect& r, Outer side) {
    switch (side) {
        case Outer::Top: return r.adjusted(0, 0, 0, 1);
        case Outer::Bottom: return r.adjusted(0, -1, 0, 0);
        case Outer::Left: return r.adjusted(0, 0, 1, 0);
        case Outer::Right: return r.adjusted(-1, 0, 0, 0);
    }
    return r;
}

// A strip of `width` pixels along the outer side.
QRect OuterStrip(const QRect& r, Outer side, int width) {
    switch (side) {
        case Outer::Top: return QRect(r.left(), r.top(), r.width(), width);
        case Outer::Bottom: return QRect(r.left(), r.bottom() - width + 1, r.width(), width);
        case Outer::Left: return QRect(r.left(), r.top(), width, r.height());
        case Outer::Right: return QRect(r.right() - width + 1, r.top(), width, r.height());
    }
    return r;
}

// The line that ends a resting tab (flat looks separate their tabs by it).
void EndLine(QPainter* p, const QRect& r, Outer side, const QColor& colour) {
    p->save();
    p->setPen(colour);
    if (side == Outer::Top || side == Outer::Bottom)
        p->drawLine(r.topRight() + QPoint(0, 3), r.bottomRight() - QPoint(0, 3));
    else
        p->drawLine(r.bottomLeft() + QPoint(3, 0), r.bottomRight() - QPoint(3, 0));
    p->restore();
}

void PaintTabShape(QPainter* p, const QStyleOptionTab* tab) {
    const Outer side = OuterSide(tab->shape);
    const bool selected = tab->state & QStyle::State_Selected;
    const bool hot = (tab->state & QStyle::State_MouseOver) && (tab->state & QStyle::State_Enabled);
    QRect r = tab->rect;
    // Resting tabs stand back from the outer edge; the chosen one stands
    // out in front of its neighbours.
    if (!selected) {
        switch (side) {
            case Outer::Top: r.adjust(0, 2, 0, 0); break;
            case Outer::Bottom: r.adjust(0, 0, 0, -2); break;
            case Outer::Left: r.adjust(2, 0, 0, 0); break;
            case Outer::Right: r.adjust(0, 0, -2, 0); break;
        }
    }
    const QRect box = OpenBox(r, side);
    const int corners = OuterCorners(side);

    switch (Manager()) {
        case VisualManager::Classic: {
            Box(p, r, Colour("button"), QColor());
            // Raised on every side but the open one.
            p->save();
            const QColor light = Colour("light"), dark = Colour("shadow");
            const QRect e = r.adjusted(0, 0, -1, -1);
            p->setPen(light);
            if (side != Outer::Bottom) p->drawLine(e.topLeft(), e.topRight());
            if (side != Outer::Right) p->drawLine(e.topLeft(), e.bottomLeft());
            p->setPen(dark);
            if (side != Outer::Top) p->drawLine(e.bottomLeft(), e.bottomRight());
            if (side != Outer::Left) p->drawLine(e.topRight(), e.bottomRight());
            p->restore();
            return;
        }
        case VisualManager::OfficeXP:
            if (selected)
                Box(p, box, Colour("base"), Colour("shadow"));
            else
                EndLine(p, r, side, Colour("dark"));
            return;
        case VisualManager::Windows:
            if (TabsDrawn3D(CurrentLook())) {
                const QBrush body = selected ? InwardGradient(r, side, {{0, "base"}, {1, "pageTop"}})
                                             : InwardGradient(r, side, {{0, "tabTop"}, {0.7, "tabBottom"}, {1, "mid"}});
                Box(p, box, body, Colour("tabBorder"), 4, corners);
                if (selected || hot) {
                    p->save();
                    p->setClipPath(RoundedBox(QRectF(box), 4, corners));
                    p->fillRect(OuterStrip(r, side, 3), Colour(selected ? "tabAccent" : "tabHotAccent"));
                    p->restore();
                }
            } else {
                Box(p, box, Colour(selected ? "base" : "window"), Colour("tabBorder"));
            }
            return;
        case VisualManager::Office2003:
            if (selected)
                Box(p, box, InwardGradient(r, side, {{0, "tabSelTop"}, {1, "tabSelBottom"}}), Colour("tabBorder"), 3,
                    corners);
            else if (hot)
                Box(p, box, InwardGradient(r, side, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"), 3,
                    corners);
            else
                Box(p, box, InwardGradient(r, side, {{0, "tabTop"}, {1, "tabBottom"}}), Colour("tabBorder"), 3,
                    corners);
            return;
        case VisualManager::VS2005:
            if (side == Outer::Top) {
                // Document tabs: a long slope at the start, a short one at the end.
                p->save();
                p->setRenderHint(QPainter::Antialiasing);
                const QRectF f = QRectF(box).adjusted(0.5, 0.5, -0.5, -0.5);
                QPainterPath path;
                path.moveTo(f.bottomLeft());
                path.lineTo(f.left() + 9, f.top());
                path.lineTo(f.right() - 2, f.top());
                path.lineTo(f.right(), f.top() + 2);
                path.lineTo(f.bottomRight());
                p->setPen(Colour("tabBorder"));
                p->setBrush(Colour(selected ? "tabSel" : "tabBg"));
                p->drawPath(path);
                p->restore();
            } else if (selected) {
                Box(p, box, Colour("tabSel"), Colour("tabBorder"));
            } else {
                EndLine(p, r, side, Colour("mid"));
            }
            return;
        case VisualManager::Office2007:
            if (selected)
                Box(p, box, InwardGradient(r, side, {{0, "tabSelTop"}, {1, "tabSelBottom"}}), Colour("tabBorder"), 3,
                    corners);
            else if (hot)
                Box(p, box, InwardGradient(r, side, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"), 3, corners);
            return;
    }
}

// The colour of a tab's text.
QColor TabTextColour(const QStyleOptionTab* tab) {
    const bool selected = tab->state & QStyle::State_Selected;
    const bool hot = tab->state & QStyle::State_MouseOver;
    switch (Manager()) {
        case VisualManager::Classic: return Colour("buttonText");
        case VisualManager::OfficeXP: return Colour(selected || hot ? "text" : "tabText");
        case VisualManager::Windows: return Colour("text");
        case VisualManager::Office2003: return Colour(selected ? "text" : "tabText");
        case VisualManager::VS2005: return Colour(selected ? "text" : hot ? "highlight" : "tabText");
        case VisualManager::Office2007: return Colour(selected || hot ? "ribbonText" : "tabText");
    }
    return tab->palette.color(QPalette::WindowText);
}

// ---------------------------------------------------------------- caption

void PaintCaption(QPainter* p, const QRect& rect) {
    const QRect r = rect.adjusted(0, 0, -1, -1);
    switch (Manager()) {
        case VisualManager::Classic:
            p->fillRect(rect, Gradient(rect, {{0, "captionTop"}, {1, "captionBottom"}}, true));
            return;
        case VisualManager::OfficeXP: Box(p, rect, Colour("captionBg"), Colour("mid")); return;
        case VisualManager::Windows:
            // The light top edge stays above the text's white.
            Box(p, rect, Gradient(r, {{0, "captionTop"}, {0.2, "captionMid"}, {1, "captionBottom"}}), QColor(), 6,
                kTopLeft | kTopRight);
            return;
        case VisualManager::Office2003:
            Box(p, rect, Gradient(r, {{0, "captionTop"}, {1, "captionBottom"}}), Colour("captionBorder"));
            return;
        case VisualManager::VS2005: p->fillRect(rect, Gradient(r, {{0, "captionTop"}, {1, "captionBottom"}})); return;
        case VisualManager::Office2007:
            Box(p, rect, Gradient(r, {{0, "captionTop"}, {1, "captionBottom"}}), Colour("captionBorder"), 2);
            return;
    }
}

// ------------------------------------------------------------- focus mark

// WCAG relative luminance of a colour.
double Luminance(const QColor& c) {
    const auto channel = [](float v) { return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// The focus mark's colour: the text colour of the control it marks, which
// every look chooses to stand out against the control's fill in each of its
// states; where the control says what it is drawn on (an item view's line),
// black or white, whichever stands out more against that.
QColor FocusMarkColour(const QStyleOption* option, const QWidget* widget) {
    if (const auto* focus = qstyleoption_cast<const QStyleOptionFocusRect*>(option);
        focus != nullptr && focus->backgroundColor.isValid()) {
        // Black and white stand out equally against a luminance of 0.179.
        return Luminance(focus->backgroundColor) > 0.179 ? QColor(Qt::black) : QColor(Qt::white);
    }
    // Buttons write in the button text; check boxes, tab bars and the rest
    // in the window text.
    const bool button = qobject_cast<const QAbstractButton*>(widget) != nullptr &&
                        qobject_cast<const QCheckBox*>(widget) == nullptr &&
                        qobject_cast<const QRadioButton*>(widget) == nullptr;
    return option->palette.color(button ? QPalette::ButtonText : QPalette::WindowText);
}

// A dotted frame a pixel wide just inside `rect`; with a `between` colour,
// the gaps between the dots in that colour.
void PaintFocusMark(QPainter* p, const QRect& rect, const QColor& colour, const QColor& between = QColor()) {
    const QRect frame = rect.adjusted(0, 0, -1, -1);
    p->save();
    p->setRenderHint(QPainter::Antialiasing, false);
    p->setBrush(Qt::NoBrush);
    if (between.isValid()) {
        p->setPen(QPen(between, 1));
        p->drawRect(frame);
    }
    QPen dots(colour, 1);
    dots.setDashPattern({1, 1});
    p->setPen(dots);
    p->drawRect(frame);
    p->restore();
}

// ------------------------------------------------------------------ menus

// The fill of a chosen menu item, where the look has one of its own (the
// others keep the palette's highlight).
bool PaintMenuSelection(QPainter* p, const QRect& rect) {
    const QRect r = rect.adjusted(1, 0, -1, 0);
    switch (Manager()) {
        case VisualManager::Classic:
        case VisualManager::Windows: return false;
        case VisualManager::OfficeXP:
        case VisualManager::VS2005: Box(p, r, Colour("hot"), Colour("hotBorder")); return true;
        case VisualManager::Office2003:
            Box(p, r, Gradient(r, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"));
            return true;
        case VisualManager::Office2007:
            Box(p, r, Gradient(r, {{0, "hotTop"}, {1, "hotBottom"}}), Colour("hotBorder"), 2);
            return true;
    }
    return false;
}

// ------------------------------------------------------------------ ribbon

bool IsRibbonPanel(const QWidget* widget) { return widget != nullptr && widget->inherits("CRibbonPanel"); }

// The row behind the application button, the category tabs and the
// buttons at its end.
void PaintRibbonRow(QPainter* p, const QRect& rect) {
    switch (Manager()) {
        case VisualManager::Classic: p->fillRect(rect, Colour("window")); return;
        case VisualManager::OfficeXP: p->fillRect(rect, Colour("rowBg")); return;
        default: p->fillRect(rect, Gradient(rect, {{0, "rowTop"}, {1, "rowBottom"}})); return;
    }
}

// A category's page, holding its panels.
void PaintRibbonPage(QPainter* p, const QRect& rect) {
    const QRect r = rect.adjusted(0, 0, -1, -1);
    switch (Manager()) {
        case VisualManager::Classic:
            p->fillRect(rect, Colour("window"));
            Bevel(p, r, true);
            return;
        case VisualManager::OfficeXP: Box(p, rect, Colour("pageBg"), Colour("dark")); return;
        case VisualManager::Office2007:
            Box(p, rect, Gradient(r, {{0, "pageTop"}, {0.75, "pageMid"}, {1, "pageBottom"}}), Colour("pageBorder"), 3);
            return;
        default: Box(p, rect, Gradient(r, {{0, "pageTop"}, {1, "pageBottom"}}), Colour("pageBorder")); return;
    }
}

// Room around a panel on its page, and the height of its title band.
constexpr int kPanelMargin = 3;
int TitleBandHeight(const QFontMetrics& metrics) { return metrics.height() + 2; }

// The panel's title band: at the bottom, centred.
QRect TitleBand(const QRect& frame, const QFontMetrics& metrics, const QString& title) {
    const int width = std::min(frame.width() - 8, metrics.horizontalAdvance(title) + 24);
    const int height = TitleBandHeight(metrics);
    return QRect(frame.center().x() - width / 2, frame.bottom() - 2 - height, width, height);
}

// A panel: its box, and its title in a band at the bottom.
void PaintRibbonPanel(QPainter* p, const QStyleOptionGroupBox* box) {
    const QRect frame = box->rect.adjusted(kPanelMargin, kPanelMargin, -kPanelMargin, -kPanelMargin);
    const QRect r = frame.adjusted(0, 0, -1, -1);
    const QRect band = TitleBand(frame, box->fontMetrics, box->text);
    const QRect b = band.adjusted(0, 0, -1, -1);
    QColor text = Colour("windowText");
    switch (Manager()) {
        case VisualManager::Classic:
            p->fillRect(frame, Colour("window"));
            Bevel(p, r, false);
            break;
        case VisualManager::OfficeXP:
            Box(p, frame, Colour("panelBg"), Colour("panelBorder"));
            p->fillRect(band, Colour("panelTitleBg"));
            break;
        case VisualManager::Windows:
            Box(p, frame, Gradient(r, {{0, "panelTop"}, {1, "panelBottom"}}), Colour("panelBorder"), 4);
            Box(p, band, Gradient(b, {{0, "panelTitleTop"}, {1, "panelTitleBottom"}}, true), QColor(), 3);
            text = Colour("panelTitleText");
            break;
        case VisualManager::Office2003:
            Box(p, frame, Gradient(r, {{0, "panelTop"}, {1, "panelBottom"}}), Colour("panelBorder"), 3);
            Box(p, band, Gradient(b, {{0, "panelTitleTop"}, {1, "panelTitleBottom"}}), QColor(), 2);
            text = Colour("panelTitleText");
            break;
        case VisualManager::VS2005:
            Box(p, frame, Colour("panelBg"), Colour("panelBorder"), 2);
            Box(p, band, Gradient(b, {{0, "captionTop"}, {1, "captionBottom"}}), QColor(), 2);
            text = Colour("captionText");
            break;
        case VisualManager::Office2007:
            Box(p, frame, Gradient(r, {{0, "panelTop"}, {1, "panelBottom"}}), Colour("panelBorder"), 4);
            Box(p, band, Gradient(b, {{0, "panelTitleTop"}, {1, "panelTitleBottom"}}), Colour("panelBorder"), 3);
            text = Colour("panelTitleText");
            break;
    }
    p->save();
    p->setPen(text);
    p->drawText(band, Qt::AlignCenter | Qt::TextSingleLine,
                box->fontMetrics.elidedText(box->text, Qt::ElideRight, band.width() - 4));
    p->restore();
}

// The application button: a raised button, a flat box, a green start
// button, a blue box or a round orb, with its picture in the middle.
void PaintApplicationButton(QPainter* p, const QStyleOptionToolButton* button) {
    const QRect rect = button->rect;
    const QRect r = rect.adjusted(0, 0, -1, -1);
    const bool hot = (button->state & QStyle::State_MouseOver) && (button->state & QStyle::State_Enabled);
    const bool down = button->state & (QStyle::State_Sunken | QStyle::State_On);
    switch (Manager()) {
        case VisualManager::Classic:
            p->fillRect(rect, Colour("button"));
            Bevel(p, r, !down);
            Bevel(p, r.adjusted(1, 1, -1, -1), !down);
            break;
        case VisualManager::OfficeXP:
            Box(p, rect, Colour(hot || down ? "hot" : "light"), Colour(hot || down ? "hotBorder" : "dark"));
            break;
        case VisualManager::Windows:
            Box(p, rect,
                down ? QBrush(Colour("startBottom"))
                     : Gradient(r, {{0, "startTop"}, {0.45, "startBottom"}, {1, "startTop"}}),
                Colour("startBorder"), 8);
            break;
        case VisualManager::Office2003:
            Box(p, rect,
                hot || down ? Gradient(r, {{0, "hotTop"}, {1, "hotBottom"}}) : Gradient(r, {{0, "orbTop"}, {1, "orbBottom"}}),
                Colour("hotBorder"), 5);
            break;
        case VisualManager::VS2005:
            Box(p, rect, hot || down ? QBrush(Colour("hot")) : Gradient(r, {{0, "captionTop"}, {1, "captionBottom"}}),
                Colour(hot || down ? "hotBorder" : "light"), 4);
            break;
        case VisualManager::Office2007: {
            QRadialGradient orb(QRectF(rect).center(), rect.width() * 0.7, QPointF(rect.center().x(), rect.top() + rect.height() * 0.25));
            orb.setColorAt(0, Colour("orbLight"));
            orb.setColorAt(0.45, Colour(hot || down ? "hotBottom" : "orbMid"));
            orb.setColorAt(1, Colour(hot || down ? "pressBottom" : "orbDark"));
            p->save();
            p->setRenderHint(QPainter::Antialiasing);
            p->setPen(Colour(hot || down ? "pressBorder" : "orbBorder"));
            p->setBrush(orb);
            p->drawEllipse(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5));
            p->restore();
            break;
        }
    }
    button->icon.paint(p, QStyle::alignedRect(button->direction, Qt::AlignCenter, button->iconSize, rect),
                       Qt::AlignCenter, (button->state & QStyle::State_Enabled) ? QIcon::Normal : QIcon::Disabled);
}

}  // namespace

namespace looks_testing {
unsigned MissingColourLookups() { return g_missingColours; }
}  // namespace looks_testing

QPixmap DrawPicture(qreal ratio, const std::function<void(QPainter&)>& draw) {
    QPixmap pixmap(qRound(16 * ratio), qRound(16 * ratio));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    draw(painter);
    return pixmap;
}

CLookStyle::CLookStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void CLookStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                               const QWidget* widget) const {
    switch (element) {
        case PE_PanelButtonTool:
            // Tool buttons rest flat in every look; Classic's caption buttons
            // stand raised.
            PaintToolPanel(painter, option, widget);
            return;
        case PE_PanelToolBar: painter->fillRect(option->rect, option->palette.window()); return;
        case PE_FrameFocusRect:
            // Shown once the keyboard has moved the focus, as the toolkit's
            // own styles do: a click leaves no mark.
            if (option->state & State_KeyboardFocusChange)
                PaintFocusMark(painter, option->rect, FocusMarkColour(option, widget));
            return;
        case PE_Widget:
            if (Named(widget, "ribbonBar")) {
                PaintRibbonRow(painter, option->rect);
                return;
            }
            break;
        case PE_IndicatorBranch: {
            // A tree's branch marks in its text's colour: the window text of
            // a dark look would vanish on the tree's light base.
            QStyleOption marks(*option);
            marks.palette = Recoloured(option->palette, QColor());
            QProxyStyle::drawPrimitive(element, &marks, painter, widget);
            return;
        }
        case PE_PanelMenu:
        case PE_FrameMenu: {
            const QColor fill = Colour("menuBg", option->palette.color(QPalette::Base));
            const QColor border = Colour("menuBorder", Colour("shadow", Qt::darkGray));
            if (element == PE_PanelMenu) painter->fillRect(option->rect, fill);
            painter->save();
            painter->setPen(border);
            painter->setBrush(Qt::NoBrush);
            painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
            painter->restore();
            return;
        }
        default: break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void CLookStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                             const QWidget* widget) const {
    switch (element) {
        case CE_DockWidgetTitle: {
            PaintCaption(painter, option->rect);
            // The title's text, where one is given, in the caption's colour.
            if (const auto* dock = qstyleoption_cast<const QStyleOptionDockWidget*>(option);
                dock != nullptr && !dock->title.isEmpty()) {
                // Drawn with the painter's pen: no palette is made for it.
                const QRect r = subElementRect(SE_DockWidgetTitleBarText, dock, widget);
                painter->save();
                painter->setPen(Colour("captionText"));
                drawItemText(painter, r, Qt::AlignLeft | Qt::AlignVCenter, dock->palette, true,
                             dock->fontMetrics.elidedText(dock->title, Qt::ElideRight, r.width()),
                             QPalette::NoRole);
                painter->restore();
            }
            return;
        }
        case CE_TabBarTabShape:
            if (const auto* tab = qstyleoption_cast<const QStyleOptionTab*>(option)) {
                PaintTabShape(painter, tab);
                return;
            }
            break;
        case CE_TabBarTabLabel:
            if (const auto* tab = qstyleoption_cast<const QStyleOptionTab*>(option)) {
                QStyleOptionTab coloured(*tab);
                const QColor c = TabTextColour(tab);
                if (c.isValid()) coloured.palette = Recoloured(tab->palette, c);
                // The toolkit draws a tab's focus mark past this style: it is
                // drawn here, inside the tab's outline, in the tab's text colour.
                coloured.state &= ~State_HasFocus;
                QProxyStyle::drawControl(element, &coloured, painter, widget);
                if (tab->state & State_HasFocus) {
                    QStyleOptionFocusRect mark;
                    mark.QStyleOption::operator=(coloured);
                    mark.rect = tab->rect.adjusted(3, 3, -3, -3);
                    drawPrimitive(PE_FrameFocusRect, &mark, painter, widget);
                }
                return;
            }
            break;
        case CE_ShapedFrame:
            if (Named(widget, "ribbonPages")) {
                PaintRibbonPage(painter, option->rect);
                return;
            }
            break;
        case CE_MenuItem:
            if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
                item != nullptr && (item->state & State_Selected) && (item->state & State_Enabled) &&
                item->menuItemType != QStyleOptionMenuItem::Separator && PaintMenuSelection(painter, item->rect)) {
                // The look's own fill, then the item as if it rested on it.
                QStyleOptionMenuItem resting(*item);
                resting.state &= ~State_Selected;
                QProxyStyle::drawControl(element, &resting, painter, widget);
                return;
            }
            break;
        default: break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void CLookStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                                    const QWidget* widget) const {
    if (control == CC_GroupBox && IsRibbonPanel(widget)) {
        if (const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option)) {
            PaintRibbonPanel(painter, box);
            return;
        }
    }
    if (control == CC_ToolButton) {
        if (const auto* button = qstyleoption_cast<const QStyleOptionToolButton*>(option)) {
            QStyleOptionToolButton shown(*button);
            // On the hot and pressed fills a button writes in the look's
            // text for them, where it has one: the fills are pale, and the
            // black scheme's row text is white.
            const bool hot = (button->state & State_MouseOver) && (button->state & State_Enabled);
            const QColor hotText = LookColour(CurrentLook(), "hotText");
            if ((hot || (button->state & (State_Sunken | State_On))) && hotText.isValid())
                shown.palette = Recoloured(button->palette, hotText);
            // The focus mark goes round the whole button: the toolkit puts it
            // three pixels in, across a small button's text or picture.
            const bool focused = shown.state & State_HasFocus;
            shown.state &= ~State_HasFocus;
            if (Named(widget, "ribbonApplicationButton")) {
                PaintApplicationButton(painter, &shown);
            } else {
                // A caption's buttons rest raised or glassy in the looks that
                // draw them so; the toolkit draws a resting flat button's
                // panel in no look.
                if (IsCaptionButton(widget) && !(shown.state & (State_MouseOver | State_Sunken | State_On)))
                    PaintToolPanel(painter, &shown, widget);
                QProxyStyle::drawComplexControl(control, &shown, painter, widget);
            }
            if (focused && Named(widget, "ribbonApplicationButton")) {
                // The application button's picture runs from light to dark
                // in most looks: its mark alternates black and white, one of
                // which stands out wherever the mark runs.
                if (shown.state & State_KeyboardFocusChange)
                    PaintFocusMark(painter, shown.rect.adjusted(1, 1, -1, -1), Qt::black, Qt::white);
            } else if (focused) {
                QStyleOptionFocusRect mark;
                mark.QStyleOption::operator=(shown);
                mark.rect = shown.rect.adjusted(1, 1, -1, -1);
                drawPrimitive(PE_FrameFocusRect, &mark, painter, widget);
            }
            return;
        }
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
}

namespace {

// The tab close button: a cross; under the pointer, white on red.  Drawn
// here, like the caption buttons' pictures: the toolkit reads some of its
// own from image files, which loads the image format plugins at start-up.
QIcon TabCloseIcon() {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0}) {
        for (const bool hot : {false, true}) {
            icon.addPixmap(DrawPicture(ratio,
                                       [hot](QPainter& painter) {
                                           if (hot) {
                                               painter.setPen(Qt::NoPen);
                                               painter.setBrush(QColor(0xD9, 0x4F, 0x3D));
                                               painter.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
                                           }
                                           painter.setPen(QPen(hot ? QColor(Qt::white) : QColor(0x50, 0x50, 0x50),
                                                               1.6, Qt::SolidLine, Qt::RoundCap));
                                           painter.drawLine(QPointF(5, 5), QPointF(11, 11));
                                           painter.drawLine(QPointF(11, 5), QPointF(5, 11));
                                       }),
                           hot ? QIcon::Active : QIcon::Normal);
        }
    }
    return icon;
}

// The caption buttons' pictures, drawn as lines like the tab close button.
void DrawTitleBarPicture(QPainter& painter, QStyle::StandardPixmap kind) {
    painter.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.2));
    painter.setBrush(Qt::NoBrush);
    switch (kind) {
        case QStyle::SP_TitleBarMinButton: painter.drawLine(QPointF(4, 11.5), QPointF(12, 11.5)); break;
        case QStyle::SP_TitleBarMaxButton:
            painter.drawRect(QRectF(3.5, 3.5, 9, 9));
            painter.drawLine(QPointF(3.5, 4.5), QPointF(12.5, 4.5));
            break;
        case QStyle::SP_TitleBarNormalButton:
            // A window in front of another: the one behind shows its top
            // and right edges.
            painter.drawPolyline(QPolygonF(
                {QPointF(5.5, 6.5), QPointF(5.5, 3.5), QPointF(12.5, 3.5), QPointF(12.5, 9.5), QPointF(10.5, 9.5)}));
            painter.drawRect(QRectF(3.5, 6.5, 7, 6));
            break;
        default:
            painter.drawLine(QPointF(4.5, 4.5), QPointF(11.5, 11.5));
            painter.drawLine(QPointF(11.5, 4.5), QPointF(4.5, 11.5));
            break;
    }
}

QIcon TitleBarIcon(QStyle::StandardPixmap kind) {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0})
        icon.addPixmap(DrawPicture(ratio, [kind](QPainter& painter) { DrawTitleBarPicture(painter, kind); }));
    return icon;
}

}  // namespace

QRect CLookStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl element,
                                 const QWidget* widget) const {
    // A ribbon panel's title is in its band at the bottom, inside the box:
    // the contents take the whole box (the panel's layout leaves room for
    // the band).
    if (control == CC_GroupBox && IsRibbonPanel(widget)) {
        const QRect frame = option->rect.adjusted(kPanelMargin, kPanelMargin, -kPanelMargin, -kPanelMargin);
        switch (element) {
            case SC_GroupBoxFrame:
            case SC_GroupBoxContents: return frame;
            case SC_GroupBoxLabel:
                if (const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option))
                    return TitleBand(frame, box->fontMetrics, box->text);
                return {};
            default: return {};
        }
    }
    return QProxyStyle::subControlRect(control, option, element, widget);
}

QPalette CLookStyle::Recoloured(const QPalette& source, const QColor& colour) const {
    constexpr std::size_t kMaxRecoloured = 64;
    const bool fromText = !colour.isValid();
    const auto key = std::make_tuple(source.cacheKey(), fromText ? QRgb(0) : colour.rgba(), fromText);
    auto found = m_recoloured.find(key);
    if (found == m_recoloured.end()) {
        if (m_recoloured.size() >= kMaxRecoloured) m_recoloured.clear();
        QPalette made = source;
        for (int g = 0; g < QPalette::NColorGroups; ++g) {
            const auto group = static_cast<QPalette::ColorGroup>(g);
            const QColor c = fromText ? source.color(group, QPalette::Text) : colour;
            made.setColor(group, QPalette::WindowText, c);
            made.setColor(group, QPalette::ButtonText, c);
        }
        found = m_recoloured.emplace(key, made).first;
    }
    // The colour group is the copy's own and leaves the cache key as it is.
    QPalette palette = found->second;
    palette.setCurrentColorGroup(source.currentColorGroup());
    return palette;
}

QIcon CLookStyle::standardIcon(StandardPixmap icon, const QStyleOption* option, const QWidget* widget) const {
    // The windows' menu button shows no picture: the documents have none
    // (and the toolkit's logo would be read from image files).
    if (icon == SP_TitleBarMenuButton) return QIcon();
    // The pictures differ only with the direction of the layout (arrows).
    const Qt::LayoutDirection direction = option != nullptr   ? option->direction
                                          : widget != nullptr ? widget->layoutDirection()
                                                              : QGuiApplication::layoutDirection();
    QIcon& made = m_icons[static_cast<int>(icon) * 2 + (direction == Qt::RightToLeft ? 1 : 0)];
    if (made.isNull()) {
        switch (icon) {
            case SP_TabCloseButton: made = TabCloseIcon(); break;
            case SP_TitleBarMinButton:
            case SP_TitleBarMaxButton:
            case SP_TitleBarNormalButton:
            case SP_TitleBarCloseButton:
            case SP_DockWidgetCloseButton: made = TitleBarIcon(icon); break;
            default: made = QProxyStyle::standardIcon(icon, option, widget); break;
        }
    }
    return made;
}

void CLookStyle::polish(QWidget* widget) {
    QProxyStyle::polish(widget);
    // The looks draw the tab under the pointer hot.  A tab bar learns where
    // the pointer is from hover events alone: without them it keeps the
    // place of its last click, and a tab put back there (a pane docked
    // again) is drawn hot while another tab is current.
    if (auto* tabs = qobject_cast<QTabBar*>(widget)) tabs->setAttribute(Qt::WA_Hover);
    // Widgets made after the look was applied take it too.
    if (widget != nullptr && (Named(widget, "paneTitleBar") || Named(widget, "ribbonBar") ||
                              Named(widget, "ribbonPages") || qobject_cast<QMdiArea*>(widget)))
        ApplyLookTo(widget);
}

void CLookStyle::ApplyLookTo(QWidget* root) {
    if (root == nullptr) return;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (auto* mdi = qobject_cast<QMdiArea*>(w)) {
            mdi->setBackground(Colour("workspace", Qt::darkGray));
        } else if (Named(w, "ribbonBar") || Named(w, "ribbonPages")) {
            // The texts on the ribbon's row and on its pages, which some
            // looks draw unlike the window's.
            const bool row = Named(w, "ribbonBar");
            QPalette palette = QApplication::palette();
            const QColor text = row ? Colour("rowText", palette.color(QPalette::WindowText))
                                    : Colour("ribbonText", palette.color(QPalette::WindowText));
            palette.setColor(QPalette::WindowText, text);
            palette.setColor(QPalette::ButtonText, row ? text : Colour("ribbonText", palette.color(QPalette::ButtonText)));
            w->setPalette(palette);
        } else if (Named(w, "paneTitleBar")) {
            // A pane caption's text, in the caption bar's colour.
            QPalette palette = w->palette();
            palette.setColor(QPalette::WindowText, Colour("captionText", palette.color(QPalette::WindowText)));
            w->setPalette(palette);
        }
    }
}
