#include "host/Menu.hpp"

#include <string>

#include <gtk/gtk.h>

#include "host/GObjectPtr.hpp"

namespace quillon {

namespace {

constexpr MenuItem kAppAbout[] = {
    {"About Quillon", "app.about", ""},
};
constexpr MenuItem kAppHideQuit[] = {
    {"Hide Quillon", "app.hide", ""},
    {"Quit Quillon", "app.quit", "<Primary>q"},
};
// The page's own commands. Delete and Escape belong to the page (a text field needs them), so the
// menu shows them without binding them; the page acts on the keys itself.
constexpr MenuItem kFileOpen[] = {
    {"Open Video or Add Images…", "app.open", "<Primary>o", ShortcutOwner::Application, "open"},
    {"Add Folders…", "app.open-folder", "<Primary><Shift>o", ShortcutOwner::Application, "openFolder"},
};
constexpr MenuItem kFileExport[] = {
    {"Export or Convert…", "app.export", "<Primary>e", ShortcutOwner::Application, "export"},
};
constexpr MenuItem kFileList[] = {
    {"Remove Selected Images", "app.remove-selected", "Delete", ShortcutOwner::WebView, "removeSelected"},
    {"Dismiss Message or Summary", "app.dismiss", "Escape", ShortcutOwner::WebView, "dismiss"},
};
// The web view has no key bindings of its own for undo and redo, so these two are the
// application's; it has them for the clipboard and selection, so those stay the view's.
constexpr MenuItem kEditHistory[] = {
    {"Undo", "app.undo", "<Primary>z"},
    {"Redo", "app.redo", "<Primary><Shift>z"},
};
constexpr MenuItem kEditClipboard[] = {
    {"Cut", "app.cut", "<Primary>x", ShortcutOwner::WebView},
    {"Copy", "app.copy", "<Primary>c", ShortcutOwner::WebView},
    {"Paste", "app.paste", "<Primary>v", ShortcutOwner::WebView},
    {"Select All", "app.select-all", "<Primary>a", ShortcutOwner::WebView},
};
constexpr MenuItem kWindowSize[] = {
    {"Close Window", "app.close-window", "<Primary>w"},
    {"Minimize", "app.minimize", "<Primary>m"},
    {"Zoom", "app.zoom", ""},
};
constexpr MenuItem kWindowFullScreen[] = {
    {"Enter Full Screen", "app.fullscreen", "F11"},
};
constexpr MenuItem kWindowFront[] = {
    {"Bring All to Front", "app.bring-to-front", ""},
};

constexpr std::span<const MenuItem> kAppSections[] = {kAppAbout, kAppHideQuit};
constexpr std::span<const MenuItem> kFileSections[] = {kFileOpen, kFileExport, kFileList};
constexpr std::span<const MenuItem> kEditSections[] = {kEditHistory, kEditClipboard};
constexpr std::span<const MenuItem> kWindowSections[] = {kWindowSize, kWindowFullScreen, kWindowFront};

constexpr TopMenu kMenus[] = {
    {"Quillon", kAppSections},
    {"File", kFileSections},
    {"Edit", kEditSections},
    {"Window", kWindowSections},
};

}  // namespace

std::span<const TopMenu> menuTable() { return kMenus; }

const MenuItem* findMenuItem(std::string_view name)
{
    const MenuItem* found = nullptr;
    forEachMenuItem([&](const MenuItem& item) {
        if (!found && item.action.starts_with("app.") && item.action.substr(4) == name)
            found = &item;
    });
    return found;
}

GMenu* buildMenuModel()
{
    GMenu* bar = g_menu_new();
    for (const TopMenu& top : menuTable()) {
        auto menu = GObjectPtr<GMenu>::adopt(g_menu_new());
        for (std::span<const MenuItem> items : top.sections) {
            auto section = GObjectPtr<GMenu>::adopt(g_menu_new());
            for (const MenuItem& item : items) {
                auto entry = GObjectPtr<GMenuItem>::adopt(
                    g_menu_item_new(std::string(item.label).c_str(), std::string(item.action).c_str()));
                if (item.owner == ShortcutOwner::WebView && !item.shortcut.empty())
                    g_menu_item_set_attribute(entry.get(), "accel", "s", std::string(item.shortcut).c_str());
                g_menu_append_item(section.get(), entry.get());
            }
            g_menu_append_section(menu.get(), nullptr, G_MENU_MODEL(section.get()));
        }
        g_menu_append_submenu(bar, std::string(top.title).c_str(), G_MENU_MODEL(menu.get()));
    }
    return bar;
}

void installMenu(GtkApplication* app)
{
    forEachMenuItem([app](const MenuItem& item) {
        if (item.owner != ShortcutOwner::Application || item.shortcut.empty())
            return;
        std::string shortcut(item.shortcut);
        const char* accels[] = {shortcut.c_str(), nullptr};
        gtk_application_set_accels_for_action(app, std::string(item.action).c_str(), accels);
    });
    auto bar = GObjectPtr<GMenu>::adopt(buildMenuModel());
    gtk_application_set_menubar(app, G_MENU_MODEL(bar.get()));
}

}  // namespace quillon
