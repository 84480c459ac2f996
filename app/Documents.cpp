#include "Documents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArrayList>
#include <QCloseEvent>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMdiArea>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScrollBar>
#include <QStyle>
#include <QTabBar>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

QString SystemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString AbsolutePath(const QString& path) { return path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath(); }

// `path` made absolute against the current directory and without "." and
// ".." components or repeated slashes, as bytes: the file name encoding
// never sees it.  Empty for an empty path.
QByteArray NativeAbsolutePath(const QByteArray& path) {
    if (path.isEmpty()) return QByteArray();
    QByteArray full = path;
    if (!path.startsWith('/')) {
        // Of any length, unlike getcwd with a buffer.
        char* cwd = ::get_current_dir_name();
        if (cwd == nullptr) return path;  // opened relative to the current directory all the same
        full = QByteArray(cwd) + '/' + path;
        std::free(cwd);
    }
    QByteArrayList kept;
    for (const QByteArray& part : full.split('/')) {
        if (part.isEmpty() || part == ".") continue;
        if (part == "..") {
            if (!kept.isEmpty()) kept.removeLast();
            continue;
        }
        kept.append(part);
    }
    return '/' + kept.join('/');
}

// The path with every link resolved, empty when it cannot be.
QByteArray CanonicalPath(const QByteArray& path) {
    char* resolved = ::realpath(path.constData(), nullptr);
    if (resolved == nullptr) return QByteArray();
    QByteArray canonical(resolved);
    std::free(resolved);
    return canonical;
}

