#pragma once

#include "bridge/Host.hpp"
#include "bridge/MainQueue.hpp"

typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

namespace quillon {

// The bridge's host in the desktop window: scripts go to the window's web view, main-thread tasks
// to the GLib main loop (in order), panels are native file choosers, reveal asks the file manager.
// Create and destroy it on the main thread; destroy the Bridge that uses it first.
class GtkHost : public Host {
public:
    GtkHost() = default;

    // Main thread. The window and its web view, once they exist; both are borrowed and must
    // outlive the host's use of them (detach() before they go).
    void attach(GtkWindow* window, WebKitWebView* view);
    void detach();

    // Scripts are evaluated only while the view shows Quillon's own page.
    void evaluateScript(const std::string& script) override;
    void runOnMain(std::function<void()> task) override;
    void showPanel(const PanelRequest& request,
                   std::function<void(std::vector<std::string> paths)> done) override;
    void reveal(const std::vector<std::string>& paths) override;

protected:
    GtkWindow* window() const { return window_; }
    WebKitWebView* view() const { return view_; }

private:
    MainQueue mainQueue_;
    GtkWindow* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
};

}  // namespace quillon
