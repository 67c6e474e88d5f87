#include "cli/BatchSession.hpp"

#include <csignal>

#include <glib-unix.h>
#include <glib.h>

#include "bridge/Protocol.hpp"

namespace quillon::cli {

BatchSession::BatchSession(EventHandler onEvent)
    : onEvent_(std::move(onEvent)), host_({}, [this](const std::string& script) { receive(script); })
{
    interruptSource_ = g_unix_signal_add(SIGINT, &BatchSession::onInterrupt, this);
}

BatchSession::~BatchSession()
{
    if (interruptSource_)
        g_source_remove(interruptSource_);
}

int BatchSession::onInterrupt(void* data)
{
    // Runs from the main loop, so the cancel is an ordinary message to the bridge. Removing the
    // source gives SIGINT back its default action: a second Ctrl+C ends the process at once,
    // which leaves no partial file either (files are published only when complete).
    auto* self = static_cast<BatchSession*>(data);
    self->interrupted_ = true;
    self->interruptSource_ = 0;
    self->bridge_.handleMessage({{"id", self->nextId_++}, {"cmd", "cancel"}});
    return G_SOURCE_REMOVE;
}

Reply BatchSession::request(const std::string& cmd, const nlohmann::json& args)
{
    if (interrupted_)
        return Reply{false, "Cancelled"};
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
