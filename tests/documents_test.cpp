// The document, its window and the file commands in an MDI area under Qt's
// offscreen platform; the tabbed area; the desktop's registration of the
// ".tsl" file type.
#include "Documents.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QMdiArea>
#include <QMenu>
#include <QMimeData>
#include <QPixmap>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ShellRegistration.h"

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "documents_test";
        static char* argv[] = {name, nullptr};
        m_app = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete m_app;
        m_app = nullptr;
    }

private:
    QApplication* m_app = nullptr;
};
[[maybe_unused]] ::testing::Environment* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QString SystemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// The current directory changed for a scope.
class CurrentDir {
public:
    explicit CurrentDir(const QString& path) : m_saved(QDir::currentPath()) { QDir::setCurrent(path); }
    ~CurrentDir() { QDir::setCurrent(m_saved); }

private:
    QString m_saved;
};

void FlushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// Kills the test instead of letting it hang when a call blocks.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

// ------------------------------------------------------- the type's text

TEST(DocumentStringTest, HoldsTheSevenFieldsOfTheType) {
    const DocString& fields = CDocTemplate::DocumentString();
    EXPECT_EQ(fields.windowTitle, QString());
    EXPECT_EQ(fields.docName, QStringLiteral("Tessaline"));
    EXPECT_EQ(fields.fileNewName, QStringLiteral("Tessaline"));
    EXPECT_EQ(fields.filterName, QStringLiteral("Tessaline Files (*.tsl)"));
    EXPECT_EQ(fields.filterExt, QStringLiteral(".tsl"));
    EXPECT_EQ(fields.fileTypeId, QStringLiteral("Tessaline.Document"));
    EXPECT_EQ(fields.fileTypeName, QStringLiteral("Tessaline.Document"));
    EXPECT_STREQ(kDocumentString,
                 "\nTessaline\nTessaline\nTessaline Files (*.tsl)\n.tsl\nTessaline.Document\nTessaline.Document");
}

TEST(DocumentStringTest, CommandIds) {
    EXPECT_EQ(CDocTemplate::ID_FILE_NEW, 57600);
    EXPECT_EQ(CDocTemplate::ID_FILE_OPEN, 57601);
    EXPECT_EQ(CDocTemplate::ID_FILE_CLOSE, 57602);
    EXPECT_EQ(CDocTemplate::ID_FILE_SAVE, 57603);
    EXPECT_EQ(CDocTemplate::ID_FILE_SAVE_AS, 57604);
}

TEST(DocumentStringTest, DialogsOfferTheTypeFirstThenEveryFile) {
    EXPECT_EQ(CDocTemplate::FileDialogFilter(), QStringLiteral("Tessaline Files (*.tsl);;All Files (*)"));
}

TEST(DocumentStringTest, ExtensionIsAppendedOnlyToNamesWithout) {
    struct Case {
        const char* chosen;
        const char* saved;
    };
    const Case cases[] = {
        {"/home/u/report", "/home/u/report.tsl"},     {"/home/u/report.tsl", "/home/u/report.tsl"},
        {"/home/u/report.txt", "/home/u/report.txt"}, {"/home/u/archive.tar.gz", "/home/u/archive.tar.gz"},
        {"/home/u/report.", "/home/u/report.tsl"},    {"/home/u/.hidden", "/home/u/.hidden.tsl"},
        {"/home/u.v/report", "/home/u.v/report.tsl"}, {"/home/u/my report", "/home/u/my report.tsl"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WithDocumentExtension(QString::fromUtf8(c.chosen)), QString::fromUtf8(c.saved)) << c.chosen;
    }
}

// ----------------------------------------------- documents in an MDI area

class DocumentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_area = new QMdiArea(&m_window);
        m_window.setCentralWidget(m_area);
        m_window.resize(800, 600);
        m_doc.emplace(m_area);
        m_doc->SetMessageHook([this](QWidget*, const QString& text) { m_messages.append(text); });
        m_doc->SetOpenPrompt([this](QWidget*, const QString&, const QString&, const QString& filter) {
            m_prompts.append(filter);
            return m_answer;
        });
        m_doc->SetSavePrompt([this](QWidget*, const QString&, const QString& start, const QString& filter) {
            m_prompts.append(filter);
            m_saveStart = start;
            return m_answer;
        });
    }
    void TearDown() override {
        m_doc.reset();
        FlushDeletes();
    }

    void Show() {
        m_window.show();
        m_window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
        QCoreApplication::processEvents();
    }

    QString Path(const QString& name) const { return m_dir.filePath(name); }
    static qint64 SizeOf(const QString& path) { return QFileInfo(path).size(); }

    QTemporaryDir m_dir;
    QMainWindow m_window;
    QMdiArea* m_area = nullptr;
    std::optional<CDocTemplate> m_doc;
    QStringList m_messages;
    QStringList m_prompts;
    QString m_answer;
    QString m_saveStart;
};

TEST_F(DocumentsTest, NewDocumentsAreNumberedFromOneAndEmpty) {
    for (int i = 1; i <= 3; ++i) {
        CTessalineDoc* doc = m_doc->NewDocument();
        ASSERT_NE(doc, nullptr);
        const QString title = QStringLiteral("Tessaline%1").arg(i);
        EXPECT_EQ(doc->Title(), title);
        EXPECT_TRUE(doc->PathName().isEmpty());
        EXPECT_FALSE(doc->IsModified());
        EXPECT_EQ(m_doc->ActiveDocument(), doc);
        EXPECT_EQ(m_doc->ActiveTitle(), title);

        auto* frame = qobject_cast<CChildFrame*>(m_area->currentSubWindow());
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->windowTitle(), title);
        EXPECT_EQ(frame->Document(), doc);
        CTessalineView* view = frame->View();
        EXPECT_EQ(frame->widget(), view);
        EXPECT_EQ(view->GetDocument(), doc);
        EXPECT_EQ(view->viewMode(), QListView::IconMode);
        EXPECT_EQ(view->count(), 0);
    }
    EXPECT_EQ(m_doc->Documents().size(), 3);

    // Each template counts for itself; the command id runs the same command.
    QMdiArea otherArea;
    CDocTemplate other(&otherArea);
    EXPECT_TRUE(other.OnCommand(CDocTemplate::ID_FILE_NEW));
    EXPECT_EQ(other.ActiveTitle(), QStringLiteral("Tessaline1"));
    EXPECT_EQ(m_doc->NewDocument()->Title(), QStringLiteral("Tessaline4"));
}

