// A small reader of RTF documents, without Qt: it turns the bytes of a
// document into paragraphs of runs of text that share one character format.
//
// What it reads: groups, each restoring on '}' the formatting in effect at
// its '{'; \par \line \tab; bold, italic, underline, font size, \plain and
// \pard; paragraph alignment; \'hh escapes and 8-bit text through the
// document's code page; \uN with its \ucN fallback characters; the symbols
// \~ \- \_ \{ \} \\; a few named characters (\emdash, \lquote, ...).  The
// font, colour and style tables, document information, pictures, objects,
// headers, footers, field instructions and every {\* ...} group are skipped;
// unknown control words are ignored.
//
// Any input is safe: nothing is read past the bytes given, numbers saturate,
// groups nest at most kRtfMaxGroupDepth deep (the text of deeper groups is
// dropped, so their formatting cannot leak out) and the reader keeps no
// recursion, so time and stack are linear in the input.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Groups deeper than this are skipped whole.
inline constexpr int kRtfMaxGroupDepth = 256;
// The font size, in half-points, where the document sets none: 12 points.
inline constexpr int kRtfDefaultHalfPoints = 24;
// Font sizes above this many half-points (1638 points) are cut to it.
inline constexpr int kRtfMaxHalfPoints = 3276;
// What \line puts into the text: a line break inside the paragraph.
inline constexpr char16_t kRtfLineBreak = u'\u2028';

enum class RtfAlign { Left, Centre, Right, Justify };

struct RtfFormat {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = kRtfDefaultHalfPoints;

    bool operator==(const RtfFormat&) const = default;
};

// Text in one character format: tabs as '\t', line breaks as kRtfLineBreak,
// never a paragraph break or an unpaired surrogate.
struct RtfRun {
    RtfFormat format;
    std::u16string text;
};

struct RtfParagraph {
    RtfAlign align = RtfAlign::Left;
    // The character format in effect at the paragraph's end: the one an
    // empty paragraph shows in.
    RtfFormat mark;
    // Adjacent runs always differ in format; an empty paragraph has none.
    std::vector<RtfRun> runs;
};

struct RtfContent {
    // Whether the input was an RTF document, one that begins with "{\rtf".
    // Other input is read as plain text in code page 1252: each line a
    // paragraph in the default format.
    bool rtf = false;
    // A paragraph break at the very end starts no further paragraph, so
    // "a\par" holds one paragraph and an empty input none.
    std::vector<RtfParagraph> paragraphs;
};

// Reads a document.  The text ends where the outermost group closes; a
// document cut short keeps what was read before the cut.  Code page 1252 is
// the only one known: \ansicpg with any other number still reads as 1252.
RtfContent ReadRtf(std::string_view bytes);

// The text of a document without its formatting, paragraphs joined by '\n'.
std::u16string RtfPlainText(const RtfContent& content);
