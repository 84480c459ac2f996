#include "CTessalineApp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QMdiArea>
#include <QMenu>
#include <QMessageBox>
#include <QStandardPaths>
#include <QToolTip>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "CAboutDlg.h"
#include "CMainFrame.h"
#include "Documents.h"
#include "PrintableText.h"
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

QString CTessalineApp::SettingsFilePath() {
    // Where QSettings keeps a user's native settings of this organisation and
    // application; named explicitly, so that the file looked at is the one
    // opened, and no other file of the organisation or the system is read.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QFileInfo(dir + QLatin1Char('/') + QLatin1String(kSettingsOrganization) + QLatin1Char('/') +
                     QLatin1String(kSettingsApplication) + QStringLiteral(".conf"))
        .absoluteFilePath();
}

bool CTessalineApp::SettingsFileUsable() const {
    if (m_bSettingsInMemory) return false;
    const QString path = SettingsFilePath();
    const QByteArray native = QFile::encodeName(path);
    // lstat and stat never open the file: a FIFO cannot make them wait.
    struct stat st {};
    const char* problem = nullptr;
    int error = 0;
    if (::lstat(native.constData(), &st) != 0) {
        // Nothing there (or a component that is no directory): QSettings
        // reads nothing and creates the file on writing.
        if (errno == ENOENT || errno == ENOTDIR) return true;
        error = errno;
    } else if (S_ISREG(st.st_mode)) {
        return true;
    } else if (S_ISLNK(st.st_mode) && ::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        return true;  // written through to the file it names, as before
    } else {
        problem = "is not a regular file";
    }
    m_bSettingsInMemory = true;
    if (problem != nullptr)
        std::fprintf(stderr, "tessaline: settings file %s %s; using the defaults and not saving\n",
                     PrintableUtf8(native.toStdString()).c_str(), problem);
    else
        std::fprintf(stderr, "tessaline: settings file %s cannot be checked (%s); using the defaults and not saving\n",
                     PrintableUtf8(native.toStdString()).c_str(), std::strerror(error));
    return false;
}

std::unique_ptr<QSettings> CTessalineApp::Settings() const {
    if (!SettingsFileUsable()) return nullptr;
    return std::make_unique<QSettings>(SettingsFilePath(), QSettings::NativeFormat);
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
    const QString key = QString::fromLatin1(kWorkspaceSection) + "/" + entry;
    const auto settings = Settings();
    return settings ? settings->value(key) : m_memorySettings.value(key);
}

void CTessalineApp::WriteValue(const QString& entry, const QVariant& value) {
    const QString key = QString::fromLatin1(kWorkspaceSection) + "/" + entry;
    auto settings = Settings();
    if (settings) {
        // A value already stored as it is is not written again: every write
        // rewrites the file and waits for the disk.  (A number comes back
        // from the file as its text.)
        if (settings->contains(key)) {
            const QVariant stored = settings->value(key);
            const bool number = value.typeId() == QMetaType::Int;
            if (number ? stored.toString() == value.toString() : stored == value) return;
        }
        // Looked at again just before the write: the file is replaced by
        // a new one renamed over the path, which must not be anything but
        // a regular file.
        if (SettingsFileUsable()) {
            settings->setValue(key, value);
            settings->sync();
            if (settings->status() == QSettings::NoError) return;
            // Not written (a read-only home, a full disk): the rest of the
            // run keeps its values in memory, and the user is told once.
            KeepSettingsInMemory(*settings);
        }
    }
    m_memorySettings.insert(key, value);
}

void CTessalineApp::KeepSettingsInMemory(QSettings& settings) {
    const QString path = SettingsFilePath();
    // Why, as far as the file or the folder it is written in says (the file
    // is replaced by one written beside it): the nearest folder that exists.
    QString folder = QFileInfo(path).path();
    for (int up = 0; up < 64 && !QFileInfo::exists(folder); ++up) folder = QFileInfo(folder).path();
    const QByteArray file = QFile::encodeName(path);
    QString reason = QStringLiteral("it could not be written");
    if ((::access(file.constData(), W_OK) != 0 && errno != ENOENT) ||
        ::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        reason = QString::fromLocal8Bit(std::strerror(errno));
    // What the file held stays in effect; the value being written is set by
    // the caller.  (The file's own values may be fewer than the run's: no
    // more than what it held is kept.)
    constexpr int kMostKeys = 4096;
    const QStringList keys = settings.allKeys();
    for (qsizetype i = 0; i < keys.size() && i < kMostKeys; ++i)
        m_memorySettings.insert(keys[i], settings.value(keys[i]));
    m_bSettingsInMemory = true;
    Notify(
        QStringLiteral("settings file %1 cannot be saved (%2); changes are kept for this run only").arg(path, reason));
}

void CTessalineApp::Notify(const QString& text) {
    if (m_told.contains(text)) return;
    m_told << text;
    std::fprintf(stderr, "tessaline: %s\n", PrintableUtf8(text.toStdString()).c_str());
    if (m_bWindowUp)
        ShowNotice(text);
    else
        m_pendingNotices << text;
}

void CTessalineApp::ShowNotice(const QString& text) {
    if (m_pMainFrame == nullptr || !m_pMainFrame->isVisible() || m_pMainFrame->IsClosing()) return;
    if (m_messageHook)
        m_messageHook(m_pMainFrame, text);
    else
        QMessageBox::warning(m_pMainFrame, QStringLiteral("Tessaline"), text);
}

void CTessalineApp::PreLoadState() {
    m_contextMenus.insert(LoadResString(ids::IDS_EDIT_MENU),
                          BuildMenu(LoadResString(ids::IDS_EDIT_MENU), LoadMenuResource(ids::IDR_POPUP_EDIT)));
    m_contextMenus.insert(LoadResString(ids::IDS_EXPLORER),
                          BuildMenu(LoadResString(ids::IDS_EXPLORER), LoadMenuResource(ids::IDR_POPUP_EXPLORER)));
}

bool CTessalineApp::InitInstance(const QByteArrayList& files) {
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

    // The desktop opens .tsl files with this program.  An installed program
    // (its window module in ../lib/tessaline) has its menu entry and file
    // type from its package; only one started from a build folder (the
    // module beside it) writes them into the user's home.
    if (StartedFromBuildFolder()) RegisterShellFileTypes(QCoreApplication::applicationFilePath());

    // The command line: a file opens as a document, else one new document.
    // A file that cannot be opened has been told of by the document type;
    // the window then comes up with a new document, as without a file.
    const bool opened = !files.isEmpty() && m_pDocTemplate->OpenNativeDocumentFile(files.front()) != nullptr;
    if (!opened && m_pDocTemplate->NewDocument() == nullptr) return false;

    m_pMainFrame->UpdateTitle();
    m_pMainFrame->show();
    // What went wrong while the window was made is told once it shows.
    m_bWindowUp = true;
    const QStringList pending = std::exchange(m_pendingNotices, {});
    for (const QString& text : pending) ShowNotice(text);

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
