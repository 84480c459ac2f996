// The About box: the licence agreement in a scrolling rich text box, the
// product line, the copyright notice and an OK button, laid out in dialog
// units of the dialog's font.
#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>

class QFont;
class QLabel;
class QPushButton;
class QTextEdit;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    // Control ids, kept in each control's "controlId" property.
    static constexpr int kLicenceTextId = 1000;
    static constexpr int kOkButtonId = 1;  // IDOK
    // The licence agreement: the resource "EULA" with id 314.
    static QString LicenceResourcePath() { return QStringLiteral(":/licence.rtf"); }

    // Shows the licence agreement of the program's resources.
    explicit CAboutDlg(QWidget* parent = nullptr);
    // Shows the RTF document at `licencePath`; the text box stays empty when
    // it cannot be read.
    explicit CAboutDlg(const QString& licencePath, QWidget* parent = nullptr);

    // Dialog base units of `font`: the average width of its letters
    // (A-Z and a-z, rounded) and its height, in pixels.
    static QSize BaseUnits(const QFont& font);
    // A rectangle in dialog units to pixels: x and widths at a quarter of the
    // base width, y and heights at an eighth of the base height, rounded.
    static QRect DluToPixels(const QRect& dlu, const QFont& font);

    QTextEdit* LicenceText() const { return m_licenceText; }
    QLabel* ProductLine() const { return m_productLine; }
    QLabel* NoticeLine() const { return m_noticeLine; }
    QPushButton* OkButton() const { return m_okButton; }

private:
    void CreateControls();
    void OnInitDialog(const QString& licencePath);

    QTextEdit* m_licenceText = nullptr;
    QLabel* m_productLine = nullptr;
    QLabel* m_noticeLine = nullptr;
    QPushButton* m_okButton = nullptr;
};
