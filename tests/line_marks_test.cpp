// Marks of lines changed at the last refresh that do not rest on colour: the
// glyph of each mark, and the report tree's mark column, which shows it at
// the left edge of each marked line, selected or not, scrolled or not.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <string>
#include <vector>

#include "CViewTree.h"
#include "LineMarks.h"
#include "QtAppTest.h"

namespace {

TEST(LineMarks, EachMarkHasAGlyphOfItsOwnAndAnUnchangedLineNone) {
    struct Case {
        LineMark mark;
        std::u16string_view glyph;
    };
    const Case cases[] = {
        {LineMark::None, u""}, {LineMark::New, u"+"}, {LineMark::Changed, u"~"}, {LineMark::Closed, u"\u00D7"}};
    for (const Case& c : cases) EXPECT_EQ(LineMarkGlyph(c.mark), c.glyph) << static_cast<int>(c.mark);
}

class MarkColumn : public QtAppTest {
protected:
    // A socket pane's shape: a root, then lines marked new, changed, closed
    // and none, in the pane's fixed-pitch font; one colour for every mark,
    // so that only the glyphs tell the marks apart.
    void SetUp() override {
        QFont font(QStringLiteral("Liberation Mono"), 9);
        font.setStyleHint(QFont::Monospace);
        tree_.setFont(font);
        tree_.resize(320, 160);
        const QColor ink(0x20, 0x20, 0x20);
        tree_.SetMarkColours(ink, ink, ink);
        HTREEITEM root = tree_.AppendItem(TVI_ROOT, u"TCP Connections", kImageRoot);
        const std::u16string line =
            u"127.000.000.001:7070   => 127.000.000.001:40000  [    ESTABLISHED: PID  1234 : server ]";
        for (const LineMark mark : {LineMark::New, LineMark::Changed, LineMark::Closed, LineMark::None}) {
            lines_.push_back(tree_.AppendItem(root, line, kImageValue));
            tree_.SetItemMark(lines_.back(), mark);
        }
        tree_.Expand(root);
        tree_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree_));
    }

    // The mark column of a line, as the tree draws it now.
    QImage Cell(HTREEITEM line) {
        const QImage picture = tree_.grab().toImage().convertToFormat(QImage::Format_RGB32);
        return picture.copy(0, tree_.ItemRect(line).top(), tree_.MarkColumnWidth(), tree_.RowHeight());
    }
    bool Blank(const QImage& cell) const {
        const QRgb base = tree_.palette().color(QPalette::Base).rgb();
        for (int y = 0; y < cell.height(); ++y)
            for (int x = 0; x < cell.width(); ++x)
                if (cell.pixel(x, y) != base) return false;
        return true;
    }

    CViewTree tree_;
    std::vector<HTREEITEM> lines_;  // new, changed, closed, none
};

// Each marked line shows its own glyph in the column, an unmarked one
// none; the glyph stays as it is when its line is selected, so that a
// selected marked line differs from a selected unmarked one.
TEST_F(MarkColumn, AMarkedLineShowsItsGlyphSelectedOrNot) {
    std::vector<QImage> cells;
    for (HTREEITEM line : lines_) cells.push_back(Cell(line));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(Blank(cells[i])) << "line " << i << " shows no mark";
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(cells[i], cells[j]) << "lines " << j << " and " << i;
    }
    EXPECT_TRUE(Blank(cells[3]));

    tree_.setFocus();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        tree_.SetCurrentItem(lines_[i]);
        EXPECT_EQ(Cell(lines_[i]), cells[i]) << "line " << i << ", selected";
    }
    tree_.SetItemMark(lines_[3], LineMark::Closed);
    EXPECT_EQ(Cell(lines_[3]), cells[2]) << "a mark set on the selected line";
}

// The column stays at the left edge when the lines scroll across: the
// marks stay in view, no line is drawn over them, and a button scrolled
// under the column is not reached there (a click there selects the line).
TEST_F(MarkColumn, TheColumnStaysWhileTheLinesScrollAcross) {
    HTREEITEM group = tree_.AppendItem(TVI_ROOT, u"Group", kImageGroup);
    tree_.AppendItem(group, u"Inner", kImageValue);
    const int gutter = tree_.MarkColumnWidth();
    EXPECT_EQ(tree_.ItemRect(lines_[0]).left(), gutter + 2 * CViewTree::kIndentation);
    std::vector<QImage> cells;
    for (HTREEITEM line : lines_) cells.push_back(Cell(line));
    const QRect button = tree_.ItemRect(group).translated(-CViewTree::kIndentation, 0);

    QApplication::processEvents();
    QScrollBar* across = nullptr;
    for (QScrollBar* bar : tree_.findChildren<QScrollBar*>())
        if (bar->orientation() == Qt::Horizontal && !bar->isHidden()) across = bar;
    ASSERT_NE(across, nullptr);
    // Scrolled to the end, the widest line ends at the right edge: the
    // width scrolled over holds the column too.
    across->setValue(across->maximum());
    EXPECT_EQ(tree_.ItemRect(lines_[0]).right() + 1, across->width());
    EXPECT_EQ(tree_.ItemRect(lines_[0]).left(), gutter + 2 * CViewTree::kIndentation - across->maximum());
    for (std::size_t i = 0; i < lines_.size(); ++i) EXPECT_EQ(Cell(lines_[i]), cells[i]) << "line " << i;

    // Scrolled by less than the column, the group's button lies half under it.
    across->setValue(gutter / 2 + 1);
    const QPoint underColumn(gutter - 1, button.center().y());
    ASSERT_GE(underColumn.x(), button.left() - across->value());
    QTest::mouseClick(&tree_, Qt::LeftButton, {}, underColumn);
    EXPECT_FALSE(tree_.IsExpanded(group));
    EXPECT_EQ(tree_.CurrentItem(), group);
    QTest::mouseClick(&tree_, Qt::LeftButton, {}, QPoint(gutter + 1, button.center().y()));
    EXPECT_TRUE(tree_.IsExpanded(group));
}

}  // namespace
