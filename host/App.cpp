#include "host/App.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include "bridge/Bridge.hpp"
#include "bridge/Protocol.hpp"
#include "bridge/SettingsStore.hpp"
#include "host/DropRouting.hpp"
#include "host/Menu.hpp"
#include "host/PagePolicy.hpp"
#include "host/PageScheme.hpp"
#include "host/QuitGuard.hpp"
#include "host/Resources.hpp"
#include "media/GFreePtr.hpp"

#ifndef QUILLON_VERSION
#define QUILLON_VERSION ""
#endif

namespace quillon {

namespace {

constexpr const char* kAppId = "org.quillon.Quillon";
constexpr int kMinWidth = 880;
constexpr int kMinHeight = 600;
// rgb(0.055, 0.063, 0.051) in 8-bit steps: the colour shown until the page paints.
constexpr const char* kWindowCSS = "window.quillon-main { background-color: rgb(14, 16, 13); }";

}  // namespace

// Signal handlers; each gets the App as its user data.
struct AppSignals {
    static void activate(GApplication*, gpointer data)
    {
        auto* self = static_cast<App*>(data);
        if (!self->window_)
            self->buildWindow();
        gtk_window_present(self->window_);
    }

    static void open(GApplication* app, gpointer filesData, int count, const char*, gpointer data)
    {
        auto* self = static_cast<App*>(data);
        activate(app, data);
        auto** files = static_cast<GFile**>(filesData);
        GSList* list = nullptr;
        for (int i = count - 1; i >= 0; --i)
            list = g_slist_prepend(list, files[i]);
        std::vector<std::filesystem::path> paths = localPathsOf(list);
        g_slist_free(list);
        self->dropFiles(std::move(paths));
    }

    static void scriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data)
    {
        auto* self = static_cast<App*>(data);
        // Only Quillon's own page may command the bridge; navigation elsewhere is refused, and
        // this check keeps a message from anything else that got loaded from reaching it.
        const char* uri = self->view_ ? webkit_web_view_get_uri(self->view_) : nullptr;
        if (!uri || !isOwnPageURI(uri))
            return;
        const GFreePtr<char> text(jsc_value_to_json(value, 0));
        if (!text)
            return;
        nlohmann::json body = parseMessage(text.get());
        if (body.is_discarded())
            return;
        self->handleMessage(body);
    }

    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer)
    {
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
            return FALSE;  // what was navigated to has been allowed already
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        const WebKitNavigationType navigation = webkit_navigation_action_get_navigation_type(action);
        NavigationCause cause = NavigationCause::Other;
        if (navigation == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
            webkit_navigation_action_is_user_gesture(action))
            cause = NavigationCause::LinkClicked;
        else if (navigation == WEBKIT_NAVIGATION_TYPE_RELOAD ||
                 navigation == WEBKIT_NAVIGATION_TYPE_BACK_FORWARD)
            cause = NavigationCause::History;
        NavigationVerdict verdict = judgeNavigation(uri ? uri : "", cause);
        if (verdict == NavigationVerdict::Allow && type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
            webkit_policy_decision_use(decision);
            return TRUE;
        }
        // New windows are never opened, not even for our own page.
        if (verdict == NavigationVerdict::OpenInBrowser)
            g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }

    static GtkWidget* create(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

    static gboolean contextMenu(WebKitWebView*, WebKitContextMenu*, WebKitHitTestResult*, gpointer)
    {
        // The browser's menu (Back, Reload, Inspect Element ...) has no place in the app: a reload
        // would wipe the clip, the stills and the image list. TRUE: no menu is shown.
        return TRUE;
    }

    static gboolean closeRequest(GtkWindow*, gpointer data)
    {
        auto* self = static_cast<App*>(data);
        if (self->mayQuitWithoutAsking())
            return FALSE;
        self->requestQuit(App::QuitBy::CloseWindow);
        return TRUE;
    }

    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, const char*, GError*, gpointer)
    {
        // No error page: the window keeps its own background colour.
        return TRUE;
    }

    static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
    {
        // A new load replaces the page; files wait until the new page says it is running.
        if (event == WEBKIT_LOAD_STARTED)
            static_cast<App*>(data)->pageReady_ = false;
    }

    static void action(GSimpleAction* action, GVariant*, gpointer data)
    {
        auto* self = static_cast<App*>(data);
        std::string name = g_action_get_name(G_ACTION(action));
        GtkWindow* window = self->window_;
        WebKitWebView* view = self->view_;
        if (name == "quit") {
            self->requestQuit(App::QuitBy::Quit);
            return;
        }
        // The page's own commands go to the page, once it can take them.
        if (const MenuItem* item = findMenuItem(name); item && !item->pageAction.empty()) {
            if (self->pageReady_)
                self->bridge_->emit(protocol::kMenuAction, {{"action", item->pageAction}});
            return;
        }
        if (!window)
            return;
        if (name == "about") {
            gtk_show_about_dialog(window, "program-name", "Quillon", "version", QUILLON_VERSION,
                                  "logo-icon-name", kAppId, "comments",
                                  "Stills from videos and animated GIFs, and batch image "
                                  "conversion.",
                                  nullptr);
        } else if (name == "hide" || name == "minimize") {
            gtk_window_minimize(window);
        } else if (name == "close-window") {
            gtk_window_close(window);
        } else if (name == "zoom") {
            (gtk_window_is_maximized(window) ? gtk_window_unmaximize : gtk_window_maximize)(window);
        } else if (name == "fullscreen") {
            (gtk_window_is_fullscreen(window) ? gtk_window_unfullscreen : gtk_window_fullscreen)(window);
        } else if (name == "bring-to-front") {
            gtk_window_present(window);
        } else if (view) {
            static constexpr std::pair<const char*, const char*> kEditing[] = {
                {"undo", WEBKIT_EDITING_COMMAND_UNDO},   {"redo", WEBKIT_EDITING_COMMAND_REDO},
                {"cut", WEBKIT_EDITING_COMMAND_CUT},     {"copy", WEBKIT_EDITING_COMMAND_COPY},
                {"paste", WEBKIT_EDITING_COMMAND_PASTE}, {"select-all", WEBKIT_EDITING_COMMAND_SELECT_ALL},
            };
            for (const auto& [actionName, command] : kEditing) {
                if (name == actionName)
                    webkit_web_view_execute_editing_command(view, command);
            }
        }
    }

    static void windowDestroyed(GtkWidget*, gpointer data)
    {
        auto* self = static_cast<App*>(data);
        self->rememberWindowSize();
        self->host_->detach();
        self->window_ = nullptr;
        self->view_ = nullptr;
        self->quitDialog_ = nullptr;  // destroyed with its parent, unanswered
        self->pageReady_ = false;
    }
};

