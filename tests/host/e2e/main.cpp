// quillon-e2e: the real window and page of `quillon` with test hooks, for the end-to-end tests.
//   quillon-e2e [--driver FILE.js] [--out DIR] [--timeout SECONDS] [--real-panels] [FILE...]
// The driver runs in the page, once it has loaded, as the body of an async function (a throw
// fails the run). It talks to this program through window.webkit.messageHandlers.e2e; every
// call returns a promise:
//   {cmd: "done"|"verdict", ok, message}  print the verdict; "done" also quits, "verdict" only
//                                         sets the exit status for when the window closes
//   {cmd: "drop", paths}       hand the paths to the bridge as a drop on the window
//   {cmd: "panel", paths}      queue the answer of the next panel ([] cancels; none queued cancels)
//   {cmd: "run", argv}         run a program (xdotool, ...); resolves, once it has exited, to
//                              whether it succeeded, so keys typed by consecutive runs stay in order
//   {cmd: "spawn", argv}       start a program without waiting for it
//   {cmd: "snapshot", name}    save the page as shown as OUT/name.png; resolves to whether it did
//   {cmd: "menu", action}      activate the application's action (resolves to whether it exists)
//   {cmd: "resize", width, height} / {cmd: "window"} -> {width, height}
// With --real-panels GTK's own choosers are shown. A stand-in for the desktop's file manager on
// the session bus prints each reveal. Standard output: "E2E:FIRST_MESSAGE <ms since start>",
// "E2E:PANEL", "E2E:REVEAL", "E2E:PASS"/"E2E:FAIL" lines; exit status 0 pass, 1 fail, 3 timeout.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include <gtk/gtk.h>
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

std::vector<std::string> strings(const Json& list)
{
    std::vector<std::string> out;
    if (list.is_array())
        for (const Json& s : list)
            if (s.is_string())
                out.push_back(s.get<std::string>());
    return out;
}

// Panels are answered from the queued answers, later from the main loop as a chooser would.
class E2eHost : public GtkHost {
public:
    std::deque<std::vector<std::string>> answers;
    bool realPanels = false;

    void showPanel(const PanelRequest& request,
                   std::function<void(std::vector<std::string>)> done) override
    {
        say("E2E:PANEL " + request.title);
        if (realPanels) {
            GtkHost::showPanel(request, [done = std::move(done)](std::vector<std::string> paths) {
                std::string line = "E2E:PANEL answered";
                for (const std::string& p : paths)
                    line += " " + p;
                say(line);
                done(std::move(paths));
            });
            return;
        }
        std::vector<std::string> answer;
        if (!answers.empty()) {
            answer = std::move(answers.front());
            answers.pop_front();
        }
        runOnMain([done = std::move(done), answer = std::move(answer)] { done(answer); });
    }
};

// A driver's call whose answer comes later; its message is kept for the script context.
struct Pending {
    WebKitScriptMessageReply* reply;
    GObjectPtr<JSCValue> message;
};

void answer(WebKitScriptMessageReply* reply, JSCValue* message, const Json& result)
{
    JSCValue* value = jsc_value_new_from_json(jsc_value_get_context(message), result.dump().c_str());
    webkit_script_message_reply_return_value(reply, value);
    g_object_unref(value);
}

bool spawn(std::vector<std::string> argv, GPid* pid = nullptr)
{
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    auto flags = GSpawnFlags(G_SPAWN_SEARCH_PATH | (pid ? G_SPAWN_DO_NOT_REAP_CHILD : 0));
    return !argv.empty() &&
           g_spawn_async(nullptr, cargv.data(), nullptr, flags, nullptr, nullptr, pid, nullptr);
}

// Runs a program while the main loop goes on (so WebKit sees xdotool's input as a user's) and
// answers once it has exited.
void runToEnd(std::vector<std::string> argv, JSCValue* message, WebKitScriptMessageReply* reply)
{
    GPid pid = 0;
    if (!spawn(std::move(argv), &pid)) {
        answer(reply, message, false);
        return;
    }
    auto* pending = new Pending{webkit_script_message_reply_ref(reply), GObjectPtr<JSCValue>::ref(message)};
    g_child_watch_add(pid, [](GPid pid, gint status, gpointer data) {
        std::unique_ptr<Pending> p(static_cast<Pending*>(data));
        g_spawn_close_pid(pid);
        answer(p->reply, p->message.get(), g_spawn_check_wait_status(status, nullptr) != FALSE);
        webkit_script_message_reply_unref(p->reply);
    }, pending);
}

void onFileManagerCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer)
{
    if (std::strcmp(method, "ShowItems") == 0) {
        GVariantIter* uris = nullptr;
        const char* uri = nullptr;
        g_variant_get(parameters, "(as&s)", &uris, nullptr);
        std::string line = "E2E:REVEAL";
        while (g_variant_iter_loop(uris, "&s", &uri))
            line += std::string(" ") + uri;
        g_variant_iter_free(uris);
        say(line);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void onBusAcquired(GDBusConnection* bus, const char*, gpointer)
{
    static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
        "<arg type='as' direction='in'/><arg type='s' direction='in'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {onFileManagerCall, nullptr, nullptr, {}};
    g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0],
                                      &vtable, nullptr, nullptr, nullptr);
}