// Opens `absolute` with `flags`, never waiting on a FIFO and never taking a
// terminal: the descriptor, or -1 with `error` set (no path: ENOENT; a zero
// byte, which would cut the path short and name another file: EINVAL).
int OpenPath(const QByteArray& absolute, int flags, int& error) {
    if (absolute.isEmpty() || absolute.contains('\0')) {
        error = absolute.isEmpty() ? ENOENT : EINVAL;
        return -1;
    }
    const int fd = ::open(absolute.constData(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) error = errno;
    return fd;
}

// A title shown as it is: the window title placeholder "[*]" is written
// twice to stand for itself.
QString LiteralWindowTitle(const QString& title) {
    QString escaped = title;
    escaped.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    return escaped;
}

// The close buttons, the icons and the document menu of a tabbed MDI area.
// QMdiArea makes its tab bar itself, and lays it out across the whole width
// on every change of size; this keeps the bar's trailing end free for the
// menu button, after each of those layouts.
class TabbedAreaDecor : public QObject {
public:
    explicit TabbedAreaDecor(QMdiArea* area) : QObject(area), m_area(area) {
        setObjectName(QStringLiteral("tabbedAreaDecor"));
        m_button = new QToolButton(area);
        m_button->setObjectName(QStringLiteral("documentMenuButton"));
        m_button->setArrowType(Qt::DownArrow);
        m_button->setAutoRaise(true);
        m_button->setFocusPolicy(Qt::NoFocus);
        m_button->setToolTip(QObject::tr("Open documents"));
        m_button->setAccessibleName(m_button->toolTip());  // it shows an arrow, no text
        m_button->hide();
        m_menu = new QMenu(m_button);
        m_menu->setObjectName(QStringLiteral("documentMenu"));
        connect(m_button, &QToolButton::clicked, this, &TabbedAreaDecor::ShowMenu);

        area->installEventFilter(this);
        area->verticalScrollBar()->installEventFilter(this);
        ScheduleUpdate();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Resize:
            case QEvent::Move:
            case QEvent::Show:
            case QEvent::Hide:
            case QEvent::ChildAdded:
            case QEvent::ChildRemoved:
            case QEvent::LayoutDirectionChange:
            case QEvent::StyleChange: ScheduleUpdate(); break;
            default: break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void ScheduleUpdate() {
        if (m_pending) return;
        m_pending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_pending = false;
                Update();
            },
            Qt::QueuedConnection);
    }

    void AttachTabBar() {
        QTabBar* bar = m_area->findChild<QTabBar*>(QString(), Qt::FindDirectChildrenOnly);
        if (bar == m_tabBar) return;
        m_tabBar = bar;
        if (!bar) return;
        bar->installEventFilter(this);
        // QMdiArea deletes its tab bar when it leaves the tabbed view.
        connect(bar, &QObject::destroyed, this, [this] { ScheduleUpdate(); });
        connect(bar, &QTabBar::currentChanged, this, [this] { ShowCloseButtonOnCurrentOnly(); });
        connect(bar, &QTabBar::tabMoved, this, [this] { ShowCloseButtonOnCurrentOnly(); });
    }

    void ShowCloseButtonOnCurrentOnly() {
        if (!m_tabBar) return;
        const int current = m_tabBar->currentIndex();
        for (int i = 0; i < m_tabBar->count(); ++i) {
            for (const QTabBar::ButtonPosition side : {QTabBar::LeftSide, QTabBar::RightSide}) {
                // Hidden rather than taken away: every tab keeps its width.
                // The toolkit's close button shows a cross and no text: it is
                // named for assistive tools after its tooltip.
                if (QWidget* button = m_tabBar->tabButton(i, side)) {
                    button->setVisible(i == current);
                    if (button->accessibleName().isEmpty()) button->setAccessibleName(button->toolTip());
                }
            }
        }
    }

    void Update() {
        AttachTabBar();
        QTabBar* bar = m_tabBar;
        if (!bar || m_area->viewMode() != QMdiArea::TabbedView || m_area->tabPosition() != QTabWidget::North ||
            bar->isHidden() || bar->count() == 0) {
            m_button->hide();
            return;
        }
        ShowCloseButtonOnCurrentOnly();
        for (int i = 0; i < bar->count(); ++i) {
            if (!bar->tabIcon(i).isNull()) bar->setTabIcon(i, QIcon());
        }

        // The width QMdiArea gives the bar, less the button's.
        int width = m_area->width();
        const QScrollBar* vertical = m_area->verticalScrollBar();
        if (vertical && vertical->isVisible()) width -= vertical->width();
        const int height = bar->height();
        const int buttonWidth = std::min(std::max(m_button->sizeHint().width(), height), std::max(width / 2, 0));
        const Qt::LayoutDirection direction = m_area->layoutDirection();
        const QRect bounds = m_area->contentsRect();
        const QRect barRect = QStyle::visualRect(direction, bounds, QRect(0, 0, width - buttonWidth, height));
        const QRect buttonRect =
            QStyle::visualRect(direction, bounds, QRect(width - buttonWidth, 0, buttonWidth, height));
        if (bar->geometry() != barRect) bar->setGeometry(barRect);
        m_button->setGeometry(buttonRect);
        m_button->show();
        m_button->raise();
    }

    void ShowMenu() {
        m_menu->clear();
        const QMdiSubWindow* current = m_area->currentSubWindow();
        // In the tabs' order: QMdiArea keeps its creation order list in step
        // with tabs that are moved.
        for (QMdiSubWindow* window : m_area->subWindowList(QMdiArea::CreationOrder)) {
            CChildFrame* frame = qobject_cast<CChildFrame*>(window);
            QString text = frame ? frame->Document()->Title() : window->windowTitle();
            text.replace(QLatin1Char('&'), QStringLiteral("&&"));
            QAction* action = m_menu->addAction(text);
            action->setCheckable(true);
            action->setChecked(window == current);
            QPointer<QMdiSubWindow> target(window);
            connect(action, &QAction::triggered, this, [this, target] {
                if (target) m_area->setActiveSubWindow(target);
            });
        }
        if (m_menu->isEmpty()) return;
        // The frame's window manager command, when it has one, ends the list.
        if (QAction* windows = m_area->findChild<QAction*>(QStringLiteral("windowsManagerAction"))) {
            m_menu->addSeparator();
            m_menu->addAction(windows);
        }
        const QPoint below = m_button->mapToGlobal(QPoint(0, m_button->height()));
        m_menu->popup(below);
    }

    QMdiArea* m_area;
    QPointer<QTabBar> m_tabBar;
    QToolButton* m_button;
    QMenu* m_menu;
    bool m_pending = false;
};

}  // namespace

QString WithDocumentExtension(const QString& path) {
    const QString extension = CDocTemplate::DocumentString().filterExt;
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    // A leading dot starts a hidden file's name, not an extension.
    if (dot > 0 && dot < name.size() - 1) return path;
    if (dot > 0) return path + extension.mid(1);  // "name." gets the extension's letters
    return path + extension;
}

// -------------------------------------------------------------- document

CTessalineDoc::CTessalineDoc(const QString& title, QObject* parent) : QObject(parent), m_title(title) {}

void CTessalineDoc::SetPathName(const QString& path) { SetPathName(path, QFile::encodeName(path)); }

void CTessalineDoc::SetPathName(const QString& path, const QByteArray& nativePath) {
    m_path = path;
    m_nativePath = nativePath;
    const QString title = QFileInfo(path).fileName();
    if (title == m_title) return;
    m_title = title;
    emit TitleChanged(m_title);
}

