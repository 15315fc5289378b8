#include "app/connect_mode.h"

namespace ConnectMode {

AlertSpec retryAlert(std::optional<ConnectProblem> problem) {
    AlertSpec spec;
    spec.messageText = "Try again?";
    spec.informativeText = std::string(ConfigurationBundle::retryExplanation(problem));
    spec.buttons = {"Close", "Try again"};
    spec.style = AlertStyle::warning;
    spec.activate = true;
    return spec;
}

int run(const std::function<ConnectFlow::Dependencies()>& makeDependencies,
        const std::function<AlertAnswer(const AlertSpec&)>& runAlert) {
    while (true) {
        std::optional<ConnectProblem> lastProblem;
        const ConnectOutcome outcome =
            ConnectFlow::run(makeDependencies(), [&](ConnectProblem problem) { lastProblem = problem; });
        if (outcome != ConnectOutcome::failed ||
            runAlert(retryAlert(lastProblem)).response != firstButtonResponse + 1) {
            return exitCode(outcome);
        }
    }
}

} // namespace ConnectMode