TEST_F(DocumentsTest, CommandIdsRunTheirCommands) {
    EXPECT_FALSE(m_doc->OnCommand(0));
    EXPECT_FALSE(m_doc->OnCommand(CDocTemplate::ID_FILE_NEW - 1));
    EXPECT_FALSE(m_doc->OnCommand(CDocTemplate::ID_FILE_SAVE_AS + 1));
    // Without a document only New and Open can run.
    for (int id : {CDocTemplate::ID_FILE_CLOSE, CDocTemplate::ID_FILE_SAVE, CDocTemplate::ID_FILE_SAVE_AS})
        EXPECT_FALSE(m_doc->IsCommandEnabled(id)) << id;
    for (int id : {CDocTemplate::ID_FILE_NEW, CDocTemplate::ID_FILE_OPEN})
        EXPECT_TRUE(m_doc->IsCommandEnabled(id)) << id;

    ASSERT_TRUE(m_doc->OnCommand(CDocTemplate::ID_FILE_NEW));
    for (int id : {CDocTemplate::ID_FILE_NEW, CDocTemplate::ID_FILE_OPEN, CDocTemplate::ID_FILE_CLOSE,
                   CDocTemplate::ID_FILE_SAVE, CDocTemplate::ID_FILE_SAVE_AS}) {
        EXPECT_TRUE(m_doc->IsCommandEnabled(id)) << id;
    }

    m_answer = Path(QStringLiteral("first"));
    ASSERT_TRUE(m_doc->OnCommand(CDocTemplate::ID_FILE_SAVE_AS));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("first.tsl"))));
    ASSERT_TRUE(m_doc->OnCommand(CDocTemplate::ID_FILE_CLOSE));
    EXPECT_TRUE(m_doc->Documents().isEmpty());
    m_answer = Path(QStringLiteral("first.tsl"));
    ASSERT_TRUE(m_doc->OnCommand(CDocTemplate::ID_FILE_OPEN));
    EXPECT_EQ(m_doc->ActiveTitle(), QStringLiteral("first.tsl"));
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(DocumentsTest, SaveWritesZeroBytesOverAnyFile) {
    struct Case {
        const char* name;
        std::optional<QByteArray> before;
    };
    const Case cases[] = {
        {"new.tsl", std::nullopt},
        {"empty.tsl", QByteArray()},
        {"text.tsl", QByteArrayLiteral("some earlier content\n")},
        {"large.bin", QByteArray(1 << 20, '\x5a')},
    };
    for (const Case& c : cases) {
        const QString name = QString::fromUtf8(c.name);
        const QString path = Path(name);
        if (c.before) {
            ASSERT_TRUE(WriteFile(path, *c.before));
        }
        CTessalineDoc* doc = m_doc->NewDocument();
        ASSERT_TRUE(m_doc->SaveDocument(doc, path)) << c.name;
        EXPECT_TRUE(QFileInfo(path).isFile()) << c.name;
        EXPECT_EQ(SizeOf(path), 0) << c.name;
        EXPECT_EQ(doc->PathName(), QFileInfo(path).absoluteFilePath());
        EXPECT_EQ(doc->Title(), name);
        EXPECT_EQ(m_area->currentSubWindow()->windowTitle(), name);

        // Reopened after closing: an empty window titled with the file's name.
        ASSERT_TRUE(m_doc->CloseActive());
        CTessalineDoc* again = m_doc->OpenDocumentFile(path);
        ASSERT_NE(again, nullptr) << c.name;
        EXPECT_EQ(again->Title(), name);
        auto* frame = qobject_cast<CChildFrame*>(m_area->currentSubWindow());
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->View()->count(), 0);
        EXPECT_EQ(frame->windowTitle(), name);
    }
    EXPECT_TRUE(m_messages.isEmpty()) << m_messages.join(u'|').toStdString();
}

