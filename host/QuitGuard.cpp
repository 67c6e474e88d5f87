#include "host/QuitGuard.hpp"

#include <gtk/gtk.h>

namespace quillon {

namespace {

std::string count(std::int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "The 11 stills and the list of 4 images are not saved anywhere and will be lost."
std::string onScreen(const Bridge::PageState& page)
{
    std::string what;
    if (page.stills > 0)
        what = "The " + count(page.stills, "still", "stills");
    if (page.images > 0)
        what += std::string(what.empty() ? "The " : " and the ") + "list of " +
                count(page.images, "image", "images");
    if (what.empty())
        return "";
    // One subject is singular: "The 1 still is", "The list of 4 images is".
    const bool one = page.stills == 1 || (page.stills == 0 && page.images > 0);
    const bool both = page.stills > 0 && page.images > 0;
    return what + (one && !both ? " is" : " are") + " not saved anywhere and will be lost.";
}

}  // namespace

std::optional<QuitQuestion> quitQuestion(const Bridge::PageState& page, bool bridgeWorking)
{
    static constexpr std::pair<const char*, const char*> kWork[] = {
        {"extraction", "Quit and stop the extraction?"},
        {"export", "Quit and stop the export?"},
        {"import", "Quit and stop adding images?"},
        {"conversion", "Quit and stop the conversion?"},
    };
    const std::string lost = onScreen(page);
    std::string question;
    for (const auto& [work, words] : kWork)
        if (page.work == work)
            question = words;
    if (question.empty() && (!page.work.empty() || bridgeWorking))
        question = "Quit and stop the work in progress?";
    if (!question.empty()) {
        const bool writing = page.work == "export" || page.work == "conversion";
        std::string detail = writing ? "Files written so far are kept; nothing half-written is left behind."
                                     : "";
        if (!lost.empty())
            detail += (detail.empty() ? "" : " ") + lost;
        return QuitQuestion{question, detail};
    }
    if (lost.empty())
        return std::nullopt;
    return QuitQuestion{"Quit Quillon?", lost};
}

GtkWindow* askToQuit(GtkWindow* parent, const QuitQuestion& question, std::function<void(bool quit)> answered)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    const auto flags = GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT);
    GtkWidget* dialog = gtk_message_dialog_new(parent, flags, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                                               question.question.c_str());
    if (!question.detail.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", question.detail.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), "Don't Quit", GTK_RESPONSE_CANCEL);
    GtkWidget* quit = gtk_dialog_add_button(GTK_DIALOG(dialog), "Quit", GTK_RESPONSE_ACCEPT);
    gtk_widget_add_css_class(quit, "destructive-action");
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_window_set_title(GTK_WINDOW(dialog), "Quit Quillon");

    // Any answer other than Quit (Esc, closing the dialog) keeps the app open.
    auto* callback = new std::function<void(bool)>(std::move(answered));
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(+[](GtkDialog* self, int response, gpointer data) {
            auto* done = static_cast<std::function<void(bool)>*>(data);
            const bool quit = response == GTK_RESPONSE_ACCEPT;
            auto call = std::exchange(*done, nullptr);
            gtk_window_destroy(GTK_WINDOW(self));
            if (call)
                call(quit);
        }),
        callback, +[](gpointer data, GClosure*) { delete static_cast<std::function<void(bool)>*>(data); },
        GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog));
    G_GNUC_END_IGNORE_DEPRECATIONS
    return GTK_WINDOW(dialog);
}

}  // namespace quillon