class E2eApp : public App {
public:
    E2eApp(std::unique_ptr<E2eHost> host) : App(std::move(host), {.nonUnique = true}) {}

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
        g_timeout_add_seconds(static_cast<guint>(timeoutSeconds), onTimeout, this);
        g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
                       onBusAcquired, nullptr, nullptr, nullptr, nullptr);
    }

    void pageLoaded() override
    {
        if (driverStarted_ || driverFile.empty())
            return;
        driverStarted_ = true;
        std::ifstream in(driverFile);
        std::stringstream script;
        script << in.rdbuf();
        if (!in)
            return finish(false, "cannot read driver " + driverFile);
        std::string wrapped = "(async () => {\n" + script.str() +
                              "\n})().catch(e => window.webkit.messageHandlers.e2e.postMessage("
                              "{cmd: 'done', ok: false, message: 'driver threw: ' + (e && e.stack || e)}));";
        webkit_web_view_evaluate_javascript(webView(), wrapped.c_str(), -1, nullptr,
                                            driverFile.c_str(), nullptr, nullptr, nullptr);
    }

    void messageReceived(const Json&) override
    {
        if (!firstMessageSeen_) {
            firstMessageSeen_ = true;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - kStart);
            say("E2E:FIRST_MESSAGE " + std::to_string(ms.count()));
        }
    }

    void finish(bool ok, const std::string& message, bool quit = true)
    {
        if (finished_)
            return;
        exitStatus = ok ? 0 : 1;
        say(std::string(ok ? "E2E:PASS " : "E2E:FAIL ") + message);
        if (quit) {
            finished_ = true;
            g_application_quit(G_APPLICATION(application()));
        }
    }

    static gboolean onTimeout(gpointer data)
    {
        auto* self = static_cast<E2eApp*>(data);
        if (!self->finished_) {
            say("E2E:TIMEOUT");
            self->finished_ = true;
            self->exitStatus = 3;
            g_application_quit(G_APPLICATION(self->application()));
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean onMessage(WebKitUserContentManager*, JSCValue* value,
                              WebKitScriptMessageReply* reply, gpointer data)
    {
        auto* self = static_cast<E2eApp*>(data);
        char* text = jsc_value_to_json(value, 0);
        Json m = Json::parse(text ? text : "", nullptr, false);
        g_free(text);
        std::string cmd = m.is_object() ? m.value("cmd", "") : "";
        Json result = nullptr;
        if (cmd == "done" || cmd == "verdict") {
            self->finish(m.value("ok", false), m.value("message", ""), cmd == "done");
        } else if (cmd == "drop") {
            std::vector<std::string> paths = strings(m["paths"]);
            self->dropFiles({paths.begin(), paths.end()});
        } else if (cmd == "panel") {
            static_cast<E2eHost&>(self->host()).answers.push_back(strings(m["paths"]));
        } else if (cmd == "run") {
            runToEnd(strings(m["argv"]), value, reply);
            return TRUE;
        } else if (cmd == "snapshot") {
            self->snapshot(self->outDir + "/" + m.value("name", "") + ".png", value, reply);
            return TRUE;
        } else if (cmd == "spawn") {
            result = spawn(strings(m["argv"]));
        } else if (cmd == "menu") {
            auto* actions = G_ACTION_GROUP(self->application());
            std::string action = m.value("action", "");
            bool known = g_action_group_has_action(actions, action.c_str());
            if (known)
                g_action_group_activate_action(actions, action.c_str(), nullptr);
            result = known;
        } else if (cmd == "resize") {
            gtk_window_set_default_size(self->window(), m.value("width", 0), m.value("height", 0));
        } else if (cmd == "window") {
            result = {{"width", gtk_widget_get_width(GTK_WIDGET(self->window()))},
                      {"height", gtk_widget_get_height(GTK_WIDGET(self->window()))}};
        } else {
            webkit_script_message_reply_return_error_message(reply, "unknown e2e command");
            return TRUE;
        }
        answer(reply, value, result);
        return TRUE;
    }

    // The page as shown, rendered by the web view itself (the window's pixels on the display
    // may lag behind).
    void snapshot(std::string path, JSCValue* message, WebKitScriptMessageReply* reply)
    {
        auto* pending = new std::pair<std::string, Pending>(
            std::move(path), Pending{webkit_script_message_reply_ref(reply), GObjectPtr<JSCValue>::ref(message)});
        webkit_web_view_get_snapshot(webView(), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                                     nullptr, onSnapshot, pending);
    }

    static void onSnapshot(GObject* view, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<std::pair<std::string, Pending>> p(static_cast<std::pair<std::string, Pending>*>(data));
        GdkTexture* texture = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, nullptr);
        bool saved = texture && gdk_texture_save_to_png(texture, p->first.c_str());
        g_clear_object(&texture);
        answer(p->second.reply, p->second.message.get(), saved);
        webkit_script_message_reply_unref(p->second.reply);
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
