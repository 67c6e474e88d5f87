#include "tests/bridge/BridgeFixtures.hpp"

#include <fstream>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/TestMedia.hpp"

namespace quillon::test {

namespace {

std::filesystem::path clipDir()
{
    static std::filesystem::path dir = freshDir("bridge-clips");
    return dir;
}

}  // namespace

std::filesystem::path bridgeClip()
{
    static std::once_flag once;
    std::filesystem::path clip = clipDir() / "clip.mp4";
    std::call_once(once, [&] {
        int status = run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=4 "
                         "-c:v libx264 -pix_fmt yuv420p -g 10 " +
                         shellQuote(clip.string()));
        if (status != 0)
            ADD_FAILURE() << "ffmpeg could not make the test clip (libx264 missing?)";
    });
    return clip;
}

std::filesystem::path truncatedClip()
{
    static std::once_flag once;
    std::filesystem::path clip = clipDir() / "cut.mp4";
    std::call_once(once, [&] {
        std::filesystem::path whole = clipDir() / "cut-whole.mp4";
        int status = run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=4 "
                         "-c:v libx264 -pix_fmt yuv420p -g 5 -movflags +faststart " +
                         shellQuote(whole.string()));
        if (status != 0) {
            ADD_FAILURE() << "ffmpeg could not make the test clip";
            return;
        }
        std::ifstream in(whole, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(clip, std::ios::binary).write(bytes.data(),
                                                    static_cast<std::streamsize>(bytes.size() / 2));
    });
    return clip;
}

std::vector<nlohmann::json> CliRun::payloadsOf(const std::string& name) const
{
    std::vector<nlohmann::json> result;
    for (const PrintedCall& call : calls) {
        if (call.name == name)
            result.push_back(call.payload);
    }
    return result;
}

nlohmann::json CliRun::replyTo(std::int64_t id) const
{
    for (const nlohmann::json& reply : payloadsOf("window.__bridgeResolveRaw")) {
        if (reply.value("id", std::int64_t{-1}) == id)
            return reply;
    }
    return nullptr;
}

CliRun runBridgeCli(const std::vector<std::string>& input, const std::vector<std::string>& panels,
                    const std::string& asUser)
{
    static int counter = 0;
    std::filesystem::path dir = freshDir("bridge-cli-" + std::to_string(++counter));
    std::filesystem::path inputFile = dir / "input.txt";
    std::filesystem::path outputFile = dir / "output.txt";
    {
        std::ofstream out(inputFile);
        for (const std::string& line : input)
            out << line << '\n';
    }
    std::string commandLine;
    if (!asUser.empty())
        commandLine = "setpriv --reuid=" + asUser + " --regid=" + asUser + " --clear-groups ";
    commandLine += shellQuote(cliPath().string()) + " bridge";
    for (const std::string& panel : panels)
        commandLine += " --panel " + shellQuote(panel);
    commandLine += " < " + shellQuote(inputFile.string()) + " > " + shellQuote(outputFile.string());

    CliRun result;
    result.status = run(commandLine);
    std::ifstream printed(outputFile);
    std::string line;
    while (std::getline(printed, line)) {
        result.lines.push_back(line);
        auto open = line.find('(');
        if (open == std::string::npos || line.back() != ')') {
            ADD_FAILURE() << "not a page call: " << line;
            continue;
        }
        PrintedCall call;
        call.name = line.substr(0, open);
        call.payload = nlohmann::json::parse(line.substr(open + 1, line.size() - open - 2), nullptr, false);
        if (call.payload.is_discarded())
            ADD_FAILURE() << "argument is not JSON: " << line;
        result.calls.push_back(std::move(call));
    }
    return result;
}

std::string command(std::int64_t id, const std::string& cmd, const nlohmann::json& args)
{
    nlohmann::json message = {{"id", id}, {"cmd", cmd}};
    if (!args.is_null())
        message["args"] = args;
    return message.dump();
}

}  // namespace quillon::test
