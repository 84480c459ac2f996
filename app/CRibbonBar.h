// The command surface at the top of the main window: an application button
// with its main category's menu, a row of category tabs, each category a
// page of titled panels holding buttons and check boxes, buttons at the
// right end of the tab row, a quick access toolbar, and key tips shown when
// Alt is pressed.  Every element sends its command id through `command`.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QToolButton>
#include <QWidget>
#include <vector>

class QHBoxLayout;
class QFrame;
class QLabel;
class QMenu;
class QStackedWidget;
class QTabBar;
class QToolBar;
class CRibbonBar;

// A titled group of elements on a category page.
class CRibbonPanel : public QGroupBox {
    Q_OBJECT
public:
    CRibbonPanel(const QString& title, const QIcon& icon, CRibbonBar* ribbon, QWidget* parent);
    QCheckBox* AddCheckBox(int id, const QString& text);
    QToolButton* AddButton(int id, const QString& text, const QIcon& small, const QIcon& large);
    const QIcon& Icon() const { return m_icon; }
    std::vector<QWidget*> Elements() const { return m_elements; }

    // A page too narrow for all its panels shows some of them collapsed:
    // a button with the panel's icon and title, whose click drops the panel
    // down whole below it.
    QToolButton* CollapsedButton() const { return m_collapsedButton; }
    bool IsCollapsed() const { return m_collapsed; }
    void SetCollapsed(bool collapsed);
    // Drops a collapsed panel down below its button; closes when the user
    // clicks elsewhere or presses Esc.
    void DropDown();
    bool IsDroppedDown() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Puts a small element under the last one, or in a new column when that
    // column is full or the last element was a large one.
    void PlaceInColumn(QWidget* element);

    CRibbonBar* m_ribbon;
    QIcon m_icon;
    int m_columnRows = 0;  // elements in the last column
    QHBoxLayout* m_layout;
    std::vector<QWidget*> m_elements;
    QToolButton* m_collapsedButton = nullptr;
    QFrame* m_dropDown = nullptr;
    bool m_collapsed = false;
};

// A category: a tab and its page of panels (the main category is the
// application button's menu instead).
class CRibbonCategory : public QWidget {
    Q_OBJECT
public:
    CRibbonCategory(const QString& label, CRibbonBar* ribbon, QWidget* parent);
    CRibbonPanel* AddPanel(const QString& title, const QIcon& icon);
    const QString& Label() const { return m_label; }
    std::vector<CRibbonPanel*> Panels() const { return m_panels; }

    // As narrow as the page can be: every panel collapsed.
    QSize minimumSizeHint() const override;
    // Collapses panels from the right until the rest fit whole, and opens
    // them again as room comes back.
    void FitPanels();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CRibbonBar* m_ribbon;
    QString m_label;
    QHBoxLayout* m_layout;
    std::vector<CRibbonPanel*> m_panels;
};

class CRibbonBar : public QWidget {
    Q_OBJECT
public:
    explicit CRibbonBar(QWidget* parent);

    // The application button: its picture, text and tooltip, `size` square.
    QToolButton* SetApplicationButton(const QIcon& icon, const QString& text, const QString& toolTip, int size);
    // The main category: what the application button drops down.
    QMenu* AddMainCategory(const QString& label);
    QAction* AddMainCategoryButton(int id, const QString& text, const QIcon& small);
    CRibbonCategory* AddCategory(const QString& label);
    // Places a button at the right end of the tab row, after those placed
    // before it.
    void AddToTabs(QToolButton* button);
    // The quick access toolbar's commands; an empty list leaves it empty.
    void SetQuickAccessCommands(const std::vector<int>& ids);

    QToolButton* ApplicationButton() const { return m_appButton; }
    QString MainCategoryLabel() const { return m_mainLabel; }
    QMenu* MainMenu() const { return m_mainMenu; }
    QTabBar* Tabs() const { return m_tabs; }
    // Collapsed, the ribbon is its tab row alone (a double click on a tab
    // switches).
    void SetCollapsed(bool collapsed);
    bool IsCollapsed() const;
    std::vector<CRibbonCategory*> Categories() const { return m_categories; }
    std::vector<QToolButton*> TabRowButtons() const { return m_tabButtons; }
    // The quick access toolbar's commands (none: no toolbar is shown).
    QList<QAction*> QuickAccessActions() const;
    // The element of a command, or null.
    QWidget* FindElement(int id) const { return m_elements.value(id); }
    QAction* FindAction(int id) const { return m_actions.value(id); }

    // Key tips: shown over the reachable elements after Alt is pressed and
    // released alone; a tip's letters run its element; Esc hides them.
    bool KeyTipsShown() const { return !m_tipLabels.empty(); }
    void ShowKeyTips();
    void HideKeyTips();
    // The key tip of an element: its own when set ("\na" style texts), else
    // made from its text.
    static void SetKeyTip(QWidget* element, const QString& tip);

    void Register(int id, QWidget* element) { m_elements.insert(id, element); }
    void RegisterAction(int id, QAction* action) { m_actions.insert(id, action); }

signals:
    void command(int id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Tip {
        QString keys;
        QWidget* target;
        std::function<void()> run;
        int tab = -1;  // the category tab the tip stands under, if any
    };
    std::vector<Tip> ReachableTips();
    void RunTip(const QString& typed);

    QToolButton* m_appButton = nullptr;
    QMenu* m_mainMenu = nullptr;
    QString m_mainLabel;
    QTabBar* m_tabs = nullptr;
    QStackedWidget* m_pages = nullptr;
    QHBoxLayout* m_tabRow = nullptr;
    QToolBar* m_quickAccess = nullptr;
    std::vector<CRibbonCategory*> m_categories;
    std::vector<QToolButton*> m_tabButtons;
    QHash<int, QWidget*> m_elements;
    QHash<int, QAction*> m_actions;

    std::vector<QPointer<QLabel>> m_tipLabels;
    std::vector<Tip> m_tips;
    QString m_typed;
    int m_tipLevel = 0;  // 0: top row; 1: the current category's elements
    bool m_altAlone = false;
    QPointer<QWidget> m_focusBefore;  // where the focus was before Tab took it into the ribbon
};
