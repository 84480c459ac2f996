// The window, in a module of its own that the program loads only when it
// opens a window: printing a report then never loads the toolkit.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArrayList>
#include <QSocketNotifier>
#include <QTimer>
#include <array>

#include "CMainFrame.h"
#include "CTessalineApp.h"

namespace {

// The signals that end the window as a user or the session asks (kill, a
// logout's hang-up, Ctrl+C in its terminal).
constexpr std::array<int, 3> kQuitSignals = {SIGTERM, SIGHUP, SIGINT};

// The pipe the handler writes to; the event loop reads the other end.
int g_quitPipe[2] = {-1, -1};

// Only what is safe in a signal handler: one write, errno kept.  The
// handler is then reset, so that a second signal ends a window whose loop
// no longer runs.
extern "C" void OnQuitSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = write(g_quitPipe[1], &number, 1);
    errno = saved;
}

// Ends the window through its event loop on the quit signals, so that it
// closes as by its Exit command (the layout and settings saved) and the
// program's own clean-up after the window (another host's folder and
// connection) runs.  The signals get their default action back when the
// window is gone.
class QuitOnSignals {
public:
    explicit QuitOnSignals(CTessalineApp& app) : m_app(app) {
        if (pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        m_notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, [this] { OnSignal(); });
        struct sigaction action {};
        action.sa_handler = OnQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        for (int signal : kQuitSignals) sigaction(signal, &action, nullptr);
    }
    ~QuitOnSignals() {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (int signal : kQuitSignals) sigaction(signal, &action, nullptr);
        delete m_notifier;
        for (int& end : g_quitPipe) {
            if (end >= 0) close(end);
            end = -1;
        }
    }
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

    // Whether a quit signal came (a window still being made is closed once
    // it is up).
    bool Signalled() const { return m_bSignalled; }
    // Closes the window if it is up; its close saves what it keeps.
    void CloseWindow() const {
        CMainFrame* frame = m_app.MainFrame();
        if (frame != nullptr && frame->isVisible() && !frame->IsClosing()) frame->close();
    }

private:
    void OnSignal() {
        unsigned char numbers[16];
        while (read(g_quitPipe[0], numbers, sizeof numbers) > 0) {
        }
        m_bSignalled = true;
        Quit();
    }
    void Quit() {
        // A window still being made is closed once it is up: by the loop of
        // a first start's About box, or after it is made.
        if (m_app.MainFrame() == nullptr || !m_app.MainFrame()->isVisible()) {
            QTimer::singleShot(20, m_notifier, [this] { Quit(); });
            return;
        }
        CloseWindow();
        // Every loop ends, a dialog's too.
        QCoreApplication::exit(0);
    }

    CTessalineApp& m_app;
    QSocketNotifier* m_notifier = nullptr;
    bool m_bSignalled = false;
};

}  // namespace

// Another host for the window to show, set by the program before
// TessalineRunWindow; the object outlives the window.
extern "C" __attribute__((visibility("default"))) void TessalineSetRemote(const remote::RemoteView* view) {
    CMainFrame::SetRemote(view);
}

// `file` is the document the command line named, as the bytes it was given
// (a name need not be valid in any encoding, and may start with '-'), or
// null.  The command line was checked before the window was asked for, so the
// toolkit sees none of it: an argument after "--" is a file, never one of the
// toolkit's own options.
extern "C" __attribute__((visibility("default"))) int TessalineRunWindow(int argc, char** argv, const char* file) {
    int toolkitArgc = argc > 0 ? 1 : 0;
    char* toolkitArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication app(toolkitArgc, toolkitArgv);
    CTessalineApp theApp;
    const QuitOnSignals quit(theApp);
    QByteArrayList files;
    if (file != nullptr) files << QByteArray(file);
    if (!theApp.InitInstance(files)) return 1;
    // A signal taken while the window was being made (or its first About
    // box was open) ends it now; the loop would not see it again.
    if (quit.Signalled()) {
        quit.CloseWindow();
        return 0;
    }
    return QApplication::exec();
}
