#include "Looks.h"

#include "LookStyle.h"

#include <QApplication>
#include <QPalette>
#include <QPointer>
#include <QWidget>
#include <algorithm>
#include <span>
#include <string_view>

namespace {

// ---------------------------------------------------------------- state

LookState& MutableLook() {
    static LookState state{VisualManager::Classic, kOffice2007Blue, false, false};
    return state;
}

// ---------------------------------------------------------------- colours

// A named colour of a scheme.  The palette takes the role names (window,
// text, highlight...); the look style draws with any of them by name.
// newText, changedText and closedText colour the report tree lines marked
// new, changed and closed: a green, an amber and a red in the scheme's
// tones, dark enough to read at 4.5:1 or more on the base the tree's lines
// lie on, and far enough apart in hue to tell from each other and from the
// black text.
struct Swatch {
    const char* name;
    const char* colour;
};
using Scheme = std::span<const Swatch>;

// clang-format off
// Grey 3D bevels: white light edges, dark grey shadows, navy selections.
const Swatch kClassic[] = {
    {"window", "#D4D0C8"},        {"windowText", "#000000"},    {"base", "#FFFFFF"},
    {"altBase", "#F4F2EE"},       {"text", "#000000"},          {"button", "#D4D0C8"},
    {"buttonText", "#000000"},    {"light", "#FFFFFF"},         {"midlight", "#E4E1DB"},
    {"mid", "#A09D96"},           {"dark", "#808080"},          {"shadow", "#404040"},
    {"highlight", "#0A246A"},     {"highlightText", "#FFFFFF"}, {"tipBase", "#FFFFE1"},
    {"tipText", "#000000"},       {"link", "#0000FF"},          {"disabledText", "#808080"},
    {"captionTop", "#0A246A"},    {"captionBottom", "#3F69A8"},
    {"captionText", "#FFFFFF"},   {"workspace", "#808080"},     {"pressFill", "#E6E3DE"},
    {"newText", "#007A00"},       {"changedText", "#7F6000"},   {"closedText", "#C00000"},
};

// Flat light office: white and light grey surfaces, thin grey borders,
// pale blue-grey hot items framed in dark blue.
const Swatch kOfficeXP[] = {
    {"window", "#F6F5F2"},        {"windowText", "#000000"},    {"base", "#FFFFFF"},
    {"altBase", "#F7F7F5"},       {"text", "#000000"},          {"button", "#F6F5F2"},
    {"buttonText", "#000000"},    {"light", "#FFFFFF"},         {"midlight", "#F0EFEB"},
    {"mid", "#C5C2B8"},           {"dark", "#A7A6AA"},          {"shadow", "#6F6E6A"},
    {"highlight", "#C1D2EE"},     {"highlightText", "#000000"}, {"tipBase", "#FFFFE1"},
    {"tipText", "#000000"},       {"link", "#0A246A"},          {"disabledText", "#A7A6AA"},
    {"rowBg", "#EEEDE8"},         {"pageBg", "#FCFCFB"},
    {"panelBg", "#FCFCFB"},       {"panelBorder", "#C5C2B8"},   {"panelTitleBg", "#E8E6DF"},
    {"hot", "#C1D2EE"},           {"hotBorder", "#316AC5"},     {"pressed", "#98B5E2"},
    {"checked", "#E1E6F0"},       {"captionBg", "#DCDAD2"},     {"captionText", "#000000"},
    {"workspace", "#A3A29C"},     {"tabText", "#444444"},       {"menuBg", "#FCFCFC"},
    {"newText", "#2E7D32"},       {"changedText", "#846200"},   {"closedText", "#B3261E"},
};

// Themed desktop: beige surfaces, blue caption gradients, orange accents on
// the chosen tab, a green start button.
const Swatch kWindows[] = {
    {"window", "#ECE9D8"},           {"windowText", "#000000"},       {"base", "#FFFFFF"},
    {"altBase", "#F7F6F0"},          {"text", "#000000"},             {"button", "#ECE9D8"},
    {"buttonText", "#000000"},       {"light", "#FFFFFF"},            {"midlight", "#F3F1E7"},
    {"mid", "#ACA899"},              {"dark", "#ACA899"},             {"shadow", "#716F64"},
    {"highlight", "#316AC5"},        {"highlightText", "#FFFFFF"},    {"tipBase", "#FFFFE1"},
    {"tipText", "#000000"},          {"link", "#0066CC"},             {"disabledText", "#ACA899"},
    {"rowTop", "#F7F6EF"},           {"rowBottom", "#E3DFCB"},
    {"pageTop", "#FCFBF7"},          {"pageBottom", "#ECE9D8"},       {"pageBorder", "#919B9C"},
    {"panelTop", "#FFFFFF"},         {"panelBottom", "#F1EFE2"},      {"panelBorder", "#C9C5B2"},
    {"panelTitleTop", "#FFFFFF"},    {"panelTitleBottom", "#C6D3F7"}, {"panelTitleText", "#1A4FB0"},
    {"tabTop", "#FCFCFE"},           {"tabBottom", "#E4E2D8"},        {"tabBorder", "#919B9C"},
    {"tabAccent", "#E68B2C"},        {"tabHotAccent", "#FFC83C"},     {"captionTop", "#3D95FF"},
    {"captionMid", "#0A5FE8"},       {"captionBottom", "#0048C8"},    {"captionText", "#FFFFFF"},
    {"hotTop", "#FFFFFF"},           {"hotBottom", "#E9E6D9"},        {"hotBorder", "#C2BDAA"},
    {"pressTop", "#DDD9CA"},         {"pressBottom", "#EBE8DC"},      {"pressBorder", "#918D7E"},
    {"workspace", "#7F9DB9"},        {"startTop", "#7CC66D"},         {"startBottom", "#2F8A2F"},
    {"startBorder", "#1E5E1E"},      {"menuBorder", "#ACA899"},
    {"newText", "#267B26"},          {"changedText", "#8A5F00"},      {"closedText", "#C1272D"},
};

// Light blue gradients, orange hot items framed in navy.
const Swatch kOffice2003[] = {
    {"window", "#D2E3FA"},           {"windowText", "#000000"},       {"base", "#FFFFFF"},
    {"altBase", "#F2F7FF"},          {"text", "#000000"},             {"button", "#D2E3FA"},
    {"buttonText", "#000000"},       {"light", "#FFFFFF"},            {"midlight", "#E3EFFF"},
    {"mid", "#8DB2E3"},              {"dark", "#6F9DD9"},             {"shadow", "#3B619C"},
    {"highlight", "#FFD58F"},        {"highlightText", "#000000"},    {"tipBase", "#FFFFE1"},
    {"tipText", "#000000"},          {"link", "#0033CC"},             {"disabledText", "#8DA1C4"},
    {"rowTop", "#E3EFFF"},           {"rowBottom", "#C4DAFA"},
    {"pageTop", "#F5F9FF"},          {"pageBottom", "#B7D0F5"},       {"pageBorder", "#6F9DD9"},
    {"panelTop", "#FFFFFF"},         {"panelBottom", "#D2E3FA"},      {"panelBorder", "#7BA2E7"},
    {"panelTitleTop", "#C4DAFA"},    {"panelTitleBottom", "#94B6EC"}, {"panelTitleText", "#00156E"},
    {"tabTop", "#E3EFFF"},           {"tabBottom", "#A9C6F0"},        {"tabSelTop", "#FFFFFF"},
    {"tabSelBottom", "#E3EFFF"},     {"tabBorder", "#6F9DD9"},        {"tabText", "#00156E"},
    {"hotTop", "#FFF4CC"},           {"hotBottom", "#FFD58F"},        {"hotBorder", "#000080"},
    {"pressTop", "#FE914E"},         {"pressBottom", "#FFD38C"},      {"checkTop", "#FFD58F"},
    {"checkBottom", "#FFAD56"},      {"captionTop", "#E3EFFF"},       {"captionBottom", "#8DB2E3"},
    {"captionText", "#00156E"},      {"captionBorder", "#6F9DD9"},    {"workspace", "#90AEE3"},
    {"menuBg", "#F6F6F6"},           {"menuBorder", "#002D96"},       {"orbTop", "#7AA5F0"},
    {"orbBottom", "#2456B0"},
    {"newText", "#1E7B34"},          {"changedText", "#886000"},      {"closedText", "#C0282D"},
};

// A developer studio: neutral beige-grey tool windows under blue-grey
// captions, documents in slanted-looking tabs.
const Swatch kVS2005[] = {
    {"window", "#E8E6DD"},        {"windowText", "#000000"},    {"base", "#FFFFFF"},
    {"altBase", "#F6F5F0"},       {"text", "#000000"},          {"button", "#E8E6DD"},
    {"buttonText", "#000000"},    {"light", "#FFFFFF"},         {"midlight", "#F2F1EB"},
    {"mid", "#C2BDA9"},           {"dark", "#ACA899"},          {"shadow", "#6D6A60"},
    {"highlight", "#3D5A8E"},     {"highlightText", "#FFFFFF"}, {"tipBase", "#FFFFFF"},
    {"tipText", "#1E1E1E"},       {"link", "#0B3D91"},          {"disabledText", "#A19F95"},
    {"rowTop", "#F6F5F0"},        {"rowBottom", "#E2DFD2"},
    {"pageTop", "#FCFBF8"},       {"pageBottom", "#E6E3D6"},    {"pageBorder", "#ACA899"},
    {"panelBg", "#F9F8F4"},       {"panelBorder", "#C2BDA9"},   {"captionTop", "#5A6F99"},
    {"captionBottom", "#4A5F87"}, {"captionText", "#FFFFFF"},   {"tabBg", "#F0EEE6"},
    {"tabSel", "#FFFFFF"},        {"tabBorder", "#8E8A7D"},     {"tabText", "#4D4D4D"},
    {"hot", "#C1D2EE"},           {"hotBorder", "#316AC5"},     {"pressed", "#98B5E2"},
    {"pressBorder", "#4B4B6F"},   {"workspace", "#8C8A82"},     {"menuBg", "#FCFCF9"},
    {"menuBorder", "#8A867A"},
    {"newText", "#2A7A2A"},       {"changedText", "#7F6000"},   {"closedText", "#B22222"},
};

// The Office 2007 design in its four colour schemes.  Every scheme fills
// the same names; the design lives in one sheet.  A button's text on the
// warm hot and pressed fills (hotText) is dark in every scheme, the black
// one's white row text included.
const Swatch kOffice2007Blues[] = {
    {"window", "#BFDBFF"},            {"windowText", "#15428B"},        {"base", "#FFFFFF"},
    {"altBase", "#F3F7FD"},           {"text", "#000000"},              {"button", "#DDE9F8"},
    {"buttonText", "#15428B"},        {"light", "#FFFFFF"},             {"midlight", "#E3EDFB"},
    {"mid", "#A3BCDE"},               {"dark", "#8DB2E3"},              {"shadow", "#5A7DB0"},
    {"highlight", "#3371C6"},         {"highlightText", "#FFFFFF"},     {"tipBase", "#F4F8FE"},
    {"tipText", "#15428B"},           {"link", "#0F4AA8"},              {"disabledText", "#8DA1C4"},
    {"rowTop", "#D7E6F9"},            {"rowBottom", "#BFDBFF"},
    {"rowText", "#15428B"},           {"pageTop", "#E6EFFA"},           {"pageMid", "#D3E2F5"},
    {"pageBottom", "#C5D9F1"},        {"pageBorder", "#8DB2E3"},        {"panelTop", "#E5EEF9"},
    {"panelBottom", "#CADCF1"},       {"panelBorder", "#A3BCDE"},       {"panelTitleTop", "#C9DCF3"},
    {"panelTitleBottom", "#B1CAEA"},  {"panelTitleText", "#1C4A8A"},    {"ribbonText", "#15428B"},
    {"tabText", "#15428B"},           {"tabSelTop", "#FFFFFF"},         {"tabSelBottom", "#E6EFFA"},
    {"tabBorder", "#8DB2E3"},         {"captionTop", "#E4EDF8"},        {"captionBottom", "#C1D5EE"},
    {"captionText", "#15428B"},       {"captionBorder", "#8DB2E3"},     {"workspace", "#ABC7EC"},
    {"orbLight", "#FFFFFF"},          {"orbMid", "#7FA7DE"},            {"orbDark", "#23508F"},
    {"orbBorder", "#1D3F73"},         {"captionButton", "transparent"},  {"hotText", "#15428B"},
    {"newText", "#2B7A2B"},           {"changedText", "#7A5C00"},       {"closedText", "#C0392B"},
};

const Swatch kOffice2007Blacks[] = {
    {"window", "#535353"},           {"windowText", "#FFFFFF"},       {"base", "#FFFFFF"},
    {"altBase", "#F3F3F3"},          {"text", "#000000"},             {"button", "#E0E0E0"},
    {"buttonText", "#1E1E1E"},       {"light", "#7A7A7A"},            {"midlight", "#666666"},
    {"mid", "#3F3F3F"},              {"dark", "#2B2B2B"},             {"shadow", "#111111"},
    {"highlight", "#5C5C5C"},        {"highlightText", "#FFFFFF"},    {"tipBase", "#F7F7F7"},
    {"tipText", "#262626"},          {"link", "#F6C85F"},             {"disabledText", "#A0A0A0"},
    {"rowTop", "#4A4A4A"},           {"rowBottom", "#171717"},
    {"rowText", "#FFFFFF"},          {"pageTop", "#EBEBEB"},          {"pageMid", "#D9D9D9"},
    {"pageBottom", "#C4C4C4"},       {"pageBorder", "#2E2E2E"},       {"panelTop", "#E9E9E9"},
    {"panelBottom", "#CACACA"},      {"panelBorder", "#8E8E8E"},      {"panelTitleTop", "#6A6A6A"},
    {"panelTitleBottom", "#5A5A5A"}, {"panelTitleText", "#FFFFFF"},   {"ribbonText", "#1E1E1E"},
    {"tabText", "#FFFFFF"},          {"tabSelTop", "#F7F7F7"},        {"tabSelBottom", "#EBEBEB"},
    {"tabBorder", "#2E2E2E"},        {"captionTop", "#6E6E6E"},       {"captionBottom", "#393939"},
    {"captionText", "#FFFFFF"},      {"captionBorder", "#262626"},    {"workspace", "#3A3A3A"},
    {"orbLight", "#FFFFFF"},         {"orbMid", "#8A8A8A"},           {"orbDark", "#1A1A1A"},
    {"orbBorder", "#000000"},        {"captionButton", "#D8D8D8"},    {"hotText", "#1E1E1E"},
    {"newText", "#217346"},          {"changedText", "#7D5E00"},      {"closedText", "#B8312F"},
};

const Swatch kOffice2007Aquas[] = {
    {"window", "#B9D5DF"},            {"windowText", "#1B4A60"},        {"base", "#FFFFFF"},
    {"altBase", "#F2F8FA"},           {"text", "#000000"},              {"button", "#DDEBF1"},
    {"buttonText", "#1B4A60"},        {"light", "#FFFFFF"},             {"midlight", "#E2EEF3"},
    {"mid", "#9CBBCA"},               {"dark", "#7FAFC0"},              {"shadow", "#4F7A8E"},
    {"highlight", "#20758F"},         {"highlightText", "#FFFFFF"},     {"tipBase", "#F3F9FB"},
    {"tipText", "#1B4A60"},           {"link", "#0E6282"},              {"disabledText", "#8AA6B3"},
    {"rowTop", "#D5E9EF"},            {"rowBottom", "#B9D5DF"},
    {"rowText", "#1B4A60"},           {"pageTop", "#EAF3F6"},           {"pageMid", "#D0E6EC"},
    {"pageBottom", "#BFDAE3"},        {"pageBorder", "#7FAFC0"},        {"panelTop", "#E8F1F5"},
    {"panelBottom", "#C2DCE5"},       {"panelBorder", "#9CBBCA"},       {"panelTitleTop", "#C6DCE6"},
    {"panelTitleBottom", "#A9C8D6"},  {"panelTitleText", "#1E4F66"},    {"ribbonText", "#1B4A60"},
    {"tabText", "#1B4A60"},           {"tabSelTop", "#FFFFFF"},         {"tabSelBottom", "#EAF3F6"},
    {"tabBorder", "#7FAFC0"},         {"captionTop", "#E2EEF3"},        {"captionBottom", "#B2D0DB"},
    {"captionText", "#1B4A60"},       {"captionBorder", "#7FAFC0"},     {"workspace", "#93BDCB"},
    {"orbLight", "#FFFFFF"},          {"orbMid", "#6FB0C8"},            {"orbDark", "#1C5C74"},
    {"orbBorder", "#16495C"},         {"captionButton", "transparent"},  {"hotText", "#1B4A60"},
    {"newText", "#1D7A4A"},           {"changedText", "#7F5F00"},       {"closedText", "#B83A3A"},
};

const Swatch kOffice2007Silvers[] = {
    {"window", "#D0D4DD"},            {"windowText", "#3B3F46"},        {"base", "#FFFFFF"},
    {"altBase", "#F5F6F8"},           {"text", "#000000"},              {"button", "#E6E8EC"},
    {"buttonText", "#3B3F46"},        {"light", "#FFFFFF"},             {"midlight", "#E8EAEE"},
    {"mid", "#A9AEB6"},               {"dark", "#9199A4"},              {"shadow", "#5E646E"},
    {"highlight", "#5F6B7E"},         {"highlightText", "#FFFFFF"},     {"tipBase", "#F8F8F9"},
    {"tipText", "#3B3F46"},           {"link", "#2F5496"},              {"disabledText", "#9499A2"},
    {"rowTop", "#E4E7EC"},            {"rowBottom", "#D0D4DD"},
    {"rowText", "#3B3F46"},           {"pageTop", "#F4F5F7"},           {"pageMid", "#E3E5E9"},
    {"pageBottom", "#D5D8DE"},        {"pageBorder", "#9199A4"},        {"panelTop", "#F1F2F4"},
    {"panelBottom", "#D7DAE0"},       {"panelBorder", "#A9AEB6"},       {"panelTitleTop", "#D9DCE2"},
    {"panelTitleBottom", "#C2C7CF"},  {"panelTitleText", "#42484F"},    {"ribbonText", "#3B3F46"},
    {"tabText", "#3B3F46"},           {"tabSelTop", "#FFFFFF"},         {"tabSelBottom", "#F4F5F7"},
    {"tabBorder", "#9199A4"},         {"captionTop", "#EEF0F3"},        {"captionBottom", "#CDD1D8"},
    {"captionText", "#3B3F46"},       {"captionBorder", "#9199A4"},     {"workspace", "#B3B9C3"},
    {"orbLight", "#FFFFFF"},          {"orbMid", "#A5ADBA"},            {"orbDark", "#4A525E"},
    {"orbBorder", "#3C434D"},         {"captionButton", "transparent"},  {"hotText", "#3B3F46"},
    {"newText", "#3A7A3A"},           {"changedText", "#7A5F10"},       {"closedText", "#B03A3A"},
};

// The hot and pressed items of the Office 2007 design: warm yellow and
// orange in every scheme.
const Swatch kOffice2007Hot[] = {
    {"hotTop", "#FFF8D9"},        {"hotBottom", "#FFDD78"},     {"hotBorder", "#DBC483"},
    {"pressTop", "#FCC587"},      {"pressBottom", "#FCA447"},   {"pressBorder", "#C2913F"},
    {"checkTop", "#FDDFA4"},      {"checkBottom", "#FBBE60"},   {"menuBg", "#FAFAFA"},
    {"menuBorder", "#868686"},
};
// clang-format on

const char* Find(Scheme scheme, std::string_view name) {
    for (const Swatch& s : scheme)
        if (name == s.name) return s.colour;
    return nullptr;
}

// The colour `name` of the look's swatches, searched in order.
class Colours {
public:
    explicit Colours(Scheme first, Scheme second = {}) : m_first(first), m_second(second) {}
    const char* Get(std::string_view name) const {
        const char* c = Find(m_first, name);
        return c != nullptr ? c : Find(m_second, name);
    }
    QColor operator()(std::string_view name) const {
        const char* c = Get(name);
        Q_ASSERT_X(c != nullptr, "Colours", "a palette role missing from a scheme");
        return c != nullptr ? QColor(QLatin1StringView(c)) : QColor(Qt::black);
    }

private:
    Scheme m_first;
    Scheme m_second;
};

Colours ColoursOf(const LookState& state) {
    switch (state.manager) {
        case VisualManager::Classic: return Colours(kClassic);
        case VisualManager::OfficeXP: return Colours(kOfficeXP);
        case VisualManager::Windows: return Colours(kWindows);
        case VisualManager::Office2003: return Colours(kOffice2003);
        case VisualManager::VS2005: return Colours(kVS2005);
        case VisualManager::Office2007: break;
    }
    switch (state.office2007Style) {
        case kOffice2007Black: return Colours(kOffice2007Blacks, kOffice2007Hot);
        case kOffice2007Aqua: return Colours(kOffice2007Aquas, kOffice2007Hot);
        case kOffice2007Silver: return Colours(kOffice2007Silvers, kOffice2007Hot);
        default: return Colours(kOffice2007Blues, kOffice2007Hot);
    }
}

}  // namespace

