// The program's named resources: the string table, the menus and the
// accelerator table, read from resources.json in the Qt resources, and the
// pictures, looked up by their resource ids.
#pragma once

#include <QIcon>
#include <QKeySequence>
#include <QPixmap>
#include <QString>
#include <vector>

class QMenu;
class QWidget;

// Ids of resources and commands.
namespace ids {
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDR_TessalineTYPE = 130;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDR_THEME_MENU = 200;
inline constexpr int IDR_POPUP_EDIT = 119;
inline constexpr int IDR_POPUP_EXPLORER = 174;
inline constexpr int IDS_EDIT_MENU = 306;
inline constexpr int IDS_EXPLORER = 305;
inline constexpr int ID_WINDOW_MANAGER = 131;
inline constexpr int IDS_WINDOWS_MANAGER = 132;
inline constexpr int ID_APP_ABOUT = 57664;
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_FILE_NEW = 57600;
inline constexpr int ID_FILE_OPEN = 57601;
inline constexpr int ID_FILE_CLOSE = 57602;
inline constexpr int ID_FILE_SAVE = 57603;
inline constexpr int ID_FILE_SAVE_AS = 57604;
inline constexpr int ID_AUTOREFRESH_ALL = 57359;
inline constexpr int ID_RESET_LAYOUT = 32790;
inline constexpr int ID_HIGHLIGHT_CHANGES = 32795;
inline constexpr int ID_PAUSE = 32796;
inline constexpr int ID_SAVE_LOG_AS = 32797;
inline constexpr int ID_VIEW_AS_TABLE = 32810;
inline constexpr int ID_HIDE_LISTENING = 32811;
inline constexpr int ID_HIDE_TIME_WAIT = 32812;
inline constexpr int ID_HIDE_LOOPBACK = 32813;
inline constexpr int ID_VIEW_APPLOOK_WIN_2000 = 210;
inline constexpr int ID_VIEW_APPLOOK_OFF_2007_AQUA = 218;
inline constexpr int AFX_IDW_RIBBON_BAR = 59398;
inline constexpr int IDS_APP_TITLE = 57344;
inline constexpr int IDB_PANEL_IMAGES = 113;
inline constexpr int IDB_APPLICATION_BUTTON = 112;
inline constexpr int IDB_FILE_SMALL = 115;
inline constexpr int IDI_PANE_ICON_HC = 164;
inline constexpr int IDI_DOCUMENT = 130;
}  // namespace ids

// A menu resource's item: a command, a separator, or a submenu.
struct MenuItem {
    QString text;
    int id = 0;
    bool separator = false;
    std::vector<MenuItem> items;  // a submenu when not empty
};

struct Accelerator {
    QKeySequence key;
    int id;
};

// Registers the program's Qt resources (strings, menus, pictures, licence);
// every loader here calls it first.
void InitAppResources();

// The string of `id`; empty when the table has none.
QString LoadResString(int id);
// The menu of `id`; empty when there is none.
const std::vector<MenuItem>& LoadMenuResource(int id);
// The accelerator table of `id`.
std::vector<Accelerator> LoadAccelerators(int id);

// An image strip of `id` (transparent where pure red), and one image of it
// `size` wide.
QPixmap LoadBitmap(int id);
QPixmap StripImage(int id, int index, int size);
QIcon LoadResIcon(int id);
