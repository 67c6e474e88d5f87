#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include <gtk/gtk.h>
#include <nlohmann/json.hpp>

#include "host/GObjectPtr.hpp"
#include "host/GtkHost.hpp"

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitSettings WebKitSettings;

namespace quillon {

class Bridge;

// The desktop application: one window whose web view shows Quillon's page and talks to the one
// Bridge. Destroys, in this order: the window (and the file choosers it parents), the Bridge (stops
// its work queue; callbacks of its panels and reveals that the host runs later do nothing), the GTK
// application, then the host the bridge posted to. Main thread only.
//
// Quitting (the menu, Ctrl+Q, closing the window) while work runs or stills or images are on
// screen asks first (see QuitGuard.hpp); what the page holds it reports with "setPageState". Once
// confirmed, the window goes and the bridge stops its work after the item in hand.
//
// Files given on the command line (or by a desktop's "Open With") arrive through GApplication's
// "open": they are handed to the bridge as if dropped on the window once the page has sent its
// first message, so that the page's handlers for the drop's events exist.
class App {
public:
    struct Options {
        // Allow several instances at once (the test executable); the shipped app is unique, and
        // a second launch hands its files to the first.
        bool nonUnique = false;
    };

    App(std::unique_ptr<GtkHost> host, Options options);
    virtual ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Runs the application until its window closes or Quit is chosen; the exit status.
    int run(int argc, char** argv);

    // Hands files to the bridge as a drop on the window would (until the page has sent its first
    // message they wait for it). Ignores an empty list.
    void dropFiles(std::vector<std::filesystem::path> files);

    GtkApplication* application() const { return app_.get(); }
    GtkWindow* window() const { return window_; }
    WebKitWebView* webView() const { return view_; }
    GtkHost& host() const { return *host_; }

protected:
    // Hooks for the test executable; the shipped app leaves them empty.
    virtual void configureWebView(WebKitWebView*, WebKitSettings*) {}
    virtual void pageLoaded() {}  // the page has sent its first message: its script functions exist
    virtual void messageReceived(const nlohmann::json&) {}
    // The question asked before quitting while it is shown, else nullptr.
    GtkWindow* quitDialog() const { return quitDialog_; }

private:
    friend struct AppSignals;  // the GTK and WebKit signal handlers (App.cpp)

    void buildWindow();
    void addActions();
    void handleMessage(const nlohmann::json& body);
    void pageAnnounced();
    // Keeps the window's size in the user's settings for the next start.
    void rememberWindowSize();
    // Quits, or closes the window (which quits), after asking when something would be lost.
    enum class QuitBy { Quit, CloseWindow };
    void requestQuit(QuitBy by);
    bool mayQuitWithoutAsking() const;

    std::unique_ptr<GtkHost> host_;
    std::unique_ptr<Bridge> bridge_;
    GObjectPtr<GtkApplication> app_;
    GtkWindow* window_ = nullptr;    // owned by GTK's window list while open
    WebKitWebView* view_ = nullptr;  // owned by the window
    bool pageReady_ = false;         // the page has sent a message since it started loading
    std::vector<std::filesystem::path> pendingDrops_;
    GtkWindow* quitDialog_ = nullptr;  // destroyed with the window
    bool quitConfirmed_ = false;
};

}  // namespace quillon
