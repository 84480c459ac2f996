#include "RtfReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
constexpr char16_t kParagraphSeparator = u'\u2029';

// Code page 1252 from 0x80 to 0x9F; below and above that range it is
// Latin-1.  Its five unassigned bytes read as U+FFFD.
constexpr char16_t kCp1252High[32] = {
    u'\u20AC',    kReplacement, u'\u201A', u'\u0192', u'\u201E', u'\u2026',    u'\u2020', u'\u2021',
    u'\u02C6',    u'\u2030',    u'\u0160', u'\u2039', u'\u0152', kReplacement, u'\u017D', kReplacement,
    kReplacement, u'\u2018',    u'\u2019', u'\u201C', u'\u201D', u'\u2022',    u'\u2013', u'\u2014',
    u'\u02DC',    u'\u2122',    u'\u0161', u'\u203A', u'\u0153', kReplacement, u'\u017E', u'\u0178',
};

char16_t DecodeCp1252(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
    return static_cast<char16_t>(byte);
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Destinations whose content is not text of the document: tables, document
// information, pictures and objects, headers and footers, notes, field
// instructions (a field's result, \fldrslt, is read) and index entries.
constexpr std::string_view kSkippedDestinations =
    "fonttbl colortbl stylesheet listtable listoverridetable revtbl rsidtbl filetbl pgdsctbl latentstyles themedata "
    "colorschememapping datastore info generator xmlnstbl private pict shppict nonshppict object objdata header "
    "headerl headerr headerf footer footerl footerr footerf footnote annotation fldinst xe tc txe rxe bkmkstart "
    "bkmkend";

// Underline styles other than the plain one: each turns underlining on or,
// with a zero, off.  (\ulc, the underline colour, is not one of them.)
constexpr std::string_view kUnderlineStyles =
    "uld uldash uldashd uldashdd uldb ulhwave ulldash ulth ulthd ulthdash ulthdashd ulthdashdd ulthldash ululdbwave "
    "ulw ulwave";

struct NamedCharacter {
    std::string_view word;
    char16_t ch;
};
constexpr NamedCharacter kNamedCharacters[] = {
    {"emdash", u'\u2014'},    {"endash", u'\u2013'},    {"lquote", u'\u2018'}, {"rquote", u'\u2019'},
    {"ldblquote", u'\u201C'}, {"rdblquote", u'\u201D'}, {"bullet", u'\u2022'}, {"emspace", u'\u2003'},
    {"enspace", u'\u2002'},   {"qmspace", u'\u2005'},   {"zwj", u'\u200D'},    {"zwnj", u'\u200C'},
    {"ltrmark", u'\u200E'},   {"rtlmark", u'\u200F'},
};

// Whether `word` is one of the space-separated words of `list`.
bool InList(std::string_view list, std::string_view word) {
    while (!list.empty()) {
        const std::size_t space = list.find(' ');
        if (list.substr(0, space) == word) return true;
        if (space == std::string_view::npos) break;
        list.remove_prefix(space + 1);
    }
    return false;
}

// What a group restores when it closes.
struct GroupState {
    RtfFormat format;
    RtfAlign align = RtfAlign::Left;
    int fallbackCount = 1;  // \ucN: characters after each \uN that stand in for it
    bool skip = false;      // inside a destination whose content is not text
};

// One pass over the bytes with an explicit stack of group states, so that
// nesting costs heap, bounded by kRtfMaxGroupDepth, and never call depth.
class Reader {
public:
    explicit Reader(std::string_view in) : m_in(in) {}

    RtfContent Read() {
        m_out.rtf = true;
        while (!m_done && m_pos < m_in.size()) {
            const char c = m_in[m_pos++];
            switch (c) {
                case '{': OpenGroup(); break;
                case '}': CloseGroup(); break;
                case '\\': Control(); break;
                case '\r':
                case '\n': break;  // line ends in the file are not text
                default: Byte(static_cast<unsigned char>(c)); break;
            }
        }
        // A document cut short keeps what was read.
        if (!m_done) Finish();
        return std::move(m_out);
    }

private:
    bool Skipping() const { return m_state.skip || m_tooDeep > 0; }

    // Fallback characters of a \uN are swallowed one per text byte, escape,
    // control word or symbol; a brace ends them.  Returns whether this one
    // was swallowed.
    bool SwallowFallback() {
        if (m_fallbackLeft == 0) return false;
        --m_fallbackLeft;
        return true;
    }

    void OpenGroup() {
        m_fallbackLeft = 0;
        if (m_tooDeep > 0 || m_stack.size() >= static_cast<std::size_t>(kRtfMaxGroupDepth)) {
            ++m_tooDeep;
            return;
        }
        m_stack.push_back(m_state);
    }

    void CloseGroup() {
        m_fallbackLeft = 0;
        if (m_tooDeep > 0) {
            --m_tooDeep;
            return;
        }
        if (m_stack.size() <= 1) {
            // The outermost group ends the document; what follows is not read.
            Finish();
            m_done = true;
            return;
        }
        m_state = m_stack.back();
        m_stack.pop_back();
    }

    void Byte(unsigned char byte) {
        if (SwallowFallback() || Skipping()) return;
        Put(DecodeCp1252(byte));
    }

    void Control() {
        if (m_pos >= m_in.size()) return;  // a backslash at the very end
        const char c = m_in[m_pos];
        if (IsLetter(c)) {
            Word();
            return;
        }
        ++m_pos;
        if (c == '\'') {
            Hex();
            return;
        }
        if (SwallowFallback() || Skipping()) return;
        Symbol(c);
    }

    void Symbol(char c) {
        switch (c) {
            case '~': Put(u'\u00A0'); break;  // non-breaking space
            case '-': Put(u'\u00AD'); break;  // optional hyphen
            case '_': Put(u'\u2011'); break;  // non-breaking hyphen
            case '{':
            case '}':
            case '\\': Put(static_cast<char16_t>(c)); break;
            case '*': m_state.skip = true; break;  // no {\* ...} destination is text here
            case '\r':
            case '\n': EndParagraph(); break;  // a backslash before a line end is \par
            default: break;
        }
    }

    // \'hh: one byte in the document's code page.  An escape cut short or with
    // a non-hex digit stands for nothing.
    void Hex() {
        int value = 0;
        int digits = 0;
        while (digits < 2 && m_pos < m_in.size()) {
            const int digit = HexValue(m_in[m_pos]);
            if (digit < 0) break;
            value = value * 16 + digit;
            ++m_pos;
            ++digits;
        }
        if (SwallowFallback() || Skipping() || digits < 2) return;
        Put(DecodeCp1252(static_cast<unsigned char>(value)));
    }

    void Word() {
        const std::size_t start = m_pos;
        while (m_pos < m_in.size() && IsLetter(m_in[m_pos])) ++m_pos;
        const std::string_view word = m_in.substr(start, m_pos - start);

        // The parameter saturates at the int range, however many digits follow.
        constexpr std::int64_t kLimit = std::numeric_limits<int>::max();
        bool negative = false;
        if (m_pos + 1 < m_in.size() && m_in[m_pos] == '-' && IsDigit(m_in[m_pos + 1])) {
            negative = true;
            ++m_pos;
        }
        bool hasParam = false;
        std::int64_t value = 0;
        while (m_pos < m_in.size() && IsDigit(m_in[m_pos])) {
            hasParam = true;
            value = std::min(value * 10 + (m_in[m_pos] - '0'), kLimit);
            ++m_pos;
        }
        if (m_pos < m_in.size() && m_in[m_pos] == ' ') ++m_pos;  // the delimiter space is not text
        const int param = static_cast<int>(negative ? -value : value);

        if (word == "bin") {
            // Binary data may hold braces and backslashes: step over it whole,
            // whatever state the reader is in.
            if (param > 0) m_pos += std::min(static_cast<std::size_t>(param), m_in.size() - m_pos);
            SwallowFallback();
            return;
        }
        if (SwallowFallback() || Skipping()) return;
        Apply(word, hasParam, param);
    }

    void Apply(std::string_view word, bool hasParam, int param) {
        RtfFormat& format = m_state.format;
        const bool on = !hasParam || param != 0;
        if (word == "par" || word == "sect" || word == "page" || word == "row") {
            EndParagraph();
        } else if (word == "line") {
            Put(kRtfLineBreak);
        } else if (word == "tab" || word == "cell" || word == "nestcell") {
            Put(u'\t');
        } else if (word == "b") {
            format.bold = on;
        } else if (word == "i") {
            format.italic = on;
        } else if (word == "ul" || InList(kUnderlineStyles, word)) {
            format.underline = on;
        } else if (word == "ulnone") {
            format.underline = false;
        } else if (word == "fs") {
            format.halfPoints = hasParam && param > 0 ? std::min(param, kRtfMaxHalfPoints) : kRtfDefaultHalfPoints;
        } else if (word == "plain") {
            format = RtfFormat{};
        } else if (word == "pard") {
            m_state.align = RtfAlign::Left;
        } else if (word == "ql") {
            m_state.align = RtfAlign::Left;
        } else if (word == "qc") {
            m_state.align = RtfAlign::Centre;
        } else if (word == "qr") {
            m_state.align = RtfAlign::Right;
        } else if (word == "qj" || word == "qd") {
            m_state.align = RtfAlign::Justify;
        } else if (word == "uc") {
            m_state.fallbackCount = hasParam ? std::max(param, 0) : 1;
        } else if (word == "u") {
            if (!hasParam) return;
            // A signed 16-bit number: negative values stand for those above 32767.
            const int unit = param < 0 ? param + 65536 : param;
            Put(unit >= 0 && unit <= 0xFFFF ? static_cast<char16_t>(unit) : kReplacement);
            m_fallbackLeft = m_state.fallbackCount;
        } else if (InList(kSkippedDestinations, word)) {
            m_state.skip = true;
        } else {
            // \ansicpg names the code page of \'hh and 8-bit text; 1252 is the
            // only one known here and the one any other reads as, so the
            // number changes nothing.  Every other word is ignored too.
            for (const NamedCharacter& named : kNamedCharacters) {
                if (named.word == word) {
                    Put(named.ch);
                    return;
                }
            }
        }
    }

    // Adds a character in the current format.  C0 controls other than the tab
    // are dropped; U+2029 ends the paragraph; noncharacters (Qt's frame marks
    // among them) read as U+FFFD, so a run never holds a block boundary.
    void Put(char16_t ch) {
        if (ch < 0x20 && ch != u'\t') return;
        if (ch == kParagraphSeparator) {
            EndParagraph();
            return;
        }
        if ((ch >= 0xFDD0 && ch <= 0xFDEF) || ch >= 0xFFFE) ch = kReplacement;
        if (m_para.runs.empty() || !(m_para.runs.back().format == m_state.format)) {
            m_para.runs.push_back({m_state.format, {}});
        }
        m_para.runs.back().text.push_back(ch);
    }

    void EndParagraph() {
        m_para.align = m_state.align;
        m_para.mark = m_state.format;
        m_out.paragraphs.push_back(std::move(m_para));
        m_para = RtfParagraph{};
    }

    // The last paragraph counts only when it holds text.
    void Finish() {
        if (!m_para.runs.empty()) EndParagraph();
    }

    std::string_view m_in;
    std::size_t m_pos = 0;
    bool m_done = false;
    std::vector<GroupState> m_stack;
    GroupState m_state;
    std::size_t m_tooDeep = 0;  // groups open beyond kRtfMaxGroupDepth
    int m_fallbackLeft = 0;
    RtfParagraph m_para;
    RtfContent m_out;
};

RtfContent ReadPlain(std::string_view bytes) {
    RtfContent content;
    RtfParagraph para;
    auto end = [&] {
        content.paragraphs.push_back(std::move(para));
        para = RtfParagraph{};
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\r') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
            end();
        } else if (byte == '\n') {
            end();
        } else if (byte >= 0x20 || byte == '\t') {
            if (para.runs.empty()) para.runs.emplace_back();
            para.runs.back().text.push_back(DecodeCp1252(byte));
        }
    }
    if (!para.runs.empty()) end();
    return content;
}

// \uN may write a character outside the first plane as two surrogates; one
// without its partner, in any run, becomes U+FFFD.
void ReplaceUnpairedSurrogates(RtfContent& content) {
    auto high = [](char16_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    auto low = [](char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
    for (RtfParagraph& para : content.paragraphs) {
        for (RtfRun& run : para.runs) {
            std::u16string& text = run.text;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (high(text[i]) && i + 1 < text.size() && low(text[i + 1])) {
                    ++i;
                } else if (high(text[i]) || low(text[i])) {
                    text[i] = kReplacement;
                }
            }
        }
    }
}

}  // namespace

RtfContent ReadRtf(std::string_view bytes) {
    constexpr std::string_view kSignature = "{\\rtf";
    if (bytes.substr(0, kSignature.size()) != kSignature) return ReadPlain(bytes);
    RtfContent content = Reader(bytes).Read();
    ReplaceUnpairedSurrogates(content);
    return content;
}

std::u16string RtfPlainText(const RtfContent& content) {
    std::u16string text;
    for (std::size_t i = 0; i < content.paragraphs.size(); ++i) {
        if (i > 0) text.push_back(u'\n');
        for (const RtfRun& run : content.paragraphs[i].runs) text += run.text;
    }
    return text;
}
