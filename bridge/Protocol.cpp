#include "bridge/Protocol.hpp"

namespace quillon::protocol {

std::optional<Delivery> parseDelivery(std::string_view script)
{
    const auto open = script.find('(');
    if (open == std::string_view::npos || script.size() < open + 2 || script.back() != ')')
        return std::nullopt;
    nlohmann::json payload = nlohmann::json::parse(script.substr(open + 1, script.size() - open - 2), nullptr,
                                                   false);
    if (payload.is_discarded())
        return std::nullopt;
    return Delivery{std::string(script.substr(0, open)), std::move(payload)};
}

}  // namespace quillon::protocol