TEST_F(DocumentsTest, SaveFailuresAreToldWithTheSystemsReasonAndNeverBlock) {
    const Watchdog watchdog(20);
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("folder")));
    const QString fifo = Path(QStringLiteral("pipe"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Case {
        QString path;
        int error;
    };
    const Case cases[] = {
        {Path(QStringLiteral("missing/doc.tsl")), ENOENT},
        {Path(QStringLiteral("folder")), EISDIR},
        {fifo, ENXIO},  // a FIFO nobody reads
        {QString(), ENOENT},
    };
    CTessalineDoc* doc = m_doc->NewDocument();
    QSignalSpy titles(m_doc.operator->(), &CDocTemplate::ActiveTitleChanged);
    for (const Case& c : cases) {
        m_messages.clear();
        EXPECT_FALSE(m_doc->SaveDocument(doc, c.path)) << c.path.toStdString();
        ASSERT_EQ(m_messages.size(), 1) << c.path.toStdString();
        EXPECT_TRUE(m_messages[0].contains(SystemText(c.error))) << m_messages[0].toStdString();
        EXPECT_EQ(m_doc->LastError(), m_messages[0]);
        EXPECT_TRUE(doc->PathName().isEmpty());
        EXPECT_EQ(doc->Title(), QStringLiteral("Tessaline1"));
    }
    EXPECT_EQ(titles.count(), 0);
}

TEST_F(DocumentsTest, SaveAsAsksForANameAndAppendsTheExtension) {
    CTessalineDoc* doc = m_doc->NewDocument();
    QSignalSpy titles(m_doc.operator->(), &CDocTemplate::ActiveTitleChanged);

    // Cancelled: nothing is written, nothing changes.
    m_answer.clear();
    m_doc->OnFileSaveAs();
    EXPECT_EQ(m_prompts, QStringList{CDocTemplate::FileDialogFilter()});
    EXPECT_EQ(m_saveStart, QStringLiteral("Tessaline1.tsl"));
    EXPECT_TRUE(doc->PathName().isEmpty());
    EXPECT_TRUE(QDir(m_dir.path()).isEmpty());

    m_answer = Path(QStringLiteral("report"));
    m_doc->OnFileSaveAs();
    const QString saved = Path(QStringLiteral("report.tsl"));
    EXPECT_TRUE(QFileInfo(saved).isFile());
    EXPECT_EQ(SizeOf(saved), 0);
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("report"))));
    EXPECT_EQ(doc->Title(), QStringLiteral("report.tsl"));
    ASSERT_EQ(titles.count(), 1);
    EXPECT_EQ(titles[0][0].toString(), QStringLiteral("report.tsl"));

    // A name with an extension is kept as chosen.
    m_answer = Path(QStringLiteral("notes.txt"));
    m_doc->OnFileSaveAs();
    EXPECT_TRUE(QFileInfo(Path(QStringLiteral("notes.txt"))).isFile());
    EXPECT_EQ(doc->Title(), QStringLiteral("notes.txt"));
    EXPECT_EQ(m_saveStart, QFileInfo(saved).absoluteFilePath());
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(DocumentsTest, SaveAsksForANameOnlyWhenTheDocumentHasNoPath) {
    CTessalineDoc* doc = m_doc->NewDocument();
    m_answer = Path(QStringLiteral("first"));
    m_doc->OnFileSave();
    ASSERT_EQ(m_prompts.size(), 1);
    const QString saved = Path(QStringLiteral("first.tsl"));
    ASSERT_EQ(doc->PathName(), QFileInfo(saved).absoluteFilePath());

    // Saved again to its own path, without asking, truncating what is there.
    ASSERT_TRUE(WriteFile(saved, QByteArrayLiteral("written by someone else")));
    m_doc->OnFileSave();
    EXPECT_EQ(m_prompts.size(), 1);
    EXPECT_EQ(SizeOf(saved), 0);
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(DocumentsTest, AnyFileThatCanBeOpenedForReadingOpensWithoutBeingRead) {
    const Watchdog watchdog(20);
    const QString binary = Path(QStringLiteral("data.bin"));
    QByteArray bytes;
    for (int i = 0; i < 4096; ++i) bytes.append(static_cast<char>(i & 0xff));
    ASSERT_TRUE(WriteFile(binary, bytes));
    const QString plain = Path(QStringLiteral("README"));
    ASSERT_TRUE(WriteFile(plain, QByteArrayLiteral("not a document at all\n")));
    const QString tsl = Path(QStringLiteral("saved.tsl"));
    ASSERT_TRUE(WriteFile(tsl, QByteArray()));
    const QString huge = Path(QStringLiteral("huge.img"));
    ASSERT_TRUE(WriteFile(huge, QByteArray()));
    ASSERT_EQ(truncate(QFile::encodeName(huge).constData(), off_t{4} << 30), 0);  // 4 GiB, sparse
    const QString fifo = Path(QStringLiteral("pipe.tsl"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);  // no writer: reading would wait
    // A FIFO holding data: whatever is read from it is gone.
    const QString fullFifo = Path(QStringLiteral("full pipe"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fullFifo).constData(), 0600), 0);
    const int pipeEnd = open(QFile::encodeName(fullFifo).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipeEnd, 0);
    ASSERT_EQ(write(pipeEnd, "queued", 6), 6);

    const QString paths[] = {binary, plain, tsl, huge, fifo, fullFifo, QStringLiteral("/dev/null")};
    for (const QString& path : paths) {
        QElapsedTimer timer;
        timer.start();
        CTessalineDoc* doc = m_doc->OpenDocumentFile(path);
        EXPECT_LT(timer.elapsed(), 2000) << path.toStdString();
        ASSERT_NE(doc, nullptr) << path.toStdString();
        EXPECT_EQ(doc->Title(), QFileInfo(path).fileName());
        EXPECT_EQ(doc->PathName(), QFileInfo(path).absoluteFilePath());
        EXPECT_EQ(m_doc->ActiveDocument(), doc);
    }
    EXPECT_EQ(m_doc->Documents().size(), 7);
    char left[16] = {};
    EXPECT_EQ(read(pipeEnd, left, sizeof left), 6);
    close(pipeEnd);
    EXPECT_EQ(QFileInfo(huge).size(), qint64{4} << 30);
    EXPECT_EQ(QFileInfo(binary).size(), 4096);  // opening never writes
    EXPECT_TRUE(m_messages.isEmpty()) << m_messages.join(u'|').toStdString();
}

TEST_F(DocumentsTest, FilesThatCannotBeOpenedAreToldWithTheSystemsReason) {
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("folder.tsl")));
    ASSERT_TRUE(WriteFile(Path(QStringLiteral("file")), QByteArray()));
    struct Case {
        QString path;
        int error;
    };
    const Case cases[] = {
        {Path(QStringLiteral("missing.tsl")), ENOENT},
        {Path(QStringLiteral("folder.tsl")), EISDIR},
        {m_dir.path(), EISDIR},
        {Path(QStringLiteral("file/below")), ENOTDIR},
        {QString(), ENOENT},
        // A zero character would end the name at "file", which exists.
        {Path(QStringLiteral("file")) + QChar(0) + QStringLiteral("x"), EINVAL},
    };
    m_doc->NewDocument();
    for (const Case& c : cases) {
        m_messages.clear();
        EXPECT_EQ(m_doc->OpenDocumentFile(c.path), nullptr) << c.path.toStdString();
        ASSERT_EQ(m_messages.size(), 1) << c.path.toStdString();
        EXPECT_TRUE(m_messages[0].contains(SystemText(c.error))) << m_messages[0].toStdString();
        EXPECT_EQ(m_doc->LastError(), m_messages[0]);
    }
    EXPECT_EQ(m_doc->Documents().size(), 1);
    EXPECT_EQ(m_doc->ActiveTitle(), QStringLiteral("Tessaline1"));
}

