#pragma once
// For the bridge, hostile and CLI tests: a clip, `quillon-cli bridge` runs, a bridge on a fake host.
#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "bridge/Bridge.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon::test {

inline std::string command(std::int64_t id, const std::string& cmd, const Json& args = Json::object())
{
    return Json{{"id", id}, {"cmd", cmd}, {"args", args}}.dump();
}

// The file names of a list of written paths, in order.
inline std::vector<std::string> fileNames(const Json& paths)
{
    std::vector<std::string> names;
    for (const Json& path : paths)
        names.push_back(std::filesystem::path(path.get<std::string>()).filename().string());
    return names;
}

// The names in a folder, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A 4 s 320x240 H.264 clip at 10 fps named clip.mp4, made once per test process.
inline std::filesystem::path bridgeClip()
{
    static const std::filesystem::path clip = [] {
        std::filesystem::path file = freshDir("bridge-clip") / "clip.mp4";
        EXPECT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=4 "
                      "-c:v libx264 -pix_fmt yuv420p -g 10 " +
                      shellQuote(file.string())),
                  0);
        return file;
    }();
    return clip;
}

// What `quillon-cli bridge` printed, each line split into the page function and its argument.
struct CliRun {
    int status = -1;
    std::vector<std::string> lines;
    std::vector<Delivery> calls;

    std::vector<Json> payloadsOf(std::string_view name) const { return test::payloadsOf(calls, name); }
    Json replyTo(std::int64_t id) const
    {
        for (const Json& reply : payloadsOf(protocol::kResolveReply))
            if (reply.value("id", std::int64_t{-1}) == id)
                return reply;
        return nullptr;
    }
};

// prefix: shell words before the program (limits, another user); options: after "bridge".
inline CliRun runBridgeCli(const std::vector<std::string>& input, const std::string& options = "",
                           const std::string& prefix = "")
{
    static int counter = 0;
    std::filesystem::path dir = freshDir("cli-run-" + std::to_string(++counter));
    {
        std::ofstream in(dir / "in.txt");
        for (const std::string& line : input)
            in << line << '\n';
    }
    CliRun result;
    result.status = run(prefix + shellQuote(cliPath().string()) + " bridge" + options + " < " +
                        shellQuote((dir / "in.txt").string()) + " > " +
                        shellQuote((dir / "out.txt").string()));
    std::ifstream printed(dir / "out.txt");
    for (std::string line; std::getline(printed, line);) {
        result.lines.push_back(line);
        // Throws on a line that is not a call with a JSON argument.
        result.calls.push_back(protocol::parseDelivery(line).value());
    }
    return result;
}

// A bridge on a fake host; each call runs a command or a drop to the end.
struct Rig {
    FakeHost host;
    Bridge bridge{host};  // after host: destroyed first
    std::int64_t nextId = 1;

    // The reply {"id", "ok", "payload"}; null, and a failure, when none came.
    Json send(const std::string& cmd, const Json& args = Json::object())
    {
        std::int64_t id = nextId++;
        bridge.handleMessage({{"id", id}, {"cmd", cmd}, {"args", args}});
        host.settle(bridge);
        for (const Json& reply : host.payloadsOf(protocol::kResolveReply))
            if (reply["id"] == id)
                return reply;
        ADD_FAILURE() << cmd << " got no reply";
        return nullptr;
    }

    // Only what this command delivers is kept; the reply's payload, failures as {"failed": message}.
    Json result(const std::string& cmd, const Json& args = Json::object())
    {
        host.clear();
        const Json reply = send(cmd, args);
        return reply.value("ok", false) ? reply["payload"] : Json{{"failed", reply.value("payload", Json())}};
    }

    // Only what the drop delivers is kept.
    void drop(std::vector<std::filesystem::path> files)
    {
        host.clear();
        bridge.handleDrop(std::move(files));
        host.settle(bridge);
    }

    // The page functions called, in order.
    std::vector<std::string> sequence() const
    {
        std::vector<std::string> names;
        for (const Delivery& d : host.deliveries())
            names.push_back(d.name);
        return names;
    }

    // The image records of every chunk, in order.
    std::vector<Json> records() const
    {
        std::vector<Json> all;
        for (const Json& chunk : host.payloadsOf(protocol::kImagesChunk))
            all.insert(all.end(), chunk["items"].begin(), chunk["items"].end());
        return all;
    }
};

}  // namespace quillon::test
