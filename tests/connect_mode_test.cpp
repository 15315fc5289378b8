#include "app/attach_wait.h"
#include "app/connect_desktop.h"
#include "app/connect_mode.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>

namespace {

/// A desktop whose clock moves only while its event loop "runs", which then delivers work posted by any
/// thread.
struct FakeDesktop {
    ConnectWait::Instant clock{};
    std::mutex lock;
    std::deque<std::function<void()>> posted;
    std::vector<AlertSpec> alerts;
    std::vector<AlertAnswer> answers; // to the alerts in turn, then the default
    int panelsShown = 0, panelsOpen = 0;
    std::function<void()> pressCancel;
    std::function<void(double)> onTurn; // after every turn of the event loop, with the seconds run so far
    // Whether a browser is installed, and how its process ends how long after the launch (none: it runs on).
    bool installed = true;
    std::optional<ProcessEnd> endsWith;
    double endsAfter = 0;
    int launches = 0;

    double elapsed() const { return std::chrono::duration<double>(clock.time_since_epoch()).count(); }

    Desktop desktop() {
        Desktop d;
        d.runAlert = [this](const AlertSpec& spec) {
            alerts.push_back(spec);
            return alerts.size() <= answers.size() ? answers[alerts.size() - 1] : AlertAnswer{};
        };
        d.launchBrowser = [this](const std::string&, const std::string&, LaunchEnded ended) {
            launches += installed ? 1 : 0;
            if (installed && endsWith) {
                const double at = elapsed() + endsAfter;
                onTurn = [this, at, ended, end = *endsWith](double seconds) {
                    if (seconds >= at) {
                        post([ended, end] { ended(end); });
                    }
                };
            }
            return installed;
        };
        d.isBrowserSandboxed = [](const std::string&) { return true; };
        d.showProgressPanel = [this](std::function<void()> onCancel) {
            ++panelsShown;
            ++panelsOpen;
            pressCancel = onCancel;
            return std::function<void()>([this] { --panelsOpen; });
        };
        d.runEventLoop = [this](double seconds) {
            clock += std::chrono::duration_cast<ConnectWait::Clock::duration>(
                std::chrono::duration<double>(seconds));
            std::deque<std::function<void()>> due;
            {
                std::lock_guard guard(lock);
                due.swap(posted);
            }
            for (auto& work : due) {
                work();
            }
            if (onTurn) {
                onTurn(elapsed());
            }
        };
        d.postToMain = [this](std::function<void()> work) { post(std::move(work)); };
        return d;
    }