// A name given as bytes that are not valid in the file name encoding opens
// and saves the file it names: its text form, with replacement characters,
// names another file.
TEST_F(DocumentsTest, ANameInBytesOpensAndSavesTheFileItNames) {
    const QByteArray dir = QFile::encodeName(m_dir.path());
    const QByteArray name = "caf\xe9 \xff-\xc3(.tsl";
    const QByteArray file = dir + '/' + name;
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    // The temporary directory cannot remove a name it cannot decode.
    const std::unique_ptr<const char, void (*)(const char*)> removed(file.constData(),
                                                                     [](const char* path) { ::unlink(path); });
    ASSERT_EQ(::write(fd, "earlier", 7), 7);
    ::close(fd);

    CTessalineDoc* doc = m_doc->OpenNativeDocumentFile(file);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->NativePathName(), file);
    EXPECT_EQ(doc->PathName(), QFile::decodeName(file));
    EXPECT_EQ(doc->Title(), QFile::decodeName(name));
    {
        // The same file by a relative name is the same document.
        ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("sub")));
        const CurrentDir here(m_dir.path());
        EXPECT_EQ(m_doc->OpenNativeDocumentFile("./sub/../" + name), doc);
    }
    EXPECT_EQ(m_doc->Documents().size(), 1);

    // Saved to the bytes it was opened from, and to no other file.
    m_doc->OnFileSave();
    struct stat st {};
    ASSERT_EQ(::stat(file.constData(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    std::vector<std::string> names;  // as bytes: the toolkit skips names it cannot decode
    for (const auto& entry : std::filesystem::directory_iterator(dir.toStdString())) {
        names.push_back(entry.path().filename().string());
        if (names.size() > 16) break;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{name.toStdString(), "sub"}));
    EXPECT_TRUE(m_messages.isEmpty()) << m_messages.join(u'|').toStdString();

    EXPECT_EQ(m_doc->OpenNativeDocumentFile(dir + "/missing \xff"), nullptr);
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].contains(SystemText(ENOENT))) << m_messages[0].toStdString();
}

TEST_F(DocumentsTest, UnreadableFileIsToldAsPermissionDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    const QString path = Path(QStringLiteral("secret.tsl"));
    ASSERT_TRUE(WriteFile(path, QByteArrayLiteral("x")));
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), 0), 0);
    EXPECT_EQ(m_doc->OpenDocumentFile(path), nullptr);
    ASSERT_EQ(m_messages.size(), 1);
    EXPECT_TRUE(m_messages[0].contains(SystemText(EACCES))) << m_messages[0].toStdString();
}

TEST_F(DocumentsTest, OpenAsksForAFileAndOpensTheChosenOne) {
    const QString path = Path(QStringLiteral("chosen.dat"));
    ASSERT_TRUE(WriteFile(path, QByteArrayLiteral("\x7f"
                                                  "ELF")));
    m_answer.clear();
    m_doc->OnFileOpen();
    EXPECT_EQ(m_prompts, QStringList{CDocTemplate::FileDialogFilter()});
    EXPECT_TRUE(m_doc->Documents().isEmpty());

    m_answer = path;
    m_doc->OnFileOpen();
    EXPECT_EQ(m_doc->ActiveTitle(), QStringLiteral("chosen.dat"));
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(DocumentsTest, OpeningAnOpenFileAgainActivatesItsWindow) {
    const QString path = Path(QStringLiteral("once.tsl"));
    ASSERT_TRUE(WriteFile(path, QByteArray()));
    const QString link = Path(QStringLiteral("link.tsl"));
    ASSERT_TRUE(QFile::link(path, link));
    CTessalineDoc* first = m_doc->OpenDocumentFile(path);
    ASSERT_NE(first, nullptr);
    m_doc->NewDocument();
    EXPECT_EQ(m_doc->OpenDocumentFile(path), first);
    EXPECT_EQ(m_doc->ActiveDocument(), first);
    m_doc->NewDocument();
    EXPECT_EQ(m_doc->OpenDocumentFile(link), first);
    EXPECT_EQ(m_doc->Documents().size(), 3);
}

TEST_F(DocumentsTest, ClosingNeverAsks) {
    Show();
    const QString path = Path(QStringLiteral("opened.tsl"));
    ASSERT_TRUE(WriteFile(path, QByteArray()));
    m_doc->NewDocument();
    m_doc->OpenDocumentFile(path);
    CTessalineDoc* last = m_doc->NewDocument();
    QPointer<CTessalineDoc> watched(last);
    QSignalSpy titles(m_doc.operator->(), &CDocTemplate::ActiveTitleChanged);

    EXPECT_TRUE(m_doc->CloseActive());
    FlushDeletes();
    EXPECT_TRUE(watched.isNull());  // the window took its document with it
    EXPECT_EQ(m_doc->Documents().size(), 2);
    ASSERT_NE(m_doc->ActiveDocument(), nullptr);

    // The window's own close, as its tab's button does it.
    ASSERT_TRUE(m_area->currentSubWindow()->close());
    FlushDeletes();
    EXPECT_EQ(m_doc->Documents().size(), 1);
    m_doc->OnFileClose();
    FlushDeletes();
    EXPECT_TRUE(m_doc->Documents().isEmpty());
    EXPECT_FALSE(m_doc->CloseActive());
    EXPECT_EQ(m_doc->ActiveTitle(), QString());
    ASSERT_GE(titles.count(), 1);
    EXPECT_EQ(titles.back()[0].toString(), QString());
    EXPECT_TRUE(m_messages.isEmpty());
    EXPECT_TRUE(m_prompts.isEmpty());
}

TEST_F(DocumentsTest, ActiveTitleFollowsTheActiveWindow) {
    Show();
    QSignalSpy titles(m_doc.operator->(), &CDocTemplate::ActiveTitleChanged);
    CTessalineDoc* first = m_doc->NewDocument();
    m_doc->NewDocument();
    ASSERT_EQ(titles.count(), 2);
    EXPECT_EQ(titles[0][0].toString(), QStringLiteral("Tessaline1"));
    EXPECT_EQ(titles[1][0].toString(), QStringLiteral("Tessaline2"));

    m_area->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(first->parent()));
    ASSERT_EQ(titles.count(), 3);
    EXPECT_EQ(titles[2][0].toString(), QStringLiteral("Tessaline1"));
    EXPECT_EQ(m_doc->ActiveTitle(), QStringLiteral("Tessaline1"));

    // Saved under a new name: the title changes with it.
    ASSERT_TRUE(m_doc->SaveDocument(first, Path(QStringLiteral("renamed.tsl"))));
    ASSERT_EQ(titles.count(), 4);
    EXPECT_EQ(titles[3][0].toString(), QStringLiteral("renamed.tsl"));
}

