#include "connect/json_values.h"

#include <cmath>
#include <limits>

namespace JsonValues {

nlohmann::json parse(std::string_view bytes, const nlohmann::json::parser_callback_t& callback) {
    // The parser takes a NUL byte for the end of its input, which would let anything follow a document
    // unseen; no well-formed JSON text contains one.
    if (bytes.find('\0') != std::string_view::npos) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    // No exceptions: a parse failure comes back as a discarded value.
    return nlohmann::json::parse(bytes.begin(), bytes.end(), callback, /*allow_exceptions=*/false);
}

std::optional<nlohmann::json> parseObject(std::string_view bytes) {
    auto document = parse(bytes);
    if (!document.is_object()) {
        return std::nullopt;
    }
    return document;
}

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // -2^63 is representable exactly; 2^63 is not an int64, so the upper bound is exclusive.
        constexpr double lower = -9223372036854775808.0;
        constexpr double upper = 9223372036854775808.0;
        if (!std::isfinite(number) || std::trunc(number) != number || number < lower || number >= upper) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

const std::string* stringMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        return nullptr;
    }
    return found->get_ptr<const std::string*>();
}

std::optional<bool> booleanMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

} // namespace JsonValues
