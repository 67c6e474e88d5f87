// quillon-e2e: the real window and page of `quillon` with test hooks, for the end-to-end tests.
//   quillon-e2e [--driver FILE.js] [--out DIR] [--timeout SECONDS] [--real-panels] [FILE...]
// The driver runs in the page once it has loaded, as the body of an async function, and calls
// window.webkit.messageHandlers.e2e.postMessage({cmd, ...}) (see onMessage), which returns a
// promise. Panels are answered with queued paths, or by GTK's own choosers with --real-panels.
// A stand-in for the desktop's file manager prints each reveal. Output: E2E:FIRST_MESSAGE <ms
// since start>, E2E:PANEL, E2E:REVEAL, E2E:PASS/FAIL lines; exit status 0 pass, 1 fail, 3 timeout.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <webkit/webkit.h>

#include "host/App.hpp"

namespace {

using namespace quillon;
using Json = nlohmann::json;

const auto kStart = std::chrono::steady_clock::now();

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Panels are answered from the queued answers, later from the main loop as a chooser would.
class E2eHost : public GtkHost {
public:
    PanelScript answers;
    bool realPanels = false;

    void showPanel(const PanelRequest& request, std::function<void(std::vector<std::string>)> done) override
    {
        say("E2E:PANEL " + request.title);
        if (realPanels)
            return GtkHost::showPanel(request, std::move(done));
        PanelScript::answerLater(*this, std::move(done), answers.next());
    }
};

// A driver's call answered later; the message is kept for its script context.
struct Pending {
    WebKitScriptMessageReply* reply;
    GObjectPtr<JSCValue> message;
    std::string path;

    ~Pending() { webkit_script_message_reply_unref(reply); }
    void answer(const Json& result)
    {
        JSCValue* value = jsc_value_new_from_json(jsc_value_get_context(message.get()),
                                                  result.dump().c_str());
        webkit_script_message_reply_return_value(reply, value);
        g_object_unref(value);
    }
};

// Runs a program and answers once it has exited. The main loop runs on meanwhile, so that
// WebKit sees xdotool's input as a user's, and consecutive runs keep their order.
void runToEnd(std::vector<std::string> argv, Pending* pending)
{
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    GPid pid = 0;
    if (argv.empty() || !g_spawn_async(nullptr, cargv.data(), nullptr,
                                       GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                                       nullptr, &pid, nullptr))
        return std::unique_ptr<Pending>(pending)->answer(false);
    g_child_watch_add(
        pid,
        [](GPid pid, gint status, gpointer data) {
        g_spawn_close_pid(pid);
        std::unique_ptr<Pending>(static_cast<Pending*>(data))
            ->answer(g_spawn_check_wait_status(status, nullptr) != FALSE);
        },
        pending);
}

void onFileManagerCall(GDBusConnection*, const char*, const char*, const char*, const char*,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer)
{
    GVariantIter* uris = nullptr;
    const char* uri = nullptr;
    g_variant_get(parameters, "(as&s)", &uris, nullptr);
    std::string line = "E2E:REVEAL";
    while (g_variant_iter_loop(uris, "&s", &uri))
        line += std::string(" ") + uri;
    g_variant_iter_free(uris);
    say(line);
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void ownFileManagerName()
{
    g_bus_own_name(
        G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection* bus, const char*, gpointer) {
        static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
            "<arg type='as' direction='in'/><arg type='s' direction='in'/></method></interface></node>",
            nullptr);
        static const GDBusInterfaceVTable vtable = {onFileManagerCall, nullptr, nullptr, {}};
        g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0], &vtable,
                                          nullptr, nullptr, nullptr);
        },
        nullptr, nullptr, nullptr, nullptr);
}

int visiblePopovers(GtkWidget* widget)
{
    int count = GTK_IS_POPOVER(widget) && gtk_widget_get_visible(widget) ? 1 : 0;
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child))
        count += visiblePopovers(child);
    return count;
}

class E2eApp : public App {
public:
    explicit E2eApp(std::unique_ptr<E2eHost> host) : App(std::move(host), {.nonUnique = true}) {}

