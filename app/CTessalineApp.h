// The application object: brings the program up in a fixed order (settings,
// context menus, tooltips, document type, main frame, shell registration,
// command line, first-run About box) and keeps what the program stores
// between runs.
#pragma once

#include <QByteArrayList>
#include <QHash>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <memory>

class CAboutDlg;
class CDocTemplate;
class CMainFrame;
class QDialog;
class QMenu;
class QWidget;

// Where the settings live: the organisation and application names make a
// per-user file, $XDG_CONFIG_HOME/Ulvo Systems/Tessaline.conf.
inline constexpr const char* kSettingsOrganization = "Ulvo Systems";
inline constexpr const char* kSettingsApplication = "Tessaline";
// The section of every value the program reads and writes.
inline constexpr const char* kWorkspaceSection = "Workspace";

class CTessalineApp {
public:
    CTessalineApp();
    ~CTessalineApp();
    CTessalineApp(const CTessalineApp&) = delete;
    CTessalineApp& operator=(const CTessalineApp&) = delete;

    // Brings the program up; false ends it.  `files` are the command line's
    // file names as the bytes it gave, in no particular encoding (at most
    // one is used).
    bool InitInstance(const QByteArrayList& files);
    // Registers the two context menus before the saved workspace is loaded.
    void PreLoadState();
    // Command 57664.
    void OnAbout();

    // Values of the "Workspace" section.  They live in the settings file
    // when that is a regular file or does not exist yet.  When anything else
    // is in its place (a FIFO, a device, a directory, a socket, a link to one
    // of those or to nothing), the file is never opened, written or replaced:
    // the values start from the defaults and are kept in memory for the rest
    // of the run, which is said once on stderr.
    int GetInt(const QString& entry, int defaultValue) const;
    bool WriteInt(const QString& entry, int value);
    QVariant GetValue(const QString& entry) const;
    void WriteValue(const QString& entry, const QVariant& value);
    // The settings file, absolute.
    static QString SettingsFilePath();
    // True once the settings are kept in memory for the run.  That is also
    // where they go once the file cannot be written (a read-only home):
    // said once, and the values stay as the run set them.
    bool SettingsInMemory() const { return m_bSettingsInMemory; }

    // Tells the user of something that went wrong out of sight, once in the
    // run: a line on stderr and, while the window is up and not closing, a
    // message box (through m_messageHook when set).  Told before the window
    // shows, the box waits until it does.
    void Notify(const QString& text);

    CMainFrame* MainFrame() const { return m_pMainFrame; }
    CDocTemplate* DocTemplate() const { return m_pDocTemplate.get(); }
    QMenu* ContextMenu(const QString& name) const { return m_contextMenus.value(name); }

    unsigned m_nApplicationLook = 0;
    bool m_bHighColorIcons = true;

    // How a modal About box runs; tests replace it so that nothing waits.
    std::function<void(CAboutDlg&)> m_runAboutBox;
    // How the document type reports a file that cannot be opened or written;
    // unset, the toolkit's message box.  Tests replace it.
    std::function<void(QWidget*, const QString&)> m_messageHook;
    // How the windows dialog runs; tests replace it.
    std::function<void(QDialog&)> m_runWindowsDialog;
    // How "Save Log As" asks for a file: the dialog's parent, the name it
    // starts from, the chosen type (in and out); the name chosen, or empty.
    // Tests replace it.
    std::function<QString(QWidget*, const QString&, QString*)> m_saveLogPrompt;
    // How often the About box was opened (for the tests).
    int m_nAboutBoxes = 0;

private:
    // The settings file for one read or write, or null when the settings
    // are kept in memory: the path is looked at first, without opening it.
    std::unique_ptr<QSettings> Settings() const;
    // False, after switching to the settings in memory, when the settings
    // path holds anything that is neither a regular file nor nothing.
    bool SettingsFileUsable() const;

    // Keeps the settings in memory from now on, starting from what the file
    // holds, after a write to it failed; said once.
    void KeepSettingsInMemory(QSettings& settings);
    // The message box of a notice, while the window is up and not closing.
    void ShowNotice(const QString& text);

    mutable bool m_bSettingsInMemory = false;
    mutable QVariantMap m_memorySettings;
    QStringList m_told;            // what Notify has said in this run
    QStringList m_pendingNotices;  // said before the window was up
    bool m_bWindowUp = false;

    CMainFrame* m_pMainFrame = nullptr;
    std::unique_ptr<CDocTemplate> m_pDocTemplate;
    QHash<QString, QMenu*> m_contextMenus;
};

// The one application object of the process, or null.
CTessalineApp* TheApp();
