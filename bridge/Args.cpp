#include "bridge/Args.hpp"

#include <cmath>

namespace quillon::args {

namespace {

const Json* find(const Json& args, std::string_view key)
{
    if (!args.is_object())
        return nullptr;
    auto it = args.find(key);
    return it == args.end() ? nullptr : &*it;
}

bool isIntegral(const Json& value)
{
    if (value.is_number_integer())
        return true;
    if (!value.is_number_float())
        return false;
    double d = value.get<double>();
    return std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.0e18;
}

}  // namespace

std::string string(const Json& args, std::string_view key, std::string fallback)
{
    const Json* value = find(args, key);
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

double number(const Json& args, std::string_view key, double fallback)
{
    const Json* value = find(args, key);
    return value && value->is_number() ? value->get<double>() : fallback;
}

std::vector<std::string> strings(const Json& args, std::string_view key)
{
    const Json* value = find(args, key);
    std::vector<std::string> result;
    if (!value || !value->is_array())
        return result;
    result.reserve(value->size());
    for (const Json& element : *value) {
        if (!element.is_string())
            return {};
        result.push_back(element.get<std::string>());
    }
    return result;
}

std::vector<std::int64_t> integers(const Json& args, std::string_view key)
{
    const Json* value = find(args, key);
    std::vector<std::int64_t> result;
    if (!value || !value->is_array())
        return result;
    result.reserve(value->size());
    for (const Json& element : *value) {
        if (!isIntegral(element))
            return {};
        if (element.is_number_unsigned() && element.get<std::uint64_t>() > INT64_MAX)
            return {};
        result.push_back(element.is_number_float()
                             ? static_cast<std::int64_t>(element.get<double>())
                             : element.get<std::int64_t>());
    }
    return result;
}

std::optional<std::string> path(const Json& args, std::string_view key)
{
    const Json* value = find(args, key);
    if (!value || !value->is_string() || value->get_ref<const std::string&>().empty())
        return std::nullopt;
    return value->get<std::string>();
}

}  // namespace quillon::args
