// The program's document: a window with no data, shown as a tab of the main
// window's MDI area. It has a title and, once opened or saved, a path; it is
// never modified, so closing it never asks to save, and saving it writes a
// file of zero bytes. Any file that can be opened for reading opens as one.
#pragma once

#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

class QIODevice;
class QMimeData;
class QWidget;

// The smallest client area of a document window.
inline constexpr int kDocumentMinWidth = 250;
inline constexpr int kDocumentMinHeight = 100;

// The seven newline-separated fields that describe the document type.
struct DocString {
    QString windowTitle;   // the main window's title for this type ("": the frame's own)
    QString docName;       // base of untitled documents' names: docName1, docName2, ...
    QString fileNewName;   // the type's name in a list of new document types
    QString filterName;    // file dialogs' filter
    QString filterExt;     // the extension files of this type get
    QString fileTypeId;    // the desktop's identifier of the file type
    QString fileTypeName;  // the desktop's readable name of the file type
};

// The raw form of the fields, in the order above.
inline constexpr char kDocumentString[] =
    "\nTessaline\nTessaline\nTessaline Files (*.tsl)\n.tsl\nTessaline.Document\nTessaline.Document";

// The file dialogs' filters: the document type's, and every file, since any
// file opens as a document.
inline constexpr char kAllFilesFilter[] = "All Files (*)";

// `path` with ".tsl" appended when its file name has no extension.
QString WithDocumentExtension(const QString& path);

class CTessalineDoc : public QObject {
    Q_OBJECT
public:
    explicit CTessalineDoc(const QString& title, QObject* parent = nullptr);

    QString Title() const { return m_title; }
    // The absolute path of the file the document was opened from or saved
    // to; empty until then.  Shown to the user: a name that is not valid in
    // the file name encoding shows replacement characters.
    QString PathName() const { return m_path; }
    // The same path as the bytes the system knows the file by, which the
    // document is saved to.
    QByteArray NativePathName() const { return m_nativePath; }
    // Both also set the title to the file's name.  `nativePath` is the same
    // path as `path`, as bytes; without it, the bytes `path` encodes to.
    void SetPathName(const QString& path);
    void SetPathName(const QString& path, const QByteArray& nativePath);

    bool IsModified() const { return false; }
    // True when the document may close: it holds nothing to lose.
    bool SaveModified() const { return true; }

    // Reads or writes the document's content: it has none, so it touches
    // the device not at all.
    void Serialize(QIODevice& device, bool storing);

signals:
    void TitleChanged(const QString& title);

private:
    QString m_title;
    QString m_path;
    QByteArray m_nativePath;
};

// The document's view: an empty icon list.
class CTessalineView : public QListWidget {
    Q_OBJECT
public:
    explicit CTessalineView(CTessalineDoc* doc, QWidget* parent = nullptr);
    CTessalineDoc* GetDocument() const { return m_doc; }

private:
    QPointer<CTessalineDoc> m_doc;
};

// The document's window in the MDI area. It owns the document and its view;
// it closes without asking and deletes itself on closing. It cannot be made
// smaller than what holds a client area of kDocumentMinWidth x
// kDocumentMinHeight with its border and title bar.
class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
public:
    explicit CChildFrame(CTessalineDoc* doc, QWidget* parent = nullptr);

    CTessalineDoc* Document() const { return m_doc; }
    CTessalineView* View() const { return m_view; }

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void ShowTitle(const QString& title);
    void UpdateMinimumSize();

    CTessalineDoc* m_doc;
    CTessalineView* m_view;
};

// The documents shown in one MDI area and the file commands on them.
class CDocTemplate : public QObject {
    Q_OBJECT
public:
    // Asks for a file name: (parent, caption, initial path, filters) -> the
    // chosen path, or empty when cancelled.
    using FilePrompt =
        std::function<QString(QWidget* parent, const QString& caption, const QString& path, const QString& filter)>;
    // Tells the user of a failure: (parent, text).
    using MessageHook = std::function<void(QWidget* parent, const QString& text)>;

