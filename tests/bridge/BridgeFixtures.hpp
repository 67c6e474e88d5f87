#pragma once
// For the bridge, hostile and CLI tests: a clip, `quillon-cli bridge` runs, a bridge on a fake host.
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

// A 4 s 320x240 H.264 clip at 10 fps named clip.mp4, made once per test process.
inline std::filesystem::path bridgeClip()
{
    static const std::filesystem::path clip = [] {
        std::filesystem::path file = freshDir("bridge-clip") / "clip.mp4";
        EXPECT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=4 "
                      "-c:v libx264 -pix_fmt yuv420p -g 10 " + shellQuote(file.string())), 0);
        return file;
    }();
    return clip;
}

// What `quillon-cli bridge` printed, each line split into the page function and its argument.
struct CliRun {
    int status = -1;
    std::vector<std::string> lines;
    std::vector<Delivery> calls;

    std::vector<Json> payloadsOf(const std::string& name) const
    {
        std::vector<Json> result;
        for (const Delivery& call : calls)
            if (call.name == name)
                result.push_back(call.payload);
        return result;
    }
    Json replyTo(std::int64_t id) const
    {
        for (const Json& reply : payloadsOf("window.__bridgeResolveRaw"))
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
                        shellQuote((dir / "in.txt").string()) + " > " + shellQuote((dir / "out.txt").string()));
    std::ifstream printed(dir / "out.txt");
    FakeHost page;
    for (std::string line; std::getline(printed, line);) {
        result.lines.push_back(line);
        page.evaluateScript(line);
    }
    result.calls = page.deliveries();  // throws on a line that is not a call with a JSON argument
    return result;
}

// A bridge on a fake host; send() runs one command to the end and returns its reply.
struct Rig {
    FakeHost host;
    Bridge bridge{host};
    std::int64_t nextId = 1;

    Json send(const std::string& cmd, const Json& args = Json::object())
    {
        std::int64_t id = nextId++;
        bridge.handleMessage({{"id", id}, {"cmd", cmd}, {"args", args}});
        host.settle(bridge);
        for (const Json& reply : host.payloadsOf("window.__bridgeResolveRaw"))
            if (reply["id"] == id)
                return reply;
        ADD_FAILURE() << cmd << " got no reply";
        return nullptr;
    }
};

}  // namespace quillon::test