TEST_F(DocumentsTest, DroppedLocalFilesOpen) {
    const QString a = Path(QStringLiteral("a.tsl"));
    const QString b = Path(QStringLiteral("b b.log"));
    ASSERT_TRUE(WriteFile(a, QByteArray()));
    ASSERT_TRUE(WriteFile(b, QByteArrayLiteral("log")));

    QMimeData remoteOnly;
    remoteOnly.setUrls({QUrl(QStringLiteral("https://example.org/c.tsl"))});
    EXPECT_FALSE(m_doc->OpenDroppedUrls(&remoteOnly));
    QMimeData text;
    text.setText(a);
    EXPECT_FALSE(m_doc->OpenDroppedUrls(&text));
    EXPECT_FALSE(m_doc->OpenDroppedUrls(nullptr));
    EXPECT_TRUE(m_doc->Documents().isEmpty());

    QMimeData mixed;
    mixed.setUrls({QUrl::fromLocalFile(a), QUrl(QStringLiteral("https://example.org/c.tsl")), QUrl::fromLocalFile(b),
                   QUrl::fromLocalFile(Path(QStringLiteral("gone.tsl")))});
    EXPECT_TRUE(m_doc->OpenDroppedUrls(&mixed));
    QStringList titles;
    for (const CTessalineDoc* doc : m_doc->Documents()) titles.append(doc->Title());
    EXPECT_EQ(titles, (QStringList{QStringLiteral("a.tsl"), QStringLiteral("b b.log")}));
    EXPECT_EQ(m_messages.size(), 1);  // the missing one
}

TEST_F(DocumentsTest, WindowHoldsAtLeastTheSmallestClientArea) {
    Show();
    m_doc->NewDocument();
    auto* frame = qobject_cast<CChildFrame*>(m_area->currentSubWindow());
    ASSERT_NE(frame, nullptr);
    frame->showNormal();
    QCoreApplication::processEvents();
    const QSize smallest(kDocumentMinWidth, kDocumentMinHeight);
    EXPECT_EQ(frame->minimumSize(), frame->minimumSizeHint());

    // Any smaller size is refused; what is left is exactly the client area.
    for (const QSize& asked : {QSize(0, 0), QSize(100, 50), QSize(249, 400), QSize(400, 99)}) {
        frame->resize(asked);
        QCoreApplication::processEvents();
        EXPECT_GE(frame->width(), frame->minimumWidth());
        EXPECT_GE(frame->height(), frame->minimumHeight());
        EXPECT_GE(frame->View()->width(), smallest.width());
        EXPECT_GE(frame->View()->height(), smallest.height());
    }
    frame->resize(0, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(frame->View()->size(), smallest);
    EXPECT_GT(frame->width(), smallest.width());    // the border around it
    EXPECT_GT(frame->height(), smallest.height());  // and the title bar above it

    frame->resize(600, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(frame->size(), QSize(600, 400));
}

// ------------------------------------------------------------ tabbed area

class TabbedAreaTest : public DocumentsTest {
protected:
    void SetUp() override {
        DocumentsTest::SetUp();
        // An icon for every window that sets none of its own.
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::red);
        QApplication::setWindowIcon(QIcon(pixmap));
        ConfigureTabbedArea(m_area);
        Show();
    }
    void TearDown() override {
        DocumentsTest::TearDown();
        QApplication::setWindowIcon(QIcon());
    }

    QTabBar* TabBar() const { return m_area->findChild<QTabBar*>(QString(), Qt::FindDirectChildrenOnly); }
    QToolButton* MenuButton() const { return m_area->findChild<QToolButton*>(QStringLiteral("documentMenuButton")); }
    static void Settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    static bool CloseButtonShown(QTabBar* bar, int index) {
        for (const QTabBar::ButtonPosition side : {QTabBar::LeftSide, QTabBar::RightSide}) {
            if (QWidget* button = bar->tabButton(index, side); button && button->isVisibleTo(bar)) return true;
        }
        return false;
    }
};

TEST_F(TabbedAreaTest, TabsAreClosableMovableAndWithoutIcons) {
    EXPECT_EQ(m_area->viewMode(), QMdiArea::TabbedView);
    EXPECT_TRUE(m_area->tabsClosable());
    EXPECT_TRUE(m_area->tabsMovable());
    EXPECT_TRUE(m_area->documentMode());
    for (int i = 0; i < 3; ++i) m_doc->NewDocument();
    Settle();
    QTabBar* bar = TabBar();
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(bar->count(), 3);
    EXPECT_TRUE(bar->tabsClosable());
    EXPECT_TRUE(bar->isMovable());
    for (int i = 0; i < bar->count(); ++i) {
        EXPECT_TRUE(bar->tabIcon(i).isNull()) << i;
        EXPECT_EQ(bar->tabText(i), QStringLiteral("Tessaline%1").arg(i + 1));
    }
    EXPECT_TRUE(m_area->currentSubWindow()->isMaximized());
}

TEST_F(TabbedAreaTest, OnlyTheActiveTabShowsItsCloseButton) {
    for (int i = 0; i < 3; ++i) m_doc->NewDocument();
    Settle();
    QTabBar* bar = TabBar();
    ASSERT_NE(bar, nullptr);
    for (int current : {2, 0, 1}) {
        bar->setCurrentIndex(current);
        Settle();
        EXPECT_EQ(m_area->currentSubWindow(), m_area->subWindowList()[current]);
        for (int i = 0; i < bar->count(); ++i) EXPECT_EQ(CloseButtonShown(bar, i), i == current) << current << i;
    }

    // Moved tabs keep the rule; the active tab's button closes without asking.
    bar->moveTab(1, 2);
    Settle();
    for (int i = 0; i < bar->count(); ++i) EXPECT_EQ(CloseButtonShown(bar, i), i == bar->currentIndex()) << i;
    QWidget* close = bar->tabButton(bar->currentIndex(), QTabBar::RightSide);
    if (!close) close = bar->tabButton(bar->currentIndex(), QTabBar::LeftSide);
    auto* button = qobject_cast<QAbstractButton*>(close);
    ASSERT_NE(button, nullptr);
    button->click();
    FlushDeletes();
    Settle();
    EXPECT_EQ(m_doc->Documents().size(), 2);
    ASSERT_EQ(bar->count(), 2);
    for (int i = 0; i < bar->count(); ++i) EXPECT_EQ(CloseButtonShown(bar, i), i == bar->currentIndex()) << i;
    EXPECT_TRUE(m_messages.isEmpty());
}

TEST_F(TabbedAreaTest, DocumentMenuListsTheDocumentsAndActivatesTheChosenOne) {
    const QString path = Path(QStringLiteral("R&D.tsl"));
    ASSERT_TRUE(WriteFile(path, QByteArray()));
    m_doc->NewDocument();
    m_doc->OpenDocumentFile(path);
    m_doc->NewDocument();
    Settle();
    QTabBar* bar = TabBar();
    QToolButton* button = MenuButton();
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->isVisible());

    // At the right end of the tab area, beside the tab bar, not over it.
    EXPECT_EQ(button->geometry().right(), m_area->width() - 1);
    EXPECT_EQ(bar->geometry().right() + 1, button->geometry().left());
    EXPECT_EQ(button->geometry().top(), bar->geometry().top());
    EXPECT_EQ(button->height(), bar->height());

    // And there again after the area changes size.
    m_window.resize(640, 480);
    Settle();
    EXPECT_EQ(button->geometry().right(), m_area->width() - 1);
    EXPECT_EQ(bar->geometry().right() + 1, button->geometry().left());

    button->click();
    auto* menu = button->findChild<QMenu*>(QStringLiteral("documentMenu"));
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->isVisible());
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    const QStringList shown = {QStringLiteral("Tessaline1"), QStringLiteral("R&D.tsl"), QStringLiteral("Tessaline2")};
    for (int i = 0; i < 3; ++i) {
        QString text = actions[i]->text();
        EXPECT_EQ(text.replace(QStringLiteral("&&"), QStringLiteral("&")), shown[i]) << i;
        EXPECT_EQ(actions[i]->isChecked(), i == 2) << i;
    }
    actions[1]->trigger();
    menu->hide();
    Settle();
    EXPECT_EQ(m_doc->ActiveTitle(), QStringLiteral("R&D.tsl"));
    EXPECT_EQ(bar->currentIndex(), 1);
}

