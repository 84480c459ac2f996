#include "Resources.h"

#include <QBitmap>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

// The resources live in a static library: they are registered on first use,
// as the linker may leave out their static initializer.
void InitAppResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(app);
        return true;
    }();
    (void)done;
}

namespace {

// The pictures, drawn by res/bitmaps/make_app_images.py.
#include "bitmaps/112_application_button.xpm"
#include "bitmaps/113_panel_images.xpm"
#include "bitmaps/115_file_small.xpm"
#include "bitmaps/130_document.xpm"
#include "bitmaps/164_pane_icon.xpm"

struct Table {
    QHash<int, QString> strings;
    QHash<int, std::vector<MenuItem>> menus;
    QHash<int, std::vector<Accelerator>> accelerators;
};

std::vector<MenuItem> ReadItems(const QJsonArray& array) {
    std::vector<MenuItem> items;
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        MenuItem item;
        item.separator = object.value(QStringLiteral("separator")).toBool();
        item.text = object.value(QStringLiteral("text")).toString();
        item.id = object.value(QStringLiteral("id")).toInt();
        item.items = ReadItems(object.value(QStringLiteral("items")).toArray());
        items.push_back(std::move(item));
    }
    return items;
}

const Table& Resources() {
    static const Table table = [] {
        InitAppResources();
        Table t;
        QFile file(QStringLiteral(":/resources.json"));
        if (!file.open(QIODevice::ReadOnly)) return t;
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        const QJsonObject strings = root.value(QStringLiteral("strings")).toObject();
        for (auto it = strings.begin(); it != strings.end(); ++it) t.strings.insert(it.key().toInt(), it->toString());
        const QJsonObject menus = root.value(QStringLiteral("menus")).toObject();
        for (auto it = menus.begin(); it != menus.end(); ++it)
            t.menus.insert(it.key().toInt(), ReadItems(it->toArray()));
        const QJsonObject accelerators = root.value(QStringLiteral("accelerators")).toObject();
        for (auto it = accelerators.begin(); it != accelerators.end(); ++it) {
            std::vector<Accelerator> keys;
            for (const QJsonValue& value : it->toArray()) {
                const QJsonObject object = value.toObject();
                keys.push_back({QKeySequence(object.value(QStringLiteral("key")).toString()),
                                object.value(QStringLiteral("id")).toInt()});
            }
            t.accelerators.insert(it.key().toInt(), std::move(keys));
        }
        return t;
    }();
    return table;
}

// The pictures are compiled in as XPM arrays: reading them needs no image
// file reader, so no image format plugin is loaded to start the window.
const char* const* BitmapXpm(int id) {
    switch (id) {
        case ids::IDB_PANEL_IMAGES: return panel_images;
        case ids::IDB_APPLICATION_BUTTON: return application_button;
        case ids::IDB_FILE_SMALL: return file_small;
        case ids::IDI_PANE_ICON_HC: return pane_icon;
        case ids::IDI_DOCUMENT: return document;
        default: return nullptr;
    }
}

}  // namespace

QString LoadResString(int id) { return Resources().strings.value(id); }

const std::vector<MenuItem>& LoadMenuResource(int id) {
    static const std::vector<MenuItem> none;
    const auto it = Resources().menus.constFind(id);
    return it != Resources().menus.constEnd() ? *it : none;
}

std::vector<Accelerator> LoadAccelerators(int id) { return Resources().accelerators.value(id); }

QPixmap LoadBitmap(int id) {
    const char* const* xpm = BitmapXpm(id);
    if (xpm == nullptr) return {};
    QPixmap pixmap(xpm);
    if (!pixmap.isNull()) pixmap.setMask(pixmap.createMaskFromColor(QColor(255, 0, 0)));
    return pixmap;
}

QPixmap StripImage(int id, int index, int size) {
    const QPixmap strip = LoadBitmap(id);
    if (strip.isNull() || index < 0 || (index + 1) * size > strip.width()) return {};
    return strip.copy(index * size, 0, size, strip.height());
}

QIcon LoadResIcon(int id) { return QIcon(LoadBitmap(id)); }