    std::string driverFile, outDir = ".";
    int timeoutSeconds = 60;
    int exitStatus = 3;

private:
    void configureWebView(WebKitWebView* view, WebKitSettings* settings) override
    {
        webkit_settings_set_enable_write_console_messages_to_stdout(settings, TRUE);
        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view);
        webkit_user_content_manager_register_script_message_handler_with_reply(content, "e2e", nullptr);
        g_signal_connect(content, "script-message-with-reply-received::e2e", G_CALLBACK(onMessage), this);
        g_timeout_add_seconds(
            static_cast<guint>(timeoutSeconds),
            [](gpointer self) {
            static_cast<E2eApp*>(self)->finish(3, "E2E:TIMEOUT");
            return G_SOURCE_REMOVE;
            },
            this);
        ownFileManagerName();
    }

    void pageLoaded() override
    {
        if (driverStarted_ || driverFile.empty())
            return;
        driverStarted_ = true;
        std::ifstream in(driverFile);
        std::stringstream script;
        script << in.rdbuf();
        std::string wrapped = "(async () => {\n" + script.str() +
                              "\n})().catch(e => window.webkit.messageHandlers.e2e.postMessage("
                              "{cmd: 'done', ok: false, message: 'driver threw: ' + (e && e.stack || e)}));";
        webkit_web_view_evaluate_javascript(webView(), wrapped.c_str(), -1, nullptr, driverFile.c_str(),
                                            nullptr, nullptr, nullptr);
    }

    void messageReceived(const Json&) override
    {
        if (std::exchange(firstMessageSeen_, true))
            return;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                        kStart);
        say("E2E:FIRST_MESSAGE " + std::to_string(ms.count()));
    }

    // Sets the exit status and says why; with `quit`, ends the run (the first to do so wins).
    void finish(int status, const std::string& line, bool quit = true)
    {
        if (finished_)
            return;
        exitStatus = status;
        say(line);
        if (quit) {
            finished_ = true;
            g_application_quit(G_APPLICATION(application()));
        }
    }

    static gboolean onMessage(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                              gpointer data)
    {
        auto* self = static_cast<E2eApp*>(data);
        char* text = jsc_value_to_json(value, 0);
        Json m = Json::parse(text ? text : "", nullptr, false);
        g_free(text);
        std::string cmd = m.is_object() ? m.value("cmd", "") : "";
        auto* pending = new Pending{
            webkit_script_message_reply_ref(reply), GObjectPtr<JSCValue>::ref(value), {}};
        Json result = nullptr;
        // done/verdict {ok, message}: "done" quits; "verdict" sets the status for a later close.
        // drop {paths}: as on the window. panel {paths}: the next panel's answer ([] cancels).
        // run {argv}: resolves to whether it succeeded once it has exited. snapshot {name}: saves
        // OUT/name.png. menu {action}: an application action. resize {width, height}: as a user.
        // quitDialog: {question, detail} of the question shown before quitting, or null.
        // answerQuit {quit}: answers it as the "Quit" or "Don't Quit" button would.
        // popovers: how many popovers (menus) are open in the window.
        if (cmd == "done" || cmd == "verdict") {
            bool ok = m.value("ok", false);
            self->finish(ok ? 0 : 1, (ok ? "E2E:PASS " : "E2E:FAIL ") + m.value("message", ""),
                         cmd == "done");
        } else if (cmd == "drop") {
            std::vector<std::string> paths = m.value("paths", std::vector<std::string>{});
            self->dropFiles({paths.begin(), paths.end()});
        } else if (cmd == "panel") {
            static_cast<E2eHost&>(self->host()).answers.add(m.value("paths", std::vector<std::string>{}));
        } else if (cmd == "run") {
            runToEnd(m.value("argv", std::vector<std::string>{}), pending);
            return TRUE;
        } else if (cmd == "snapshot") {
            // Rendered by the web view itself: the window's pixels on the display may lag behind.
            pending->path = self->outDir + "/" + m.value("name", "") + ".png";
            webkit_web_view_get_snapshot(self->webView(), WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                         WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr, onSnapshot, pending);
            return TRUE;
        } else if (cmd == "menu") {
            g_action_group_activate_action(G_ACTION_GROUP(self->application()), m.value("action", "").c_str(),
                                           nullptr);
        } else if (cmd == "quitDialog") {
            if (GtkWindow* dialog = self->quitDialog()) {
                char* question = nullptr;
                char* detail = nullptr;
                g_object_get(dialog, "text", &question, "secondary-text", &detail, nullptr);
                result = {{"question", question ? question : ""}, {"detail", detail ? detail : ""}};
                g_free(question);
                g_free(detail);
            }
        } else if (cmd == "answerQuit") {
            if (GtkWindow* dialog = self->quitDialog()) {
                G_GNUC_BEGIN_IGNORE_DEPRECATIONS
                gtk_dialog_response(GTK_DIALOG(dialog),
                                    m.value("quit", false) ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
                G_GNUC_END_IGNORE_DEPRECATIONS
                result = true;
            }
        } else if (cmd == "popovers") {
            result = self->window() ? visiblePopovers(GTK_WIDGET(self->window())) : 0;
        } else if (cmd == "resize") {
            gtk_window_set_default_size(self->window(), m.value("width", 0), m.value("height", 0));
        } else {
            webkit_script_message_reply_return_error_message(reply, "unknown e2e command");
            delete pending;
            return TRUE;
        }
        std::unique_ptr<Pending>(pending)->answer(result);
        return TRUE;
    }

    static void onSnapshot(GObject* view, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
        GdkTexture* texture = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, nullptr);
        bool saved = texture && gdk_texture_save_to_png(texture, pending->path.c_str());
        g_clear_object(&texture);
        pending->answer(saved);
    }

    bool driverStarted_ = false;
    bool firstMessageSeen_ = false;
    bool finished_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    auto host = std::make_unique<E2eHost>();
    E2eHost& panels = *host;
    E2eApp app(std::move(host));
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--driver" && hasValue)
            app.driverFile = argv[++i];
        else if (arg == "--out" && hasValue)
            app.outDir = argv[++i];
        else if (arg == "--timeout" && hasValue)
            app.timeoutSeconds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--real-panels")
            panels.realPanels = true;
        else
            rest.push_back(argv[i]);
    }
    int status = app.run(static_cast<int>(rest.size()), rest.data());
    return status != 0 ? status : app.exitStatus;
}
