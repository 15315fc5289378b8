#include "app/presence.h"

#include "connect/json_values.h"

namespace Presence {
namespace {

std::optional<std::string> text(const nlohmann::json& object, const char* key) {
    const std::string* value = JsonValues::stringMember(object, key);
    return value != nullptr ? std::optional(*value) : std::nullopt;
}

} // namespace

std::optional<Report> parse(std::string_view output) {
    const auto object = JsonValues::parseObject(output);
    if (!object) {
        return std::nullopt;
    }
    return Report{text(*object, "state"), text(*object, "title"), text(*object, "detail"),
                  text(*object, "action"), text(*object, "version")};
}

std::optional<Report> probe(const std::string& runtimePath, const std::string& scriptPath,
                            ConnectProbeHandle& handle, const ConnectVerifier::Runner& runner) {
    const auto output =
        runner ? runner(runtimePath, {scriptPath}, "", probeTimeoutSeconds)
               : ConnectVerifier::runBounded(runtimePath, {scriptPath}, "", probeTimeoutSeconds, &handle);
    return output ? parse(*output) : std::nullopt;
}

} // namespace Presence
