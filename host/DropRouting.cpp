#include "host/DropRouting.hpp"

#include <gtk/gtk.h>

#include "media/GFreePtr.hpp"

namespace quillon {

std::vector<std::filesystem::path> localPathsOf(const GSList* files)
{
    std::vector<std::filesystem::path> paths;
    for (const GSList* node = files; node; node = node->next) {
        if (!node->data || !G_IS_FILE(node->data))
            continue;
        if (const GFreePtr<char> path{g_file_get_path(G_FILE(node->data))})
            paths.emplace_back(path.get());
    }
    return paths;
}

namespace {

struct DropState {
    FileDropHandler handler;
    DropHoverHandler hover;
};

// The local paths of a dropped file list.
std::vector<std::filesystem::path> droppedPaths(const GValue* value)
{
    GSList* files = gdk_file_list_get_files(static_cast<GdkFileList*>(g_value_get_boxed(value)));
    std::vector<std::filesystem::path> paths = localPathsOf(files);
    g_slist_free(files);
    return paths;
}

bool offersFiles(GdkDrop* drop)
{
    // A drop with a GdkDrag on this side started in this process: a drag inside the page.
    if (gdk_drop_get_drag(drop))
        return false;
    if (!(gdk_drop_get_actions(drop) & GDK_ACTION_COPY))
        return false;
    GdkContentFormats* formats = gdk_content_formats_union_deserialize_gtypes(
        gdk_content_formats_ref(gdk_drop_get_formats(drop)));
    bool result = gdk_content_formats_contain_gtype(formats, GDK_TYPE_FILE_LIST);
    gdk_content_formats_unref(formats);
    return result;
}

gboolean onAccept(GtkDropTarget* target, GdkDrop* drop, gpointer)
{
    if (offersFiles(drop))
        return TRUE;
    // Keep the default handler from accepting it after all: the web view handles this drag.
    g_signal_stop_emission_by_name(target, "accept");
    return FALSE;
}

// The file list is read as soon as the drag enters (preload). A list without one local file,
// such as a link dragged from a browser, is given back to the web view.
void onValueLoaded(GtkDropTarget* target, GParamSpec*, gpointer)
{
    const GValue* value = gtk_drop_target_get_value(target);
    if (!value || !G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST))
        return;
    if (droppedPaths(value).empty())
        gtk_drop_target_reject(target);
}

gboolean onDrop(GtkDropTarget*, const GValue* value, double, double, gpointer data)
{
    auto* state = static_cast<DropState*>(data);
    if (!G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST))
        return FALSE;
    std::vector<std::filesystem::path> paths = droppedPaths(value);
    if (paths.empty())
        return FALSE;
    state->handler(std::move(paths));
    return TRUE;
}

// "current-drop" is set while a drag this target accepted is over the view, and cleared when it
// leaves or is dropped.
void onCurrentDrop(GtkDropTarget* target, GParamSpec*, gpointer data)
{
    auto* state = static_cast<DropState*>(data);
    if (state->hover)
        state->hover(gtk_drop_target_get_current_drop(target) != nullptr);
}

}  // namespace

void installFileDropTarget(GtkWidget* view, FileDropHandler handler, DropHoverHandler hover)
{
    GtkDropTarget* target = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
    gtk_drop_target_set_preload(target, TRUE);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(target), GTK_PHASE_CAPTURE);
    auto* state = new DropState{std::move(handler), std::move(hover)};
    g_object_set_data_full(G_OBJECT(target), "quillon-drop-state", state,
                           [](gpointer p) { delete static_cast<DropState*>(p); });
    g_signal_connect(target, "accept", G_CALLBACK(onAccept), nullptr);
    g_signal_connect(target, "notify::value", G_CALLBACK(onValueLoaded), nullptr);
    g_signal_connect(target, "drop", G_CALLBACK(onDrop), state);
    g_signal_connect(target, "notify::current-drop", G_CALLBACK(onCurrentDrop), state);
    gtk_widget_add_controller(view, GTK_EVENT_CONTROLLER(target));
}

}  // namespace quillon