TEST_F(TabbedAreaTest, MenuButtonShowsOnlyBesideTabs) {
    QToolButton* button = MenuButton();
    ASSERT_NE(button, nullptr);
    Settle();
    EXPECT_FALSE(button->isVisible());  // no document, no tab
    m_doc->NewDocument();
    Settle();
    EXPECT_TRUE(button->isVisible());

    m_area->setViewMode(QMdiArea::SubWindowView);
    Settle();
    EXPECT_FALSE(button->isVisible());
    m_area->setViewMode(QMdiArea::TabbedView);
    Settle();
    ASSERT_TRUE(button->isVisible());
    EXPECT_EQ(TabBar()->geometry().right() + 1, button->geometry().left());

    m_doc->CloseActive();
    FlushDeletes();
    Settle();
    EXPECT_FALSE(button->isVisible());
}

TEST_F(TabbedAreaTest, ConfiguringTwiceAddsNoSecondMenuButton) {
    ConfigureTabbedArea(m_area);
    m_doc->NewDocument();
    Settle();
    EXPECT_EQ(m_area->findChildren<QToolButton*>(QStringLiteral("documentMenuButton")).size(), 1);
}

// ------------------------------------------------------ desktop registration

// Undoes the escapes of a desktop entry string value, then splits the Exec
// value into its arguments, with quoting undone and field codes expanded:
// what a launcher runs, "<f>" standing for the file.
QStringList ExecArguments(const QString& value) {
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            switch (const QChar next = value[++i]; next.unicode()) {
                case u's': text += u' '; break;
                case u'n': text += u'\n'; break;
                case u't': text += u'\t'; break;
                case u'r': text += u'\r'; break;
                case u'\\': text += u'\\'; break;
                default: text += QString(u'\\') + next; break;
            }
        } else {
            text += value[i];
        }
    }
    QStringList arguments;
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == u' ') ++i;
        if (i == text.size()) break;
        QString argument;
        if (text[i] == u'"') {
            // Inside quotes a double quote, a backquote, a dollar sign and a
            // backslash stand only escaped, and nothing else is.
            const QString reserved = QStringLiteral("\"`$\\");
            for (++i; i < text.size() && text[i] != u'"'; ++i) {
                if (text[i] == u'\\' && i + 1 < text.size()) {
                    ++i;
                    if (!reserved.contains(text[i])) argument += QStringLiteral("<bad escape>");
                } else if (reserved.contains(text[i])) {
                    argument += QStringLiteral("<unescaped>");
                }
                argument += text[i];
            }
            ++i;
        } else {
            for (; i < text.size() && text[i] != u' '; ++i) argument += text[i];
        }
        // Field codes expanded: "%%" to "%", any other "%c" to "<c>".
        QString expanded;
        for (qsizetype k = 0; k < argument.size(); ++k) {
            if (argument[k] == u'%' && k + 1 < argument.size()) {
                const QChar code = argument[++k];
                expanded += code == u'%' ? QString(u'%') : QStringLiteral("<%1>").arg(code);
            } else {
                expanded += argument[k];
            }
        }
        arguments.append(expanded);
    }
    return arguments;
}

class ShellRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_root.isValid());
        for (const char* name : {"PATH", "HOME", "XDG_DATA_HOME"}) {
            m_saved.append({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
        }
        // Stand-ins for the cache builders, which log how they were called.
        const QString tools = m_root.filePath(QStringLiteral("tools"));
        ASSERT_TRUE(QDir().mkpath(tools));
        m_log = m_root.filePath(QStringLiteral("tools.log"));
        for (const char* tool : {"update-mime-database", "update-desktop-database"}) {
            const QString script = tools + QLatin1Char('/') + QLatin1String(tool);
            ASSERT_TRUE(WriteFile(
                script,
                QStringLiteral("#!/bin/sh\necho \"%1 $*\" >> '%2'\n").arg(QLatin1String(tool), m_log).toUtf8()));
            ASSERT_TRUE(QFile::setPermissions(
                script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        }
        qputenv("PATH", QFile::encodeName(tools));
        m_home = m_root.filePath(QStringLiteral("home"));
        m_data = m_root.filePath(QStringLiteral("data"));
        ASSERT_TRUE(QDir().mkpath(m_home));
        qputenv("HOME", QFile::encodeName(m_home));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
    }
    void TearDown() override {
        for (const Saved& saved : m_saved) {
            if (saved.set)
                qputenv(saved.name, saved.value);
            else
                qunsetenv(saved.name);
        }
    }

    QString MimeFile(const QString& dataHome) const {
        return dataHome + QStringLiteral("/mime/packages/tessaline-document.xml");
    }
    QString DesktopFile(const QString& dataHome) const {
        return dataHome + QStringLiteral("/applications/tessaline.desktop");
    }
    static QByteArray Read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QStringList ToolRuns() const { return QString::fromUtf8(Read(m_log)).split(u'\n', Qt::SkipEmptyParts); }
    // Waits until the detached tools have logged `count` runs.
    bool WaitForRuns(int count) const {
        return QTest::qWaitFor([&] { return ToolRuns().size() >= count; }, 10000);
    }
    static QString ExecLine(const QByteArray& entry) {
        for (const QString& line : QString::fromUtf8(entry).split(u'\n')) {
            if (line.startsWith(QStringLiteral("Exec="))) return line.mid(5);
        }
        return {};
    }
    struct FileId {
        ino_t inode;
        timespec modified;
    };
    static FileId IdOf(const QString& path) {
        struct stat st {};
        stat(QFile::encodeName(path).constData(), &st);
        return {st.st_ino, st.st_mtim};
    }
    static bool Same(const FileId& a, const FileId& b) {
        return a.inode == b.inode && a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
    }

    struct Saved {
        const char* name;
        bool set;
        QByteArray value;
    };
    QList<Saved> m_saved;
    QTemporaryDir m_root;
    QString m_log;
    QString m_home;
    QString m_data;
};

TEST_F(ShellRegistrationTest, WritesTheMimeTypeAndTheApplicationEntry) {
    const QString program = QStringLiteral("/opt/Tessaline Apps/bin/tessaline");
    ASSERT_TRUE(RegisterShellFileTypes(program));

    EXPECT_EQ(Read(MimeFile(m_data)),
              QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                                "  <mime-type type=\"application/x-tessaline-document\">\n"
                                "    <comment>Tessaline.Document</comment>\n"
                                "    <glob pattern=\"*.tsl\"/>\n"
                                "  </mime-type>\n"
                                "</mime-info>\n"));
    EXPECT_EQ(Read(DesktopFile(m_data)), QByteArrayLiteral("[Desktop Entry]\n"
                                                           "Type=Application\n"
                                                           "Name=Tessaline\n"
                                                           "Exec=\"/opt/Tessaline Apps/bin/tessaline\" %f\n"
                                                           "MimeType=application/x-tessaline-document;\n"
                                                           "Terminal=false\n"
                                                           "Categories=Network;System;Monitor;\n"));
    const QFileDevice::Permissions readable = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    EXPECT_EQ(QFileInfo(DesktopFile(m_data)).permissions() & readable, readable);

    // Both caches rebuilt, each for its own directory.
    ASSERT_TRUE(WaitForRuns(2));
    QStringList runs = ToolRuns();
    runs.sort();
    EXPECT_EQ(runs, (QStringList{QStringLiteral("update-desktop-database ") + m_data + QStringLiteral("/applications"),
                                 QStringLiteral("update-mime-database ") + m_data + QStringLiteral("/mime")}));

    // Nothing but the two files and the cache builders' log beside them.
    QStringList written;
    QDirIterator it(m_root.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) written.append(QDir(m_root.path()).relativeFilePath(it.next()));
    written.sort();
    EXPECT_EQ(written, (QStringList{QStringLiteral("data/applications/tessaline.desktop"),
                                    QStringLiteral("data/mime/packages/tessaline-document.xml"),
                                    QStringLiteral("tools.log"), QStringLiteral("tools/update-desktop-database"),
                                    QStringLiteral("tools/update-mime-database")}));
}

TEST_F(ShellRegistrationTest, ExecStartsTheProgramWhateverItsPathHolds) {
    const char* const programs[] = {
        "/usr/bin/tessaline",   "/opt/my apps/tessaline",  "/opt/a\"b/tessaline",   "/opt/$HOME/tessaline",
        "/opt/`id`/tessaline",  "/opt/back\\slash/prog",   "/opt/100%/tessaline",   "/opt/%f/tessaline",
        "/opt/semi;colon/prog", "/opt/new\nline/prog",     "/opt/tab\there/prog",   "/opt/'single'/prog",
        "/opt/Ünïcødé/prog",    "/opt/=equals/#hash/prog", "/opt/(paren)&amp/prog", "/opt/~tilde/*star?/prog",
    };
    for (const char* program : programs) {
        const QString path = QString::fromUtf8(program);
        const QString value = DesktopExecValue(path);
        EXPECT_FALSE(value.contains(u'\n')) << program;
        EXPECT_EQ(ExecArguments(value), (QStringList{path, QStringLiteral("<f>")})) << program;
    }

    // And in the written file too.
    const QString program = QStringLiteral("/opt/My $Apps/te\"ssa\\line");
    ASSERT_TRUE(RegisterShellFileTypes(program));
    EXPECT_EQ(ExecArguments(ExecLine(Read(DesktopFile(m_data)))), (QStringList{program, QStringLiteral("<f>")}));
    EXPECT_TRUE(WaitForRuns(2));
}

TEST_F(ShellRegistrationTest, UnchangedFilesAreNeitherRewrittenNorRebuilt) {
    const QString program = QStringLiteral("/usr/bin/tessaline");
    ASSERT_TRUE(RegisterShellFileTypes(program));
    ASSERT_TRUE(WaitForRuns(2));
    const FileId mime = IdOf(MimeFile(m_data));
    const FileId desktop = IdOf(DesktopFile(m_data));

    ASSERT_TRUE(RegisterShellFileTypes(program));
    EXPECT_TRUE(Same(IdOf(MimeFile(m_data)), mime));
    EXPECT_TRUE(Same(IdOf(DesktopFile(m_data)), desktop));
    QTest::qWait(300);
    EXPECT_EQ(ToolRuns().size(), 2);

    // A new program path rewrites the entry alone, and rebuilds its cache
    // alone.
    ASSERT_TRUE(RegisterShellFileTypes(QStringLiteral("/usr/local/bin/tessaline")));
    EXPECT_TRUE(Same(IdOf(MimeFile(m_data)), mime));
    EXPECT_FALSE(Same(IdOf(DesktopFile(m_data)), desktop));
    EXPECT_EQ(ExecLine(Read(DesktopFile(m_data))), QStringLiteral("\"/usr/local/bin/tessaline\" %f"));
    ASSERT_TRUE(WaitForRuns(3));
    QTest::qWait(300);
    const QStringList runs = ToolRuns();
    ASSERT_EQ(runs.size(), 3);
    EXPECT_TRUE(runs[2].startsWith(QStringLiteral("update-desktop-database "))) << runs[2].toStdString();

    // A damaged file is put right.
    ASSERT_TRUE(WriteFile(MimeFile(m_data), QByteArrayLiteral("<mime-info/>")));
    ASSERT_TRUE(RegisterShellFileTypes(QStringLiteral("/usr/local/bin/tessaline")));
    EXPECT_TRUE(Read(MimeFile(m_data)).contains("*.tsl"));
    EXPECT_TRUE(WaitForRuns(4));
}

TEST_F(ShellRegistrationTest, DataHomeDefaultsToTheHomesLocalShare) {
    struct Case {
        std::optional<QByteArray> xdg;
        bool inHome;
    };
    const Case cases[] = {
        {std::nullopt, true},
        {QByteArray(), true},
        {QByteArrayLiteral("relative/data"), true},  // relative paths are ignored
        {QFile::encodeName(m_data), false},
    };
    const QString local = m_home + QStringLiteral("/.local/share");
    // Relative to a directory of the test's own, where nothing may appear.
    const CurrentDir inRoot(m_root.path());
    for (const Case& c : cases) {
        QDir(m_home).removeRecursively();
        QDir(m_data).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(m_home));
        if (c.xdg)
            qputenv("XDG_DATA_HOME", *c.xdg);
        else
            qunsetenv("XDG_DATA_HOME");
        ASSERT_TRUE(RegisterShellFileTypes(QStringLiteral("/usr/bin/tessaline")));
        const QString used = c.inHome ? local : m_data;
        const QString unused = c.inHome ? m_data : local;
        EXPECT_TRUE(QFileInfo(MimeFile(used)).isFile()) << used.toStdString();
        EXPECT_TRUE(QFileInfo(DesktopFile(used)).isFile()) << used.toStdString();
        EXPECT_FALSE(QFileInfo::exists(unused)) << unused.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(m_root.filePath(QStringLiteral("relative"))));
    EXPECT_TRUE(WaitForRuns(8));
}

