// Tessaline: the window, or one report printed with --print.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Display.h"
#include "PlainMainWindow.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const CommandLine cl = ParseCommandLine(args);
    switch (cl.action) {
        case CommandLine::Action::Error:
            std::fprintf(stderr, "tessaline: %s\nTry 'tessaline --help'.\n", cl.error.c_str());
            return 2;
        case CommandLine::Action::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case CommandLine::Action::Version:
            std::puts("Tessaline 2.1");
            return 0;
        case CommandLine::Action::Print:
            return PrintReports(cl.kinds, stdout, stderr);
        case CommandLine::Action::Window:
            break;
    }

    std::string reason;
    if (!DisplayAvailable(reason)) {
        std::fprintf(stderr,
                     "tessaline: %s; the window needs a graphical display.\n"
                     "Use 'tessaline --print all' to print the reports as text.\n",
                     reason.c_str());
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaline"));
    PlainMainWindow window;
    window.show();
    return QApplication::exec();
}
