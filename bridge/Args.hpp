#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon {

using Json = nlohmann::json;

// Reading a command's arguments. "args" is always an object here (the dispatcher replaces anything
// else by an empty one). A value of the wrong type never fails a command: it gives the default.
namespace args {

// A JSON integer, or a floating-point number with an integral value, within the range of int64.
// Booleans and strings are not numbers.
std::optional<std::int64_t> integer(const Json& value);
// The value when the key holds a string (the empty string counts), else the fallback.
std::string string(const Json& args, std::string_view key, std::string fallback);
// The value when the key holds a number (integers widened to double; booleans are not numbers).
double number(const Json& args, std::string_view key, double fallback);
// The strings when the key holds an array of strings only; otherwise (one element of another
// type, absent, not an array) an empty list.
std::vector<std::string> strings(const Json& args, std::string_view key);
// The integers when the key holds an array of integral numbers only; otherwise an empty list.
std::vector<std::int64_t> integers(const Json& args, std::string_view key);
// A path argument: present only when the key holds a non-empty string.
std::optional<std::string> path(const Json& args, std::string_view key);
// The arguments with each key of `defaults` holding a value of its default's kind (number,
// string, boolean ...): an absent one, or one of another kind, becomes the default. Integers and
// floating-point numbers are one kind; other keys are kept as they are.
Json withDefaults(const Json& args, const Json& defaults);

}  // namespace args
}  // namespace quillon
