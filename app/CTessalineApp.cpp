#include "CTessalineApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFont>
#include <QMdiArea>
#include <QMenu>
#include <QToolTip>

#include "CAboutDlg.h"
#include "CMainFrame.h"
#include "Documents.h"
#include "Resources.h"
#include "ShellRegistration.h"

namespace {
CTessalineApp* g_app = nullptr;

// A context menu from a menu resource.
QMenu* BuildMenu(const QString& title, const std::vector<MenuItem>& items) {
    auto* menu = new QMenu(title);
    for (const MenuItem& item : items) {
        if (item.separator) {
            menu->addSeparator();
        } else if (!item.items.empty()) {
            menu->addMenu(BuildMenu(item.text, item.items));
        } else {
            QAction* action = menu->addAction(item.text);
            action->setData(item.id);
        }
    }
    return menu;
}
}  // namespace

CTessalineApp* TheApp() { return g_app; }

CTessalineApp::CTessalineApp() {
    m_bHighColorIcons = true;
    g_app = this;
}

CTessalineApp::~CTessalineApp() {
    delete m_pMainFrame;
    for (QMenu* menu : m_contextMenus) delete menu;
    if (g_app == this) g_app = nullptr;
}

std::unique_ptr<QSettings> CTessalineApp::Settings() const {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromLatin1(kSettingsOrganization),
                                       QString::fromLatin1(kSettingsApplication));
}

int CTessalineApp::GetInt(const QString& entry, int defaultValue) const {
    bool ok = false;
    const int value = GetValue(entry).toInt(&ok);
    return ok ? value : defaultValue;
}

bool CTessalineApp::WriteInt(const QString& entry, int value) {
    WriteValue(entry, value);
    return true;
}

QVariant CTessalineApp::GetValue(const QString& entry) const {
    return Settings()->value(QString::fromLatin1(kWorkspaceSection) + "/" + entry);
}

void CTessalineApp::WriteValue(const QString& entry, const QVariant& value) {
    auto settings = Settings();
    const QString key = QString::fromLatin1(kWorkspaceSection) + "/" + entry;
    // A value already stored as it is is not written again: every write
    // rewrites the file and waits for the disk.  (A number comes back from
    // the file as its text.)
    if (settings->contains(key)) {
        const QVariant stored = settings->value(key);
        const bool number = value.typeId() == QMetaType::Int;
        if (number ? stored.toString() == value.toString() : stored == value) return;
    }
    settings->setValue(key, value);
    settings->sync();
}

void CTessalineApp::PreLoadState() {
    m_contextMenus.insert(LoadResString(ids::IDS_EDIT_MENU),
                          BuildMenu(LoadResString(ids::IDS_EDIT_MENU), LoadMenuResource(ids::IDR_POPUP_EDIT)));
    m_contextMenus.insert(LoadResString(ids::IDS_EXPLORER),
                          BuildMenu(LoadResString(ids::IDS_EXPLORER), LoadMenuResource(ids::IDR_POPUP_EXPLORER)));
}

bool CTessalineApp::InitInstance(const QStringList& files) {
    // Text in Latin script is laid out without an OpenType shaping pass:
    // kerning stays, ligatures go, and measuring and drawing the window's
    // texts costs a fraction.  Scripts that need shaping still get it.
    // Glyphs are drawn from their outlines without hinting: on antialiased
    // text the difference hardly shows, and the first drawing of each glyph
    // skips the hinter's analysis of the face.
    QFont font = QApplication::font();
    font.setStyleStrategy(QFont::PreferNoShaping);
    font.setHintingPreference(QFont::PreferNoHinting);
    QApplication::setFont(font);
    InitAppResources();
    QCoreApplication::setOrganizationName(QString::fromLatin1(kSettingsOrganization));
    QCoreApplication::setApplicationName(LoadResString(ids::IDS_APP_TITLE));
    PreLoadState();

    // The main frame: its constructor reads the look, loading it creates the
    // ribbon and the panes.
    m_pMainFrame = new CMainFrame;
    if (!m_pMainFrame->LoadFrame()) {
        delete m_pMainFrame;
        m_pMainFrame = nullptr;
        return false;
    }
    // The document type, shown as tabs in the frame's document area.
    m_pDocTemplate = std::make_unique<CDocTemplate>(m_pMainFrame->MdiArea());
    if (m_messageHook) m_pDocTemplate->SetMessageHook(m_messageHook);
    QObject::connect(m_pDocTemplate.get(), &CDocTemplate::ActiveTitleChanged, m_pMainFrame, &CMainFrame::UpdateTitle);

    // The desktop opens .tsl files with this program.
    RegisterShellFileTypes(QCoreApplication::applicationFilePath());

    // The command line: a file opens as a document, else one new document.
    if (!files.isEmpty()) {
        if (m_pDocTemplate->OpenDocumentFile(files.front()) == nullptr) return false;
    } else if (m_pDocTemplate->NewDocument() == nullptr) {
        return false;
    }

    m_pMainFrame->UpdateTitle();
    m_pMainFrame->show();

    // The first run shows the About box once, after the window; the mark is
    // written before it opens.
    if (GetInt(QStringLiteral("FirstRun"), 1) == 1) {
        WriteInt(QStringLiteral("FirstRun"), 0);
        OnAbout();
    }
    return true;
}

void CTessalineApp::OnAbout() {
    CAboutDlg dialog(m_pMainFrame);
    ++m_nAboutBoxes;
    if (m_runAboutBox)
        m_runAboutBox(dialog);
    else
        dialog.exec();
}
