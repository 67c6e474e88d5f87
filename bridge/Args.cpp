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

// The elements when the key holds an array whose every element `convert` takes; otherwise none.
template <typename T, typename Convert>
std::vector<T> listOf(const Json& args, std::string_view key, Convert convert)
{
    const Json* value = find(args, key);
    std::vector<T> result;
    if (!value || !value->is_array())
        return result;
    result.reserve(value->size());
    for (const Json& element : *value) {
        std::optional<T> item = convert(element);
        if (!item)
            return {};
        result.push_back(std::move(*item));
    }
    return result;
}

}  // namespace

std::optional<std::int64_t> integer(const Json& value)
{
    if (value.is_number_unsigned()) {
        auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<std::int64_t>(n);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double d = value.get<double>();
        // -2^63 is exactly representable; 2^63 is the first double past the range.
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

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
    return listOf<std::string>(args, key, [](const Json& element) {
        return element.is_string() ? std::optional(element.get<std::string>()) : std::nullopt;
    });
}

std::vector<std::int64_t> integers(const Json& args, std::string_view key)
{
    return listOf<std::int64_t>(args, key, integer);
}

std::optional<std::string> path(const Json& args, std::string_view key)
{
    const Json* value = find(args, key);
    if (!value || !value->is_string() || value->get_ref<const std::string&>().empty())
        return std::nullopt;
    return value->get<std::string>();
}

Json withDefaults(const Json& args, const Json& defaults)
{
    Json result = args.is_object() ? args : Json::object();
    for (const auto& [key, fallback] : defaults.items()) {
        auto value = result.find(key);
        const bool sameKind = value != result.end() &&
                              (value->is_number() ? fallback.is_number() : value->type() == fallback.type());
        if (!sameKind)
            result[key] = fallback;
    }
    return result;
}

}  // namespace quillon::args
