// The filter field above a socket-like pane, offscreen: typing, a bad
// expression's red field and tooltip with the last good filter kept,
// Escape, the counts, saving and restoring its text, and the red in a
// light and a dark look.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <cmath>

#include "CFilterBar.h"
#include "QtAppTest.h"

namespace {

class FilterBarTest : public QtAppTest {
protected:
    void SetUp() override {
        m_bar.resize(400, m_bar.sizeHint().height());
        m_bar.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_bar));
        m_field = m_bar.findChild<QLineEdit*>(QStringLiteral("filterField"));
        m_counts = m_bar.findChild<QLabel*>(QStringLiteral("filterCounts"));
        ASSERT_NE(m_field, nullptr);
        ASSERT_NE(m_counts, nullptr);
    }

    // The filter of the last filterChanged, as its text.
    static QString LastEmitted(const QSignalSpy& spy) {
        if (spy.isEmpty()) return QStringLiteral("(none)");
        const auto filter = spy.last().at(0).value<std::shared_ptr<const sockets::Filter>>();
        return filter ? QString::fromStdString(filter->Text()) : QStringLiteral("(null)");
    }

    QColor Base() const { return m_field->palette().color(QPalette::Active, QPalette::Base); }

    CFilterBar m_bar;
    QLineEdit* m_field = nullptr;
    QLabel* m_counts = nullptr;
};

// The WCAG contrast ratio of two colours.
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return x > y ? x / y : y / x;
}

TEST_F(FilterBarTest, TypingEmitsGoodExpressionsAndKeepsTheLastOneThroughBadOnes) {
    EXPECT_EQ(m_field->placeholderText(), QStringLiteral("Filter: proto:tcp port:443 -state:listening"));
    QSignalSpy spy(&m_bar, &CFilterBar::filterChanged);
    const QColor plain = Base();
    const QString help = m_field->toolTip();

    QTest::keyClicks(m_field, QStringLiteral("proto:tcp"));
    EXPECT_EQ(LastEmitted(spy), QStringLiteral("proto:tcp"));
    EXPECT_FALSE(m_bar.HasError());
    const qsizetype good = spy.count();

    // A bad expression: red, the reason and column as the tooltip, nothing
    // emitted, the last good filter kept.
    QTest::keyClicks(m_field, QStringLiteral(" (port:80"));
    EXPECT_TRUE(m_bar.HasError());
    EXPECT_EQ(m_field->toolTip(), QStringLiteral("unbalanced parenthesis: '(' is not closed at column 11"));
    EXPECT_NE(Base(), plain);
    EXPECT_GT(Base().red(), Base().green() + 30) << Base().name().toStdString();
    EXPECT_EQ(spy.count(), good);
    EXPECT_EQ(m_bar.CurrentFilter()->Text(), "proto:tcp");

    // Good again: emitted, the colours and the help back.
    QTest::keyClick(m_field, Qt::Key_ParenRight);
    EXPECT_FALSE(m_bar.HasError());
    EXPECT_EQ(LastEmitted(spy), QStringLiteral("proto:tcp (port:80)"));
    EXPECT_EQ(Base(), plain);
    EXPECT_EQ(m_field->toolTip(), help);

    // A blank more is the same filter: nothing to apply again.
    const qsizetype before = spy.count();
    QTest::keyClick(m_field, Qt::Key_Space);
    EXPECT_EQ(spy.count(), before);

    // Escape clears the field: the empty filter, which matches everything.
    QTest::keyClick(m_field, Qt::Key_Escape);
    EXPECT_EQ(m_bar.Text(), QString());
    ASSERT_EQ(spy.count(), before + 1);
    EXPECT_TRUE(m_bar.CurrentFilter()->IsEmpty());

    // Escape clears a bad expression too, and its red.
    QTest::keyClicks(m_field, QStringLiteral("port:"));
    EXPECT_TRUE(m_bar.HasError());
    QTest::keyClick(m_field, Qt::Key_Escape);
    EXPECT_FALSE(m_bar.HasError());
    EXPECT_EQ(Base(), plain);
}

TEST_F(FilterBarTest, CountsTextAndFocus) {
    m_bar.SetCounts(12, 20001);
    EXPECT_EQ(m_counts->text(), QStringLiteral("12 of 20001"));
    m_bar.SetCounts(0, 0);
    EXPECT_EQ(m_counts->text(), QStringLiteral("0 of 0"));

    // Saved and restored: the text comes back and its filter is applied.
    QSignalSpy spy(&m_bar, &CFilterBar::filterChanged);
    m_bar.SetText(QStringLiteral("lport:22 -state:listen"));
    EXPECT_EQ(m_bar.Text(), QStringLiteral("lport:22 -state:listen"));
    EXPECT_EQ(LastEmitted(spy), QStringLiteral("lport:22 -state:listen"));

    m_bar.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_bar));
    m_bar.FocusField();
    EXPECT_TRUE(m_field->hasFocus());
    EXPECT_EQ(m_field->selectedText(), QStringLiteral("lport:22 -state:listen"));
}

// The red reads in a light look and a dark one: its text keeps its
// contrast, and the field still differs from the plain one.
TEST_F(FilterBarTest, ErrorRedReadsInLightAndDarkLooks) {
    for (const auto& [base, text] : {std::pair{QColor(Qt::white), QColor(Qt::black)},
                                     std::pair{QColor(0x20, 0x20, 0x20), QColor(0xE0, 0xE0, 0xE0)}}) {
        QPalette look = m_bar.palette();
        look.setColor(QPalette::Base, base);
        look.setColor(QPalette::Text, text);
        m_bar.setPalette(look);
        m_bar.SetText(QStringLiteral("bogus:1"));
        ASSERT_TRUE(m_bar.HasError());
        const QColor red = Base();
        EXPECT_NE(red, base);
        EXPECT_GT(red.red(), red.green() + 30) << red.name().toStdString();
        EXPECT_GE(Contrast(red, m_field->palette().color(QPalette::Active, QPalette::Text)), 4.5)
            << red.name().toStdString();
        EXPECT_EQ(m_field->toolTip(), QStringLiteral("unknown field 'bogus' at column 1"));
        m_bar.SetText(QString());
        EXPECT_EQ(Base(), base);
    }
}

}  // namespace
