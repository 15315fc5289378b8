#include "app/display_text.h"

#include <utf8proc.h>

namespace DisplayText {
namespace {

constexpr utf8proc_int32_t replacementCharacter = 0xFFFD;

/// Calls `each` with every scalar of `text` in order, U+FFFD for each byte that does not start a valid UTF-8
/// sequence, until `each` answers false.
template <class Each> void forEachScalar(std::string_view text, Each each) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t scalar = replacementCharacter;
        utf8proc_ssize_t length = utf8proc_iterate(bytes, left, &scalar);
        if (length <= 0) {
            scalar = replacementCharacter;
            length = 1;
        }
        if (!each(scalar)) {
            return;
        }
        bytes += length;
        left -= length;
    }
}

void append(std::string& text, utf8proc_int32_t scalar) {
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t length = utf8proc_encode_char(scalar, encoded);
    text.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

/// Unicode's White_Space: the space separators, the line and paragraph separators, and the controls that
/// move to the next tab stop or line.
bool isWhiteSpace(utf8proc_int32_t scalar) {
    switch (utf8proc_category(scalar)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return true;
    default:
        return (scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x85;
    }
}

} // namespace

bool isHidden(std::int32_t scalar) {
    switch (utf8proc_category(scalar)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return true;
    default:
        return false;
    }
}

std::string oneLine(std::string_view text, std::size_t maxClusters) {
    std::string shown;
    std::size_t clusters = 0;
    // Where the last cluster that may stay starts: the ellipsis takes its place when another follows.
    std::size_t lastStart = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t breakState = 0;
    forEachScalar(text, [&](utf8proc_int32_t scalar) {
        if (isHidden(scalar)) {
            return true;
        }
        // Counted after the hidden characters are gone: a dropped joiner no longer holds two clusters
        // together.
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, scalar, &breakState)) {
            if (++clusters == maxClusters) {
                lastStart = shown.size();
            } else if (clusters > maxClusters) {
                shown.resize(lastStart);
                shown += "\u2026";
                return false;
            }
        }
        append(shown, scalar);
        previous = scalar;
        return true;
    });
    return shown;
}

std::string quoted(std::string_view value) {
    std::string shown = "\u201C";
    bool inWhiteSpace = false;
    forEachScalar(value, [&](utf8proc_int32_t scalar) {
        const bool white = isWhiteSpace(scalar);
        if (!white || !inWhiteSpace) {
            append(shown, white ? ' ' : scalar);
        }
        inWhiteSpace = white;
        return true;
    });
    return shown + "\u201D";
}

} // namespace DisplayText
