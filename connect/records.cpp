#include "connect/records.h"

namespace ConfigurationBundle {

std::string_view retryExplanation(std::optional<ConnectProblem> problem) {
    // Whole sentences rather than a shared prefix joined at run time: they are shown verbatim and must
    // stay greppable.
    if (!problem) {
        return "The connection could not be completed. Nothing was changed. Start or refresh the companion, "
               "then try once more.";
    }
    switch (*problem) {
    case ConnectProblem::noSession:
    case ConnectProblem::malformedSession:
        return "The connection could not be completed. Nothing was changed. Start the companion app, then "
               "try "
               "once more.";
    case ConnectProblem::unsafeFile:
        return "The connection could not be completed. Nothing was changed. The saved session file is not "
               "safe "
               "to use. Restart the companion so it can rewrite it, then try once more.";
    case ConnectProblem::brokerUnreachable:
    case ConnectProblem::wrongService:
        return "The connection could not be completed. Nothing was changed. The companion is not answering "
               "on "
               "this machine. Start or restart it, then try once more.";
    case ConnectProblem::tokenNotCurrent:
        return "The connection could not be completed. Nothing was changed. The companion no longer "
               "recognises "
               "the saved session. Restart the companion to pair again, then try once more.";
    case ConnectProblem::verifierUnavailable:
        return "The connection could not be completed. Nothing was changed. The verification probe could not "
               "run. Restart the companion, then try once more.";
    case ConnectProblem::cancelled:
        return retryExplanation(std::nullopt);
    case ConnectProblem::noSupportedBrowser:
        return "The connection could not be completed. Nothing was changed. Install or open Chrome, "
               "Chromium, "
               "Edge, Brave, Opera or Vivaldi, then try once more.";
    case ConnectProblem::openFailed:
        return "The connection could not be completed. Nothing was changed. The pairing page could not be "
               "opened "
               "in the chosen browser. Open that browser once by hand, then try once more.";
    case ConnectProblem::notAttached:
        return "The connection could not be completed. Nothing was changed. The pairing page opened but the "
               "extension did not attach. Check the extension is installed in that browser, then try once "
               "more.";
    }
    return retryExplanation(std::nullopt);
}

} // namespace ConfigurationBundle
