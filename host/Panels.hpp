#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/Host.hpp"

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkFileFilter GtkFileFilter;

namespace quillon {

// The chooser a panel request asks for.
struct ChooserShape {
    bool folders = false;   // choose folders rather than files
    bool multiple = false;  // allow more than one choice
};
ChooserShape chooserShape(PanelRequest::Kind kind);

// The suffix of a simple extension pattern ("*.mkv" -> "mkv", "*.tar.gz" -> "tar.gz"), which GTK
// then matches without regard to case; nothing for other patterns, which are matched as given.
std::optional<std::string> patternSuffix(std::string_view pattern);

// A GTK file filter for one panel filter: its name, MIME types and name patterns. The caller
// owns the result.
GtkFileFilter* makeFileFilter(const FileFilter& filter);

// Main thread. Shows a native, non-modal file chooser for the request, transient for parent, and
// calls done once on the main thread with the chosen local paths in order; cancelling, closing
// the chooser or choosing nothing local answers an empty list.
void showFileChooser(GtkWindow* parent, const PanelRequest& request,
                     std::function<void(std::vector<std::string>)> done);

}  // namespace quillon
