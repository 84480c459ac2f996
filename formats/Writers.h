// The writers of records: JSON (RFC 8259, valid UTF-8 whatever the texts
// hold) and CSV (RFC 4180).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Records.h"

namespace records {

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// its first byte does not start one (a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, a sequence cut short, or
// no byte at all).
std::size_t Utf8Length(std::string_view text);

// A JSON string: quotes and backslashes escaped, control characters as
// \u00XX, each byte that is not part of valid UTF-8 as U+FFFD.
void AppendJsonString(std::string& out, std::string_view text);
// A CSV field, quoted when it holds a comma, a quote or a line end, with
// its quotes doubled; the bytes are kept as they are.
void AppendCsvField(std::string& out, std::string_view text);

// One JSON document: the host and the time of the reading (ISO 8601, UTC),
// then one member per table, named by its kind, holding its rows as an
// array of objects.  A row with fewer cells than the table has fields
// leaves the rest out.
//   {"host":"vm","time":"2026-12-11T01:02:03Z","tcp":[{"pid":12,...},...]}
std::string ToJson(std::string_view host, std::int64_t timeMs, const std::vector<Table>& tables);

// One CSV table per table, a header row first, lines ended by CRLF; with
// `named`, each preceded by a line naming its kind and followed by an empty
// line.
std::string ToCsv(const std::vector<Table>& tables, bool named);

}  // namespace records
