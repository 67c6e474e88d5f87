// quillon-e2e: Quillon's real window with the real page, for end-to-end tests. The shipped
// `quillon` has no test hooks; this executable is built from the same host library and adds:
//
//   quillon-e2e [options] [FILE...]
//     --driver FILE.js    script evaluated in the page once it has loaded and its reply and
//                         event functions exist; it runs as the body of an async function, so
//                         it may await at its top level (a throw fails the run)
//     --panel PATHS       answer for the next panel the bridge shows (repeatable, used in order);
//                         several paths separated by ':' for multi-choice panels; "" cancels;
//                         with no answers left a panel is cancelled. No GTK chooser is shown.
//     --out DIR           folder for snapshots (default: the current folder)
//     --timeout SECONDS   give up after this long with exit status 3 (default 60)
//     --real-panels       show the real GTK file choosers instead (answer them with "keys")
//     --fake-file-manager own org.freedesktop.FileManager1 on the session bus and print each
//                         ShowItems call as "E2E:REVEAL <uri> <uri>..." (run under dbus-run-session)
//     FILE...             handed to the app as on a launch with files ("Open With")
//
// Console messages of the page go to standard error (WebKit writes them there). The driver talks
// to this executable through the message handler "e2e"; every call returns a promise:
//   window.webkit.messageHandlers.e2e.postMessage({cmd: "snapshot", name: "grid"})
//       saves OUT/grid.png of the page as shown; resolves to the file's path
//   {cmd: "drop", paths: [...]}      hands the paths to the bridge as a file drop on the window does
//   {cmd: "panel", paths: [...]}     queues one more panel answer (an empty list cancels)
//   {cmd: "panels"}                  resolves to the panels shown so far:
//                                    [{kind, title, acceptLabel, canCreateFolders, filters}]
//   {cmd: "keys", keys: ["ctrl+a"]}  types key combinations into the window (xdotool, X11 only)
//   {cmd: "xdotool", args: [...]}    runs xdotool with these arguments (pointer moves, drags)
//                                    both resolve once xdotool has exited, to whether it succeeded
//   {cmd: "spawn", argv: [...]}      starts another program (e.g. quillon-e2e-drag-source)
//   {cmd: "menu", action: "copy"}    activates a menu item's action ("app." is implied)
//   {cmd: "resize", width, height}   asks for a new window size (as a user's drag would)
//   {cmd: "toplevels"}               resolves to the titles of this process's visible windows
//   {cmd: "window"}                  resolves to {width, height, title, uri, maximized, fullscreen}
//   {cmd: "done", ok: true|false, message: "..."}  prints the verdict and quits: status 0 or 1
//   {cmd: "verdict", ok, message}    prints the verdict without quitting; the status it gives
//                                    applies when the app ends some other way (window closed)
//
// On standard output it prints "E2E:LOADED <ms>" when the page is ready (as above) and
// "E2E:FIRST_MESSAGE <ms>" when the page's first bridge message arrives, in milliseconds since the
// process started; "E2E:PASS"/"E2E:FAIL" with the verdict's message; "E2E:PANEL", "E2E:SNAPSHOT"
// and "E2E:REVEAL" lines as those happen. Exit status: 0 pass, 1 fail, 3 timed out or no verdict.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include "host/App.hpp"
#include "host/GObjectPtr.hpp"
#include "host/GtkHost.hpp"
#include "host/Panels.hpp"

namespace {

using namespace quillon;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

const Clock::time_point kStart = Clock::now();

long long msSinceStart()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - kStart).count();
}

