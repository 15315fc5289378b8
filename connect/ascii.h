#pragma once

/// Character classes of the ASCII texts that other programs hand over (identifiers, digests, codes), tested
/// without the locale: a "digit" is never anything but 0 to 9.
namespace Ascii {

constexpr bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool isLowerHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

constexpr bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace Ascii