App::App(std::unique_ptr<GtkHost> host, Options options) : host_(std::move(host))
{
    auto flags = static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_OPEN |
                                                (options.nonUnique ? G_APPLICATION_NON_UNIQUE : 0));
    app_ = GObjectPtr<GtkApplication>::adopt(gtk_application_new(kAppId, flags));
    g_signal_connect(app_.get(), "activate", G_CALLBACK(AppSignals::activate), this);
    g_signal_connect(app_.get(), "open", G_CALLBACK(AppSignals::open), this);
    bridge_ = std::make_unique<Bridge>(*host_);
}

App::~App()
{
    // The window goes first, and with it the choosers it parents, while the bridge their answers
    // go to still exists. The bridge then stops its work queue, which may still post to the
    // host; a panel answer or main-loop task the host runs after that is dropped by the bridge.
    if (window_)
        gtk_window_destroy(window_);
    host_->detach();
    bridge_.reset();
}

int App::run(int argc, char** argv) { return g_application_run(G_APPLICATION(app_.get()), argc, argv); }

void App::dropFiles(std::vector<std::filesystem::path> files)
{
    if (files.empty())
        return;
    if (!pageReady_) {
        pendingDrops_.insert(pendingDrops_.end(), files.begin(), files.end());
        return;
    }
    bridge_->handleDrop(std::move(files));
}

void App::handleMessage(const nlohmann::json& body)
{
    messageReceived(body);
    bridge_->handleMessage(body);
    // The page sends its first message once its script has run, so its reply and event functions
    // exist. Files that waited for it are handed over after that message, so a drop is routed by
    // the mode the page has just set.
    if (!pageReady_)
        pageAnnounced();
}

void App::pageAnnounced()
{
    pageReady_ = true;
    pageLoaded();
    if (!pendingDrops_.empty())
        dropFiles(std::exchange(pendingDrops_, {}));
}

bool App::mayQuitWithoutAsking() const
{
    return quitConfirmed_ || !window_ || !quitQuestion(bridge_->pageState(), bridge_->working());
}

void App::requestQuit(QuitBy by)
{
    if (quitDialog_) {
        gtk_window_present(quitDialog_);
        return;
    }
    auto finish = [this, by] {
        if (by == QuitBy::CloseWindow && window_)
            gtk_window_close(window_);  // the last window: the application ends with it
        else
            g_application_quit(G_APPLICATION(app_.get()));
    };
    if (mayQuitWithoutAsking()) {
        finish();
        return;
    }
    quitDialog_ = askToQuit(window_, *quitQuestion(bridge_->pageState(), bridge_->working()),
                            [this, finish](bool quit) {
        quitDialog_ = nullptr;
        if (!quit)
            return;
        quitConfirmed_ = true;
        finish();
    });
}

