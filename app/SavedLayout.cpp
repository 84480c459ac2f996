#include "SavedLayout.h"

#include <QSet>
#include <QString>
#include <cstdint>

namespace {

// The toolkit's markers (stable since the formats were made).
constexpr std::uint32_t kVersionMarker = 0xff;
constexpr std::uint8_t kDockSection = 0xfd;
constexpr std::uint8_t kToolBarSection = 0xfc;
constexpr std::uint8_t kTabGroup = 0xfa;
constexpr std::uint8_t kSequence = 0xfc;
constexpr std::uint8_t kWidget = 0xfb;
constexpr std::uint8_t kVisible = 1;
constexpr std::uint8_t kFloating = 2;
constexpr int kHorizontal = 1;
constexpr int kVertical = 2;

// Bounds no window of this program comes near: its 16 panes in four areas,
// groups split a few times, sizes and places on any screen.
constexpr int kMostItems = 64;
constexpr int kMostDepth = 16;
constexpr int kMostNameUnits = 64;
constexpr int kMostPixels = 1 << 15;
constexpr int kMostToolBarLines = 16;

// Big-endian reads over the bytes; any read past the end fails the reader
// for good.
class Reader {
public:
    explicit Reader(const QByteArray& bytes) : m_bytes(bytes) {}

    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_at == m_bytes.size(); }

    std::uint8_t U8() {
        if (!Have(1)) return 0;
        return static_cast<std::uint8_t>(m_bytes[m_at++]);
    }
    std::uint16_t U16() {
        const std::uint16_t high = U8();
        return static_cast<std::uint16_t>(high << 8 | U8());
    }
    std::uint32_t U32() {
        const std::uint32_t high = U16();
        return high << 16 | U16();
    }
    int I32() { return static_cast<std::int32_t>(U32()); }
    // A number within [least, most]; anything else fails the reader.
    int I32In(int least, int most) {
        const int value = I32();
        if (value < least || value > most) m_ok = false;
        return value;
    }
    // A string as the toolkit writes one: its length in bytes, then UTF-16
    // code units; a name here, neither null nor empty nor long.
    QString Name() {
        const std::uint32_t length = U32();
        if (!m_ok || length == 0 || length % 2 != 0 || length > 2 * kMostNameUnits || !Have(length)) {
            m_ok = false;
            return {};
        }
        QString name;
        for (std::uint32_t i = 0; i < length / 2; ++i) name += QChar(U16());
        return name;
    }
    void Fail() { m_ok = false; }

private:
    bool Have(qsizetype count) {
        if (!m_ok || m_bytes.size() - m_at < count) {
            m_ok = false;
            return false;
        }
        return true;
    }

    const QByteArray& m_bytes;
    qsizetype m_at = 0;
    bool m_ok = true;
};

// A place and extent within an area: -1 where the toolkit keeps none.
void Extents(Reader& in) {
    in.I32In(-1, kMostPixels);  // position
    in.I32In(-1, kMostPixels);  // size
    in.I32();                   // least and most size: written, never read
    in.I32();
}

bool Group(Reader& in, int orientation, int depth, QSet<QString>& names);

bool Item(Reader& in, bool inTabs, int orientation, int depth, QSet<QString>& names) {
    const std::uint8_t marker = in.U8();
    if (marker == kWidget) {
        const QString name = in.Name();
        const std::uint8_t flags = in.U8();
        if (!in.Ok() || names.contains(name) || (flags & ~(kVisible | kFloating)) != 0) return false;
        names.insert(name);
        if (flags & kFloating) {
            in.I32In(-kMostPixels, kMostPixels);  // x, y, width, height
            in.I32In(-kMostPixels, kMostPixels);
            in.I32In(0, kMostPixels);
            in.I32In(0, kMostPixels);
        } else {
            Extents(in);
        }
        return in.Ok();
    }
    // A nested group: never inside a tab group, and never deeper than
    // splitting can go.
    if (marker != kSequence || inTabs || depth >= kMostDepth) return false;
    Extents(in);
    return in.Ok() && Group(in, orientation, depth + 1, names);
}

bool Group(Reader& in, int orientation, int depth, QSet<QString>& names) {
    const std::uint8_t marker = in.U8();
    if (marker != kTabGroup && marker != kSequence) return false;
    const bool tabs = marker == kTabGroup;
    const int current = tabs ? in.I32() : -1;
    const int own = in.U8();
    const int count = in.I32In(1, kMostItems);
    if (!in.Ok() || (own != kHorizontal && own != kVertical) || current < -1 || current >= count) return false;
    // An area's root runs as the area does.
    if (depth == 0 && own != orientation) return false;
    for (int i = 0; i < count; ++i)
        if (!Item(in, tabs, own, depth, names)) return false;
    return true;
}