const LookState& CurrentLook() { return MutableLook(); }

bool TabsDrawn3D(const LookState& state) { return state.tabs3D && state.manager == VisualManager::Windows; }

QString LookLabel(unsigned id) {
    switch (id) {
        case 210: return QStringLiteral("Windows 2000");
        case 211: return QStringLiteral("Office XP");
        case 212: return QStringLiteral("Windows XP");
        case 213: return QStringLiteral("Office 2003 (Lite Blue)");
        case 214: return QStringLiteral("Visual Studio 2005");
        case 215: return QStringLiteral("Office 2007 (&Blue Style)");
        case 216: return QStringLiteral("Office 2007 (B&lack Style)");
        case 217: return QStringLiteral("Office 2007 (&Silver Style)");
        case 218: return QStringLiteral("Office 2007 (&Aqua Style)");
        default: return {};
    }
}

QPalette LookPalette(const LookState& state) {
    const Colours c = ColoursOf(state);
    QPalette p;
    p.setColor(QPalette::Window, c("window"));
    p.setColor(QPalette::WindowText, c("windowText"));
    p.setColor(QPalette::Base, c("base"));
    p.setColor(QPalette::AlternateBase, c("altBase"));
    p.setColor(QPalette::Text, c("text"));
    p.setColor(QPalette::Button, c("button"));
    p.setColor(QPalette::ButtonText, c("buttonText"));
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, c("light"));
    p.setColor(QPalette::Midlight, c("midlight"));
    p.setColor(QPalette::Mid, c("mid"));
    p.setColor(QPalette::Dark, c("dark"));
    p.setColor(QPalette::Shadow, c("shadow"));
    p.setColor(QPalette::Highlight, c("highlight"));
    p.setColor(QPalette::HighlightedText, c("highlightText"));
    p.setColor(QPalette::ToolTipBase, c("tipBase"));
    p.setColor(QPalette::ToolTipText, c("tipText"));
    p.setColor(QPalette::Link, c("link"));
    p.setColor(QPalette::LinkVisited, c("link"));
    p.setColor(QPalette::PlaceholderText, c("disabledText"));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, c("disabledText"));
    return p;
}

