// The application looks: commands 210 to 218 of the look menu.  A look is a
// drawing manager (the shapes: bevels, tab forms, caption bars), for the
// Office 2007 manager one of its four colour schemes, and two flags; it is
// shown through a palette and the look style (LookStyle.h), which draws in
// the scheme's colours, so that it appears the same on every platform.
#pragma once

#include <QColor>
#include <QString>
#include <string_view>

class QApplication;
class QPalette;
class QWidget;

// Command ids of the look menu.
inline constexpr unsigned kLookFirst = 210;
inline constexpr unsigned kLookLast = 218;

enum class VisualManager { Classic, OfficeXP, Windows, Office2003, VS2005, Office2007 };

// The Office 2007 manager's colour schemes, as numbered in LookState.
inline constexpr int kOffice2007Blue = 0;
inline constexpr int kOffice2007Black = 1;
inline constexpr int kOffice2007Aqua = 2;
inline constexpr int kOffice2007Silver = 3;

struct LookState {
    VisualManager manager;
    int office2007Style;  // 0 blue, 1 black, 2 aqua, 3 silver
    bool tabs3D;          // raised tabs where the manager draws them; once set, stays set
    bool smartDocking;    // docking markers while a pane is dragged

    bool operator==(const LookState&) const = default;
};

// The process-wide current look.  Before any look is applied: the Classic
// manager, the blue scheme, both flags off.
const LookState& CurrentLook();

// Applies look `id` to the state (210..218; any other id chooses the Office
// 2007 manager in the scheme chosen last), then shows it: the look style
// and the palette of `app` (qApp when null).  Widgets that exist, in `root`
// or elsewhere, take the look at once; widgets made later take it when they
// are first shown.
void SetApplicationLook(unsigned id, QApplication* app, QWidget* root);

// Whether tabs are drawn raised in 3D: the flag is set and the manager is
// the one that honours it (the Windows manager).
bool TabsDrawn3D(const LookState& state);

// The look menu's label of `id`, with its '&' mnemonic; empty outside
// 210..218.
QString LookLabel(unsigned id);

// The palette that `state` shows.
QPalette LookPalette(const LookState& state);

// The colour `name` of the look's scheme ("captionTop", "hotBorder"...);
// invalid where the scheme has none.
QColor LookColour(const LookState& state, std::string_view name);

struct ChangeColours {
    QColor added, changed, closed;
};

// The text colours of lines marked new, changed and closed in the report
// trees of `state`.
ChangeColours LookChangeColours(const LookState& state);
