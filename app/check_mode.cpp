#include "app/check_mode.h"

#include "connect/session.h"

#include <nlohmann/json.hpp>

namespace CheckMode {

Report check(const std::filesystem::path& sessionPath, const ConnectVerifier::Layout& layout,
             std::uint32_t uid, const ConnectVerifier::Runner& runner) {
    const auto health =
        ConnectSession::readDraft(sessionPath.string(), uid).and_then([&](const ConnectDraft& draft) {
            return ConnectVerifier::verify(draft, layout, ConnectVerifier::defaultTimeout, nullptr, runner);
        });
    if (!health) {
        return {ConnectOutcome::failed, std::string(rawValue(health.error()))};
    }
    const std::string detail = "version=" + health->version +
                               " extensionConnected=" + (health->extensionConnected ? "true" : "false");
    return {health->extensionConnected ? ConnectOutcome::alreadyConnected : ConnectOutcome::readyToConnect,
            detail};
}

std::string line(const Report& report) {
    // The version comes from the companion's JSON and so is valid UTF-8; replacement guards the rest.
    const std::string quotedDetail =
        nlohmann::json(report.detail).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return "{\"outcome\":\"" + std::string(rawValue(report.outcome)) + "\",\"detail\":" + quotedDetail +
           "}\n";
}

} // namespace CheckMode
