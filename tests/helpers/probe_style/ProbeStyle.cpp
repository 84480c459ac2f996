// A style plugin that stands for any code a user may have the toolkit load
// through the environment: when it is loaded it copies its process's
// /proc/self/status to the file TESSALINE_PROBE_OUT names, so that a test
// can see what that code could do.  With TESSALINE_PROBE_EXIT set, the
// process then ends at once.
#include <fcntl.h>
#include <unistd.h>

#include <QProxyStyle>
#include <QStylePlugin>
#include <cstdlib>

namespace {

void RecordStatus() {
    const char* out = std::getenv("TESSALINE_PROBE_OUT");
    if (out == nullptr) return;
    const int in = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char buf[8192];
    ssize_t n = 0;
    while (in >= 0 && fd >= 0 && (n = ::read(in, buf, sizeof buf)) > 0)
        if (::write(fd, buf, static_cast<std::size_t>(n)) != n) break;
    if (in >= 0) ::close(in);
    if (fd >= 0) ::close(fd);
    if (std::getenv("TESSALINE_PROBE_EXIT") != nullptr) ::_exit(0);
}

}  // namespace

class ProbeStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "ProbeStyle.json")

public:
    ProbeStylePlugin() { RecordStatus(); }
    QStyle* create(const QString& key) override {
        return key.compare(QLatin1String("probe"), Qt::CaseInsensitive) == 0 ? new QProxyStyle(QStringLiteral("Fusion"))
                                                                                : nullptr;
    }
};

#include "ProbeStyle.moc"
