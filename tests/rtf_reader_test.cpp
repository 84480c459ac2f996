// The RTF reader on the licence agreement and on small, broken and random
// documents; the Qt document it fills; the About box under Qt's offscreen
// platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "CAboutDlg.h"
#include "Resources.h"
#include "RtfDocument.h"
#include "RtfReader.h"
#include "WideText.h"
#include "QtAppTest.h"

namespace {

// Reads `bytes` from a heap block of exactly their size, with no terminating
// zero, so that a read past the end shows under AddressSanitizer.
RtfContent ReadExact(std::string_view bytes) {
    const std::unique_ptr<char[]> block(new char[bytes.size() + 1]);
    std::memcpy(block.get() + 1, bytes.data(), bytes.size());
    // The block's first byte is left out, so that an empty input still has a
    // valid pointer whose end is the block's end.
    return ReadRtf(std::string_view(block.get() + 1, bytes.size()));
}

std::u16string Text(std::string_view bytes) { return RtfPlainText(ReadExact(bytes)); }

std::string Utf8(std::u16string_view text) { return WideToUtf8(text); }

QByteArray LicenceBytes() {
    InitAppResources();
    QFile file(CAboutDlg::LicenceResourcePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

RtfContent ReadLicence() {
    const QByteArray bytes = LicenceBytes();
    return ReadRtf(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

std::size_t Count(std::u16string_view text, std::u16string_view piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::u16string_view::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// ------------------------------------------------------------- the licence

TEST(RtfLicence, ReadsAsFormattedParagraphsWithItsTablesLeftOut) {
    const RtfContent licence = ReadLicence();
    ASSERT_TRUE(licence.rtf);
    ASSERT_GT(licence.paragraphs.size(), 10u);

    const RtfParagraph& title = licence.paragraphs[0];
    ASSERT_EQ(title.runs.size(), 1u);
    EXPECT_EQ(title.runs[0].text, u"Tessaline Licence Agreement");
    EXPECT_TRUE(title.runs[0].format.bold);
    EXPECT_EQ(title.runs[0].format.halfPoints, 28);
    EXPECT_EQ(title.align, RtfAlign::Centre);

    const std::u16string text = RtfPlainText(licence);
    EXPECT_NE(text.find(u"Copyright \u00a9 2026 Ulvo Systems."), std::u16string::npos) << Utf8(text);
    // \u8594 with its fallback '?' skipped.
    EXPECT_NE(text.find(u"choose Help \u2192 About Tessaline."), std::u16string::npos) << Utf8(text);
    EXPECT_NE(text.find(u"\u201cthe program\u201d"), std::u16string::npos);
    // The title is in the document information too, which is not text.
    EXPECT_EQ(Count(text, u"Tessaline Licence Agreement"), 1u);
    // Font names, style names, the colour table's separators, the generator
    // and the picture's data.
    for (std::u16string_view leak :
         {u"Sans", u"Monospace", u"Normal;", u"Heading;", u";;", u"document tools", u"0100090000"}) {
        EXPECT_EQ(text.find(leak), std::u16string::npos) << Utf8(leak);
    }
}

TEST(RtfLicence, HasItalicUnderlinedAndSeveralSizes) {
    bool italic = false;
    bool underline = false;
    std::vector<int> sizes;
    for (const RtfParagraph& para : ReadLicence().paragraphs) {
        for (const RtfRun& run : para.runs) {
            italic = italic || run.format.italic;
            underline = underline || run.format.underline;
            if (std::find(sizes.begin(), sizes.end(), run.format.halfPoints) == sizes.end()) {
                sizes.push_back(run.format.halfPoints);
            }
        }
    }
    EXPECT_TRUE(italic);
    EXPECT_TRUE(underline);
    EXPECT_GE(sizes.size(), 3u);
}

// ---------------------------------------------------------------- the text

struct TextCase {
    const char* name;
    std::string_view input;
    std::u16string_view text;
};

TEST(RtfReader, TextOfSmallDocuments) {
    const TextCase cases[] = {
        {"paragraph", "{\\rtf1 a\\par b}", u"a\nb"},
        {"line", "{\\rtf1 a\\line b}", u"a\u2028b"},
        {"tab", "{\\rtf1 a\\tab b}", u"a\tb"},
        {"file line ends", "{\\rtf1 a\r\nb\rc\nd}", u"abcd"},
        {"backslash line end", "{\\rtf1 a\\\nb}", u"a\nb"},
        {"delimiter space only", "{\\rtf1 \\b  a}", u" a"},
        {"cp1252 quotes", "{\\rtf1\\ansi\\ansicpg1252 \\'93q\\'94}", u"\u201cq\u201d"},
        {"cp1252 high", "{\\rtf1 \\'a9\\'e9\\'80\\'9f}", u"\u00a9\u00e9\u20ac\u0178"},
        {"cp1252 unassigned", "{\\rtf1 \\'81\\'8d\\'8f\\'90\\'9d}", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"8-bit text", "{\\rtf1 \x93q\xe9}", u"\u201cq\u00e9"},
        {"unknown code page", "{\\rtf1\\ansicpg99999 \\'93}", u"\u201c"},
        {"hex upper case", "{\\rtf1 \\'C9}", u"\u00c9"},
        {"unicode", "{\\rtf1 \\u8220?q}", u"\u201cq"},
        {"unicode negative", "{\\rtf1 \\u-3913?x}", u"\uF0B7x"},
        {"unicode most negative", "{\\rtf1 \\u-32768?x}", u"\u8000x"},
        {"uc2", "{\\rtf1\\uc2 \\u8220??q}", u"\u201cq"},
        {"uc0", "{\\rtf1\\uc0 \\u8220 q}", u"\u201cq"},
        {"fallback escapes", "{\\rtf1\\uc2 \\u8220\\'93\\'94q}", u"\u201cq"},
        {"fallback control word", "{\\rtf1 \\u8220\\emdash q}", u"\u201cq"},
        {"brace ends fallback", "{\\rtf1\\uc3 \\u8220{x}y}", u"\u201cxy"},
        {"uc is per group", "{\\rtf1 {\\uc3 }\\u8220 abc}", u"\u201cbc"},
        {"surrogate pair", "{\\rtf1 \\u-10179?\\u-8704?}", u"\U0001F600"},
        {"lone surrogate", "{\\rtf1 \\u-10179?x\\u-8704?}", u"\uFFFDx\uFFFD"},
        {"unicode out of range", "{\\rtf1 \\u99999999999999?x}", u"\uFFFDx"},
        {"unicode C0 control", "{\\rtf1 a\\u0?b\\u13?c\\'00d\\'0ae}", u"abcde"},
        {"unicode paragraph separator", "{\\rtf1 a\\u8233?b}", u"a\nb"},
        {"unicode noncharacter", "{\\rtf1 \\u-560?\\u-2?}", u"\uFFFD\uFFFD"},
        {"symbols", "{\\rtf1 a\\~b\\-c\\_d\\{\\}\\\\}", u"a\u00a0b\u00adc\u2011d{}\\"},
        {"named characters", "{\\rtf1 \\lquote\\rquote\\endash\\emdash\\bullet}", u"\u2018\u2019\u2013\u2014\u2022"},
        {"unknown words", "{\\rtf1 \\foo a\\bar12 b\\zzz-5 c\\Qq d}", u"abcd"},
        {"unknown symbols", "{\\rtf1 a\\:b\\|c\\!d}", u"abcd"},
        {"ignorable destination", "{\\rtf1 a{\\*\\unknown b{c}d}e}", u"ae"},
        {"ignorable known word", "{\\rtf1 a{\\*\\b b}c}", u"ac"},
        {"tables and info",
         "{\\rtf1{\\fonttbl{\\f0 Sans;}}{\\colortbl;\\red1;}{\\stylesheet{\\s1 Head;}}{\\info{\\title T}}"
         "{\\header H}{\\footerr F}{\\footnote N}{\\pict 0102}{\\object{\\objdata 03}}a}",
         u"a"},
        {"field", "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK x}{\\fldinst y}{\\fldrslt link}} z}", u"link z"},
        {"binary data", "{\\rtf1 a\\bin4 }{\\{b}", u"ab"},
        {"binary inside a skipped group", "{\\rtf1 a{\\pict\\bin2 }}b}c}", u"ac"},
        {"binary past the end", "{\\rtf1 a\\bin99999999999 bc}", u"a"},
        {"trailing paragraph break", "{\\rtf1 a\\par}", u"a"},
        {"empty paragraphs", "{\\rtf1 a\\par\\par\\par b}", u"a\n\n\nb"},
        {"parameter overflow", "{\\rtf1 \\par99999999999999999999 a\\tab-99999999999999999999 b}", u"\na\tb"},
        {"extra closing braces", "{\\rtf1 a}}}b", u"a"},
        {"text after the document", "{\\rtf1 a} b {\\b c}", u"a"},
        {"unclosed groups", "{\\rtf1 a{{{b", u"ab"},
        {"cut after backslash", "{\\rtf1 a\\", u"a"},
        {"cut in a word", "{\\rtf1 a\\pa", u"a"},
        // A hyphen belongs to a word only before a digit.
        {"cut in a parameter", "{\\rtf1 a\\fs-", u"a-"},
        {"cut in a parameter's digits", "{\\rtf1 a\\fs-2", u"a"},
        {"cut in a hex escape", "{\\rtf1 a\\'9", u"a"},
        {"cut before a hex escape", "{\\rtf1 a\\'", u"a"},
        {"cut in a unicode escape", "{\\rtf1 a\\u-", u"a-"},
        {"cut in a unicode parameter", "{\\rtf1 a\\u-39", u"a\uFFD9"},
        {"cut in fallback", "{\\rtf1 a\\u8220", u"a\u201c"},
        {"cut in a group", "{\\rtf1 a{\\b b", u"ab"},
        {"cut in a skipped group", "{\\rtf1 a{\\fonttbl b", u"a"},
        {"bad hex digit", "{\\rtf1 a\\'9gb\\'zz}", u"agbzz"},
        {"signature only", "{\\rtf", u""},
    };
    for (const TextCase& c : cases) {
        const RtfContent content = ReadExact(c.input);
        EXPECT_TRUE(content.rtf) << c.name;
        EXPECT_EQ(Utf8(RtfPlainText(content)), Utf8(c.text)) << c.name;
    }
}

TEST(RtfReader, InputWithoutTheSignatureIsPlainText) {
    const TextCase cases[] = {
        {"empty", "", u""},
        {"lines", "hello\r\nworld\rthird\nlast\n", u"hello\nworld\nthird\nlast"},
        {"cp1252", "caf\xe9 \x93q\x94\x81", u"caf\u00e9 \u201cq\u201d\uFFFD"},
        {"controls", std::string_view("a\0b\tc\x1b", 6), u"ab\tc"},
        {"almost rtf", "{\\rt", u"{\\rt"},
        {"rtf later", " {\\rtf1 \\b x}", u" {\\rtf1 \\b x}"},
        {"upper case", "{\\RTF1 x}", u"{\\RTF1 x}"},
    };
    for (const TextCase& c : cases) {
        const RtfContent content = ReadExact(c.input);
        EXPECT_FALSE(content.rtf) << c.name;
        EXPECT_EQ(Utf8(RtfPlainText(content)), Utf8(c.text)) << c.name;
        for (const RtfParagraph& para : content.paragraphs) {
            for (const RtfRun& run : para.runs) EXPECT_EQ(run.format, RtfFormat{}) << c.name;
        }
    }
    EXPECT_TRUE(ReadExact("").paragraphs.empty());
    EXPECT_EQ(ReadExact("a\n\nb\n").paragraphs.size(), 3u);
}

// ------------------------------------------------------------- formatting

struct Run {
    std::u16string_view text;
    RtfFormat format;
};

constexpr RtfFormat kPlain{};
constexpr RtfFormat kBold{.bold = true};
constexpr RtfFormat kBoldItalic{.bold = true, .italic = true};
constexpr RtfFormat kUnderline{.underline = true};

struct FormatCase {
    const char* name;
    std::string_view input;
    std::vector<Run> runs;  // of the first paragraph
};

TEST(RtfReader, FormattingOfRuns) {
    const FormatCase cases[] = {
        {"groups restore",
         "{\\rtf1 a{\\b b{\\i c}d}e}",
         {{u"a", kPlain}, {u"b", kBold}, {u"c", kBoldItalic}, {u"d", kBold}, {u"e", kPlain}}},
        {"toggles",
         "{\\rtf1 \\b a\\b0 b\\i1 c\\i0\\b2 d}",
         {{u"a", kBold}, {u"b", kPlain}, {u"c", {.italic = true}}, {u"d", kBold}}},
        {"plain", "{\\rtf1\\b\\i\\ul\\fs40 a\\plain b}", {{u"a", {true, true, true, 40}}, {u"b", kPlain}}},
        {"plain inside a group", "{\\rtf1\\b a{\\plain b}c}", {{u"a", kBold}, {u"b", kPlain}, {u"c", kBold}}},
        {"underline words",
         "{\\rtf1 \\ul a\\ul0 b\\ul c\\ulnone d\\uldb e\\ulc2 f\\ulw0 g}",
         {{u"a", kUnderline}, {u"b", kPlain}, {u"c", kUnderline}, {u"d", kPlain}, {u"ef", kUnderline}, {u"g", kPlain}}},
        {"font sizes",
         "{\\rtf1 \\fs17 a\\fs99999999999999999999 b\\fs0 c\\fs-3 d\\fs e}",
         {{u"a", {.halfPoints = 17}}, {u"b", {.halfPoints = kRtfMaxHalfPoints}}, {u"cde", kPlain}}},
        {"same format merges", "{\\rtf1 a{b}{\\b0 c}\\i0 d}", {{u"abcd", kPlain}}},
        {"skipped group keeps no format", "{\\rtf1 a{\\fonttbl\\b}{\\*\\x\\i}b}", {{u"ab", kPlain}}},
        {"pard keeps character format", "{\\rtf1\\b a\\pard b}", {{u"ab", kBold}}},
    };
    for (const FormatCase& c : cases) {
        const RtfContent content = ReadExact(c.input);
        ASSERT_FALSE(content.paragraphs.empty()) << c.name;
        const std::vector<RtfRun>& runs = content.paragraphs[0].runs;
        ASSERT_EQ(runs.size(), c.runs.size()) << c.name;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(Utf8(runs[i].text), Utf8(c.runs[i].text)) << c.name << " run " << i;
            EXPECT_EQ(runs[i].format, c.runs[i].format) << c.name << " run " << i;
        }
    }
}

TEST(RtfReader, ParagraphAlignmentAndMarkAreThoseAtTheBreak) {
    const RtfContent content =
        ReadExact("{\\rtf1\\qc a\\par\\pard b\\par\\qr c\\par\\qj d\\par {\\qc e\\par}f\\qr\\par\\fs40\\b\\par}");
    struct Para {
        std::u16string_view text;
        RtfAlign align;
    };
    const Para expected[] = {{u"a", RtfAlign::Centre},  {u"b", RtfAlign::Left},   {u"c", RtfAlign::Right},
                             {u"d", RtfAlign::Justify}, {u"e", RtfAlign::Centre}, {u"f", RtfAlign::Right},
                             {u"", RtfAlign::Right}};
    ASSERT_EQ(content.paragraphs.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const RtfParagraph& para = content.paragraphs[i];
        std::u16string text;
        for (const RtfRun& run : para.runs) text += run.text;
        EXPECT_EQ(Utf8(text), Utf8(expected[i].text)) << i;
        EXPECT_EQ(para.align, expected[i].align) << i;
    }
    // The empty last paragraph shows in the format its mark has.
    EXPECT_TRUE(content.paragraphs.back().runs.empty());
    EXPECT_EQ(content.paragraphs.back().mark, (RtfFormat{.bold = true, .halfPoints = 40}));
}

// ------------------------------------------------------------- robustness

TEST(RtfReader, GroupsDeeperThanTheBoundAreSkippedWhole) {
    // The outermost group and kRtfMaxGroupDepth - 1 inside it hold text; the
    // group one deeper, and everything in it, is dropped, and the formatting
    // it sets does not leak out.
    const std::size_t inner = kRtfMaxGroupDepth - 1;
    std::string rtf = "{\\rtf1 a";
    rtf += std::string(inner, '{') + "\\b b{\\i\\fs80 c{d}}e" + std::string(inner, '}') + "f}";
    const RtfContent content = ReadExact(rtf);
    ASSERT_EQ(content.paragraphs.size(), 1u);
    const std::vector<RtfRun>& runs = content.paragraphs[0].runs;
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(Utf8(runs[0].text), "a");
    EXPECT_EQ(Utf8(runs[1].text), "be");
    EXPECT_EQ(runs[1].format, kBold);
    EXPECT_EQ(Utf8(runs[2].text), "f");
    EXPECT_EQ(runs[2].format, kPlain);
}

TEST(RtfReader, HugeNestingTakesLinearTime) {
    const std::size_t depth = 100000;
    const std::string open(depth, '{');
    const std::string close(depth, '}');
    std::string boldGroups = "{\\rtf1 a";
    for (std::size_t i = 0; i < depth; ++i) boldGroups += "{\\b";
    const std::string inputs[] = {"{\\rtf1 a" + open + "b" + close + "c}", "{\\rtf1 a" + open,
                                  "{\\rtf1 a" + close + "b", boldGroups + "x",
                                  "{\\rtf1 " + std::string(depth, '\\') + "}"};
    const std::u16string texts[] = {u"ac", u"a", u"a", u"a", std::u16string(depth / 2, u'\\')};
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < std::size(inputs); ++i) EXPECT_EQ(Utf8(Text(inputs[i])), Utf8(texts[i])) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// What every read document holds, whatever the input.
void ExpectWellFormed(const RtfContent& content, const std::string& input) {
    for (const RtfParagraph& para : content.paragraphs) {
        EXPECT_GE(para.mark.halfPoints, 1);
        EXPECT_LE(para.mark.halfPoints, kRtfMaxHalfPoints);
        for (std::size_t r = 0; r < para.runs.size(); ++r) {
            const RtfRun& run = para.runs[r];
            ASSERT_FALSE(run.text.empty());
            ASSERT_TRUE(r == 0 || !(run.format == para.runs[r - 1].format));
            ASSERT_GE(run.format.halfPoints, 1);
            ASSERT_LE(run.format.halfPoints, kRtfMaxHalfPoints);
            for (std::size_t i = 0; i < run.text.size(); ++i) {
                const char16_t ch = run.text[i];
                ASSERT_TRUE(ch >= 0x20 || ch == u'\t') << testing::PrintToString(input);
                ASSERT_NE(ch, u'\u2029');
                ASSERT_FALSE(ch >= 0xFDD0 && ch <= 0xFDEF);
                if (ch >= 0xD800 && ch <= 0xDBFF) {
                    ASSERT_TRUE(i + 1 < run.text.size() && run.text[i + 1] >= 0xDC00 && run.text[i + 1] <= 0xDFFF);
                    ++i;
                } else {
                    ASSERT_FALSE(ch >= 0xDC00 && ch <= 0xDFFF);
                }
            }
        }
    }
}

TEST(RtfReader, RandomInputIsReadSafely) {
    // Bytes drawn mostly from RTF's own syntax, so that words, parameters,
    // escapes and groups of every shape come up, cut off at every point.
    static constexpr std::string_view kPieces[] = {
        "{",   "}",    "\\",   "\\'", "\\u", "\\uc",  "\\bin", "\\b",       "\\i",    "\\ul",   "\\fs",    "\\par",
        "\\*", "-",    "0",    "9",   "3",   " ",     "a",     "\\fonttbl", "\\pard", "\\qc",   "\\plain", "\r\n",
        "?",   "\x93", "\xff", "\\-", "\\~", "\\'d8", "\\'f",  "65535",     "-10179", "\\line", "\\tab"};
    std::mt19937 random(20260314);
    std::uniform_int_distribution<std::size_t> pieceOf(0, std::size(kPieces) - 1);
    std::uniform_int_distribution<int> lengthOf(0, 120);
    std::uniform_int_distribution<int> byteOf(0, 255);
    for (int round = 0; round < 3000; ++round) {
        std::string input = round % 2 == 0 ? "{\\rtf1" : "";
        const int length = lengthOf(random);
        for (int i = 0; i < length; ++i) {
            if (round % 5 == 4) {
                input += static_cast<char>(byteOf(random));
            } else {
                input += kPieces[pieceOf(random)];
            }
        }
        const RtfContent content = ReadExact(input);
        EXPECT_EQ(content.rtf, input.rfind("{\\rtf", 0) == 0);
        ExpectWellFormed(content, input);
        if (HasFatalFailure()) return;
    }
}

// ------------------------------------------------------------ Qt document

struct CharCase {
    int block;
    int position;  // within the block
    bool bold;
    bool italic;
    bool underline;
    double points;
};

TEST(RtfDocument, OneBlockPerParagraphInItsFormats) {
    const RtfContent content = ReadExact(
        "{\\rtf1\\qc\\b\\fs28 Title\\par\\pard\\plain a{\\i b}{\\ul c}\\fs17 d\\par\\par\\qr\\u-560?\\u8233?e\\par}");
    ASSERT_EQ(content.paragraphs.size(), 5u);
    QTextDocument document;
    document.setPlainText(QStringLiteral("left over"));
    FillTextDocument(document, content);

    ASSERT_EQ(document.blockCount(), 5);
    EXPECT_EQ(document.toPlainText(), QStringLiteral("Title\nabcd\n\n\uFFFD\ne"));
    EXPECT_EQ(document.findBlockByNumber(0).blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_EQ(document.findBlockByNumber(1).blockFormat().alignment(), Qt::AlignLeft);
    EXPECT_EQ(document.findBlockByNumber(4).blockFormat().alignment(), Qt::AlignRight);

    const CharCase cases[] = {
        {0, 0, true, false, false, 14.0}, {1, 0, false, false, false, 12.0}, {1, 1, false, true, false, 12.0},
        {1, 2, false, false, true, 12.0}, {1, 3, false, false, false, 8.5},
    };
    for (const CharCase& c : cases) {
        QTextCursor cursor(document.findBlockByNumber(c.block));
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor, c.position + 1);
        const QTextCharFormat format = cursor.charFormat();
        EXPECT_EQ(format.fontWeight() >= QFont::Bold, c.bold) << c.block << ":" << c.position;
        EXPECT_EQ(format.fontItalic(), c.italic) << c.block << ":" << c.position;
        EXPECT_EQ(format.fontUnderline(), c.underline) << c.block << ":" << c.position;
        EXPECT_DOUBLE_EQ(format.fontPointSize(), c.points) << c.block << ":" << c.position;
    }
    // The empty paragraph takes its mark's size.
    EXPECT_DOUBLE_EQ(document.findBlockByNumber(2).charFormat().fontPointSize(), 8.5);
}

TEST(RtfDocument, InsertingReplacesTheSelection) {
    QTextDocument document;
    document.setPlainText(QStringLiteral("one\ntwo"));
    QTextCursor cursor(&document);
    cursor.select(QTextCursor::Document);
    InsertRtfContent(cursor, ReadExact("{\\rtf1 x\\par y}"));
    EXPECT_EQ(document.toPlainText(), QStringLiteral("x\ny"));

    cursor.select(QTextCursor::Document);
    InsertRtfContent(cursor, ReadExact(""));
    EXPECT_TRUE(document.isEmpty());
}

// ------------------------------------------------------------ About box

class AboutBoxTest : public QtAppTest {};

TEST_F(AboutBoxTest, LaidOutInDialogUnitsOfTheApplicationFont) {
    const QFontMetrics metrics(QApplication::font());
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (width + 26) / 52;
    const int baseY = metrics.height();
    ASSERT_EQ(CAboutDlg::BaseUnits(QApplication::font()), QSize(baseX, baseY));
    auto px = [](int dlu, int base, int per) { return (dlu * base + per / 2) / per; };
    auto rect = [&](int x, int y, int w, int h) {
        return QRect(px(x, baseX, 4), px(y, baseY, 8), px(w, baseX, 4), px(h, baseY, 8));
    };

    CAboutDlg dialog;
    EXPECT_EQ(dialog.size(), QSize(px(382, baseX, 4), px(185, baseY, 8)));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.LicenceText()->geometry(), rect(7, 7, 368, 121));
    EXPECT_EQ(dialog.ProductLine()->geometry(), rect(134, 138, 114, 8));
    EXPECT_EQ(dialog.NoticeLine()->geometry(), rect(118, 151, 145, 8));
    EXPECT_EQ(dialog.OkButton()->geometry(), rect(166, 164, 50, 14));

    // The layout is symmetric about the middle and every control lies inside.
    const QRect text = dialog.LicenceText()->geometry();
    EXPECT_LE(std::abs(text.left() - (dialog.width() - 1 - text.right())), 1);
    for (QWidget* control : {static_cast<QWidget*>(dialog.ProductLine()), static_cast<QWidget*>(dialog.OkButton())}) {
        const QRect r = control->geometry();
        EXPECT_LE(std::abs(r.left() + r.right() + 1 - dialog.width()), 2) << control->objectName().toStdString();
        EXPECT_TRUE(dialog.rect().contains(r)) << control->objectName().toStdString();
    }
    EXPECT_TRUE(dialog.rect().contains(dialog.NoticeLine()->geometry()));
    EXPECT_LT(text.bottom(), dialog.ProductLine()->geometry().top());
    EXPECT_LT(dialog.ProductLine()->geometry().bottom(), dialog.NoticeLine()->geometry().top());
    EXPECT_LT(dialog.NoticeLine()->geometry().bottom(), dialog.OkButton()->geometry().top());
}

TEST_F(AboutBoxTest, ControlsTextsAndIds) {
    CAboutDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("About Tessaline"));
    EXPECT_TRUE(dialog.isModal());

    struct Line {
        const char* name;
        QString text;
    };
    const Line lines[] = {{"productLine", QStringLiteral("Tessaline, Version 2.1")},
                          {"noticeLine", QStringLiteral("Copyright \u00a9 2026 Ulvo Systems")}};
    for (const Line& line : lines) {
        auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(line.name));
        ASSERT_NE(label, nullptr) << line.name;
        EXPECT_EQ(label->text(), line.text) << line.name;
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << line.name;
        EXPECT_TRUE(label->alignment() & Qt::AlignHCenter) << line.name;
        // The line fits its control, in the dialog's own font.
        EXPECT_LE(label->fontMetrics().horizontalAdvance(line.text), label->width()) << line.name;
        EXPECT_LE(label->fontMetrics().height(), label->height()) << line.name;
    }

    auto* text = dialog.findChild<QTextEdit*>(QStringLiteral("licenceText"));
    ASSERT_EQ(text, dialog.LicenceText());
    EXPECT_EQ(text->property("controlId").toInt(), 1000);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_NE(text->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(text->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(text->focusPolicy() & Qt::TabFocus);

    auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("okButton"));
    ASSERT_EQ(ok, dialog.OkButton());
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_EQ(ok->property("controlId").toInt(), 1);
    EXPECT_TRUE(ok->isDefault());
}

TEST_F(AboutBoxTest, ShowsTheFormattedLicenceFromItsStart) {
    CAboutDlg dialog;
    QTextDocument* document = dialog.LicenceText()->document();
    EXPECT_EQ(document->blockCount(), static_cast<int>(ReadLicence().paragraphs.size()));
    EXPECT_EQ(document->firstBlock().text(), QStringLiteral("Tessaline Licence Agreement"));
    QTextCursor title(document->firstBlock());
    title.movePosition(QTextCursor::NextCharacter);
    EXPECT_GE(title.charFormat().fontWeight(), QFont::Bold);
    EXPECT_EQ(document->firstBlock().blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_TRUE(document->toPlainText().contains(QStringLiteral("Copyright \u00a9 2026 Ulvo Systems.")));
    EXPECT_EQ(dialog.LicenceText()->textCursor().position(), 0);
    EXPECT_FALSE(dialog.LicenceText()->textCursor().hasSelection());

    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(dialog.LicenceText()->verticalScrollBar()->value(), 0);
    EXPECT_GT(dialog.LicenceText()->verticalScrollBar()->maximum(), 0);
}

TEST_F(AboutBoxTest, ReadsTheDocumentItIsGivenAndStaysEmptyWithoutOne) {
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    file.write("{\\rtf1 {\\b Hi}\\par there}");
    file.close();
    CAboutDlg given(file.fileName());
    EXPECT_EQ(given.LicenceText()->toPlainText(), QStringLiteral("Hi\nthere"));

    for (const QString& path :
         {QStringLiteral(":/no-such-licence.rtf"), QStringLiteral("/nonexistent/licence.rtf"), QStringLiteral("/")}) {
        CAboutDlg missing(path);
        EXPECT_TRUE(missing.LicenceText()->document()->isEmpty()) << path.toStdString();
        EXPECT_EQ(missing.ProductLine()->text(), QStringLiteral("Tessaline, Version 2.1"));
    }
}

TEST_F(AboutBoxTest, OkEscapeAndCloseEachCloseIt) {
    struct Way {
        const char* name;
        void (*close)(CAboutDlg&);
        int result;
    };
    const Way ways[] = {
        {"OK clicked", [](CAboutDlg& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, QDialog::Accepted},
        {"Return in the text", [](CAboutDlg& d) { QTest::keyClick(d.LicenceText(), Qt::Key_Return); },
         QDialog::Accepted},
        {"Escape", [](CAboutDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, QDialog::Rejected},
        {"close", [](CAboutDlg& d) { d.close(); }, QDialog::Rejected},
    };
    for (const Way& way : ways) {
        CAboutDlg dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog)) << way.name;
        way.close(dialog);
        EXPECT_FALSE(dialog.isVisible()) << way.name;
        EXPECT_EQ(dialog.result(), way.result) << way.name;
    }
}

}  // namespace
