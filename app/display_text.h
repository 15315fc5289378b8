#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// How a text that another program wrote is made fit to show: it may be any bytes, of any length, and may
/// try to read as something the program says itself.
namespace DisplayText {

/// True for control, format, line-separator and paragraph-separator characters. They draw nothing of their
/// own, yet can end a line, hide a character or turn the text around, so that it reads as something else.
bool isHidden(std::int32_t scalar);

/// `text` as one bounded line: each byte that is not part of valid UTF-8 becomes U+FFFD, hidden characters
/// are dropped, and a text of more than `maxClusters` (at least 1) user-perceived characters keeps its first
/// maxClusters - 1 and ends in "…", so that it never has more than `maxClusters`.
std::string oneLine(std::string_view text, std::size_t maxClusters);

/// `value` between typographic quotation marks, each run of white space shown as one space: a wide gap can
/// make a part of the value look like a line of its own. Bytes that are not valid UTF-8 become U+FFFD.
std::string quoted(std::string_view value);

} // namespace DisplayText
