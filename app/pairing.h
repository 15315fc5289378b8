#pragma once

#include "app/desktop.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

/// The companion asks, one request line on standard input, whether a browser may be remembered; the user
/// compares codes and the answer goes back as one line on standard output.
namespace PairingApproval {

inline constexpr std::size_t maxRequestBytes = 4096;
inline constexpr std::size_t maxLabelCharacters = 80;

/// Exit statuses: an answer was written, or the invocation or request could not be used.
inline constexpr int answeredStatus = 0;
inline constexpr int unusableStatus = 2;

struct Request {
    std::string intentId;
    std::string code;
    std::string label;
    std::int64_t port = 0;
    std::string fingerprint;

    friend bool operator==(const Request&, const Request&) = default;
};

/// The first line of `fd` without its terminator ("\n" or "\r\n"); a last line without one counts. None
/// when input ends before any character, cannot be read, or the line is longer than maxRequestBytes.
/// Reads at most maxRequestBytes + 2 bytes, whatever follows.
std::optional<std::string> readRequestLine(int fd);

/// The request in `line` when it is a JSON object with exactly the five members, each keeping its rule.
std::optional<Request> parseRequest(std::string_view line);

/// True for a label that may be shown: not empty, at most maxLabelCharacters user-perceived characters,
/// valid UTF-8, and free of control, format, line-separator and paragraph-separator characters.
bool isShowableLabel(std::string_view label);

/// The approval dialog for `request`.
AlertSpec dialog(const Request& request);

/// The answer line, line feed included.
std::string answerLine(bool approved, const std::string& intentId);

/// Shows the dialog and answers its response, or none when no dialog can be shown.
using ShowDialog = std::function<std::optional<AlertAnswer>(const AlertSpec&)>;

/// The whole mode: refuses any argument after the mode's own (`modeArgumentOnly` false), reads the request
/// from `inputFd`, asks `showDialog`, writes the answer to `outputFd`. Answers the exit status.
int run(bool modeArgumentOnly, int inputFd, int outputFd, const ShowDialog& showDialog);

} // namespace PairingApproval
