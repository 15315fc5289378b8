#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

/// Enumerations whose cases travel as text (the check line, exit paths) specialise RawValues with their
/// raw values in case order; rawValue and fromRawValue then work for all of them alike.
template <class E> struct RawValues;

template <class E> constexpr std::string_view rawValue(E value) {
    return RawValues<E>::names[static_cast<std::size_t>(value)];
}

/// The case whose raw value equals `text` exactly (case-sensitive, no trimming), or none.
template <class E> constexpr std::optional<E> fromRawValue(std::string_view text) {
    const auto& names = RawValues<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) {
            return static_cast<E>(i);
        }
    }
    return std::nullopt;
}