void CTessalineDoc::Serialize(QIODevice& device, bool storing) {
    Q_UNUSED(device);
    Q_UNUSED(storing);
}

// ------------------------------------------------------------------ view

CTessalineView::CTessalineView(CTessalineDoc* doc, QWidget* parent) : QListWidget(parent), m_doc(doc) {
    setViewMode(QListView::IconMode);
    // Icon mode turns dragging on; files dropped here go to the main window.
    setDragEnabled(false);
    setAcceptDrops(false);
    viewport()->setAcceptDrops(false);
    setMinimumSize(kDocumentMinWidth, kDocumentMinHeight);
}

// ----------------------------------------------------------------- frame

CChildFrame::CChildFrame(CTessalineDoc* doc, QWidget* parent)
    : QMdiSubWindow(parent), m_doc(doc ? doc : new CTessalineDoc(QString())), m_view(nullptr) {
    setAttribute(Qt::WA_DeleteOnClose);
    m_doc->setParent(this);
    m_view = new CTessalineView(m_doc);
    // The view's minimum is the client area's; the layout adds the border
    // and the title bar, whatever they measure in the style in use.
    setWidget(m_view);
    setWindowIcon(QIcon());  // no icon in the tab or the title bar
    ShowTitle(m_doc->Title());
    connect(m_doc, &CTessalineDoc::TitleChanged, this, &CChildFrame::ShowTitle);
}

bool CChildFrame::event(QEvent* event) {
    const bool handled = QMdiSubWindow::event(event);
    switch (event->type()) {
        case QEvent::ParentChange:
        case QEvent::Polish:
        case QEvent::Show:
        case QEvent::StyleChange:
        case QEvent::FontChange: UpdateMinimumSize(); break;
        default: break;
    }
    return handled;
}

void CChildFrame::changeEvent(QEvent* event) {
    // A window being minimized shrinks to its icon: the old minimum would
    // hold it at full size.
    if (event->type() == QEvent::WindowStateChange) setMinimumSize(0, 0);
    QMdiSubWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) UpdateMinimumSize();
}

void CChildFrame::UpdateMinimumSize() {
    // QMdiSubWindow gives the size that holds its widget's minimum with the
    // border and title bar only as a hint, which resizing ignores; set as
    // the minimum, it holds. The hint follows the state: no title bar when
    // maximized in a tabbed area, an icon's size when minimized or shaded,
    // sizes the window manages itself.
    if (isMinimized() || isShaded()) {
        setMinimumSize(0, 0);
        return;
    }
    const QSize smallest = minimumSizeHint();
    if (minimumSize() != smallest) setMinimumSize(smallest);
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    if (!m_doc->SaveModified()) {
        event->ignore();
        return;
    }
    QMdiSubWindow::closeEvent(event);
}

void CChildFrame::ShowTitle(const QString& title) { setWindowTitle(LiteralWindowTitle(title)); }

// -------------------------------------------------------------- template

CDocTemplate::CDocTemplate(QMdiArea* area, QObject* parent) : QObject(parent), m_area(area) {
    m_openPrompt = [](QWidget* dialogParent, const QString& caption, const QString& path, const QString& filter) {
        return QFileDialog::getOpenFileName(dialogParent, caption, path, filter);
    };
    m_savePrompt = [](QWidget* dialogParent, const QString& caption, const QString& path, const QString& filter) {
        return QFileDialog::getSaveFileName(dialogParent, caption, path, filter);
    };
    m_message = [](QWidget* dialogParent, const QString& text) {
        QMessageBox::warning(dialogParent, QStringLiteral("Tessaline"), text);
    };
    if (m_area) {
        connect(m_area, &QMdiArea::subWindowActivated, this, &CDocTemplate::UpdateActiveTitle);
    }
}

const DocString& CDocTemplate::DocumentString() {
    static const DocString fields = [] {
        const QStringList parts = QString::fromUtf8(kDocumentString).split(QLatin1Char('\n'));
        return DocString{parts.value(0), parts.value(1), parts.value(2), parts.value(3),
                         parts.value(4), parts.value(5), parts.value(6)};
    }();
    return fields;
}

QString CDocTemplate::FileDialogFilter() {
    return DocumentString().filterName + QStringLiteral(";;") + QLatin1String(kAllFilesFilter);
}

CTessalineDoc* CDocTemplate::NewDocument() {
    if (!m_area) return nullptr;
    ++m_untitledCount;
    auto* doc = new CTessalineDoc(DocumentString().docName + QString::number(m_untitledCount));
    AddFrame(doc);
    return doc;
}

