// UTF-16 text as the panes show it: conversion of the platform's narrow
// texts and printf-style formatting of lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// Narrow texts from the platform and the program's own name tables are in
// the system's narrow code page, which is UTF-8 on Linux.  Bytes that are
// not valid UTF-8 become U+FFFD, one per byte, so nothing is lost silently
// and nothing is read past the text.
std::u16string AnsiToWide(std::string_view text);

// A narrow text field of a platform record: the bytes up to its first zero,
// never past its end, as UTF-16.
std::u16string FieldText(const char* field, std::size_t size);
template <std::size_t N>
std::u16string FieldText(const char (&field)[N]) {
    return FieldText(field, N);
}

// UTF-16 to UTF-8 for printing; unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view text);

// One argument of FormatW: a number or a text.
class FmtArg {
public:
    FmtArg(int value) : m_kind(Kind::Number), m_number(value) {}
    FmtArg(long value) : m_kind(Kind::Number), m_number(value) {}
    FmtArg(long long value) : m_kind(Kind::Number), m_number(value) {}
    FmtArg(unsigned value) : m_kind(Kind::Number), m_number(value) {}
    FmtArg(unsigned long value) : m_kind(Kind::Number), m_number(static_cast<std::int64_t>(value)) {}
    FmtArg(std::u16string_view text) : m_kind(Kind::Text), m_text(text) {}
    FmtArg(const char16_t* text) : m_kind(Kind::Text), m_text(text != nullptr ? text : u"") {}
    FmtArg(const std::u16string& text) : m_kind(Kind::Text), m_text(text) {}

    bool IsText() const { return m_kind == Kind::Text; }
    std::int64_t Number() const { return m_kind == Kind::Number ? m_number : 0; }
    std::u16string_view Text() const { return m_kind == Kind::Text ? m_text : std::u16string_view{}; }

private:
    enum class Kind { Number, Text } m_kind;
    std::int64_t m_number = 0;
    std::u16string_view m_text;
};

// printf-style formatting into UTF-16, with the conversions the reports use:
// %d and %i (the value as a signed 32-bit integer, so 4294967295 prints -1,
// as when a 32-bit unsigned field is passed to "%d"), %u, %x, %X (unsigned
// 32-bit), %c, %s (a UTF-16 text; the precision counts UTF-16 units) and %%,
// with the flags '-' and '0', a width and a precision.  A conversion without
// a matching argument prints nothing.
std::u16string FormatW(std::u16string_view format, std::initializer_list<FmtArg> args);
