#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/Bridge.hpp"
#include "cli/CliHost.hpp"

namespace quillon::cli {

// One reply of the bridge: "ok" and the payload (the result, or the message when ok is false).
struct Reply {
    bool ok = false;
    nlohmann::json payload;
};

// Drives the very same Bridge as the window from a shell command: sends one command message at a
// time and runs the GLib main loop until its reply has been delivered. Events delivered meanwhile
// go to the event handler as (page function name, payload). Panels are always answered as
// cancelled (batch commands pass their destination), reveal shows nothing. Main thread only.
// The first SIGINT while a session exists cancels the command running (it answers with what it
// finished and "cancelled": true) and every later request fails with "Cancelled" without being
// sent; a second SIGINT ends the process as usual.
class BatchSession {
public:
    using EventHandler = std::function<void(const std::string& name, const nlohmann::json& payload)>;

    explicit BatchSession(EventHandler onEvent);
    ~BatchSession();
    BatchSession(const BatchSession&) = delete;
    BatchSession& operator=(const BatchSession&) = delete;

    // Sends {"id", "cmd", "args"} and runs the main loop until its reply has been delivered. The
    // message is always well formed, so the bridge answers it exactly once.
    Reply request(const std::string& cmd, const nlohmann::json& args);

private:
    static int onInterrupt(void* self);
    void receive(const std::string& script);

    EventHandler onEvent_;
    std::int64_t nextId_ = 1;
    std::int64_t waitingFor_ = 0;
    std::optional<Reply> reply_;
    bool interrupted_ = false;      // SIGINT has cancelled the session's work
    unsigned interruptSource_ = 0;  // the GLib source watching SIGINT, 0 once it has fired
    CliHost host_;
    Bridge bridge_{host_};  // last: destroyed first, so its queue stops before the host goes away
};

}  // namespace quillon::cli
