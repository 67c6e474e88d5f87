// The page and the host name the same functions and commands, and deliveries parse back.
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/Protocol.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

std::string readSource(const std::string& relative)
{
    return test::contents(std::string(QUILLON_SOURCE_DIR) + "/" + relative);
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern)
{
    std::set<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
        found.insert((*it)[1].str());
    return found;
}

std::string pageFunction(std::string_view hostName)
{
    constexpr std::string_view kWindow = "window.";
    EXPECT_TRUE(hostName.starts_with(kWindow)) << hostName;
    return std::string(hostName.substr(kWindow.size()));
}

TEST(ProtocolTest, PageAndHostNameTheSameFunctionsAndCommands)
{
    const std::string client = readSource("web/bridge-client.js");
    const std::string app = readSource("web/app.js");
    ASSERT_FALSE(client.empty());
    ASSERT_FALSE(app.empty());

    // The keys of the page's kEventFunctions table.
    const std::size_t table = client.find("kEventFunctions = Object.freeze({");
    ASSERT_NE(table, std::string::npos);
    const std::string body = client.substr(table, client.find("});", table) - table);
    std::set<std::string> hostEvents;
    for (std::string_view event : protocol::kEvents)
        hostEvents.insert(pageFunction(event));
    EXPECT_EQ(matches(body, std::regex(R"((__\w+)\s*:)")), hostEvents);
    EXPECT_EQ(hostEvents.size(), std::size(protocol::kEvents));

    EXPECT_EQ(matches(client, std::regex(R"(kReplyFunction = '(\w+)')")),
              std::set<std::string>{pageFunction(protocol::kResolveReply)});

    // Every command the page sends is one the host knows.
    std::set<std::string> hostCommands;
    for (const Bridge::Command& command : Bridge::kCommands)
        hostCommands.insert(std::string(command.name));
    const std::set<std::string> pageCommands = matches(app, std::regex(R"(request\('(\w+)')"));
    ASSERT_FALSE(pageCommands.empty());
    for (const std::string& command : pageCommands)
        EXPECT_TRUE(hostCommands.count(command)) << command;
}

TEST(ProtocolTest, ArgumentsOfAnotherKindThanTheirDefaultTakeTheDefault)
{
    const Json defaults = {{"format", "png"}, {"quality", 1.0}, {"folders", false}};
    const std::vector<std::pair<Json, Json>> cases = {
        // arguments, what the command sees
        {Json::object(), defaults},
        {nullptr, defaults},
        {{{"format", "jpg"}, {"quality", 0.5}, {"folders", true}},
         {{"format", "jpg"}, {"quality", 0.5}, {"folders", true}}},
        {{{"quality", 0}}, {{"format", "png"}, {"quality", 0}, {"folders", false}}},  // integers are numbers
        {{{"quality", true}, {"format", 3}, {"folders", "yes"}}, defaults},
        {{{"quality", "0.5"}, {"format", nullptr}, {"folders", 1}}, defaults},
        {{{"format", ""}, {"ids", {1, 2}}},
         {{"format", ""}, {"quality", 1.0}, {"folders", false}, {"ids", {1, 2}}}},
    };
    for (const auto& [given, expected] : cases)
        EXPECT_EQ(args::withDefaults(given, defaults), expected) << given;
}

TEST(ProtocolTest, DeliveriesParseBackOrAreRejected)
{
    auto reply = protocol::parseDelivery(
        R"js(window.__bridgeResolveRaw({"id":3,"ok":true,"payload":"a(b)"}))js");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->name, protocol::kResolveReply);
    EXPECT_EQ(reply->payload["payload"], "a(b)");

    auto drop = protocol::parseDelivery("window.__onDrop(null)");
    ASSERT_TRUE(drop);
    EXPECT_EQ(drop->name, protocol::kDrop);
    EXPECT_TRUE(drop->payload.is_null());

    for (const char* malformed : {"", "window.__onDrop", "window.__onDrop(", "window.__onDrop()",
                                  "window.__onDrop({)", "window.__onDrop(1"})
        EXPECT_FALSE(protocol::parseDelivery(malformed)) << malformed;
}

}  // namespace
}  // namespace quillon