void App::addActions()
{
    // One action per item of the menu; those of the page's commands only tell the page.
    forEachMenuItem([this](const MenuItem& item) {
        if (!item.action.starts_with("app."))
            return;
        const std::string name(item.action.substr(4));
        auto action = GObjectPtr<GSimpleAction>::adopt(g_simple_action_new(name.c_str(), nullptr));
        g_signal_connect(action.get(), "activate", G_CALLBACK(AppSignals::action), this);
        g_action_map_add_action(G_ACTION_MAP(app_.get()), G_ACTION(action.get()));
    });
    installMenu(app_.get());
}

void App::rememberWindowSize()
{
    if (!window_)
        return;
    // GTK keeps the default size up to date with the user's resizing (its own advice for saving a
    // window's size), so it is the size the window should open at next time.
    int width = 0, height = 0;
    gtk_window_get_default_size(window_, &width, &height);
    const std::filesystem::path file = userSettingsFile();
    Settings settings = loadSettings(file);
    if (width > 0 && height > 0) {
        settings.window.width = width;
        settings.window.height = height;
    }
    settings.window.maximized = gtk_window_is_maximized(window_) != FALSE;
    saveSettings(file, settings);  // nothing to tell the user on the way out if it fails
}

void App::buildWindow()
{
    addActions();
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);

    auto css = GObjectPtr<GtkCssProvider>::adopt(gtk_css_provider_new());
    gtk_css_provider_load_from_data(css.get(), kWindowCSS, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css.get()),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

    // The page's own scheme must exist before the view loads anything.
    WebKitWebContext* context = webkit_web_context_get_default();
    static bool schemeRegistered = false;
    if (!schemeRegistered) {
        registerPageScheme(context, findWebFolder(executableDir()));
        schemeRegistered = true;
    }

    auto content = GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    // Registered before the page loads, so the page's first message always finds the bridge.
    webkit_user_content_manager_register_script_message_handler(content.get(), "bridge", nullptr);
    g_signal_connect(content.get(), "script-message-received::bridge", G_CALLBACK(AppSignals::scriptMessage),
                     this);

    auto settings = GObjectPtr<WebKitSettings>::adopt(webkit_settings_new_with_settings(
        "enable-developer-extras", TRUE, "allow-file-access-from-file-urls", FALSE,
        "allow-universal-access-from-file-urls", FALSE, "javascript-can-open-windows-automatically", FALSE,
        "enable-back-forward-navigation-gestures", FALSE, nullptr));

    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager",
                                         content.get(), "settings", settings.get(), nullptr));
    configureWebView(view_, webkit_web_view_get_settings(view_));

    GdkRGBA transparent = {0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &transparent);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(AppSignals::decidePolicy), this);
    g_signal_connect(view_, "create", G_CALLBACK(AppSignals::create), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(AppSignals::loadFailed), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(AppSignals::contextMenu), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(AppSignals::loadChanged), this);
    installFileDropTarget(
        GTK_WIDGET(view_), [this](std::vector<std::filesystem::path> files) { dropFiles(std::move(files)); },
        [this](bool active) {
        if (pageReady_)
            bridge_->emit(protocol::kDropHover, {{"active", active}});
        });

    window_ = GTK_WINDOW(gtk_application_window_new(app_.get()));
    gtk_window_set_title(window_, "Quillon");
    // The size the window had when it was last closed, never below the smallest size.
    const WindowSize size = loadSettings(userSettingsFile()).window;
    gtk_window_set_default_size(window_, std::max(size.width, kMinWidth), std::max(size.height, kMinHeight));
    if (size.maximized)
        gtk_window_maximize(window_);
    gtk_widget_set_size_request(GTK_WIDGET(window_), kMinWidth, kMinHeight);
    gtk_widget_add_css_class(GTK_WIDGET(window_), "quillon-main");
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window_), TRUE);
    gtk_window_set_child(window_, GTK_WIDGET(view_));
    g_signal_connect(window_, "destroy", G_CALLBACK(AppSignals::windowDestroyed), this);
    g_signal_connect(window_, "close-request", G_CALLBACK(AppSignals::closeRequest), this);
    host_->attach(window_, view_);

    webkit_web_view_load_uri(view_, kPageURI);
    gtk_widget_grab_focus(GTK_WIDGET(view_));
}

}  // namespace quillon
