#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bridge/Host.hpp"
#include "bridge/MainQueue.hpp"

namespace quillon::cli {

// The host of the headless bridge: nobody sits at the panels and the page is a function.
// - evaluateScript() hands the script to the page function; by default it prints the script as
//   one line and flushes it.
// - runOnMain() posts to the GLib default main context through a MainQueue (FIFO, also from the
//   main thread); the caller iterates that context on the main thread.
// - showPanel() answers each panel, in the order shown, with the next of the given answers, and
//   with a cancel once they run out; panels that take several paths split an answer at ':'.
// - reveal() shows nothing.
class CliHost : public Host {
public:
    using Page = std::function<void(const std::string& script)>;

    explicit CliHost(const std::vector<std::string>& panelAnswers, Page page = printLine);

    void evaluateScript(const std::string& script) override { page_(script); }
    void runOnMain(std::function<void()> task) override;
    void showPanel(const PanelRequest& request,
                   std::function<void(std::vector<std::string> paths)> done) override;
    void reveal(const std::vector<std::string>&) override {}

    // Main-loop tasks posted and not yet finished.
    std::size_t pendingTasks() const { return mainQueue_.pending(); }

    // Main thread. Main-loop tasks run so far (panel answers included).
    std::size_t tasksRun() const { return tasksRun_; }

private:
    static void printLine(const std::string& script);

    Page page_;
    std::size_t tasksRun_ = 0;  // main thread only
    MainQueue mainQueue_;
    PanelScript panels_;
};

}  // namespace quillon::cli
