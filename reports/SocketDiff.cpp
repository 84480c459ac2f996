#include "SocketDiff.h"

#include <unordered_map>
#include <utility>

namespace sockets {

namespace {

// Keys made unique by the order equal ones come in: "key", then the count
// of earlier equal keys.
class UniqueKeys {
public:
    std::string Next(const std::string& key) {
        const std::size_t n = m_seen[key]++;
        std::string unique = key;
        unique.push_back('\0');
        unique += std::to_string(n);
        return unique;
    }

private:
    std::unordered_map<std::string, std::size_t> m_seen;
};

}  // namespace

std::vector<Line> NextLines(const std::vector<Line>& shown, const std::vector<Row>& table) {
    // The sockets shown (closed lines are gone for good), by unique key.
    std::unordered_map<std::string, std::size_t> shownAt;
    std::vector<std::string> shownKeys(shown.size());
    {
        UniqueKeys keys;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (shown[i].mark == Mark::Closed) continue;
            shownKeys[i] = keys.Next(shown[i].key);
            shownAt.emplace(shownKeys[i], i);
        }
    }
    // The table's lines, and where each shown socket that is still there now
    // stands among them.
    std::vector<Line> lines;
    lines.reserve(table.size());
    std::vector<std::size_t> nowAt(shown.size(), kNoLine);
    {
        UniqueKeys keys;
        for (const Row& row : table) {
            Line line{row.key, row.state, row.text, Mark::New, kNoLine};
            const auto found = shownAt.find(keys.Next(row.key));
            if (found != shownAt.end()) {
                line.from = found->second;
                line.mark = shown[found->second].state != row.state ? Mark::Changed : Mark::None;
                nowAt[found->second] = lines.size();
            }
            lines.push_back(std::move(line));
        }
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
