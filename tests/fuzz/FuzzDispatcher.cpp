// The dispatcher on a fake host: the input as one message of any JSON value, or an array of up to 8
// messages in turn (to reach open, extract, export). Each usable request id is answered once.
#include <cmath>
#include <map>

#include "bridge/Bridge.hpp"
#include "tests/fuzz/FuzzInput.hpp"
#include "tests/support/FakeHost.hpp"

namespace {

using quillon::Json;

// Absolute paths and ".." become the scratch "out" folder; relative paths resolve in the working
// folder, which run.sh fills with the seed clips.
void confine(Json& value)
{
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (!text.empty() && (text.front() == '/' || text.find("..") != std::string::npos))
            value = (quillon::fuzz::scratchDir() / "out").string();
    } else if (value.is_array() || value.is_object()) {
        for (Json& element : value)
            confine(element);
    }
}

// The request id of a well-formed message as the bridge reads it; nothing for malformed ones.
std::optional<std::int64_t> expectedId(const Json& body)
{
    if (!body.is_object() || !body.contains("cmd") || !body["cmd"].is_string() || !body.contains("id"))
        return std::nullopt;
    const Json& id = body["id"];
    if (id.is_number_integer() && !(id.is_number_unsigned() && id.get<std::uint64_t>() > INT64_MAX))
        return id.get<std::int64_t>();
    const double d = id.is_number_float() ? id.get<double>() : NAN;
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return static_cast<std::int64_t>(d);
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Json input = quillon::parseMessage(std::string_view(reinterpret_cast<const char*>(data), size));
    if (input.is_discarded())
        return 0;
    confine(input);
    const auto out = quillon::fuzz::scratchDir() / "out";
    std::filesystem::create_directories(out);
    const std::vector<Json> messages = input.is_array() && input.size() <= 8 ? input.get<std::vector<Json>>()
                                                                             : std::vector<Json>{input};
    quillon::test::FakeHost host;
    quillon::Bridge bridge(host);
    std::map<std::int64_t, int> expected, answered;
    for (const Json& message : messages) {
        if (auto id = expectedId(message))
            ++expected[*id];
        bridge.handleMessage(message);
        host.settle(bridge);
    }
    for (const Json& reply : host.payloadsOf("window.__bridgeResolveRaw"))
        ++answered[reply["id"].get<std::int64_t>()];
    if (answered != expected)
        __builtin_trap();  // a request answered twice or not at all, or an answer nobody asked for

    // Otherwise exports pile up into ever longer suffix runs.
    std::error_code error;
    std::filesystem::remove_all(out, error);
    std::filesystem::remove_all("out", error);
    return 0;
}
