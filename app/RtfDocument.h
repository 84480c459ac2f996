// A read RTF document shown by Qt: one text block per paragraph, one
// character format per run.
#pragma once

#include <QTextCharFormat>

#include "RtfReader.h"

class QTextCursor;
class QTextDocument;

// Bold, italic, underline and the point size (half-points / 2).
QTextCharFormat RtfCharFormat(const RtfFormat& format);

// Replaces the cursor's selection with `content`, its first paragraph going
// into the cursor's block; leaves the cursor after the inserted text.
void InsertRtfContent(QTextCursor& cursor, const RtfContent& content);

// Replaces everything in `document` with `content`.
void FillTextDocument(QTextDocument& document, const RtfContent& content);
