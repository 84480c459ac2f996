// The application's style: Fusion, drawing the elements a look changes (the
// ribbon's row, pages, panels and application button, pane captions and
// their buttons, tabs, toolbar buttons, menus) in the current look's shapes
// and colours.
#pragma once

#include <QHash>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <functional>
#include <map>
#include <tuple>

class CLookStyle : public QProxyStyle {
    Q_OBJECT
public:
    CLookStyle();

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl element,
                         const QWidget* widget) const override;
    // The standard pictures are made once each: Fusion draws one anew on
    // every request, and every pane asks for the same few.
    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option, const QWidget* widget) const override;
    void polish(QWidget* widget) override;
    using QProxyStyle::polish;

    // Gives the widgets under `root` that take colours of the look outside
    // the palette (the pane captions' text, the document area) the current
    // look's.
    static void ApplyLookTo(QWidget* root);

private:
    // `source` with both foreground roles, WindowText and ButtonText, in
    // `colour`, or, when `colour` is invalid, in the source's Text of each
    // colour group: the toolkit draws a label in the role of its widget (a
    // tab bar's in the window text, a button's, the edge tabs among them,
    // in the button text).  The same request gives the same palette, with
    // the same cache key: the toolkit keys the pictures it caches (the
    // branch arrows among them) partly by that key, so a palette made anew
    // for each draw would add a cached picture on every draw.
    QPalette Recoloured(const QPalette& source, const QColor& colour) const;

    mutable QHash<int, QIcon> m_icons;
    // (source cache key, colour) -> recoloured palette; emptied when it
    // grows past a few dozen (each look's palette has a key of its own).
    mutable std::map<std::tuple<qint64, QRgb, bool>, QPalette> m_recoloured;
};

// A 16-pixel picture at `ratio` device pixels per pixel: transparent, with
// `draw` drawing on it, antialiased, in 16-pixel coordinates.
QPixmap DrawPicture(qreal ratio, const std::function<void(QPainter&)>& draw);

namespace looks_testing {
// How many times a colour was asked of a look whose scheme lacks it.
unsigned MissingColourLookups();
}  // namespace looks_testing