ChangeColours LookChangeColours(const LookState& state) {
    const Colours c = ColoursOf(state);
    return {c("newText"), c("changedText"), c("closedText")};
}

QColor LookColour(const LookState& state, std::string_view name) {
    const char* c = ColoursOf(state).Get(name);
    return c != nullptr ? QColor(QLatin1StringView(c)) : QColor();
}

void SetApplicationLook(unsigned id, QApplication* app, QWidget* root) {
    LookState& state = MutableLook();
    // The 3D tab flag is set before the manager is chosen, and the Office
    // 2007 scheme before its manager.
    switch (id) {
        case 210: state.manager = VisualManager::Classic; break;
        case 211: state.manager = VisualManager::OfficeXP; break;
        case 212:
            state.tabs3D = true;
            state.manager = VisualManager::Windows;
            break;
        case 213: state.manager = VisualManager::Office2003; break;
        case 214: state.manager = VisualManager::VS2005; break;
        case 215: state.office2007Style = kOffice2007Blue; break;
        case 216: state.office2007Style = kOffice2007Black; break;
        case 217: state.office2007Style = kOffice2007Silver; break;
        case 218: state.office2007Style = kOffice2007Aqua; break;
        default: break;  // the Office 2007 manager in the scheme chosen last
    }
    if (id < kLookFirst || id > 214) state.manager = VisualManager::Office2007;
    state.smartDocking = id < kLookFirst || id > 212;

    if (app == nullptr) app = qApp;
    if (app == nullptr) return;
    // The look style draws from the palette and the look on every platform.
    // It is set once and kept until someone replaces it (the application
    // then deletes it).
    static QPointer<QStyle> style;
    if (style == nullptr) {
        style = new CLookStyle;
        QApplication::setStyle(style);
    }
    // A palette equal to the one shown is not set again: setting one makes
    // every widget take it anew.
    const QPalette palette = LookPalette(state);
    if (!(QApplication::palette() == palette)) QApplication::setPalette(palette);
    if (root != nullptr) {
        CLookStyle::ApplyLookTo(root);
        root->update();
    }
}

