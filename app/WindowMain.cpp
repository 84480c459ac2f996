// The window, in a module of its own that the program loads only when it
// opens a window: printing a report then never loads the toolkit.
#include <QApplication>
#include <QStringList>

#include "CTessalineApp.h"

extern "C" __attribute__((visibility("default"))) int TessalineRunWindow(int argc, char** argv) {
    QApplication app(argc, argv);
    CTessalineApp theApp;
    // The command line was checked before the window was asked for: what is
    // not an option is the document to open.
    QStringList files;
    for (const QString& argument : QApplication::arguments().mid(1))
        if (!argument.startsWith(QLatin1Char('-'))) files << argument;
    if (!theApp.InitInstance(files)) return 1;
    return QApplication::exec();
}
