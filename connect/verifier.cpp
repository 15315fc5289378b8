#include "connect/verifier.h"

#include "connect/file_checks.h"
#include "connect/json_values.h"
#include "connect/session.h"

#include <unistd.h>

namespace ConnectVerifier {
namespace {

ConnectProblem problemForRefusal(std::string_view reason) {
    if (reason == "rejected" || reason == "timeout") {
        return ConnectProblem::tokenNotCurrent;
    }
    if (reason == "no_token" || reason == "bad_port") {
        return ConnectProblem::malformedSession;
    }
    return ConnectProblem::wrongService;
}

ConnectResult<BrokerHealth> readAnswer(std::string_view output) {
    if (auto health = ConnectSession::parseHealth(output)) {
        return *health;
    }
    const auto answer = JsonValues::parseObject(output);
    if (!answer || JsonValues::booleanMember(*answer, "ok") != false) {
        return tl::unexpected(ConnectProblem::wrongService);
    }
    const std::string* reason = JsonValues::stringMember(*answer, "reason");
    if (reason == nullptr) {
        return tl::unexpected(ConnectProblem::wrongService);
    }
    return tl::unexpected(problemForRefusal(*reason));
}

} // namespace

Layout Layout::installed(const std::filesystem::path& resourceRoot, const std::string& scriptName) {
    return Layout{(resourceRoot / "runtime" / "node").string(), (resourceRoot / "bin" / scriptName).string()};
}

Layout Layout::standard(const std::filesystem::path& bundlePath) {
    return installed(FileChecks::withoutTrailingSeparator(bundlePath).parent_path(), "connect-verify.js");
}

bool Layout::usable() const {
    const std::filesystem::path node = nodePath;
    const std::filesystem::path adapter = adapterPath;
    return node.is_absolute() && adapter.is_absolute() && FileChecks::isExecutableFile(node) &&
           FileChecks::exists(adapter);
}

ConnectResult<BrokerHealth> verify(const ConnectDraft& draft, const Layout& layout, double timeout,
                                   ConnectProbeHandle* handle, const Runner& runner,
                                   const PortOwners::TableReader& tables) {
    const auto token = ConnectSession::token(draft.pairURL);
    if (!token) {
        return tl::unexpected(ConnectProblem::malformedSession);
    }
    if (!runner && !layout.usable()) {
        return tl::unexpected(ConnectProblem::verifierUnavailable);
    }
    if (handle != nullptr && handle->isCancelled()) {
        return tl::unexpected(ConnectProblem::cancelled);
    }
    // Asked last, right before the token would leave, so that the answer is as fresh as it can be.
    if (PortOwners::heldByAnotherUser(draft.port, ::getuid(), tables)) {
        return tl::unexpected(ConnectProblem::wrongService);
    }
    const std::vector<std::string> arguments{layout.adapterPath, "--port", std::to_string(draft.port)};
    const auto output = runner ? runner(layout.nodePath, arguments, *token, timeout)
                               : runBounded(layout.nodePath, arguments, *token, timeout, handle);
    if (!output) {
        const bool cancelled = handle != nullptr && handle->isCancelled();
        return tl::unexpected(cancelled ? ConnectProblem::cancelled : ConnectProblem::brokerUnreachable);
    }
    return readAnswer(*output);
}

} // namespace ConnectVerifier
