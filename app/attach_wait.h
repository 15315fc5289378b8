#pragma once

#include "app/desktop.h"
#include "connect/records.h"
#include "connect/runner.h"
#include "connect/wait.h"

#include <functional>

/// The wait for the extension once the pairing page is open: a floating panel with Cancel, while a worker
/// asks the companion, one verification at a time, whether the extension has attached. Whatever the wait
/// starts (panel, worker, probe handle) ends with it, so that no verifier outlives it.
namespace DesktopAttachWait {

inline constexpr double timeoutSeconds = 90;
/// The name of the worker that the verifications run on.
inline constexpr const char* workerName = "tsm.connect.probe";

/// One verification of the draft under the wait's probe handle; it runs on the worker, never on the main
/// thread.
using Verify = std::function<ConnectResult<BrokerHealth>(const ConnectDraft&, ConnectProbeHandle&)>;
/// Runs a job on the worker; a parameter so that the rules can be followed step by step in tests.
using Submit = std::function<void(std::function<void()> job)>;

struct Environment {
    /// The panel, the event loop, the hand-over to the main thread and the end alerts.
    Desktop desktop;
    Verify verify;
    /// Empty: a worker of the wait's own, named workerName.
    Submit submit;
    std::function<ConnectWait::Instant()> now = &ConnectWait::Clock::now;
};

/// Shown when the extension attached.
AlertSpec attachedAlert();
/// Shown when the wait ran out.
AlertSpec timedOutAlert();

/// Waits for the extension to attach to the companion of `draft`, and tells the user how it ended unless
/// the user cancelled.
ConnectWait::Result run(const ConnectDraft& draft, const Environment& environment);

} // namespace DesktopAttachWait
