// The one rule for every text that is shown or printed: a text that came
// from outside (a process's name, path or command line, a host or domain
// name, an interface's description, a remote host's answer) may hold
// anything, and none of it may act on the window or the terminal that
// shows it.  C0 controls, DEL, C1 controls and the line and paragraph
// separators (U+2028, U+2029) show as U+FFFD; bytes that are not valid
// UTF-8 become U+FFFD, one per byte, as in AnsiToWide.  Qt-free and
// platform-free, so that the record writers use it too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whether a character is never shown as it is: it would move the cursor,
// end a line, ring, or start an escape sequence.
constexpr bool IsHiddenCharacter(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// How a line feed shows.  In a command line a break between arguments or
// inside a script is ordinary, and U+FFFD there reads as damaged text: it
// shows as U+23CE instead.  Every other hidden character is U+FFFD either
// way.
enum class LineFeeds { Replaced, Symbol };

// The text with each hidden character replaced, and each unpaired surrogate
// as U+FFFD, in place.  A text without any is left untouched.
void MakePrintable(std::u16string& text, LineFeeds feeds = LineFeeds::Replaced);
std::u16string PrintableText(std::u16string_view text, LineFeeds feeds = LineFeeds::Replaced);

// The same for UTF-8 of any bytes: valid UTF-8 out.
std::string PrintableUtf8(std::string_view text, LineFeeds feeds = LineFeeds::Replaced);

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// its first byte does not start one (a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, a sequence cut short, or
// no byte at all).
std::size_t Utf8SequenceLength(std::string_view text);

// The code point of a valid sequence of `length` bytes at the start of
// `text`, as Utf8SequenceLength measured it.
char32_t Utf8CodePoint(std::string_view text, std::size_t length);
