#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon::test {

// A 4-second 320x240 H.264 clip at 10 frames per second named clip.mp4, made once per test
// process with ffmpeg's test pattern.
std::filesystem::path bridgeClip();

// clip.mp4 with its index at the front and the second half of its data cut off: it opens, but the
// stills of its later part cannot be read.
std::filesystem::path truncatedClip();

// One line the headless bridge printed, split into the page function's name and its argument.
struct PrintedCall {
    std::string name;
    nlohmann::json payload;
};

// Runs `quillon-cli bridge` with the given input lines and --panel answers; returns what it
// printed, line by line, and its exit status. The program is run as the given user when not
// empty (through setpriv), to see what a user without root rights sees.
struct CliRun {
    int status = -1;
    std::vector<std::string> lines;
    std::vector<PrintedCall> calls;

    // The payloads of the calls with the given function name, in order.
    std::vector<nlohmann::json> payloadsOf(const std::string& name) const;
    // The reply to request id; a null json when there is none.
    nlohmann::json replyTo(std::int64_t id) const;
};
CliRun runBridgeCli(const std::vector<std::string>& input, const std::vector<std::string>& panels = {},
                    const std::string& asUser = {});

// A command message line.
std::string command(std::int64_t id, const std::string& cmd, const nlohmann::json& args = nullptr);

}  // namespace quillon::test