    // The file commands' ids.
    static constexpr int ID_FILE_NEW = 57600;
    static constexpr int ID_FILE_OPEN = 57601;
    static constexpr int ID_FILE_CLOSE = 57602;
    static constexpr int ID_FILE_SAVE = 57603;
    static constexpr int ID_FILE_SAVE_AS = 57604;

    explicit CDocTemplate(QMdiArea* area, QObject* parent = nullptr);

    static const DocString& DocumentString();
    // The file dialogs' filters, the document type's first.
    static QString FileDialogFilter();

    QMdiArea* Area() const { return m_area; }

    // A new untitled document, "Tessaline1", "Tessaline2", ... in a window of
    // its own, made active.
    CTessalineDoc* NewDocument();
    // The document of the file at `path`, made active: the one already open
    // from it, or a new one. Null, after telling the user why, when the file
    // cannot be opened for reading or is a directory. Reads nothing.
    CTessalineDoc* OpenDocumentFile(const QString& path);
    // The same for a path given as the bytes the system knows the file by
    // (the command line's), which need not be valid in any encoding.
    CTessalineDoc* OpenNativeDocumentFile(const QByteArray& path);
    // Writes `doc` (zero bytes) to `path`, creating or truncating the file,
    // and makes it the document's path. False, after telling the user why,
    // on failure. Never blocks, not even on a FIFO without a reader.
    bool SaveDocument(CTessalineDoc* doc, const QString& path);
    // Closes the active document's window without asking. False when there
    // is none.
    bool CloseActive();
    // Opens every local file among the dropped URLs. True when one opened.
    bool OpenDroppedUrls(const QMimeData* data);

    CTessalineDoc* ActiveDocument() const;
    QString ActiveTitle() const;  // empty when no document is active
    QList<CTessalineDoc*> Documents() const;

    // The commands, asking for file names with the dialogs.
    void OnFileNew();
    void OnFileOpen();
    void OnFileClose();
    void OnFileSave();
    void OnFileSaveAs();
    // Runs the command `id`. False when it is none of the file commands.
    bool OnCommand(int id);
    // Whether `id` can run now: Close, Save and Save As need a document.
    bool IsCommandEnabled(int id) const;

    // Replace the dialogs and the message box, for tests.
    void SetOpenPrompt(FilePrompt prompt) { m_openPrompt = std::move(prompt); }
    void SetSavePrompt(FilePrompt prompt) { m_savePrompt = std::move(prompt); }
    void SetMessageHook(MessageHook hook) { m_message = std::move(hook); }
    // The text of the last failure told to the user.
    QString LastError() const { return m_lastError; }

signals:
    // The active document changed, or its title did: the main window shows
    // the new title. Empty when no document is active.
    void ActiveTitleChanged(const QString& title);

private:
    CChildFrame* AddFrame(CTessalineDoc* doc);
    // `native` is the absolute path to use, `absolute` the same as text and
    // `shown` the name the user gave, for messages.
    CTessalineDoc* OpenAbsolute(const QByteArray& native, const QString& absolute, const QString& shown);
    bool SaveAbsolute(CTessalineDoc* doc, const QByteArray& native, const QString& absolute, const QString& shown);
    CTessalineDoc* FindOpen(const QByteArray& absolutePath) const;
    bool SaveAs(CTessalineDoc* doc);
    void Fail(const QString& text);
    void UpdateActiveTitle();
    QWidget* DialogParent() const;

    QPointer<QMdiArea> m_area;
    int m_untitledCount = 0;
    QString m_shownTitle;
    QPointer<CTessalineDoc> m_shownDoc;
    QString m_lastError;
    FilePrompt m_openPrompt;
    FilePrompt m_savePrompt;
    MessageHook m_message;
};

// Sets `area` up for documents: tabs at the top, closable (the close button
// on the active tab only), movable, without icons, in document mode, and a
// button at the trailing end of the tab bar whose menu lists the open
// documents and activates the chosen one (object name "documentMenuButton").
void ConfigureTabbedArea(QMdiArea* area);