    void post(std::function<void()> work) {
        std::lock_guard guard(lock);
        posted.push_back(std::move(work));
    }
};

ConnectDraft draft() {
    return {5000, boost::urls::url("http://127.0.0.1:5000/pair#token=secret")};
}

TEST(ConnectModeTest, RetriesOnlyFailuresAndOnlyWhenAsked) {
    using enum ConnectProblem;
    const auto failed = [](ConnectProblem p) { return ConnectResult<BrokerHealth>(tl::unexpected(p)); };
    const AlertAnswer close{firstButtonResponse, {}}, tryAgain{firstButtonResponse + 1, {}};
    struct Case {
        std::vector<ConnectResult<BrokerHealth>> verified; // what each attempt's verification answers
        std::vector<AlertAnswer> answers;
        int status;
        std::vector<ConnectProblem> explained;
    };
    const Case cases[] = {
        {{failed(noSession)}, {close}, 4, {noSession}},
        {{failed(noSession), failed(tokenNotCurrent), failed(cancelled)},
         {tryAgain, tryAgain},
         3,
         {noSession, tokenNotCurrent}},
        {{failed(cancelled)}, {}, 3, {}},
        {{BrokerHealth{"1.0", 1, true}}, {}, 0, {}},
    };
    for (const Case& c : cases) {
        FakeDesktop fake;
        fake.answers = c.answers;
        std::size_t attempts = 0;
        const auto make = [&] {
            ConnectFlow::Dependencies d;
            d.readDraft = [] { return ConnectResult<ConnectDraft>(draft()); };
            d.verify = [verified = c.verified[attempts++]](const ConnectDraft&) { return verified; };
            d.installedBrowsers = [] { return std::vector<std::string>{"Chromium"}; };
            d.chooseBrowser = [](const BrowserChoice&) { return std::optional<std::int64_t>(0); };
            d.open = [](const ConnectDraft&, const std::string&) { return true; };
            d.waitForAttach = [](const ConnectDraft&) { return ConnectWait::Result::attached; };
            return d;
        };
        EXPECT_EQ(ConnectMode::run(make, fake.desktop().runAlert), c.status);
        EXPECT_EQ(attempts, c.verified.size());
        std::vector<AlertSpec> explanations(c.explained.size());
        std::ranges::transform(c.explained, explanations.begin(), ConnectMode::retryAlert);
        EXPECT_EQ(fake.alerts, explanations);
    }
}

// The prompts are read and answered end to end, but for Cancel in the picker.
TEST(BrowserPromptTest, CancelInThePickerChoosesNothing) {
    EXPECT_EQ(ConnectDesktop::chosenIndex(BrowserChoice::choose({"A", "B"}), {firstButtonResponse, 1}),
              std::nullopt);
}

TEST(OpenPairingPageTest, ABrowserThatFailsAtOnceIsAFailedOpen) {
    const std::tuple<bool, std::optional<ProcessEnd>, double, bool, double> cases[] = {
        {true, ProcessEnd{true, 9}, 0.2, false, 0.25},
        {true, std::nullopt, 0, true, ConnectDesktop::settleSeconds},         // runs on
        {true, ProcessEnd{false, 1}, 2, true, ConnectDesktop::settleSeconds}, // later is not "at once"
        {false, std::nullopt, 0, false, 0},
    };
    for (const auto& [installed, endsWith, endsAfter, opened, secondsWaited] : cases) {
        FakeDesktop fake;
        fake.installed = installed;
        fake.endsWith = endsWith;
        fake.endsAfter = endsAfter;
        EXPECT_EQ(ConnectDesktop::open(fake.desktop(), "http://127.0.0.1:5000/pair#token=secret",
                                       "org.chromium.Chromium", [&] { return fake.clock; }),
                  opened);
        EXPECT_NEAR(fake.elapsed(), secondsWaited, 0.051);
        EXPECT_EQ(fake.launches, installed ? 1 : 0);
    }
}

// The verification just before found the user's own companion; the port can change hands since.
TEST(OpenPairingPageTest, APortThatAnotherUserNowListensOnGetsNoPage) {
    for (const unsigned owner : {::getuid(), ::getuid() + 1}) {
        FakeDesktop fake;
        const std::string listening = "sl local rem st\n 0: 0100007F:1388 00000000:0000 0A 0:0 0:0 0 " +
                                      std::to_string(owner) + " 0 1\n";
        const auto tables = [&] { return std::vector{listening}; };
        const ConnectDesktop::Inputs inputs{"/nonexistent", {}, {"Chromium"}, ::getuid(), {}, tables};
        const auto dependencies = ConnectDesktop::productionDependencies(inputs, fake.desktop());
        EXPECT_EQ(dependencies.open(draft(), "Chromium"), owner == ::getuid()) << owner;
        EXPECT_EQ(fake.launches, owner == ::getuid() ? 1 : 0);
    }
}

TEST(AttachWaitTest, EndsAtTheProbeAfterAnAttachAtTheLimitOrOnCancel) {
    constexpr double never = std::numeric_limits<double>::infinity();
    struct Case {
        double attachesAfter, cancelAt; // seconds into the wait
        ConnectWait::Result result;
        double endsAt;
        int verifications;
        std::vector<AlertSpec> alerts;
    };
    const Case cases[] = {
        // Probes every 3 s; the answer given at 6 s is read at the probe at 9 s.
        {5, never, ConnectWait::Result::attached, 9, 3, {DesktopAttachWait::attachedAlert()}},
        {never, never, ConnectWait::Result::timedOut, 90, 30, {DesktopAttachWait::timedOutAlert()}},
        {never, 4, ConnectWait::Result::cancelled, 4, 2, {}},
    };
    for (const Case& c : cases) {
        FakeDesktop fake;
        fake.onTurn = [&](double seconds) {
            if (seconds >= c.cancelAt) {
                fake.pressCancel();
            }
        };
        int verifications = 0;
        DesktopAttachWait::Environment environment;
        environment.desktop = fake.desktop();
        environment.now = [&] { return fake.clock; };
        environment.verify = [&](const ConnectDraft& waited, ConnectProbeHandle&) {
            EXPECT_EQ(waited, draft());
            ++verifications;
            return BrokerHealth{"1.0", 1, fake.elapsed() > c.attachesAfter};
        };
        // Verifications run inline when submitted; their answers reach the main thread at the next turn.
        environment.submit = [](std::function<void()> job) { job(); };
        EXPECT_EQ(DesktopAttachWait::run(draft(), environment), c.result);
        EXPECT_NEAR(fake.elapsed(), c.endsAt, 0.01);
        EXPECT_EQ(verifications, c.verifications);
        EXPECT_EQ(fake.alerts, c.alerts);
        EXPECT_EQ(fake.panelsShown, 1);
        EXPECT_EQ(fake.panelsOpen, 0);
    }
}

TEST(AttachWaitWorkerTest, NoVerificationOutlivesTheWait) {
    // Real worker: a verification that blocks until the wait cancels its handle.
    FakeDesktop fake;
    std::atomic<bool> started = false, finished = false;
    fake.onTurn = [&](double) {
        if (started) {
            fake.pressCancel();
        }
    };
    DesktopAttachWait::Environment environment;
    environment.desktop = fake.desktop();
    environment.verify = [&](const ConnectDraft&, ConnectProbeHandle& handle) -> ConnectResult<BrokerHealth> {
        started = true;
        while (!handle.isCancelled()) {
            std::this_thread::yield();
        }
        finished = true;
        return tl::unexpected(ConnectProblem::cancelled);
    };
    EXPECT_EQ(DesktopAttachWait::run(draft(), environment), ConnectWait::Result::cancelled);
    EXPECT_TRUE(finished) << "the wait ended with a verification still running";
}

} // namespace
