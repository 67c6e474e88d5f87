#pragma once

#include <deque>
#include <functional>
#include <initializer_list>
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

// Panel answers given in advance, for the hosts nobody sits at (the command line, tests): each
// panel shown takes the next answer, in order, and is cancelled once they run out. Main thread.
class PanelScript {
public:
    PanelScript(std::initializer_list<std::vector<std::string>> answers = {}) : answers_(answers) {}

    void add(std::vector<std::string> answer) { answers_.push_back(std::move(answer)); }

    // The next answer, or a cancel (no paths) when none is left.
    std::vector<std::string> next()
    {
        if (answers_.empty())
            return {};
        std::vector<std::string> answer = std::move(answers_.front());
        answers_.pop_front();
        return answer;
    }

    // Calls done with `paths` later, from the host's main loop, never inside this call: the way a
    // real panel answers.
    static void answerLater(Host& host, std::function<void(std::vector<std::string>)> done,
                            std::vector<std::string> paths)
    {
        host.runOnMain([done = std::move(done), paths = std::move(paths)] { done(paths); });
    }

private:
    std::deque<std::vector<std::string>> answers_;
};

}  // namespace quillon
