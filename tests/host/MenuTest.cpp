#include <set>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "host/Menu.hpp"

namespace quillon {
namespace {

std::vector<const MenuItem*> allItems()
{
    std::vector<const MenuItem*> items;
    for (const TopMenu& menu : menuTable())
        for (auto section : menu.sections)
            for (const MenuItem& item : section)
                items.push_back(&item);
    return items;
}

const MenuItem* find(std::string_view label)
{
    for (const MenuItem* item : allItems())
        if (item->label == label)
            return item;
    return nullptr;
}

TEST(MenuTable, MenusAndItemsInOrder)
{
    std::vector<std::string> titles, labels;
    for (const TopMenu& menu : menuTable())
        titles.emplace_back(menu.title);
    for (const MenuItem* item : allItems())
        labels.emplace_back(item->label);
    EXPECT_EQ(titles, (std::vector<std::string>{"Quillon", "Edit", "Window"}));
    EXPECT_EQ(labels, (std::vector<std::string>{
                          "About Quillon", "Hide Quillon", "Quit Quillon", "Undo", "Redo", "Cut",
                          "Copy", "Paste", "Select All", "Close Window", "Minimize", "Zoom",
                          "Enter Full Screen", "Bring All to Front"}));
}

TEST(MenuTable, Shortcuts)
{
    EXPECT_EQ(find("Quit Quillon")->shortcut, "<Primary>q");
    EXPECT_EQ(find("Undo")->shortcut, "<Primary>z");
    EXPECT_EQ(find("Redo")->shortcut, "<Primary><Shift>z");
    EXPECT_EQ(find("Close Window")->shortcut, "<Primary>w");
    EXPECT_EQ(find("Minimize")->shortcut, "<Primary>m");
    EXPECT_EQ(find("Enter Full Screen")->shortcut, "F11");
    EXPECT_EQ(find("Zoom")->shortcut, "");
    EXPECT_EQ(find("Bring All to Front")->shortcut, "");
    EXPECT_EQ(find("About Quillon")->shortcut, "");

    // Every shortcut parses and none is given twice; Ctrl+F alone stays free for the page.
    std::set<std::pair<guint, int>> seen;
    for (const MenuItem* item : allItems()) {
        if (item->shortcut.empty())
            continue;
        guint key = 0;
        GdkModifierType mods{};
        ASSERT_TRUE(gtk_accelerator_parse(std::string(item->shortcut).c_str(), &key, &mods))
            << item->label;
        EXPECT_TRUE(seen.insert({gdk_keyval_to_lower(key), mods}).second) << item->label;
        EXPECT_FALSE(gdk_keyval_to_lower(key) == GDK_KEY_f && mods == GDK_CONTROL_MASK);
    }
}

TEST(MenuTable, ClipboardKeysAreLeftToTheWebViewSoTheyFireOnce)
{
    // The web view binds these keys itself inside text fields; an application accelerator on
    // top would cut, copy or paste a second time.
    for (const char* label : {"Cut", "Copy", "Paste", "Select All"})
        EXPECT_EQ(find(label)->owner, ShortcutOwner::WebView) << label;
    // It has no binding for these, so the application's accelerator is the only one.
    for (const char* label : {"Undo", "Redo", "Quit Quillon", "Close Window", "Minimize",
                              "Enter Full Screen"})
        EXPECT_EQ(find(label)->owner, ShortcutOwner::Application) << label;
}

// The text of a string attribute of a menu model item, or "" when absent.
std::string attribute(GMenuModel* model, int index, const char* name)
{
    gchar* value = nullptr;
    std::string result;
    if (g_menu_model_get_item_attribute(model, index, name, "s", &value)) {
        result = value;
        g_free(value);
    }
    return result;
}

TEST(MenuModel, BuiltFromTheTableWithSectionsAndShownShortcuts)
{
    GMenu* bar = buildMenuModel();
    GMenuModel* model = G_MENU_MODEL(bar);
    ASSERT_EQ(g_menu_model_get_n_items(model), 3);
    EXPECT_EQ(attribute(model, 1, G_MENU_ATTRIBUTE_LABEL), "Edit");

    GMenuModel* edit = g_menu_model_get_item_link(model, 1, G_MENU_LINK_SUBMENU);
    ASSERT_EQ(g_menu_model_get_n_items(edit), 2);  // two sections: a separator between
    GMenuModel* history = g_menu_model_get_item_link(edit, 0, G_MENU_LINK_SECTION);
    GMenuModel* clipboard = g_menu_model_get_item_link(edit, 1, G_MENU_LINK_SECTION);
    ASSERT_EQ(g_menu_model_get_n_items(clipboard), 4);
    EXPECT_EQ(attribute(clipboard, 1, G_MENU_ATTRIBUTE_LABEL), "Copy");
    EXPECT_EQ(attribute(clipboard, 1, G_MENU_ATTRIBUTE_ACTION), "app.copy");
    // Shown in the menu without being bound...
    EXPECT_EQ(attribute(clipboard, 1, "accel"), "<Primary>c");
    // ...while bound shortcuts are shown by GTK from the accelerator itself.
    EXPECT_EQ(attribute(history, 0, "accel"), "");

    GMenuModel* window = g_menu_model_get_item_link(model, 2, G_MENU_LINK_SUBMENU);
    EXPECT_EQ(g_menu_model_get_n_items(window), 3);
    for (GMenuModel* m : {history, clipboard, edit, window})
        g_object_unref(m);
    g_object_unref(bar);
}

}  // namespace
}  // namespace quillon