void say(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::vector<std::string> splitPathList(const std::string& list)
{
    std::vector<std::string> paths;
    std::stringstream in(list);
    std::string path;
    while (std::getline(in, path, ':')) {
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
}

const char* kindName(PanelRequest::Kind kind)
{
    switch (kind) {
    case PanelRequest::Kind::OpenFile:
        return "openFile";
    case PanelRequest::Kind::OpenFiles:
        return "openFiles";
    case PanelRequest::Kind::OpenFolder:
        return "openFolder";
    case PanelRequest::Kind::OpenFolders:
        return "openFolders";
    }
    return "";
}

// Panels are answered from the list given in advance instead of showing a chooser; the answer
// arrives later from the main loop, as a real chooser's would.
class E2eHost : public GtkHost {
public:
    std::deque<std::vector<std::string>> answers;
    Json shown = Json::array();
    bool realPanels = false;

    void showPanel(const PanelRequest& request,
                   std::function<void(std::vector<std::string>)> done) override
    {
        Json filters = Json::array();
        for (const FileFilter& f : request.filters)
            filters.push_back({{"name", f.name}, {"mimeTypes", f.mimeTypes}, {"patterns", f.patterns}});
        shown.push_back({{"kind", kindName(request.kind)},
                         {"title", request.title},
                         {"acceptLabel", request.acceptLabel},
                         {"canCreateFolders", request.canCreateFolders},
                         {"filters", filters}});
        if (realPanels) {
            say("E2E:PANEL " + request.title + " (shown)");
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
            if (!chooserShape(request.kind).multiple && answer.size() > 1)
                answer.resize(1);
        }
        say("E2E:PANEL " + request.title + " -> " + std::to_string(answer.size()) + " path(s)");
        runOnMain([done = std::move(done), answer = std::move(answer)] { done(answer); });
    }
};

struct E2eOptions {
    std::string driverFile;
    std::string outDir = ".";
    int timeoutSeconds = 60;
    bool fakeFileManager = false;
};

class E2eApp : public App {
public:
    E2eApp(std::unique_ptr<E2eHost> host, E2eOptions options)
        : App(std::move(host), {.nonUnique = true}), options_(std::move(options))
    {
    }

    int exitStatus = 3;

private:
    E2eHost& e2eHost() { return static_cast<E2eHost&>(host()); }

    void configureWebView(WebKitWebView* view, WebKitSettings* settings) override
    {
        webkit_settings_set_enable_write_console_messages_to_stdout(settings, TRUE);
        WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view);
        webkit_user_content_manager_register_script_message_handler_with_reply(content, "e2e",
                                                                                nullptr);
        g_signal_connect(content, "script-message-with-reply-received::e2e",
                         G_CALLBACK(onDriverMessage), this);
        g_timeout_add_seconds(static_cast<guint>(options_.timeoutSeconds), onTimeout, this);
        if (options_.fakeFileManager)
            ownFileManagerName();
    }

    void pageLoaded() override
    {
        say("E2E:LOADED " + std::to_string(msSinceStart()));
        if (driverStarted_ || options_.driverFile.empty())
            return;
        driverStarted_ = true;
        std::ifstream in(options_.driverFile);
        std::stringstream script;
        script << in.rdbuf();
        if (!in) {
            finish(false, "cannot read driver " + options_.driverFile);
            return;
        }
        // Run as a module-free async function so the driver may use await at its top level; a
        // rejection counts as a failed run.
        std::string wrapped = "(async () => {\n" + script.str() +
                              "\n})().catch(e => window.webkit.messageHandlers.e2e.postMessage("
                              "{cmd: 'done', ok: false, message: 'driver threw: ' + "
                              "(e && e.stack || e)}));";
        webkit_web_view_evaluate_javascript(webView(), wrapped.c_str(), -1, nullptr,
                                            options_.driverFile.c_str(), nullptr, nullptr,
                                            nullptr);
    }

    void messageReceived(const Json&) override
    {
        if (!firstMessageSeen_) {
            firstMessageSeen_ = true;
            say("E2E:FIRST_MESSAGE " + std::to_string(msSinceStart()));
        }
    }

    void finish(bool ok, const std::string& message)
    {
        if (finished_)
            return;
        finished_ = true;
        exitStatus = ok ? 0 : 1;
        say(std::string(ok ? "E2E:PASS " : "E2E:FAIL ") + message);
        g_application_quit(G_APPLICATION(application()));
    }

    static gboolean onTimeout(gpointer data)
    {
        auto* self = static_cast<E2eApp*>(data);
        if (!self->finished_) {
            say("E2E:TIMEOUT after " + std::to_string(self->options_.timeoutSeconds) + " s");
            self->finished_ = true;
            self->exitStatus = 3;
            g_application_quit(G_APPLICATION(self->application()));
        }
        return G_SOURCE_REMOVE;
    }

    static void replyJson(WebKitScriptMessageReply* reply, JSCValue* value, const Json& result)
    {
        JSCContext* context = jsc_value_get_context(value);
        std::string text = result.dump();
        JSCValue* answer = jsc_value_new_from_json(context, text.c_str());
        webkit_script_message_reply_return_value(reply, answer);
        g_object_unref(answer);
    }

    static gboolean onDriverMessage(WebKitUserContentManager*, JSCValue* value,
                                    WebKitScriptMessageReply* reply, gpointer data)
    {
        auto* self = static_cast<E2eApp*>(data);
        char* text = jsc_value_to_json(value, 0);
        Json message = Json::parse(text ? text : "", nullptr, false);
        g_free(text);
        std::string cmd = message.is_object() ? message.value("cmd", "") : "";

        if (cmd == "done") {
            replyJson(reply, value, nullptr);
            self->finish(message.value("ok", false), message.value("message", ""));
        } else if (cmd == "verdict") {
            replyJson(reply, value, nullptr);
            self->exitStatus = message.value("ok", false) ? 0 : 1;
            say(std::string(self->exitStatus == 0 ? "E2E:PASS " : "E2E:FAIL ") +
                message.value("message", ""));
        } else if (cmd == "snapshot") {
            self->snapshot(message.value("name", "snapshot"), value, reply);
        } else if (cmd == "drop") {
            std::vector<std::filesystem::path> paths;
            for (const Json& p : message.value("paths", Json::array()))
                if (p.is_string())
                    paths.emplace_back(p.get<std::string>());
            self->dropFiles(std::move(paths));
            replyJson(reply, value, nullptr);
        } else if (cmd == "panel") {
            std::vector<std::string> paths;
            for (const Json& p : message.value("paths", Json::array()))
                if (p.is_string())
                    paths.push_back(p.get<std::string>());
            self->e2eHost().answers.push_back(std::move(paths));
            replyJson(reply, value, nullptr);
        } else if (cmd == "panels") {
            replyJson(reply, value, self->e2eHost().shown);
        } else if (cmd == "keys") {
            Json argv = {"xdotool", "key", "--delay", "60"};
            for (const Json& k : message.value("keys", Json::array()))
                argv.push_back(k);
            runToEnd(argv, value, reply);
        } else if (cmd == "xdotool") {
            Json argv = {"xdotool"};
            for (const Json& a : message.value("args", Json::array()))
                argv.push_back(a);
            runToEnd(argv, value, reply);
        } else if (cmd == "spawn") {
            replyJson(reply, value, spawn(message.value("argv", Json::array())));
        } else if (cmd == "menu") {
            std::string action = message.value("action", "");
            bool known = g_action_group_has_action(G_ACTION_GROUP(self->application()),
                                                   action.c_str());
            if (known)
                g_action_group_activate_action(G_ACTION_GROUP(self->application()),
                                               action.c_str(), nullptr);
            replyJson(reply, value, known);
        } else if (cmd == "resize") {
            gtk_window_set_default_size(self->window(), message.value("width", 0),
                                        message.value("height", 0));
            replyJson(reply, value, nullptr);
        } else if (cmd == "toplevels") {
            Json titles = Json::array();
            GListModel* toplevels = gtk_window_get_toplevels();
            for (guint i = 0; i < g_list_model_get_n_items(toplevels); ++i) {
                auto* window = static_cast<GtkWindow*>(g_list_model_get_item(toplevels, i));
                const char* title = gtk_window_get_title(window);
                if (gtk_widget_get_visible(GTK_WIDGET(window)))
                    titles.push_back(title ? title : "");
                g_object_unref(window);
            }
            replyJson(reply, value, titles);
        } else if (cmd == "window") {
            GtkWindow* window = self->window();
            const char* uri = webkit_web_view_get_uri(self->webView());
            replyJson(reply, value,
                      {{"width", gtk_widget_get_width(GTK_WIDGET(window))},
                       {"height", gtk_widget_get_height(GTK_WIDGET(window))},
                       {"title", gtk_window_get_title(window)},
                       {"uri", uri ? uri : ""},
                       {"maximized", gtk_window_is_maximized(window) != FALSE},
                       {"fullscreen", gtk_window_is_fullscreen(window) != FALSE}});
        } else {
            webkit_script_message_reply_return_error_message(reply, "unknown e2e command");
        }
        return TRUE;
    }

    // Starts a program; the main loop keeps running meanwhile, so WebKit sees xdotool's keys and
    // pointer moves as a user's. With `pid` it is left unreaped for a child watch.
    static bool spawn(const Json& args, GPid* pid = nullptr)
    {
        std::vector<std::string> argv;
        for (const Json& a : args)
            if (a.is_string())
                argv.push_back(a.get<std::string>());
        if (argv.empty())
            return false;
        std::vector<char*> cargv;
        for (std::string& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        GError* error = nullptr;
        auto flags = GSpawnFlags(G_SPAWN_SEARCH_PATH | (pid ? G_SPAWN_DO_NOT_REAP_CHILD : 0));
        gboolean ok =
            g_spawn_async(nullptr, cargv.data(), nullptr, flags, nullptr, nullptr, pid, &error);
        if (!ok) {
            say("E2E:SPAWN " + argv.front() + " failed: " + error->message);
            g_error_free(error);
        }
        return ok;
    }

    struct PendingRun {
        WebKitScriptMessageReply* reply;
        GObjectPtr<JSCValue> message;
    };

    // Runs a program and resolves the driver's promise only once it has exited (to whether it
    // succeeded), so that keys typed by consecutive calls arrive in the order they were asked for
    // even when a slow machine starts the programs late.
    static void runToEnd(const Json& argv, JSCValue* message, WebKitScriptMessageReply* reply)
    {
        GPid pid = 0;
        if (!spawn(argv, &pid)) {
            replyJson(reply, message, false);
            return;
        }
        auto* pending =
            new PendingRun{webkit_script_message_reply_ref(reply), GObjectPtr<JSCValue>::ref(message)};
        g_child_watch_add(pid, onRunEnded, pending);
    }

    static void onRunEnded(GPid pid, gint status, gpointer data)
    {
        std::unique_ptr<PendingRun> pending(static_cast<PendingRun*>(data));
        g_spawn_close_pid(pid);
        replyJson(pending->reply, pending->message.get(), g_spawn_check_wait_status(status, nullptr));
        webkit_script_message_reply_unref(pending->reply);
    }

    // The message's value is kept for its JavaScript context, in which the answer is made.
    struct PendingSnapshot {
        E2eApp* app;
        std::string path;
        WebKitScriptMessageReply* reply;
        GObjectPtr<JSCValue> message;
    };

    void snapshot(const std::string& name, JSCValue* message, WebKitScriptMessageReply* reply)
    {
        std::filesystem::path path = std::filesystem::path(options_.outDir) / (name + ".png");
        auto* pending = new PendingSnapshot{this, path.string(), webkit_script_message_reply_ref(reply),
                                            GObjectPtr<JSCValue>::ref(message)};
        webkit_web_view_get_snapshot(webView(), WEBKIT_SNAPSHOT_REGION_VISIBLE,
                                     WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr, onSnapshot, pending);
    }

    static void onSnapshot(GObject* view, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<PendingSnapshot> pending(static_cast<PendingSnapshot*>(data));
        GError* error = nullptr;
        GdkTexture* texture =
            webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), result, &error);
        bool saved = texture && gdk_texture_save_to_png(texture, pending->path.c_str());
        if (texture)
            g_object_unref(texture);
        if (saved) {
            say("E2E:SNAPSHOT " + pending->path);
            replyJson(pending->reply, pending->message.get(), pending->path);
        } else {
            std::string why = error ? error->message : "could not save " + pending->path;
            webkit_script_message_reply_return_error_message(pending->reply, why.c_str());
        }
        g_clear_error(&error);
        webkit_script_message_reply_unref(pending->reply);
    }

    // A stand-in for the desktop's file manager: answers ShowItems and reports the call.
    void ownFileManagerName()
    {
        g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1",
                       G_BUS_NAME_OWNER_FLAGS_NONE, onBusAcquired, nullptr, nullptr, this,
                       nullptr);
    }

    static void onBusAcquired(GDBusConnection* bus, const char*, gpointer)
    {
        static const char kXml[] =
            "<node><interface name='org.freedesktop.FileManager1'>"
            "<method name='ShowItems'><arg type='as' name='uris' direction='in'/>"
            "<arg type='s' name='startupId' direction='in'/></method>"
            "</interface></node>";
        static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kXml, nullptr);
        static const GDBusInterfaceVTable vtable = {onFileManagerCall, nullptr, nullptr, {}};
        g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1",
                                          info->interfaces[0], &vtable, nullptr, nullptr, nullptr);
    }

    static void onFileManagerCall(GDBusConnection*, const char*, const char*, const char*,
                                  const char* method, GVariant* parameters,
                                  GDBusMethodInvocation* invocation, gpointer)
    {
        if (std::strcmp(method, "ShowItems") == 0) {
            GVariantIter* uris = nullptr;
            const char* startupId = nullptr;
            g_variant_get(parameters, "(as&s)", &uris, &startupId);
            std::string line = "E2E:REVEAL";
            const char* uri = nullptr;
            while (g_variant_iter_loop(uris, "&s", &uri))
                line += std::string(" ") + uri;
            g_variant_iter_free(uris);
            say(line);
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    E2eOptions options_;
    bool driverStarted_ = false;
    bool firstMessageSeen_ = false;
    bool finished_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    E2eOptions options;
    auto host = std::make_unique<E2eHost>();
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--driver" && hasValue)
            options.driverFile = argv[++i];
        else if (arg == "--panel" && hasValue)
            host->answers.push_back(splitPathList(argv[++i]));
        else if (arg == "--out" && hasValue)
            options.outDir = argv[++i];
        else if (arg == "--timeout" && hasValue)
            options.timeoutSeconds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--real-panels")
            host->realPanels = true;
        else if (arg == "--fake-file-manager")
            options.fakeFileManager = true;
        else
            rest.push_back(argv[i]);
    }
    E2eApp app(std::move(host), options);
    int status = app.run(static_cast<int>(rest.size()), rest.data());
    return status != 0 ? status : app.exitStatus;
}
