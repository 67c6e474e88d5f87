#include "host/GtkHost.hpp"

#include <webkit/webkit.h>

#include "host/PagePolicy.hpp"
#include "host/Panels.hpp"
#include "host/Reveal.hpp"

namespace quillon {

void GtkHost::attach(GtkWindow* window, WebKitWebView* view)
{
    window_ = window;
    view_ = view;
}

void GtkHost::detach()
{
    window_ = nullptr;
    view_ = nullptr;
}

void GtkHost::evaluateScript(const std::string& script)
{
    if (!view_)
        return;
    const char* uri = webkit_web_view_get_uri(view_);
    if (!uri || !isOwnPageURI(uri))
        return;
    webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
}

void GtkHost::runOnMain(std::function<void()> task) { mainQueue_.post(std::move(task)); }

void GtkHost::showPanel(const PanelRequest& request, std::function<void(std::vector<std::string> paths)> done)
{
    showFileChooser(window_, request, std::move(done));
}

void GtkHost::reveal(const std::vector<std::string>& paths) { revealInFileManager(paths); }

}  // namespace quillon
