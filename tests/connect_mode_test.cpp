#include "app/attach_wait.h"
#include "app/connect_desktop.h"
#include "app/connect_mode.h"
#include "app/serial_worker.h"

#include <atomic>
#include <deque>
#include <gtest/gtest.h>
#include <mutex>

namespace {

using namespace std::chrono_literals;

/// A desktop whose clock moves only while its event loop "runs", and which delivers posted work then.
struct FakeDesktop {
    ConnectWait::Instant clock{};
    std::deque<std::function<void()>> posted;
    std::vector<AlertSpec> alerts;
    std::deque<AlertAnswer> answers;
    int panelsShown = 0;
    int panelsOpen = 0;
    std::function<void()> pressCancel;
    /// Called after every turn of the event loop, with the seconds the wait has run.
    std::function<void(double)> onTurn;
    /// Whether a browser is installed, and what a launch reports (none: never reports).
    bool installed = true;
    std::optional<bool> launchReports = true;
    std::vector<std::string> launched;

    double elapsed() const { return std::chrono::duration<double>(clock.time_since_epoch()).count(); }

    Desktop desktop() {
        Desktop d;
        d.runAlert = [this](const AlertSpec& spec) {
            alerts.push_back(spec);
            const AlertAnswer answer = answers.empty() ? AlertAnswer{} : answers.front();
            if (!answers.empty()) {
                answers.pop_front();
            }
            return answer;
        };
        d.isBrowserInstalled = [this](const std::string&) { return installed; };
        d.launchBrowser = [this](const std::string& url, const std::string& id, LaunchCompletion done) {
            if (!installed) {
                return false;
            }
            launched.push_back(id + " " + url);
            if (launchReports) {
                posted.push_back([done, report = *launchReports] { done(report); });
            }
            return true;
        };
        d.showProgressPanel = [this](std::function<void()> onCancel) {
            ++panelsShown;
            ++panelsOpen;
            pressCancel = onCancel;
            return std::function<void()>([this] { --panelsOpen; });
        };
        d.runEventLoop = [this](double seconds) {
            clock += std::chrono::duration_cast<ConnectWait::Clock::duration>(
                std::chrono::duration<double>(seconds));
            while (!posted.empty()) {
                auto work = std::move(posted.front());
                posted.pop_front();
                work();
            }
            if (onTurn) {
                onTurn(elapsed());
            }
        };
        d.postToMain = [this](std::function<void()> work) { posted.push_back(std::move(work)); };
        return d;
    }
};

ConnectDraft draft() {
    return {5000, boost::urls::url("http://127.0.0.1:5000/pair#token=secret")};
}

BrokerHealth health(bool attached) {
    return {"1.0", 1, attached};
}

TEST(ConnectModeTest, RetriesOnlyFailuresAndOnlyWhenAsked) {
    struct Case {
        std::vector<ConnectOutcome> outcomes; // one per attempt, in order
        std::deque<AlertAnswer> answers;
        int status;
        std::size_t alerts;
    };
    const Case cases[] = {
        {{ConnectOutcome::failed, ConnectOutcome::opened}, {AlertAnswer{1001, {}}}, 0, 1},
        {{ConnectOutcome::failed}, {AlertAnswer{1000, {}}}, 4, 1},
        {{ConnectOutcome::failed, ConnectOutcome::failed, ConnectOutcome::cancelled},
         {AlertAnswer{1001, {}}, AlertAnswer{1001, {}}},
         3,
         2},
        {{ConnectOutcome::cancelled}, {}, 3, 0},
        {{ConnectOutcome::alreadyConnected}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        FakeDesktop fake;
        fake.answers = c.answers;
        std::size_t attempt = 0;
        const auto make = [&] {
            // The first attempt fails in the session, the second in the browser: each explains its own.
            const ConnectOutcome outcome = c.outcomes[attempt++];
            ConnectFlow::Dependencies d;
            d.readDraft = [=]() -> ConnectResult<ConnectDraft> {
                if (outcome == ConnectOutcome::failed) {
                    return tl::unexpected(attempt == 1 ? ConnectProblem::noSession
                                                       : ConnectProblem::openFailed);
                }
                return draft();
            };
            d.verify = [=](const ConnectDraft&) -> ConnectResult<BrokerHealth> {
                if (outcome == ConnectOutcome::cancelled) {
                    return tl::unexpected(ConnectProblem::cancelled);
                }
                return health(outcome == ConnectOutcome::alreadyConnected);
            };
            d.installedBrowsers = [] { return std::vector<std::string>{"Chromium"}; };
            d.chooseBrowser = [](const BrowserChoice&) { return std::optional<std::int64_t>(0); };
            d.open = [](const ConnectDraft&, const std::string&) { return true; };
            d.waitForAttach = [](const ConnectDraft&) { return ConnectWait::Result::attached; };
            return d;
        };
        EXPECT_EQ(ConnectMode::run(make, fake.desktop().runAlert), c.status);
        EXPECT_EQ(attempt, c.outcomes.size());
        ASSERT_EQ(fake.alerts.size(), c.alerts);
        if (c.alerts >= 1) {
            EXPECT_EQ(fake.alerts[0], ConnectMode::retryAlert(ConnectProblem::noSession));
            EXPECT_EQ(fake.alerts[0].buttons, (std::vector<std::string>{"Close", "Try again"}));
            EXPECT_EQ(fake.alerts[0].style, AlertStyle::warning);
        }
        if (c.alerts >= 2) {
            EXPECT_EQ(fake.alerts[1].informativeText,
                      ConfigurationBundle::retryExplanation(ConnectProblem::openFailed));
        }
    }
}

TEST(BrowserPromptTest, ConfirmsOneAndPicksAmongSeveral) {
    const auto one = BrowserChoice::only("Vivaldi");
    const AlertSpec confirm = ConnectDesktop::browserPrompt(one);
    EXPECT_EQ(confirm.messageText, "Open the pairing page in Vivaldi?");
    EXPECT_EQ(confirm.buttons, (std::vector<std::string>{"Cancel", "Open pairing page"}));
    EXPECT_EQ(confirm.accessory, AlertSpec::Accessory());
    EXPECT_EQ(ConnectDesktop::browserPrompt(BrowserChoice::noneInstalled()).messageText,
              "Open the pairing page in the browser?");

    const auto several = BrowserChoice::choose({"Chromium", "Brave Browser"});
    const AlertSpec pick = ConnectDesktop::browserPrompt(several);
    EXPECT_EQ(pick.messageText, "Which browser?");
    EXPECT_EQ(pick.buttons, (std::vector<std::string>{"Cancel", "Open"}));
    EXPECT_EQ(pick.accessory,
              AlertSpec::Accessory(PopUpAccessory{320, 28, {"Chromium", "Brave Browser"}, 0}));

    using ConnectDesktop::chosenIndex;
    EXPECT_EQ(chosenIndex(one, {1001, {}}), 0);
    EXPECT_EQ(chosenIndex(several, {1001, 1}), 1);
    for (const auto& choice : {one, several}) {
        EXPECT_EQ(chosenIndex(choice, {1000, 1}), std::nullopt);
        EXPECT_EQ(chosenIndex(choice, {1002, 1}), std::nullopt);
    }
}

TEST(OpenPairingPageTest, WaitsForTheLaunchToReportWithinItsLimit) {
    const std::string url = "http://127.0.0.1:5000/pair#token=secret";
    struct Case {
        bool installed;
        std::optional<bool> reports;
        bool opened;
        double secondsWaited;
    };
    for (const Case& c : {Case{true, true, true, 0.05}, Case{true, false, false, 0.05},
                          Case{true, std::nullopt, false, 20}, Case{false, true, false, 0}}) {
        FakeDesktop fake;
        fake.installed = c.installed;
        fake.launchReports = c.reports;
        EXPECT_EQ(
            ConnectDesktop::open(fake.desktop(), url, "org.chromium.Chromium", [&] { return fake.clock; }),
            c.opened);
        EXPECT_NEAR(fake.elapsed(), c.secondsWaited, 0.051);
        EXPECT_EQ(fake.launched.size(), c.installed ? 1u : 0u);
    }
}

class AttachWaitTest : public ::testing::Test {
  protected:
    /// Verifications run inline when submitted; their answers reach the main thread at the next turn.
    ConnectWait::Result wait(const std::function<bool(double)>& attachedAt) {
        DesktopAttachWait::Environment environment;
        environment.desktop = fake.desktop();
        environment.now = [this] { return fake.clock; };
        environment.verify = [&](const ConnectDraft& waited, ConnectProbeHandle& handle) {
            EXPECT_EQ(waited, draft());
            handles.push_back(&handle);
            verifiedAt.push_back(fake.elapsed());
            return ConnectResult<BrokerHealth>(health(attachedAt(fake.elapsed())));
        };
        environment.submit = [](std::function<void()> job) { job(); };
        const auto result = DesktopAttachWait::run(draft(), environment);
        EXPECT_EQ(fake.panelsShown, 1);
        EXPECT_EQ(fake.panelsOpen, 0);
        for (auto* handle : handles) {
            EXPECT_EQ(handle, handles.front());
        }
        return result;
    }

    FakeDesktop fake;
    std::vector<ConnectProbeHandle*> handles;
    std::vector<double> verifiedAt;
};

TEST_F(AttachWaitTest, AnAttachIsNoticedAtTheNextProbe) {
    EXPECT_EQ(wait([](double seconds) { return seconds > 5; }), ConnectWait::Result::attached);
    // Probes every 3 s; the answer given at 6 s is read at the probe at 9 s.
    EXPECT_EQ(verifiedAt, (std::vector<double>{0, 3, 6}));
    EXPECT_NEAR(fake.elapsed(), 9, 0.01);
    ASSERT_EQ(fake.alerts.size(), 1u);
    EXPECT_EQ(fake.alerts[0], DesktopAttachWait::attachedAlert());
    EXPECT_EQ(fake.alerts[0].style, AlertStyle::informational);
}

TEST_F(AttachWaitTest, RunsOutAfterNinetySeconds) {
    EXPECT_EQ(wait([](double) { return false; }), ConnectWait::Result::timedOut);
    EXPECT_NEAR(fake.elapsed(), 90, 0.01);
    EXPECT_EQ(verifiedAt.size(), 30u);
    ASSERT_EQ(fake.alerts.size(), 1u);
    EXPECT_EQ(fake.alerts[0].messageText, "Waiting for the extension");
    EXPECT_EQ(fake.alerts[0].style, AlertStyle::warning);
}

TEST_F(AttachWaitTest, CancelEndsTheWaitWithoutAnAlert) {
    fake.onTurn = [this](double seconds) {
        if (seconds >= 4) {
            fake.pressCancel();
        }
    };
    EXPECT_EQ(wait([](double) { return false; }), ConnectWait::Result::cancelled);
    EXPECT_NEAR(fake.elapsed(), 4, 0.01);
    EXPECT_TRUE(fake.alerts.empty());
}

TEST(AttachWaitWorkerTest, OneVerificationAtATimeAndNoneOutlivesTheWait) {
    // Real worker, real clock: verifications that block until the wait cancels their handle.
    FakeDesktop fake;
    std::mutex lock;
    std::vector<std::function<void()>> fromWorker;
    Desktop desktop = fake.desktop();
    desktop.postToMain = [&](std::function<void()> work) {
        std::lock_guard guard(lock);
        fromWorker.push_back(std::move(work));
    };
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::atomic<int> started{0};
    desktop.runEventLoop = [&](double) {
        std::vector<std::function<void()>> work;
        {
            std::lock_guard guard(lock);
            work.swap(fromWorker);
        }
        for (auto& item : work) {
            item();
        }
        if (started > 0) {
            fake.pressCancel();
        }
    };
    DesktopAttachWait::Environment environment;
    environment.desktop = desktop;
    environment.verify = [&](const ConnectDraft&, ConnectProbeHandle& handle) -> ConnectResult<BrokerHealth> {
        most = std::max(most.load(), ++running);
        ++started;
        while (!handle.isCancelled()) {
            std::this_thread::yield();
        }
        --running;
        return tl::unexpected(ConnectProblem::cancelled);
    };
    EXPECT_EQ(DesktopAttachWait::run(draft(), environment), ConnectWait::Result::cancelled);
    EXPECT_EQ(running, 0) << "the wait ended with a verification still running";
    EXPECT_EQ(most, 1);
}

} // namespace
