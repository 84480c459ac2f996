#include "ShellRegistration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <cerrno>
#include <cstdio>

namespace {

enum class WriteResult { Unchanged, Written, Failed };

// The per-user data directory of the XDG base directory rules: a relative
// XDG_DATA_HOME is invalid and ignored. Empty when there is no usable home.
QString DataHome() {
    const QString configured = qEnvironmentVariable("XDG_DATA_HOME");
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured)) return QDir::cleanPath(configured);
    const QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty() || !QDir::isAbsolutePath(home)) return {};
    return QDir::cleanPath(home + QStringLiteral("/.local/share"));
}

// True when `path` is a regular file holding exactly `content`. The file is
// opened without blocking and read only when its size matches.
bool HoldsContent(const QString& path, const QByteArray& content) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    bool same = false;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(content.size())) {
        QByteArray existing(content.size(), '\0');
        qsizetype got = 0;
        while (got < existing.size()) {
            const ssize_t n = ::read(fd, existing.data() + got, static_cast<size_t>(existing.size() - got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
        same = got == existing.size() && existing == content;
    }
    ::close(fd);
    return same;
}

// Puts `content` at dir/name unless it is there already: written to a new
// file beside it, then renamed over it, so readers see the old file or the
// new one, never half of one. The rename replaces the directory entry itself, so
// a link there is replaced, not written through.
WriteResult WriteIfChanged(const QString& dir, const QString& name, const QByteArray& content) {
    const QString target = dir + QLatin1Char('/') + name;
    if (HoldsContent(target, content)) return WriteResult::Unchanged;
    if (!QDir().mkpath(dir)) return WriteResult::Failed;

    // A leading dot and a random suffix: the caches' builders skip
    // the file while it is being written.
    QTemporaryFile temp(dir + QStringLiteral("/.") + name + QStringLiteral(".XXXXXX"));
    if (!temp.open()) return WriteResult::Failed;
    if (temp.write(content) != content.size() || !temp.flush()) return WriteResult::Failed;
    if (!temp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                             QFileDevice::ReadOther)) {
        return WriteResult::Failed;
    }
    if (::fsync(temp.handle()) != 0) return WriteResult::Failed;
    if (::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(target).constData()) != 0) {
        return WriteResult::Failed;
    }
    temp.setAutoRemove(false);
    return WriteResult::Written;
}

// Starts `tool` on `argument` when it is on PATH, without waiting for it.
void StartTool(const QString& tool, const QString& argument) {
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty()) return;
    QProcess::startDetached(program, {argument});
}

QByteArray MimePackage() {
    return QByteArrayLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"application/x-tessaline-document\">\n"
        "    <comment>Tessaline.Document</comment>\n"
        "    <glob pattern=\"*.tsl\"/>\n"
        "  </mime-type>\n"
        "</mime-info>\n");
}

QByteArray DesktopEntry(const QString& executablePath) {
    QString text;
    text += QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=Tessaline\n");
    text += QStringLiteral("Exec=") + DesktopExecValue(executablePath) + QLatin1Char('\n');
    text += QStringLiteral("MimeType=") + QLatin1String(kDocumentMimeType) + QStringLiteral(";\n");
    text += QStringLiteral("Terminal=false\n");
    text += QStringLiteral("Categories=Network;System;Monitor;\n");
    return text.toUtf8();
}

}  // namespace

bool StartedFromBuildFolder() {
    return QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/libtessaline_window.so"));
}

QString DesktopExecValue(const QString& executablePath) {
    // The argument in double quotes, with '"', '`', '$' and '\' escaped by a
    // backslash and '%' doubled, so that no field code is seen in it.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : executablePath) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += QLatin1Char('\\');
            quoted += c;
        } else if (c == u'%') {
            quoted += QStringLiteral("%%");
        } else {
            quoted += c;
        }
    }
    quoted += QStringLiteral("\" %f");

    // Then the escapes of a string value of the file format, which readers
    // undo before the quoting: a backslash doubles again, and the control
    // characters a line cannot hold get their escapes.
    QString value;
    for (const QChar c : quoted) {
        if (c == u'\\') {
            value += QStringLiteral("\\\\");
        } else if (c == u'\n') {
            value += QStringLiteral("\\n");
        } else if (c == u'\t') {
            value += QStringLiteral("\\t");
        } else if (c == u'\r') {
            value += QStringLiteral("\\r");
        } else {
            value += c;
        }
    }
    return value;
}

bool RegisterShellFileTypes(const QString& executablePath) {
    if (executablePath.isEmpty()) return false;
    const QString dataHome = DataHome();
    if (dataHome.isEmpty()) return false;

    const QString mimeDir = dataHome + QStringLiteral("/mime");
    const QString applicationsDir = dataHome + QStringLiteral("/applications");
    const WriteResult mime =
        WriteIfChanged(mimeDir + QStringLiteral("/packages"), QStringLiteral("tessaline-document.xml"), MimePackage());
    const WriteResult entry =
        WriteIfChanged(applicationsDir, QStringLiteral("tessaline.desktop"), DesktopEntry(executablePath));

    if (mime == WriteResult::Written) StartTool(QStringLiteral("update-mime-database"), mimeDir);
    if (entry == WriteResult::Written) StartTool(QStringLiteral("update-desktop-database"), applicationsDir);
    return mime != WriteResult::Failed && entry != WriteResult::Failed;
}
