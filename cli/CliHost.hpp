#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "bridge/Host.hpp"
#include "bridge/MainQueue.hpp"

namespace quillon::cli {

// The host of the headless bridge: standard output is the page and nobody sits at the panels.
// - evaluateScript() prints the script as one line and flushes it.
// - runOnMain() posts to the GLib default main context through a MainQueue (FIFO, also from the
//   main thread); the caller iterates that context on the main thread.
// - showPanel() answers each panel, in the order shown, with the next of the given answers, and
//   with a cancel once they run out; panels that take several paths split an answer at ':'.
// - reveal() shows nothing.
class CliHost : public Host {
public:
    explicit CliHost(std::vector<std::string> panelAnswers);

    void evaluateScript(const std::string& script) override;
    void runOnMain(std::function<void()> task) override;
    void showPanel(const PanelRequest& request,
                   std::function<void(std::vector<std::string> paths)> done) override;
    void reveal(const std::vector<std::string>& paths) override;

    // Main-loop tasks posted and not yet finished.
    std::size_t pendingTasks() const { return mainQueue_.pending(); }

    // Main thread. Main-loop tasks run so far (panel answers included).
    std::size_t tasksRun() const { return tasksRun_; }

private:
    std::size_t tasksRun_ = 0;  // main thread only
    MainQueue mainQueue_;
    std::deque<std::string> panelAnswers_;  // main thread only
};

}  // namespace quillon::cli
