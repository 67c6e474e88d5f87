#include "cli/BatchSession.hpp"

#include <glib.h>

namespace quillon::cli {

BatchSession::BatchSession(EventHandler onEvent) : onEvent_(std::move(onEvent)), bridge_(*this) {}

BatchSession::~BatchSession() = default;

Reply BatchSession::request(const std::string& cmd, const nlohmann::json& args)
{
    const std::int64_t id = nextId_++;
    waitingFor_ = id;
    reply_.reset();
    bridge_.handleMessage({{"id", id}, {"cmd", cmd}, {"args", args}});
    while (!reply_)
        g_main_context_iteration(nullptr, TRUE);
    return *reply_;
}

void BatchSession::evaluateScript(const std::string& script)
{
    // A delivery is the page function's name, "(", one JSON value, ")".
    const auto open = script.find('(');
    if (open == std::string::npos || script.size() < open + 2)
        return;
    const std::string name = script.substr(0, open);
    nlohmann::json value =
        nlohmann::json::parse(script.substr(open + 1, script.size() - open - 2), nullptr, false);
    if (value.is_discarded())
        return;
    if (name == "window.__bridgeResolveRaw") {
        if (value.value("id", std::int64_t{-1}) == waitingFor_)
            reply_ = Reply{value.value("ok", false), value["payload"]};
        return;
    }
    if (onEvent_)
        onEvent_(name, value);
}

void BatchSession::runOnMain(std::function<void()> task) { mainQueue_.post(std::move(task)); }

void BatchSession::showPanel(const PanelRequest&, std::function<void(std::vector<std::string>)> done)
{
    mainQueue_.post([done = std::move(done)] { done({}); });
}

void BatchSession::reveal(const std::vector<std::string>&) {}

}  // namespace quillon::cli
