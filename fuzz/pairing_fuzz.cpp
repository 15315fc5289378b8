// The companion's pairing request is the only input of a dialog that decides whether a browser is trusted:
// whatever is accepted must keep every member rule, and the answer echoed back must stay one well-formed
// line.
#include "app/pairing.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unistd.h>

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

bool allOf(std::string_view text, std::size_t length, bool (*allowed)(char)) {
    if (text.size() != length) {
        return false;
    }
    for (const char c : text) {
        if (!allowed(c)) {
            return false;
        }
    }
    return true;
}

bool isIntentCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isLowerHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

void checkRequest(std::string_view line) {
    const auto request = PairingApproval::parseRequest(line);
    if (!request) {
        return;
    }
    require(allOf(request->intentId, 43, isIntentCharacter));
    require(allOf(request->code, 6, isDigit));
    require(request->port >= 1024 && request->port <= 65535);
    require(allOf(request->fingerprint, 16, isLowerHex));
    require(PairingApproval::isShowableLabel(request->label));

    const std::string answer = PairingApproval::answerLine(true, request->intentId);
    require(answer.find('\n') == answer.size() - 1);
    const auto parsed = nlohmann::json::parse(answer, nullptr, /*allow_exceptions=*/false);
    require(parsed.is_object() && parsed.size() == 2 && parsed.value("approved", false) &&
            parsed.value("intentId", std::string()) == request->intentId);
}

// The mode reads its request through a pipe: what comes out is a prefix of the input, one line, within limit.
void checkLineReader(std::string_view input) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    // Inputs fit the pipe's buffer (-max_len is far below it), so the write does not block.
    const ssize_t written = ::write(fds[1], input.data(), input.size());
    ::close(fds[1]);
    const auto line = PairingApproval::readRequestLine(fds[0]);
    ::close(fds[0]);
    if (written != static_cast<ssize_t>(input.size())) {
        return;
    }
    require(!input.empty() || !line);
    if (line) {
        require(input.starts_with(*line) && line->find('\n') == std::string::npos &&
                line->size() <= PairingApproval::maxRequestBytes);
        checkRequest(*line);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkRequest(input);
    checkLineReader(input);
    return 0;
}
