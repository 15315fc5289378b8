#include "connect/flow.h"

#include <gtest/gtest.h>

namespace {

ConnectDraft draftOn(std::int64_t port) {
    return {port, boost::urls::url("http://127.0.0.1:" + std::to_string(port) + "/pair#token=t")};
}

template <class T> T takeFirst(std::vector<T>& queue) {
    T first = queue.front();
    queue.erase(queue.begin());
    return first;
}

// Fake dependencies that answer from scripted values and record every call, in order.
struct FakeDesktop {
    std::vector<ConnectResult<ConnectDraft>> drafts{draftOn(5000), draftOn(5000)};
    std::vector<ConnectResult<BrokerHealth>> healths{BrokerHealth{"1", 1, false},
                                                     BrokerHealth{"1", 1, false}};
    std::vector<std::string> browsers{"Chromium"};
    std::optional<std::int64_t> chosen = 0;
    bool opens = true;
    ConnectWait::Result wait = ConnectWait::Result::attached;

    std::vector<std::string> calls;
    std::vector<ConnectDraft> verified, openedAndWaited;
    std::vector<BrowserChoice> offered;
    std::string openedIn;

    ConnectFlow::Dependencies dependencies() {
        return {
            [this] {
                calls.push_back("readDraft");
                return takeFirst(drafts);
            },
            [this](const ConnectDraft& draft) {
                calls.push_back("verify");
                verified.push_back(draft);
                return takeFirst(healths);
            },
            [this] {
                calls.push_back("installedBrowsers");
                return browsers;
            },
            [this](const BrowserChoice& choice) {
                calls.push_back("chooseBrowser");
                offered.push_back(choice);
                return chosen;
            },
            [this](const ConnectDraft& draft, const std::string& browser) {
                calls.push_back("open");
                openedAndWaited.push_back(draft);
                openedIn = browser;
                return opens;
            },
            [this](const ConnectDraft& draft) {
                calls.push_back("waitForAttach");
                openedAndWaited.push_back(draft);
                return wait;
            },
        };
    }

    // Runs the flow with and without a report, and insists that both end the same way.
    std::pair<ConnectOutcome, std::vector<ConnectProblem>> run() {
        FakeDesktop silent = *this;
        std::vector<ConnectProblem> reported;
        const auto outcome =
            ConnectFlow::run(dependencies(), [&](ConnectProblem p) { reported.push_back(p); });
        EXPECT_EQ(ConnectFlow::run(silent.dependencies()), outcome);
        EXPECT_EQ(silent.calls, calls);
        return {outcome, reported};
    }
};

using Problems = std::vector<ConnectProblem>;
const std::vector<std::string> wholeAttempt{"readDraft",     "verify",       "installedBrowsers",
                                            "chooseBrowser", "readDraft",    "verify",
                                            "open",          "waitForAttach"};

TEST(ConnectFlowTest, WholeAttemptUsesTheSecondDraftAndTheChosenBrowser) {
    FakeDesktop desktop;
    desktop.drafts = {draftOn(5000), draftOn(6000)};
    desktop.browsers = {"Vivaldi", "Google Chrome", "Vivaldi"};
    desktop.chosen = 1;
    EXPECT_EQ(desktop.run(), std::pair(ConnectOutcome::opened, Problems{}));
    EXPECT_EQ(desktop.calls, wholeAttempt);
    EXPECT_EQ(desktop.offered, std::vector{BrowserChoice::choose({"Vivaldi", "Google Chrome"})});
    EXPECT_EQ(desktop.openedIn, "Google Chrome");
    EXPECT_EQ(desktop.verified, (std::vector{draftOn(5000), draftOn(6000)}));
    EXPECT_EQ(desktop.openedAndWaited, (std::vector{draftOn(6000), draftOn(6000)}));
}

TEST(ConnectFlowTest, EndingsOfEachStep) {
    struct Case {
        const char* name;
        void (*arrange)(FakeDesktop&);
        ConnectOutcome outcome;
        Problems reported;
        std::size_t calls; // how far into wholeAttempt the flow got
    };
    // clang-format off
    const Case cases[] = {
        {"first read fails", [](FakeDesktop& d) { d.drafts = {tl::unexpected(ConnectProblem::unsafeFile)}; },
         ConnectOutcome::failed, {ConnectProblem::unsafeFile}, 1},
        {"first verify fails", [](FakeDesktop& d) { d.healths = {tl::unexpected(ConnectProblem::tokenNotCurrent)}; },
         ConnectOutcome::failed, {ConnectProblem::tokenNotCurrent}, 2},
        {"first verify cancelled", [](FakeDesktop& d) { d.healths = {tl::unexpected(ConnectProblem::cancelled)}; },
         ConnectOutcome::cancelled, {ConnectProblem::cancelled}, 2},
        {"already attached", [](FakeDesktop& d) { d.healths = {BrokerHealth{"1", 1, true}}; },
         ConnectOutcome::alreadyConnected, {}, 2},
        {"no browser", [](FakeDesktop& d) { d.browsers = {}; },
         ConnectOutcome::failed, {ConnectProblem::noSupportedBrowser}, 3},
        {"user declines", [](FakeDesktop& d) { d.chosen = std::nullopt; },
         ConnectOutcome::cancelled, {}, 4},
        {"index past the one offered", [](FakeDesktop& d) { d.chosen = 1; },
         ConnectOutcome::failed, {ConnectProblem::noSupportedBrowser}, 4},
        {"negative index", [](FakeDesktop& d) { d.chosen = -1; },
         ConnectOutcome::failed, {ConnectProblem::noSupportedBrowser}, 4},
        {"session gone while choosing",
         [](FakeDesktop& d) { d.drafts = {draftOn(5000), tl::unexpected(ConnectProblem::noSession)}; },
         ConnectOutcome::failed, {ConnectProblem::noSession}, 5},
        {"second verify cancelled",
         [](FakeDesktop& d) { d.healths = {BrokerHealth{"1", 1, false}, tl::unexpected(ConnectProblem::cancelled)}; },
         ConnectOutcome::failed, {ConnectProblem::cancelled}, 6},
        {"attached by the second verify still opens",
         [](FakeDesktop& d) { d.healths = {BrokerHealth{"1", 1, false}, BrokerHealth{"1", 1, true}}; },
         ConnectOutcome::opened, {}, 8},
        {"open refused", [](FakeDesktop& d) { d.opens = false; },
         ConnectOutcome::failed, {ConnectProblem::openFailed}, 7},
        {"wait cancelled", [](FakeDesktop& d) { d.wait = ConnectWait::Result::cancelled; },
         ConnectOutcome::cancelled, {}, 8},
        {"wait timed out", [](FakeDesktop& d) { d.wait = ConnectWait::Result::timedOut; },
         ConnectOutcome::failed, {ConnectProblem::notAttached}, 8},
    };
    // clang-format on
    for (const auto& c : cases) {
        FakeDesktop desktop;
        c.arrange(desktop);
        EXPECT_EQ(desktop.run(), std::pair(c.outcome, c.reported)) << c.name;
        EXPECT_EQ(desktop.calls,
                  std::vector(wholeAttempt.begin(), wholeAttempt.begin() + static_cast<long>(c.calls)))
            << c.name;
    }
}

} // namespace
