#include "app/configuration_text.h"

#include <nlohmann/json.hpp>

namespace ConfigurationText {
namespace {

std::string entry(const std::filesystem::path& command, bool withArgs) {
    nlohmann::json server = {{"command", command.string()}};
    if (withArgs) {
        server["args"] = nlohmann::json::array();
    }
    const nlohmann::json document = {{"mcpServers", {{"tessaly", server}}}};
    // Members come out in name order; two spaces a level, "/" never escaped, nothing after the last "}".
    constexpr int indent = 2;
    return document.dump(indent, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

} // namespace

std::string setupWindowEntry(const std::filesystem::path& command) {
    return entry(command, true);
}

std::string statusItemSnippet(const std::filesystem::path& command) {
    return entry(command, false);
}

std::filesystem::path statusItemCommand(const Installation::Layout& layout,
                                        const Installation::IsExecutableFile& isExecutableFile) {
    std::filesystem::path beside = layout.resourceRoot / layout.launcher().filename();
    if (!isExecutableFile(beside) && isExecutableFile(layout.launcher())) {
        return layout.launcher();
    }
    return beside;
}

} // namespace ConfigurationText
