// The window, in a module of its own that the program loads only when it
// opens a window: printing a report then never loads the toolkit.
#include <QApplication>

#include "PlainMainWindow.h"

extern "C" __attribute__((visibility("default"))) int TessalineRunWindow(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaline"));
    PlainMainWindow window;
    window.show();
    return QApplication::exec();
}