bool DockSection(Reader& in, QSet<QString>& names) {
    const int areas = in.I32In(0, 4);
    if (!in.Ok()) return false;
    bool seen[4] = {};
    for (int i = 0; i < areas; ++i) {
        const int area = in.I32In(0, 3);  // left, right, top, bottom
        in.I32In(-1, kMostPixels);        // its size
        in.I32In(-1, kMostPixels);
        if (!in.Ok() || seen[area]) return false;
        seen[area] = true;
        if (!Group(in, area < 2 ? kVertical : kHorizontal, 0, names)) return false;
    }
    in.I32In(-1, kMostPixels);  // the central area's size
    in.I32In(-1, kMostPixels);
    for (int corner = 0; corner < 4; ++corner) {
        const int owner = in.I32();
        if (owner != Qt::LeftDockWidgetArea && owner != Qt::RightDockWidgetArea && owner != Qt::TopDockWidgetArea &&
            owner != Qt::BottomDockWidgetArea)
            in.Fail();
    }
    return in.Ok();
}

bool ToolBarSection(Reader& in) {
    const int lines = in.I32In(0, kMostToolBarLines);
    QSet<QString> names;
    for (int line = 0; in.Ok() && line < lines; ++line) {
        in.I32In(0, 3);  // the area
        const int count = in.I32In(0, kMostItems);
        for (int i = 0; in.Ok() && i < count; ++i) {
            const QString name = in.Name();
            const std::uint8_t shown = in.U8();
            in.I32In(-1, kMostPixels);  // position and preferred size
            in.I32In(-1, kMostPixels);
            const std::uint32_t geometry = in.U32();
            in.U32();
            // Shown and vertical bits only; never floating (the low bit of
            // the packed geometry).
            if (!in.Ok() || names.contains(name) || (shown & ~3u) != 0 || (geometry & 1u) != 0) return false;
            names.insert(name);
        }
    }
    return in.Ok();
}

}  // namespace

bool IsSoundDockState(const QByteArray& state) {
    Reader in(state);
    if (in.U32() != kVersionMarker || in.I32() != 0 || !in.Ok()) return false;
    QSet<QString> panes;
    bool docks = false;
    bool toolBars = false;
    while (in.Ok() && !in.AtEnd()) {
        const std::uint8_t section = in.U8();
        if (section == kDockSection && !docks) {
            docks = true;
            if (!DockSection(in, panes)) return false;
        } else if (section == kToolBarSection && !toolBars) {
            toolBars = true;
            if (!ToolBarSection(in)) return false;
        } else {
            return false;
        }
    }
    return in.Ok() && docks;
}

std::optional<SavedPlacement> ParsePlacement(const QByteArray& bytes) {
    constexpr std::uint32_t kMagic = 0x1D9D0CB;
    Reader in(bytes);
    if (in.U32() != kMagic) return std::nullopt;
    const int major = in.U16();
    in.U16();  // minor
    if (major < 1 || major > 3) return std::nullopt;
    const auto rect = [&in] {
        const int left = in.I32In(-kMostPixels, kMostPixels);
        const int top = in.I32In(-kMostPixels, kMostPixels);
        const int right = in.I32In(-kMostPixels, kMostPixels);
        const int bottom = in.I32In(-kMostPixels, kMostPixels);
        return QRect(QPoint(left, top), QPoint(right, bottom));
    };
    rect();  // the frame's
    const QRect normal = rect();
    in.I32();  // the screen's number: the window goes to the screen under it
    const std::uint8_t maximized = in.U8();
    const std::uint8_t fullScreen = in.U8();
    if (major > 1) in.I32();  // the screen's width
    const QRect geometry = major > 2 ? rect() : normal;
    if (!in.Ok() || !in.AtEnd()) return std::nullopt;
    if ((maximized != 0 && maximized != Qt::WindowMaximized) || (fullScreen != 0 && fullScreen != Qt::WindowFullScreen))
        return std::nullopt;
    SavedPlacement placement;
    placement.maximized = maximized != 0;
    placement.fullScreen = fullScreen != 0;
    // Maximised or full screen, the window's own rectangle is the screen's:
    // the normal one is where it goes back to, and may be none (a window
    // maximised before it was ever shown).
    placement.geometry = placement.maximized || placement.fullScreen ? normal : geometry;
    if (!placement.geometry.isValid() && !placement.maximized && !placement.fullScreen) return std::nullopt;
    return placement;
}