CTessalineDoc* CDocTemplate::OpenDocumentFile(const QString& path) {
    const QString absolute = AbsolutePath(path);
    return OpenAbsolute(QFile::encodeName(absolute), absolute, path);
}

CTessalineDoc* CDocTemplate::OpenNativeDocumentFile(const QByteArray& path) {
    // A name that the file name encoding carries unchanged takes the same
    // way as a typed one; any other is kept as bytes, since its text form
    // names another file.
    const QString text = QFile::decodeName(path);
    if (QFile::encodeName(text) == path) return OpenDocumentFile(text);
    const QByteArray native = NativeAbsolutePath(path);
    return OpenAbsolute(native, QFile::decodeName(native), text);
}

CTessalineDoc* CDocTemplate::OpenAbsolute(const QByteArray& native, const QString& absolute, const QString& shown) {
    if (!m_area) return nullptr;

    // Opening for reading is the whole test: the content is never read, so
    // a huge file costs nothing, and O_NONBLOCK keeps a FIFO without a
    // writer from blocking. A directory opens too, but is no document.
    int error = 0;
    const int fd = OpenPath(native, O_RDONLY, error);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            error = errno;
        else if (S_ISDIR(st.st_mode))
            error = EISDIR;
    }
    if (error != 0) {
        if (fd >= 0) ::close(fd);
        Fail(tr("Cannot open \"%1\".\n%2.").arg(QDir::toNativeSeparators(shown), SystemErrorText(error)));
        return nullptr;
    }

    if (CTessalineDoc* open = FindOpen(native)) {
        ::close(fd);
        if (auto* frame = qobject_cast<CChildFrame*>(open->parent())) m_area->setActiveSubWindow(frame);
        return open;
    }

    auto* doc = new CTessalineDoc(QString());
    QFile file;
    if (file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        doc->Serialize(file, false);
        file.close();
    } else {
        ::close(fd);
    }
    doc->SetPathName(absolute, native);
    AddFrame(doc);
    return doc;
}

bool CDocTemplate::SaveDocument(CTessalineDoc* doc, const QString& path) {
    const QString absolute = AbsolutePath(path);
    return SaveAbsolute(doc, QFile::encodeName(absolute), absolute, path);
}

bool CDocTemplate::SaveAbsolute(CTessalineDoc* doc, const QByteArray& native, const QString& absolute,
                                const QString& shown) {
    if (!doc) return false;

    // Created or truncated; O_NONBLOCK makes a FIFO without a reader fail
    // at once instead of waiting for one.
    int error = 0;
    const int fd = OpenPath(native, O_WRONLY | O_CREAT | O_TRUNC, error);
    QString errorText = error != 0 ? SystemErrorText(error) : QString();
    if (fd >= 0) {
        QFile file;
        if (file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
            doc->Serialize(file, true);
            file.close();
            if (file.error() != QFileDevice::NoError) errorText = file.errorString();
        } else if (::close(fd) != 0) {
            errorText = SystemErrorText(errno);
        }
    }
    if (!errorText.isEmpty()) {
        Fail(tr("Cannot save \"%1\".\n%2.").arg(QDir::toNativeSeparators(shown), errorText));
        return false;
    }
    doc->SetPathName(absolute, native);
    return true;
}

bool CDocTemplate::CloseActive() {
    if (!m_area) return false;
    auto* frame = qobject_cast<CChildFrame*>(m_area->currentSubWindow());
    if (!frame) return false;
    return frame->close();
}

bool CDocTemplate::OpenDroppedUrls(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    bool opened = false;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) continue;
        if (OpenDocumentFile(url.toLocalFile())) opened = true;
    }
    return opened;
}

CTessalineDoc* CDocTemplate::ActiveDocument() const {
    if (!m_area) return nullptr;
    auto* frame = qobject_cast<CChildFrame*>(m_area->currentSubWindow());
    return frame ? frame->Document() : nullptr;
}

QString CDocTemplate::ActiveTitle() const {
    const CTessalineDoc* doc = ActiveDocument();
    return doc ? doc->Title() : QString();
}

QList<CTessalineDoc*> CDocTemplate::Documents() const {
    QList<CTessalineDoc*> docs;
    if (!m_area) return docs;
    for (QMdiSubWindow* window : m_area->subWindowList(QMdiArea::CreationOrder)) {
        if (auto* frame = qobject_cast<CChildFrame*>(window)) docs.append(frame->Document());
    }
    return docs;
}

void CDocTemplate::OnFileNew() { NewDocument(); }

