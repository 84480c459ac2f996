#include <gtest/gtest.h>

#include "WideText.h"

namespace {

struct FormatCase {
    std::u16string_view format;
    FmtArg arg;
    std::u16string_view expected;
};

TEST(FormatW, ConversionsAsTheReportsUseThem) {
    const FormatCase cases[] = {
        {u"%-15.15s|", FmtArg(u"Msgs"), u"Msgs           |"},
        {u"%-15.15s|", FmtArg(u"InUnknownProtosX"), u"InUnknownProtos|"},
        {u"%-6d|", FmtArg(0u), u"0     |"},
        {u"%-6d|", FmtArg(4294967295u), u"-1    |"},
        {u"%-6d|", FmtArg(2147483648u), u"-2147483648|"},
        {u"%5d|", FmtArg(42), u"   42|"},
        {u"%05d|", FmtArg(-42), u"-0042|"},
        {u"%03d|", FmtArg(7), u"007|"},
        {u"0x%08x|", FmtArg(0x20066u), u"0x00020066|"},
        {u"%X|", FmtArg(0xbeefu), u"BEEF|"},
        {u"%u|", FmtArg(4294967295u), u"4294967295|"},
        {u"%15.15s|", FmtArg(u"abc"), u"            abc|"},
        {u"%s%%|", FmtArg(u"a"), u"a%|"},
    };
    for (const FormatCase& c : cases) EXPECT_EQ(FormatW(c.format, {c.arg}), c.expected) << WideToUtf8(c.format);
}

TEST(FormatW, MissingArgumentsAndTrailingPercentPrintNothing) {
    EXPECT_EQ(FormatW(u"a%db%sc", {}), u"abc");
    EXPECT_EQ(FormatW(u"a%", {1}), u"a");
    EXPECT_EQ(FormatW(u"%s", {5}), u"");  // a number where a text belongs
}

TEST(AnsiToWide, DecodesUtf8AndReplacesEachBadByte) {
    EXPECT_EQ(AnsiToWide("eth0"), u"eth0");
    EXPECT_EQ(AnsiToWide("caf\xc3\xa9"), u"caf\u00e9");
    EXPECT_EQ(AnsiToWide("\xf0\x9f\x98\x80"), u"\U0001F600");
    EXPECT_EQ(AnsiToWide("a\xff"
                         "b"),
              u"a\uFFFDb");
    EXPECT_EQ(AnsiToWide("\xc3"), u"\uFFFD");                      // cut before its continuation byte
    EXPECT_EQ(AnsiToWide("\xe2\x82"), u"\uFFFD\uFFFD");            // cut inside a three-byte form
    EXPECT_EQ(AnsiToWide("\xc0\xaf"), u"\uFFFD\uFFFD");            // overlong '/'
    EXPECT_EQ(AnsiToWide("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a surrogate
    EXPECT_EQ(AnsiToWide(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(WideToUtf8, RoundTripsAndReplacesUnpairedSurrogates) {
    EXPECT_EQ(WideToUtf8(u"caf\u00e9 \U0001F600"), "caf\xc3\xa9 \xf0\x9f\x98\x80");
    EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
    EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xDC00), u'x'}), "\xef\xbf\xbdx");
}

}  // namespace
