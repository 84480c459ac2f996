#include "RtfDocument.h"

#include <QFont>
#include <QString>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace {

Qt::Alignment ToAlignment(RtfAlign align) {
    switch (align) {
        case RtfAlign::Centre: return Qt::AlignHCenter;
        case RtfAlign::Right: return Qt::AlignRight;
        case RtfAlign::Justify: return Qt::AlignJustify;
        case RtfAlign::Left: break;
    }
    return Qt::AlignLeft;
}

}  // namespace

QTextCharFormat RtfCharFormat(const RtfFormat& format) {
    QTextCharFormat out;
    out.setFontWeight(format.bold ? QFont::Bold : QFont::Normal);
    out.setFontItalic(format.italic);
    out.setFontUnderline(format.underline);
    out.setFontPointSize(format.halfPoints / 2.0);
    return out;
}

void InsertRtfContent(QTextCursor& cursor, const RtfContent& content) {
    cursor.beginEditBlock();
    cursor.removeSelectedText();
    bool first = true;
    for (const RtfParagraph& para : content.paragraphs) {
        QTextBlockFormat block;
        block.setAlignment(ToAlignment(para.align));
        // The paragraph mark's format sizes an empty line.
        const QTextCharFormat mark = RtfCharFormat(para.mark);
        if (first) {
            cursor.setBlockFormat(block);
            cursor.setBlockCharFormat(mark);
            first = false;
        } else {
            cursor.insertBlock(block, mark);
        }
        // Runs hold no block separators (the reader keeps them out), so each
        // paragraph stays one block.
        for (const RtfRun& run : para.runs) {
            cursor.insertText(QString::fromStdU16String(run.text), RtfCharFormat(run.format));
        }
    }
    cursor.endEditBlock();
}

void FillTextDocument(QTextDocument& document, const RtfContent& content) {
    document.clear();
    QTextCursor cursor(&document);
    InsertRtfContent(cursor, content);
}
