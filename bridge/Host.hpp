#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quillon {

// A filter of a file panel: a name shown to the user, MIME types and name patterns ("*.mkv").
struct FileFilter {
    std::string name;
    std::vector<std::string> mimeTypes;
    std::vector<std::string> patterns;
};

// What a file or folder panel asks the user for.
struct PanelRequest {
    enum class Kind { OpenFile, OpenFiles, OpenFolder, OpenFolders };
    Kind kind = Kind::OpenFile;
    std::string title;        // the panel's message, e.g. "Choose a video or animated GIF"
    std::string acceptLabel;  // the confirming button, e.g. "Open", "Choose", "Export Here", "Add"
    bool canCreateFolders = false;
    std::vector<FileFilter> filters;  // empty: no filter
};

// What the bridge needs from the program around it: the desktop window (GTK and WebKitGTK) or the
// headless command-line host. Both run a GLib main loop, so deliveries keep one order in both.
class Host {
public:
    virtual ~Host() = default;

    // Main thread. Evaluates script text in the page; the result and any script error are ignored.
    virtual void evaluateScript(const std::string& script) = 0;

    // Any thread. Runs the task later on the main thread; tasks run one at a time in the order
    // posted, also when posted from the main thread itself.
    virtual void runOnMain(std::function<void()> task) = 0;

    // Main thread. Shows a non-modal panel and later calls done on the main thread, once, with the
    // chosen paths in order; an empty list means the user cancelled.
    virtual void showPanel(const PanelRequest& request,
                           std::function<void(std::vector<std::string> paths)> done) = 0;

    // Main thread. Shows the paths selected in the file manager (may be empty). Returns at once.
    virtual void reveal(const std::vector<std::string>& paths) = 0;
};

}  // namespace quillon
