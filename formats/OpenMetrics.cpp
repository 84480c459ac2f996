#include "OpenMetrics.h"

#include "PrintableText.h"

#include <map>
#include <set>
#include <string_view>

namespace metrics {

namespace {

bool NameCharacter(char c, bool first, bool colon) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
    return letter || (!first && c >= '0' && c <= '9');
}

bool ValidName(const std::string& name, bool colon) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!NameCharacter(name[i], i == 0, colon)) return false;
    return true;
}

// A label value or help text, made printable first (a control character,
// a line feed too, or a byte outside valid UTF-8 as U+FFFD: a label value
// ends up on dashboards and terminals, and the format escapes no other
// control), then its backslashes and quotes escaped.
void AppendEscaped(std::string& out, std::string_view text, bool quote) {
    for (const char c : PrintableUtf8(text)) {
        if (c == '\\') out += "\\\\";
        else if (c == '"' && quote) out += "\\\"";
        else out += c;
    }
}

std::string LabelSet(const Sample& sample) {
    std::string out;
    std::set<std::string> seen;
    for (const auto& [name, value] : sample.labels) {
        if (!ValidLabelName(name) || !seen.insert(name).second) continue;
        out += out.empty() ? "{" : ",";
        out += name;
        out += "=\"";
        AppendEscaped(out, value, true);
        out += '"';
    }
    if (!out.empty()) out += '}';
    return out;
}

}  // namespace

bool ValidMetricName(const std::string& name) { return ValidName(name, true); }
bool ValidLabelName(const std::string& name) { return ValidName(name, false); }

std::string ToOpenMetrics(const std::vector<Family>& families) {
    // Families in the order they first come, each with its samples joined.
    std::vector<const Family*> order;
    std::map<std::string, std::vector<const Family*>> byName;
    for (const Family& f : families) {
        if (!ValidMetricName(f.name)) continue;
        auto& parts = byName[f.name];
        if (parts.empty()) order.push_back(&f);
        parts.push_back(&f);
    }
    std::string out;
    for (const Family* first : order) {
        const bool counter = first->type == Family::Type::Counter;
        out += "# TYPE " + first->name + (counter ? " counter\n" : " gauge\n");
        if (!first->help.empty()) {
            out += "# HELP " + first->name + ' ';
            AppendEscaped(out, first->help, false);
            out += '\n';
        }
        std::set<std::string> written;
        for (const Family* part : byName[first->name]) {
            // A part of another type cannot join: its samples are left out.
            if (part->type != first->type) continue;
            for (const Sample& sample : part->samples) {
                std::string labels = LabelSet(sample);
                if (!written.insert(labels).second) continue;
                out += first->name;
                if (counter) out += "_total";
                out += labels;
                out += ' ';
                out += std::to_string(sample.value);
                out += '\n';
            }
        }
    }
    out += "# EOF\n";
    return out;
}

}  // namespace metrics
