#pragma once

#include "app/desktop.h"
#include "connect/flow.h"

#include <functional>
#include <optional>

/// The interactive connect mode: one attempt after another, each needing the user's "Try again" after a
/// failure, until one does not fail or the user closes the question.
namespace ConnectMode {

/// The question after a failed attempt, explaining `problem`.
AlertSpec retryAlert(std::optional<ConnectProblem> problem);

/// Runs attempts with dependencies from `makeDependencies`, built afresh for each, and asks through
/// `runAlert` after each failure. Answers the exit status of the last attempt's outcome.
int run(const std::function<ConnectFlow::Dependencies()>& makeDependencies,
        const std::function<AlertAnswer(const AlertSpec&)>& runAlert);

} // namespace ConnectMode
