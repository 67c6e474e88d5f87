// quillon-e2e-drag-source: a small window at the top left of the display that starts a drag
// when the pointer drags out of it, standing in for a file manager (or a text editor) in the
// window's drag-and-drop tests.
//   quillon-e2e-drag-source PATH...       offers the files as a file list (text/uri-list)
//   quillon-e2e-drag-source --text TEXT   offers plain text
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtk/gtk.h>

namespace {

struct Offer {
    bool text = false;
    std::string textValue;
    std::vector<std::string> paths;
};

GdkContentProvider* onPrepare(GtkDragSource*, double, double, gpointer data)
{
    auto* offer = static_cast<Offer*>(data);
    std::fprintf(stderr, "drag source: drag starts\n");
    if (offer->text)
        return gdk_content_provider_new_typed(G_TYPE_STRING, offer->textValue.c_str());
    GSList* files = nullptr;
    for (const std::string& path : offer->paths)
        files = g_slist_append(files, g_file_new_for_path(path.c_str()));
    GdkFileList* list = gdk_file_list_new_from_list(files);
    g_slist_free_full(files, g_object_unref);
    GdkContentProvider* provider = gdk_content_provider_new_typed(GDK_TYPE_FILE_LIST, list);
    g_boxed_free(GDK_TYPE_FILE_LIST, list);
    return provider;
}

void onActivate(GtkApplication* app, gpointer data)
{
    GtkWidget* window = gtk_application_window_new(app);
    gtk_window_set_title(GTK_WINDOW(window), "drag source");
    gtk_window_set_default_size(GTK_WINDOW(window), 120, 120);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    GtkWidget* label = gtk_label_new("drag me");
    gtk_widget_set_size_request(label, 120, 120);
    GtkDragSource* source = gtk_drag_source_new();
    gtk_drag_source_set_actions(source, GDK_ACTION_COPY);
    g_signal_connect(source, "prepare", G_CALLBACK(onPrepare), data);
    g_signal_connect(source, "drag-cancel", G_CALLBACK(+[](GtkDragSource*, GdkDrag*, GdkDragCancelReason reason, gpointer) {
        std::fprintf(stderr, "drag source: cancelled (%d)\n", static_cast<int>(reason));
        return FALSE;
    }), nullptr);
    // One drag per run: the window goes away once it is over, so it neither covers the window
    // under test nor keeps the keyboard focus.
    g_signal_connect(source, "drag-end", G_CALLBACK(+[](GtkDragSource*, GdkDrag*, gboolean, gpointer app) {
        std::fprintf(stderr, "drag source: drag ended\n");
        g_application_quit(G_APPLICATION(app));
    }), app);
    gtk_widget_add_controller(label, GTK_EVENT_CONTROLLER(source));
    gtk_window_set_child(GTK_WINDOW(window), label);
    gtk_window_present(GTK_WINDOW(window));
}

}  // namespace

int main(int argc, char** argv)
{
    Offer offer;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--text") == 0 && i + 1 < argc) {
            offer.text = true;
            offer.textValue = argv[++i];
        } else {
            offer.paths.emplace_back(argv[i]);
        }
    }
    GtkApplication* app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    g_signal_connect(app, "activate", G_CALLBACK(onActivate), &offer);
    char* noArgs[] = {argv[0], nullptr};
    int status = g_application_run(G_APPLICATION(app), 1, noArgs);
    g_object_unref(app);
    return status;
}