TEST_F(ShellRegistrationTest, ALinkInPlaceIsReplacedNotWrittenThrough) {
    const QString outside = m_root.filePath(QStringLiteral("outside.desktop"));
    ASSERT_TRUE(WriteFile(outside, QByteArrayLiteral("someone else's\n")));
    ASSERT_TRUE(QDir().mkpath(m_data + QStringLiteral("/applications")));
    ASSERT_TRUE(QFile::link(outside, DesktopFile(m_data)));

    ASSERT_TRUE(RegisterShellFileTypes(QStringLiteral("/usr/bin/tessaline")));
    EXPECT_EQ(Read(outside), QByteArrayLiteral("someone else's\n"));
    EXPECT_FALSE(QFileInfo(DesktopFile(m_data)).isSymLink());
    EXPECT_TRUE(Read(DesktopFile(m_data)).startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(WaitForRuns(2));
}

TEST_F(ShellRegistrationTest, FailuresReturnFalse) {
    // A data home below a regular file cannot be made.
    const QString file = m_root.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(WriteFile(file, QByteArray()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(file + QStringLiteral("/data")));
    EXPECT_FALSE(RegisterShellFileTypes(QStringLiteral("/usr/bin/tessaline")));

    // A directory where the entry goes cannot be replaced.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
    ASSERT_TRUE(QDir().mkpath(DesktopFile(m_data)));
    EXPECT_FALSE(RegisterShellFileTypes(QStringLiteral("/usr/bin/tessaline")));
    EXPECT_TRUE(QFileInfo(DesktopFile(m_data)).isDir());
    QStringList left = QDir(m_data + QStringLiteral("/applications"))
                           .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_EQ(left, QStringList{QStringLiteral("tessaline.desktop")});  // no temporary file left behind
    EXPECT_TRUE(WaitForRuns(1));                                        // the MIME type, written before

    // No home at all, or no program.
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("HOME");
    EXPECT_FALSE(RegisterShellFileTypes(QStringLiteral("/usr/bin/tessaline")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data + QStringLiteral("2")));
    EXPECT_FALSE(RegisterShellFileTypes(QString()));
    EXPECT_FALSE(QFileInfo::exists(m_data + QStringLiteral("2")));
}

}  // namespace
