// quillon-e2e-drag-source: a 120x120 window at the top left of the display that offers one drag,
// as a file manager (or a text editor) would, then quits.
//   quillon-e2e-drag-source PATH...       offers the files as a file list
//   quillon-e2e-drag-source --text TEXT   offers plain text
#include <cstring>
#include <string>
#include <vector>

#include <gtk/gtk.h>

namespace {

std::vector<std::string> gPaths;
const char* gText = nullptr;

GdkContentProvider* onPrepare(GtkDragSource*, double, double, gpointer)
{
    if (gText)
        return gdk_content_provider_new_typed(G_TYPE_STRING, gText);
    GSList* files = nullptr;
    for (const std::string& path : gPaths)
        files = g_slist_append(files, g_file_new_for_path(path.c_str()));
    GdkFileList* list = gdk_file_list_new_from_list(files);
    g_slist_free_full(files, g_object_unref);
    GdkContentProvider* provider = gdk_content_provider_new_typed(GDK_TYPE_FILE_LIST, list);
    g_boxed_free(GDK_TYPE_FILE_LIST, list);
    return provider;
}

void onDragEnd(GtkDragSource*, GdkDrag*, gboolean, gpointer app)
{
    g_application_quit(G_APPLICATION(app));  // gone, so it neither covers nor keeps the focus
}

void onActivate(GtkApplication* app, gpointer)
{
    GtkWidget* window = gtk_application_window_new(app);
    gtk_window_set_title(GTK_WINDOW(window), "drag source");
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    GtkWidget* label = gtk_label_new("drag me");
    gtk_widget_set_size_request(label, 120, 120);
    GtkDragSource* source = gtk_drag_source_new();
    g_signal_connect(source, "prepare", G_CALLBACK(onPrepare), nullptr);
    g_signal_connect(source, "drag-end", G_CALLBACK(onDragEnd), app);
    gtk_widget_add_controller(label, GTK_EVENT_CONTROLLER(source));
    gtk_window_set_child(GTK_WINDOW(window), label);
    gtk_window_present(GTK_WINDOW(window));
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--text") == 0 && i + 1 < argc)
            gText = argv[++i];
        else
            gPaths.emplace_back(argv[i]);
    }
    GtkApplication* app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(app, "activate", G_CALLBACK(onActivate), nullptr);
    int status = g_application_run(G_APPLICATION(app), 1, argv);
    g_object_unref(app);
    return status;
}
