// The command dispatcher with a fake host: any JSON value as a message body, or, when the input is
// a JSON array, each element in turn as one message (so sequences such as open, extract, export
// are reached). Every request with a valid id must be answered exactly once.
#include <map>

#include "bridge/Bridge.hpp"
#include "tests/fuzz/FuzzInput.hpp"
#include "tests/support/FakeHost.hpp"

namespace {

using quillon::Json;

// Paths are kept inside the scratch folder: absolute paths and ".." are rewritten, so a mutated
// "dest" never writes outside it. Relative paths resolve against the working folder, which
// run.sh makes a folder of its own holding the seed clips.
void confine(Json& value)
{
    if (value.is_string()) {
        std::string text = value.get<std::string>();
        if (!text.empty() && (text.front() == '/' || text.find("..") != std::string::npos))
            value = (quillon::fuzz::scratchDir() / "out").string();
        return;
    }
    if (value.is_array() || value.is_object()) {
        for (Json& element : value)
            confine(element);
    }
}

// The id a well-formed message carries, as the bridge reads it; nothing for malformed ones.
std::optional<std::int64_t> expectedId(const Json& body)
{
    if (!body.is_object() || !body.contains("cmd") || !body["cmd"].is_string() || !body.contains("id"))
        return std::nullopt;
    const Json& id = body["id"];
    if (id.is_number_integer() && !(id.is_number_unsigned() && id.get<std::uint64_t>() > INT64_MAX))
        return id.get<std::int64_t>();
    if (id.is_number_float()) {
        double d = id.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Json input = Json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (input.is_discarded())
        return 0;
    confine(input);
    std::filesystem::create_directories(quillon::fuzz::scratchDir() / "out");

    std::vector<Json> messages;
    if (input.is_array() && input.size() <= 8) {
        for (const Json& m : input)
            messages.push_back(m);
    } else {
        messages.push_back(input);
    }

    quillon::test::FakeHost host;
    quillon::Bridge bridge(host);
    std::map<std::int64_t, int> expected;
    for (const Json& message : messages) {
        if (auto id = expectedId(message))
            ++expected[*id];
        bridge.handleMessage(message);
        host.settle(bridge);
    }
    std::map<std::int64_t, int> answered;
    for (const Json& reply : host.payloadsOf("window.__bridgeResolveRaw"))
        ++answered[reply["id"].get<std::int64_t>()];
    if (answered != expected)
        __builtin_trap();  // a request answered twice, or not at all, or an answer nobody asked for

    // Exports of earlier inputs would otherwise pile up and push names to ever longer suffix runs.
    std::error_code error;
    std::filesystem::remove_all(quillon::fuzz::scratchDir() / "out", error);
    std::filesystem::remove_all("out", error);
    return 0;
}