void CDocTemplate::OnFileOpen() {
    const CTessalineDoc* active = ActiveDocument();
    const QString start = active && !active->PathName().isEmpty() ? QFileInfo(active->PathName()).path() : QString();
    const QString path = m_openPrompt(DialogParent(), tr("Open"), start, FileDialogFilter());
    if (!path.isEmpty()) OpenDocumentFile(path);
}

void CDocTemplate::OnFileClose() { CloseActive(); }

void CDocTemplate::OnFileSave() {
    CTessalineDoc* doc = ActiveDocument();
    if (!doc) return;
    if (doc->PathName().isEmpty()) {
        SaveAs(doc);
    } else {
        // To the bytes it was opened from or saved to, which its text form
        // may not spell.
        SaveAbsolute(doc, doc->NativePathName(), doc->PathName(), doc->PathName());
    }
}

void CDocTemplate::OnFileSaveAs() {
    if (CTessalineDoc* doc = ActiveDocument()) SaveAs(doc);
}

bool CDocTemplate::OnCommand(int id) {
    switch (id) {
        case ID_FILE_NEW: OnFileNew(); return true;
        case ID_FILE_OPEN: OnFileOpen(); return true;
        case ID_FILE_CLOSE: OnFileClose(); return true;
        case ID_FILE_SAVE: OnFileSave(); return true;
        case ID_FILE_SAVE_AS: OnFileSaveAs(); return true;
        default: return false;
    }
}

bool CDocTemplate::IsCommandEnabled(int id) const {
    switch (id) {
        case ID_FILE_NEW:
        case ID_FILE_OPEN: return m_area != nullptr;
        case ID_FILE_CLOSE:
        case ID_FILE_SAVE:
        case ID_FILE_SAVE_AS: return ActiveDocument() != nullptr;
        default: return false;
    }
}

CChildFrame* CDocTemplate::AddFrame(CTessalineDoc* doc) {
    auto* frame = new CChildFrame(doc);
    connect(doc, &CTessalineDoc::TitleChanged, this, &CDocTemplate::UpdateActiveTitle);
    // Queued: while a frame is being destroyed the area may still list it.
    connect(frame, &QObject::destroyed, this, &CDocTemplate::UpdateActiveTitle, Qt::QueuedConnection);
    m_area->addSubWindow(frame);
    // A tab fills the area, also before the main window is first activated.
    if (m_area->viewMode() == QMdiArea::TabbedView) frame->showMaximized();
    else frame->show();
    m_area->setActiveSubWindow(frame);
    UpdateActiveTitle();
    return frame;
}

CTessalineDoc* CDocTemplate::FindOpen(const QByteArray& absolutePath) const {
    const QByteArray canonical = CanonicalPath(absolutePath);
    for (CTessalineDoc* doc : Documents()) {
        if (doc->NativePathName().isEmpty()) continue;
        if (doc->NativePathName() == absolutePath) return doc;
        if (!canonical.isEmpty() && CanonicalPath(doc->NativePathName()) == canonical) return doc;
    }
    return nullptr;
}

bool CDocTemplate::SaveAs(CTessalineDoc* doc) {
    const QString start = doc->PathName().isEmpty() ? doc->Title() + DocumentString().filterExt : doc->PathName();
    const QString chosen = m_savePrompt(DialogParent(), tr("Save As"), start, FileDialogFilter());
    if (chosen.isEmpty()) return false;
    return SaveDocument(doc, WithDocumentExtension(chosen));
}

void CDocTemplate::Fail(const QString& text) {
    m_lastError = text;
    if (m_message) m_message(DialogParent(), text);
}

void CDocTemplate::UpdateActiveTitle() {
    const QString title = ActiveTitle();
    CTessalineDoc* doc = ActiveDocument();
    if (title == m_shownTitle && doc == m_shownDoc) return;
    m_shownTitle = title;
    m_shownDoc = doc;
    emit ActiveTitleChanged(title);
}

QWidget* CDocTemplate::DialogParent() const { return m_area ? m_area->window() : nullptr; }

void ConfigureTabbedArea(QMdiArea* area) {
    if (!area) return;
    area->setViewMode(QMdiArea::TabbedView);
    area->setDocumentMode(true);
    area->setTabsClosable(true);
    area->setTabsMovable(true);
    area->setTabPosition(QTabWidget::North);
    if (!area->findChild<QObject*>(QStringLiteral("tabbedAreaDecor"), Qt::FindDirectChildrenOnly)) {
        new TabbedAreaDecor(area);
    }
}
