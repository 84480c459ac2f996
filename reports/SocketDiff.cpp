#include "SocketDiff.h"

#include <string_view>
#include <unordered_map>
#include <utility>

namespace sockets {

namespace {

// A TCP line's state: right-aligned in 15 characters between the " [" after
// the remote end and the ": " before the owner.
constexpr std::size_t kStateWidth = 15;
constexpr std::u16string_view kClosedState = u"         CLOSED";
static_assert(kClosedState.size() == kStateWidth);

// Where the state field of a TCP line starts, or npos for a line of
// another form.  The ends are written without blanks, so the first " => "
// parts them and the first " [" after it opens the state; the field must be
// blanks, then a name without blanks, then ": ".
std::size_t StateField(std::u16string_view text) {
    const std::size_t arrow = text.find(u" => ");
    if (arrow == std::u16string_view::npos) return arrow;
    const std::size_t open = text.find(u" [", arrow + 4);
    if (open == std::u16string_view::npos || text.size() - open < 2 + kStateWidth + 2) return std::u16string_view::npos;
    const std::u16string_view field = text.substr(open + 2, kStateWidth);
    const std::size_t name = field.find_first_not_of(u' ');
    if (name == std::u16string_view::npos || field.find(u' ', name) != std::u16string_view::npos ||
        text.substr(open + 2 + kStateWidth, 2) != u": ")
        return std::u16string_view::npos;
    return open + 2;
}

}  // namespace

std::u16string ClosedLineText(std::u16string text) {
    const std::size_t field = StateField(text);
    if (field != std::u16string_view::npos) text.replace(field, kStateWidth, kClosedState);
    return text;
}

std::vector<Line> NextLines(const std::vector<Line>& shown, const std::vector<Row>& table) {
    // The sockets shown (closed lines are gone for good), by key: the first
    // line of each key, and for each line the next one with the same key.
    // The n-th row of a key in the table continues the n-th line of that
    // key: the map holds, for each key, the next line not yet continued.
    std::unordered_map<std::string_view, std::size_t> nextOf;
    nextOf.reserve(shown.size());
    std::vector<std::size_t> sameAfter(shown.size(), kNoLine);
    for (std::size_t i = shown.size(); i-- > 0;) {
        if (shown[i].mark == Mark::Closed) continue;
        const auto [at, added] = nextOf.try_emplace(shown[i].key, i);
        if (!added) {
            sameAfter[i] = at->second;
            at->second = i;
        }
    }
    // The table's lines, and where each shown socket that is still there now
    // stands among them.
    std::vector<Line> lines;
    lines.reserve(table.size());
    std::vector<std::size_t> nowAt(shown.size(), kNoLine);
    for (const Row& row : table) {
        Line line{row.key, row.state, row.text, Mark::New, kNoLine, row.record};
        const auto found = nextOf.find(row.key);
        if (found != nextOf.end() && found->second != kNoLine) {
            const std::size_t from = found->second;
            found->second = sameAfter[from];
            line.from = from;
            line.mark = shown[from].state != row.state ? Mark::Changed : Mark::None;
            nowAt[from] = lines.size();
        }
        lines.push_back(std::move(line));
    }
    // Sockets gone: closed lines after the nearest earlier line still there.
    std::vector<std::vector<Line>> closedAfter(lines.size() + 1);  // [0]: before every line
    std::size_t anchor = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i].mark == Mark::Closed) continue;
        if (nowAt[i] != kNoLine) {
            anchor = nowAt[i] + 1;
            continue;
        }
        Line closed = shown[i];
        closed.mark = Mark::Closed;
        // Only TCP lines have a state (UDP rows carry 0): an owner's name
        // in a UDP line cannot pass for one.
        if (closed.state != 0) closed.text = ClosedLineText(std::move(closed.text));
        closed.from = i;
        closedAfter[anchor].push_back(std::move(closed));
    }
    std::vector<Line> next;
    next.reserve(lines.size() + shown.size());
    for (Line& line : closedAfter[0]) next.push_back(std::move(line));
    for (std::size_t p = 0; p < lines.size(); ++p) {
        next.push_back(std::move(lines[p]));
        for (Line& line : closedAfter[p + 1]) next.push_back(std::move(line));
    }
    return next;
}

std::vector<Edit> PlanEdits(const std::vector<Line>& shown, const std::vector<Line>& next) {
    // The lines that keep their items: those continuing a shown line, as long
    // as they come in the shown order (one out of order is removed and
    // inserted again).
    std::vector<bool> kept(shown.size(), false);
    std::vector<bool> keeps(next.size(), false);
    std::size_t last = 0;
    bool any = false;
    for (std::size_t n = 0; n < next.size(); ++n) {
        const std::size_t from = next[n].from;
        if (from == kNoLine || from >= shown.size() || kept[from] || (any && from <= last)) continue;
        kept[from] = keeps[n] = true;
        last = from;
        any = true;
    }
    std::vector<Edit> edits;
    for (std::size_t i = shown.size(); i-- > 0;)
        if (!kept[i]) edits.push_back({Edit::Kind::Remove, i, {}});
    std::size_t position = 0;
    for (std::size_t n = 0; n < next.size(); ++n, ++position) {
        if (!keeps[n]) {
            edits.push_back({Edit::Kind::Insert, position, next[n]});
            continue;
        }
        const Line& before = shown[next[n].from];
        if (before.text != next[n].text || before.mark != next[n].mark || before.state != next[n].state)
            edits.push_back({Edit::Kind::Rewrite, position, next[n]});
    }
    return edits;
}

void ApplyEdits(std::vector<Line>& lines, const std::vector<Edit>& edits) {
    for (const Edit& e : edits) {
        switch (e.kind) {
            case Edit::Kind::Remove:
                if (e.position < lines.size()) lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(e.position));
                break;
            case Edit::Kind::Insert:
                if (e.position <= lines.size())
                    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(e.position), e.line);
                break;
            case Edit::Kind::Rewrite:
                if (e.position < lines.size()) lines[e.position] = e.line;
                break;
        }
    }
}

}  // namespace sockets
