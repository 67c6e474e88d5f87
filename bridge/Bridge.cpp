#include "bridge/Bridge.hpp"

#include <array>
#include <utility>

#include "bridge/Args.hpp"
#include "bridge/Protocol.hpp"
#include "media/SamplePlan.hpp"

namespace quillon {

namespace {

// The longer side of the viewer's picture when the page names none.
constexpr int kPictureDefaultSide = 1280;

// Compact JSON text. Bytes that are not UTF-8 (a file name from a foreign file system) become
// U+FFFD instead of failing the whole payload; nothing when the value still cannot be written.
std::optional<std::string> serialise(const Json& value)
{
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

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

}  // namespace

Json parseMessage(std::string_view text)
{
    if (!nestsAtMost(text, kMaxMessageDepth))
        return Json(Json::value_t::discarded);
    return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

const std::array<Bridge::Command, 18> Bridge::kCommands{{
    {"chooseVideo", [](Bridge& b, std::int64_t i, const Json&) { b.chooseVideo(i); }},
    {"loadVideo", [](Bridge& b, std::int64_t i, const Json& a) { b.loadVideo(i, a); }},
    {"extract",
     [](Bridge& b, std::int64_t i, const Json& a) { b.extract(i, a); },
     {{"stepPercent", kDefaultStepPercent}}},
    {"export",
     [](Bridge& b, std::int64_t i, const Json& a) { b.exportFrames(i, a); },
     {{"format", "png"}, {"quality", 1.0}}},
    {"chooseDest", [](Bridge& b, std::int64_t i, const Json&) { b.chooseDest(i); }},
    {"reveal", [](Bridge& b, std::int64_t i, const Json& a) { b.reveal(i, a); }},
    {"setMode", [](Bridge& b, std::int64_t i, const Json& a) { b.setMode(i, a); }, {{"mode", "video"}}},
    {"chooseImages",
     [](Bridge& b, std::int64_t i, const Json& a) { b.chooseImages(i, a); },
     {{"folders", false}}},
    {"importImages", [](Bridge& b, std::int64_t i, const Json& a) { b.importImages(i, a); }},
    {"exportImages",
     [](Bridge& b, std::int64_t i, const Json& a) { b.exportImages(i, a); },
     {{"format", "png"}, {"quality", 1.0}, {"keepDetails", false}, {"toSrgb", false}}},
    {"getSettings", [](Bridge& b, std::int64_t i, const Json&) { b.getSettings(i); }},
    {"saveSettings", [](Bridge& b, std::int64_t i, const Json& a) { b.saveSettingsCommand(i, a); }},
    {"cancel", [](Bridge& b, std::int64_t i, const Json&) { b.cancel(i); }},
    {"setPageState", [](Bridge& b, std::int64_t i, const Json& a) { b.setPageState(i, a); }},
    {"stillPicture",
     [](Bridge& b, std::int64_t i, const Json& a) { b.stillPicture(i, a); },
     {{"maxSide", kPictureDefaultSide}}},
    {"stepStill",
     [](Bridge& b, std::int64_t i, const Json& a) { b.stepStill(i, a); },
     {{"maxSide", kPictureDefaultSide}}},
    {"restoreStill",
     [](Bridge& b, std::int64_t i, const Json& a) { b.restoreStill(i, a); },
     {{"maxSide", kPictureDefaultSide}}},
    {"imagePicture",
     [](Bridge& b, std::int64_t i, const Json& a) { b.imagePicture(i, a); },
     {{"maxSide", kPictureDefaultSide}}},
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
    auto idValue = body.find("id");
    auto cmdValue = body.find("cmd");
    if (idValue == body.end() || cmdValue == body.end() || !cmdValue->is_string())
        return;
    std::optional<std::int64_t> id = args::integer(*idValue);
    if (!id)
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
    Json envelope = {{"id", id}, {"ok", ok}, {"payload", payload}};
    if (auto text = serialise(envelope))
        deliver(std::string(protocol::kResolveReply) + "(" + *text + ")");
}

void Bridge::emit(std::string_view name, const Json& payload)
{
    if (auto text = serialise(payload))
        deliver(std::string(name) + "(" + *text + ")");
}

void Bridge::deliver(std::string script)
{
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
