// The writers of records: JSON (RFC 8259, valid UTF-8 whatever the texts
// hold) and CSV (RFC 4180).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Records.h"

namespace records {

// A JSON string: quotes and backslashes escaped, each character that is
// never shown as it is (see PrintableText.h: C0, DEL, C1, U+2028, U+2029)
// as its \uXXXX escape, each byte that is not part of valid UTF-8 as
// U+FFFD.  The text is kept exactly, for the programs that read it, and
// the file holds no control byte.
void AppendJsonString(std::string& out, std::string_view text);
// A CSV field, made printable (PrintableUtf8: a control character or a
// byte outside valid UTF-8 as U+FFFD, since CSV has no escapes), quoted
// when it holds a comma or a quote, with its quotes doubled.
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
