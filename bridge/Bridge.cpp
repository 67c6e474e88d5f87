#include "bridge/Bridge.hpp"

#include <array>
#include <type_traits>
#include <utility>

#include "bridge/Args.hpp"
#include "bridge/Protocol.hpp"
#include "media/SamplePlan.hpp"

namespace quillon {

namespace {

// The longer side of the viewer's picture when the page names none.
constexpr int kPictureDefaultSide = 1280;

// Whether arrays and objects in the JSON text nest at most `limit` deep, brackets inside strings
// not counted. Linear and without recursion, so it is safe on any input.
bool nestsAtMost(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// Calls a command's handler, which takes the arguments when it has any.
template <auto handler>
void call(Bridge& bridge, std::int64_t id, const Json& args)
{
    if constexpr (std::is_invocable_v<decltype(handler), Bridge&, std::int64_t>)
        (bridge.*handler)(id);
    else
        (bridge.*handler)(id, args);
}

}  // namespace

Json parseMessage(std::string_view text)
{
    if (!nestsAtMost(text, kMaxMessageDepth))
        return Json(Json::value_t::discarded);
    return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

const std::array<Bridge::Command, 18> Bridge::kCommands{{
    {"chooseVideo", call<&Bridge::chooseVideo>},
    {"loadVideo", call<&Bridge::loadVideo>},
    {"extract", call<&Bridge::extract>, {{"stepPercent", kDefaultStepPercent}}},
    {"export", call<&Bridge::exportFrames>, {{"format", "png"}, {"quality", 1.0}}},
    {"chooseDest", call<&Bridge::chooseDest>},
    {"reveal", call<&Bridge::reveal>},
    {"setMode", call<&Bridge::setMode>, {{"mode", "video"}}},
    {"chooseImages", call<&Bridge::chooseImages>, {{"folders", false}}},
    {"importImages", call<&Bridge::importImages>},
    {"exportImages",
     call<&Bridge::exportImages>,
     {{"format", "png"}, {"quality", 1.0}, {"keepDetails", false}, {"toSrgb", false}}},
    {"getSettings", call<&Bridge::getSettings>},
    {"saveSettings", call<&Bridge::saveSettingsCommand>},
    {"cancel", call<&Bridge::cancel>},
    {"setPageState", call<&Bridge::setPageState>},
    {"stillPicture", call<&Bridge::stillPicture>, {{"maxSide", kPictureDefaultSide}}},
    {"stepStill", call<&Bridge::stepStill>, {{"maxSide", kPictureDefaultSide}}},
    {"restoreStill", call<&Bridge::restoreStill>, {{"maxSide", kPictureDefaultSide}}},
    {"imagePicture", call<&Bridge::imagePicture>, {{"maxSide", kPictureDefaultSide}}},
}};

Bridge::Bridge(Host& host) : host_(host) {}

Bridge::~Bridge()
{
    alive_.reset();
    // Abandon what is queued and let a running task end at its next item before any state it
    // uses goes away.
    io_.stop();
}

void Bridge::handleMessage(const Json& body)
{
    if (!body.is_object() || body.empty())
        return;
    const std::optional<std::int64_t> id = args::integer(body.value("id", Json()));
    auto cmdValue = body.find("cmd");
    if (!id || cmdValue == body.end() || !cmdValue->is_string())
        return;
    const std::string& cmd = cmdValue->get_ref<const std::string&>();
    auto argsValue = body.find("args");
    const Json args = argsValue != body.end() && argsValue->is_object() ? *argsValue : Json::object();

    for (const Command& command : kCommands) {
        if (command.name == cmd) {
            command.run(*this, *id, args::withDefaults(args, command.defaults));
            return;
        }
    }
    resolve(*id, false, "unknown cmd: " + cmd);
}

void Bridge::waitIdle() { io_.waitIdle(); }

void Bridge::queueCommand(std::int64_t id, std::function<void()> work)
{
    io_.async(std::move(work), [this, id] { resolve(id, false, "Cancelled"); });
}

void Bridge::cancel(std::int64_t id)
{
    // The running task answers for itself with what it finished; queued commands answer
    // "Cancelled" in their turn on io, so every reply keeps its place behind the events before it.
    io_.cancel();
    resolve(id, true, nullptr);
}

void Bridge::resolve(std::int64_t id, bool ok, const Json& payload)
{
    emit(protocol::kResolveReply, {{"id", id}, {"ok", ok}, {"payload", payload}});
}

void Bridge::emit(std::string_view name, const Json& payload)
{
    // Compact JSON text. Bytes that are not UTF-8 (a file name from a foreign file system) become
    // U+FFFD instead of failing the whole payload; nothing is sent when it still cannot be written.
    std::string script(name);
    try {
        script += "(" + payload.dump(-1, ' ', false, Json::error_handler_t::replace) + ")";
    } catch (const Json::exception&) {
        return;
    }
    // Always through the main loop, also from the main thread, so every delivery keeps the order
    // in which it was made and a reply never overtakes the events sent before it.
    Host& host = host_;
    host_.runOnMain([&host, script = std::move(script)] { host.evaluateScript(script); });
}

Bridge::CurrentSource Bridge::currentSource() const
{
    std::lock_guard lock(sourceMutex_);
    return current_;
}

}  // namespace quillon
