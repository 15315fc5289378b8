#include "connect/json_values.h"
#include "connect/session.h"

namespace ConnectSession {

std::optional<BrokerHealth> parseHealth(std::string_view bytes) {
    const auto report = JsonValues::parseObject(bytes);
    if (!report || JsonValues::booleanMember(*report, "ok") != true) {
        return std::nullopt;
    }
    const std::string* version = JsonValues::stringMember(*report, "version");
    if (version == nullptr || version->empty()) {
        return std::nullopt;
    }
    const auto protocolMember = report->find("protocolVersion");
    if (protocolMember == report->end()) {
        return std::nullopt;
    }
    const auto protocolVersion = JsonValues::wholeNumber(*protocolMember);
    const auto extensionConnected = JsonValues::booleanMember(*report, "extensionConnected");
    if (!protocolVersion || !extensionConnected) {
        return std::nullopt;
    }
    return BrokerHealth{*version, *protocolVersion, *extensionConnected};
}

} // namespace ConnectSession
