// The ".tsl" file type registered with the desktop for the current user: a
// MIME type for "*.tsl" files and an application entry that opens them.
#pragma once

#include <QString>

inline constexpr char kDocumentMimeType[] = "application/x-tessaline-document";

// Writes $XDG_DATA_HOME/mime/packages/tessaline-document.xml and
// $XDG_DATA_HOME/applications/tessaline.desktop (XDG_DATA_HOME, when unset,
// empty or relative, is ~/.local/share), each atomically and only when its
// content differs, then refreshes the desktop's caches of what changed with
// update-mime-database and update-desktop-database, started without waiting,
// when they are on PATH. Writes nothing elsewhere. False on any failure; it
// tells nobody.
bool RegisterShellFileTypes(const QString& executablePath);

// Whether this program runs from a build folder, its window module beside
// it, rather than installed (the module in ../lib/tessaline, its menu entry
// and file type from its package).
bool StartedFromBuildFolder();

// The Exec value of the application entry: the program's path quoted for
// the desktop entry format, and the file to open.
QString DesktopExecValue(const QString& executablePath);
