#include "CAboutDlg.h"

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTextCursor>
#include <QTextEdit>
#include <string_view>

#include "Resources.h"
#include "RtfDocument.h"
#include "RtfReader.h"

namespace {

// The dialog and its controls, in dialog units.
constexpr QSize kDialogSize(382, 185);
constexpr QRect kLicenceTextRect(7, 7, 368, 121);
constexpr QRect kProductLineRect(134, 138, 114, 8);
constexpr QRect kNoticeLineRect(118, 151, 145, 8);
constexpr QRect kOkButtonRect(166, 164, 50, 14);

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

QLabel* CenteredLine(const QString& text, const QString& name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    // Plain text: no markup and no '&' mnemonics, shown as written.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : CAboutDlg(LicenceResourcePath(), parent) {}

CAboutDlg::CAboutDlg(const QString& licencePath, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Tessaline"));
    setModal(true);
    CreateControls();
    OnInitDialog(licencePath);
}

QSize CAboutDlg::BaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters + 26) / 52, metrics.height()};
}

QRect CAboutDlg::DluToPixels(const QRect& dlu, const QFont& font) {
    const QSize base = BaseUnits(font);
    return {MulDiv(dlu.x(), base.width(), 4), MulDiv(dlu.y(), base.height(), 8), MulDiv(dlu.width(), base.width(), 4),
            MulDiv(dlu.height(), base.height(), 8)};
}

void CAboutDlg::CreateControls() {
    // The application's font stands in for the dialog font the layout was
    // drawn in; the dialog inherits it.
    const QFont dialogFont = font();
    setFixedSize(DluToPixels(QRect(QPoint(0, 0), kDialogSize), dialogFont).size());

    m_licenceText = new QTextEdit(this);
    m_licenceText->setObjectName(QStringLiteral("licenceText"));
    m_licenceText->setProperty("controlId", kLicenceTextId);
    m_licenceText->setReadOnly(true);
    m_licenceText->setAcceptRichText(true);
    m_licenceText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_licenceText->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_licenceText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_licenceText->setFocusPolicy(Qt::StrongFocus);
    m_licenceText->setGeometry(DluToPixels(kLicenceTextRect, dialogFont));

    m_productLine = CenteredLine(QStringLiteral("Tessaline, Version 2.1"), QStringLiteral("productLine"), this);
    m_productLine->setGeometry(DluToPixels(kProductLineRect, dialogFont));

    m_noticeLine =
        CenteredLine(QStringLiteral("Copyright \u00a9 2026 Ulvo Systems"), QStringLiteral("noticeLine"), this);
    m_noticeLine->setGeometry(DluToPixels(kNoticeLineRect, dialogFont));

    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_okButton->setProperty("controlId", kOkButtonId);
    m_okButton->setDefault(true);
    m_okButton->setAutoDefault(true);
    m_okButton->setGeometry(DluToPixels(kOkButtonRect, dialogFont));
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

    setTabOrder(m_licenceText, m_okButton);
    m_licenceText->setFocus();
}

void CAboutDlg::OnInitDialog(const QString& licencePath) {
    // The licence agreement is the resource "EULA", id 314, an RTF document
    // in the program's Qt resources.
    InitAppResources();
    QFile file(licencePath);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) return;

    // Replace all of the box's text with the formatted document, then show
    // it from its start.
    QTextCursor cursor(m_licenceText->document());
    cursor.select(QTextCursor::Document);
    InsertRtfContent(cursor, ReadRtf(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))));
    cursor.movePosition(QTextCursor::Start);
    m_licenceText->setTextCursor(cursor);
}
