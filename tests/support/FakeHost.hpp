#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/Bridge.hpp"
#include "bridge/Host.hpp"
#include "bridge/Protocol.hpp"

namespace quillon::test {

// One script the bridge delivered: the page function's name and its JSON argument.
using Delivery = protocol::Delivery;

// The payloads of the deliveries to the given page function, in order.
inline std::vector<nlohmann::json> payloadsOf(const std::vector<Delivery>& deliveries, std::string_view name)
{
    std::vector<nlohmann::json> result;
    for (const Delivery& d : deliveries)
        if (d.name == name)
            result.push_back(d.payload);
    return result;
}

// A host without a display: deliveries are recorded, main-loop tasks wait until the test runs
// them with settle(), panels are answered from a list given in advance (cancel when it runs out).
class FakeHost : public Host {
public:
    PanelScript panelAnswers;
    std::vector<PanelRequest> panels;
    std::vector<std::vector<std::string>> revealed;

    void evaluateScript(const std::string& script) override { scripts_.push_back(script); }
    void reveal(const std::vector<std::string>& paths) override { revealed.push_back(paths); }

    void runOnMain(std::function<void()> task) override
    {
        std::lock_guard lock(mutex_);
        mainTasks_.push_back(std::move(task));
    }

    void showPanel(const PanelRequest& request, std::function<void(std::vector<std::string>)> done) override
    {
        panels.push_back(request);
        PanelScript::answerLater(*this, std::move(done), panelAnswers.next());
    }

    // Runs the main-loop tasks posted so far (panel answers among them); how many ran. Main thread.
    std::size_t runMainTasks()
    {
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(mainTasks_);
        }
        for (auto& task : tasks)
            task();
        return tasks.size();
    }

    // Runs main-loop tasks and waits for the bridge's queue until both are empty. Main thread.
    void settle(Bridge& bridge)
    {
        for (;;) {
            const std::size_t ran = runMainTasks();
            bridge.waitIdle();
            std::lock_guard lock(mutex_);
            if (ran == 0 && mainTasks_.empty())
                return;
        }
    }

    const std::vector<std::string>& scripts() const { return scripts_; }
    void clear() { scripts_.clear(); }

    // Every script parsed back; throws on one that is not a call with a JSON argument.
    std::vector<Delivery> deliveries() const
    {
        std::vector<Delivery> result;
        for (const std::string& script : scripts_)
            result.push_back(protocol::parseDelivery(script).value());
        return result;
    }

    std::vector<nlohmann::json> payloadsOf(std::string_view name) const
    {
        return test::payloadsOf(deliveries(), name);
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> mainTasks_;
    std::vector<std::string> scripts_;
};

}  // namespace quillon::test
