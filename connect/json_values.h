#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

/// The two readings of outside JSON that the session file, the health report and the verifier's answer share.
namespace JsonValues {

/// The document in `bytes` when it is well-formed JSON (UTF-8, nothing after it), else a discarded value.
/// `callback`, when given, sees the parse as nlohmann's parser callbacks do.
nlohmann::json parse(std::string_view bytes, const nlohmann::json::parser_callback_t& callback = nullptr);

/// The document in `bytes` when it is well-formed JSON (UTF-8, nothing after it) with an object at the top.
std::optional<nlohmann::json> parseObject(std::string_view bytes);

/// The value of a JSON number with a whole value that fits a signed 64-bit integer (2.0 counts, 2.5 does
/// not); none for anything else, Booleans and numeric strings included.
std::optional<std::int64_t> wholeNumber(const nlohmann::json& value);

/// The member `key` of `object` when it is present and a string.
const std::string* stringMember(const nlohmann::json& object, const char* key);

/// The member `key` of `object` when it is present and a Boolean.
std::optional<bool> booleanMember(const nlohmann::json& object, const char* key);

} // namespace JsonValues
