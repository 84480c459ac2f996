// The window, in a module of its own that the program loads only when it
// opens a window: printing a report then never loads the toolkit.
#include <QApplication>
#include <QByteArrayList>

#include "CMainFrame.h"
#include "CTessalineApp.h"

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
    QByteArrayList files;
    if (file != nullptr) files << QByteArray(file);
    if (!theApp.InitInstance(files)) return 1;
    return QApplication::exec();
}
