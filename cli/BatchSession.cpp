#include "cli/BatchSession.hpp"

#include <glib.h>

#include "bridge/Protocol.hpp"

namespace quillon::cli {

BatchSession::BatchSession(EventHandler onEvent)
    : onEvent_(std::move(onEvent)), host_({}, [this](const std::string& script) { receive(script); })
{
}

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

void BatchSession::receive(const std::string& script)
{
    std::optional<protocol::Delivery> delivery = protocol::parseDelivery(script);
    if (!delivery)
        return;
    if (delivery->name == protocol::kResolveReply) {
        if (delivery->payload.value("id", std::int64_t{-1}) == waitingFor_)
            reply_ = Reply{delivery->payload.value("ok", false), delivery->payload["payload"]};
        return;
    }
    if (onEvent_)
        onEvent_(delivery->name, delivery->payload);
}

}  // namespace quillon::cli
