#include "app/pairing.h"

#include "app/display_text.h"
#include "app/output.h"
#include "connect/ascii.h"
#include "connect/json_values.h"
#include "connect/session.h"

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <set>
#include <unistd.h>
#include <utf8proc.h>

namespace PairingApproval {
namespace {

/// True when `value` has exactly `length` characters, each accepted by `allowed`: the whole value, so no
/// trailing line terminator slips through the way a "$" anchor might let it.
template <class Allowed> bool matchesExactly(std::string_view value, std::size_t length, Allowed allowed) {
    return value.size() == length && std::all_of(value.begin(), value.end(), allowed);
}

bool isIntentCharacter(char c) {
    return Ascii::isLetter(c) || Ascii::isDigit(c) || c == '_' || c == '-';
}

/// The object in `line`, unless it is not JSON, not an object, or names a member twice: with two values
/// for one name there is no telling which one the companion meant.
std::optional<nlohmann::json> parseObjectOnce(std::string_view line) {
    std::set<std::string> names;
    bool repeated = false;
    const auto noteNames = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (event == nlohmann::json::parse_event_t::key && depth == 1 &&
            !names.insert(parsed.get<std::string>()).second) {
            repeated = true;
        }
        return true;
    };
    auto document = JsonValues::parse(line, noteNames);
    if (repeated || !document.is_object()) {
        return std::nullopt;
    }
    return document;
}

} // namespace

std::optional<std::string> readRequestLine(int fd) {
    // Two more bytes than a line may hold: room for "\r\n" after the longest line that is allowed.
    constexpr std::size_t budget = maxRequestBytes + 2;
    std::string buffer(budget, '\0');
    std::size_t filled = 0;
    std::size_t newline = std::string::npos;
    while (filled < budget && newline == std::string::npos) {
        const ssize_t got = ::read(fd, buffer.data() + filled, budget - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        const auto found = buffer.find('\n', filled);
        filled += static_cast<std::size_t>(got);
        newline = found < filled ? found : std::string::npos;
    }
    if (filled == 0) {
        return std::nullopt;
    }
    std::string line = buffer.substr(0, std::min(newline, filled));
    if (newline != std::string::npos && line.ends_with('\r')) {
        line.pop_back();
    }
    if (line.size() > maxRequestBytes) {
        return std::nullopt;
    }
    return line;
}

bool isShowableLabel(std::string_view label) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(label.data());
    auto left = static_cast<utf8proc_ssize_t>(label.size());
    std::size_t characters = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t breakState = 0;
    while (left > 0) {
        utf8proc_int32_t scalar = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes, left, &scalar);
        // Bidirectional controls are hidden characters, and the reason for the rule: they can make the label
        // read as something else, the code included. Line and paragraph separators would start a line of the
        // requester's own inside the dialog.
        if (length <= 0 || DisplayText::isHidden(scalar)) {
            return false;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, scalar, &breakState)) {
            ++characters;
        }
        previous = scalar;
        bytes += length;
        left -= length;
    }
    return characters >= 1 && characters <= maxLabelCharacters;
}

std::optional<Request> parseRequest(std::string_view line) {
    const auto object = parseObjectOnce(line);
    constexpr std::size_t memberCount = 5;
    if (!object || object->size() != memberCount) {
        return std::nullopt;
    }
    const std::string* intentId = JsonValues::stringMember(*object, "intentId");
    if (intentId == nullptr || !matchesExactly(*intentId, 43, isIntentCharacter)) {
        return std::nullopt;
    }
    const std::string* code = JsonValues::stringMember(*object, "code");
    if (code == nullptr || !matchesExactly(*code, 6, Ascii::isDigit)) {
        return std::nullopt;
    }
    const std::string* label = JsonValues::stringMember(*object, "label");
    if (label == nullptr || !isShowableLabel(*label)) {
        return std::nullopt;
    }
    const auto portMember = object->find("port");
    const auto port = portMember == object->end() ? std::nullopt : JsonValues::wholeNumber(*portMember);
    if (!port || !ConnectSession::allowedPortRange.contains(*port)) {
        return std::nullopt;
    }
    const std::string* fingerprint = JsonValues::stringMember(*object, "fingerprint");
    if (fingerprint == nullptr || !matchesExactly(*fingerprint, 16, Ascii::isLowerHex)) {
        return std::nullopt;
    }
    return Request{*intentId, *code, *label, *port, *fingerprint};
}

AlertSpec dialog(const Request& request) {
    AlertSpec spec;
    spec.messageText = "Remember this browser?";
    const std::string beforeLabel = "Compare this code with the extension page:\n\n" + request.code +
                                    "\n\nOnly approve if both codes match. This browser can use the existing "
                                    "browser tools on this computer until revoked.\n\nRequested name "
                                    "(unverified): ";
    spec.informativeText = beforeLabel + request.label + "\nLocal port: " + std::to_string(request.port) +
                           "\nCompanion identity: " + request.fingerprint;
    // The label is the requester's own text: it is shown apart, so that it cannot pose as an instruction.
    spec.quotedValue =
        QuotedValue{beforeLabel.size(), request.label.size(), DisplayText::quoted(request.label)};
    spec.buttons = {"Reject", "Codes match - approve"};
    spec.style = AlertStyle::informational;
    spec.activate = true;
    return spec;
}

std::string answerLine(bool approved, const std::string& intentId) {
    // An object's members come out in name order, so "approved" leads.
    const nlohmann::json answer = {{"approved", approved}, {"intentId", intentId}};
    return answer.dump() + "\n";
}

int run(bool modeArgumentOnly, int inputFd, int outputFd, const ShowDialog& showDialog) {
    if (!modeArgumentOnly) {
        return unusableStatus;
    }
    const auto line = readRequestLine(inputFd);
    const auto request = line ? parseRequest(*line) : std::nullopt;
    if (!request) {
        return unusableStatus;
    }
    const auto answer = showDialog(dialog(*request));
    if (!answer) {
        return unusableStatus;
    }
    const bool approved = answer->response == firstButtonResponse + 1;
    // An answer that never reached the companion is no answer: it must not look like one.
    return writeAll(outputFd, answerLine(approved, request->intentId)) ? answeredStatus : unusableStatus;
}

} // namespace PairingApproval
