#include "host/Panels.hpp"

#include <memory>

#include <gtk/gtk.h>

#include "host/GObjectPtr.hpp"
#include "media/GFreePtr.hpp"

namespace quillon {

ChooserShape chooserShape(PanelRequest::Kind kind)
{
    switch (kind) {
    case PanelRequest::Kind::OpenFile:
        return {false, false};
    case PanelRequest::Kind::OpenFiles:
        return {false, true};
    case PanelRequest::Kind::OpenFolder:
        return {true, false};
    case PanelRequest::Kind::OpenFolders:
        return {true, true};
    }
    return {};
}

std::optional<std::string> patternSuffix(std::string_view pattern)
{
    if (pattern.size() < 3 || pattern.substr(0, 2) != "*.")
        return std::nullopt;
    std::string_view suffix = pattern.substr(2);
    if (suffix.find_first_of("*?[]/") != std::string_view::npos)
        return std::nullopt;
    return std::string(suffix);
}

GtkFileFilter* makeFileFilter(const FileFilter& filter)
{
    GtkFileFilter* result = gtk_file_filter_new();
    if (!filter.name.empty())
        gtk_file_filter_set_name(result, filter.name.c_str());
    for (const std::string& type : filter.mimeTypes)
        gtk_file_filter_add_mime_type(result, type.c_str());
    for (const std::string& pattern : filter.patterns) {
        if (auto suffix = patternSuffix(pattern))
            gtk_file_filter_add_suffix(result, suffix->c_str());
        else
            gtk_file_filter_add_pattern(result, pattern.c_str());
    }
    return result;
}

namespace {

// Lives from showing the chooser until its one response; owns the chooser's reference.
struct PendingChooser {
    GObjectPtr<GtkFileChooserNative> chooser;
    std::function<void(std::vector<std::string>)> done;
};

void onResponse(GtkNativeDialog* dialog, int response, gpointer data)
{
    std::unique_ptr<PendingChooser> pending(static_cast<PendingChooser*>(data));
    std::vector<std::string> paths;
    if (response == GTK_RESPONSE_ACCEPT) {
        auto files = GObjectPtr<GListModel>::adopt(gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog)));
        guint n = g_list_model_get_n_items(files.get());
        for (guint i = 0; i < n; ++i) {
            auto file = GObjectPtr<GFile>::adopt(static_cast<GFile*>(g_list_model_get_item(files.get(), i)));
            if (const GFreePtr<char> path{g_file_get_path(file.get())})
                paths.emplace_back(path.get());
        }
    }
    g_signal_handlers_disconnect_by_data(dialog, data);
    auto done = std::move(pending->done);
    pending.reset();  // releases the chooser
    done(std::move(paths));
}

}  // namespace

void showFileChooser(GtkWindow* parent, const PanelRequest& request,
                     std::function<void(std::vector<std::string>)> done)
{
    ChooserShape shape = chooserShape(request.kind);
    GtkFileChooserAction action = shape.folders ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER
                                                : GTK_FILE_CHOOSER_ACTION_OPEN;
    const char* accept = request.acceptLabel.empty() ? nullptr : request.acceptLabel.c_str();
    auto* pending = new PendingChooser{GObjectPtr<GtkFileChooserNative>::adopt(gtk_file_chooser_native_new(
                                           request.title.c_str(), parent, action, accept, nullptr)),
                                       std::move(done)};
    GtkFileChooserNative* chooser = pending->chooser.get();
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), FALSE);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), shape.multiple);
    if (shape.folders)
        gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), request.canCreateFolders);
    for (const FileFilter& filter : request.filters) {
        auto gtkFilter = GObjectPtr<GtkFileFilter>::adopt(makeFileFilter(filter));
        gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), gtkFilter.get());
    }
    g_signal_connect(chooser, "response", G_CALLBACK(onResponse), pending);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace quillon
