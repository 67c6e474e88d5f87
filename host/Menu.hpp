#pragma once

#include <span>
#include <string_view>

typedef struct _GMenu GMenu;
typedef struct _GtkApplication GtkApplication;

namespace quillon {

// Who answers a menu item's shortcut.
enum class ShortcutOwner {
    Application,  // an application accelerator: the key runs the item's action
    WebView,      // shown in the menu only; the focused web view handles the key itself, so that
                  // Ctrl+C in a page text field copies once rather than once per handler
};

struct MenuItem {
    std::string_view label;
    std::string_view action;    // detailed action name, e.g. "app.quit"
    std::string_view shortcut;  // GTK accelerator text, e.g. "<Primary>q"; empty: none
    ShortcutOwner owner = ShortcutOwner::Application;
    // The page's name for what the item does ("open", "export"), handed to the page when the item
    // is chosen; empty for the items the host carries out itself.
    std::string_view pageAction = {};
};

// A top-level menu: its title and its sections, which the menu shows with separators between.
struct TopMenu {
    std::string_view title;
    std::span<const std::span<const MenuItem>> sections;
};

// The menu bar: "Quillon" (About, Hide, Quit), "File" (the page's own commands: Open, Add
// Folders, Export, Remove Selected Images, Dismiss), "Edit" (Undo, Redo, Cut, Copy, Paste, Select
// All) and "Window" (Close Window, Minimize, Zoom, Enter Full Screen, Bring All to Front).
std::span<const TopMenu> menuTable();

// Calls f(item) for each item of menuTable(), in the order the menus show them.
template <typename F>
void forEachMenuItem(F&& f)
{
    for (const TopMenu& top : menuTable())
        for (std::span<const MenuItem> items : top.sections)
            for (const MenuItem& item : items)
                f(item);
}

// Builds the menu bar model from menuTable(). Items whose shortcut the web view owns carry it as
// their "accel" attribute, so the menu shows it without binding it. The caller owns the result.
GMenu* buildMenuModel();

// The item whose detailed action is "app." + name, or null.
const MenuItem* findMenuItem(std::string_view name);

// Installs the menu bar on the application and binds the accelerators the application owns.
// The actions themselves are added by the window (they act on it and its web view).
void installMenu(GtkApplication* app);

}  // namespace quillon
