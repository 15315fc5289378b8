#include "connect/flow.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

TEST(ConnectProblemTest, RawValuesAreDistinctAndSomeProblemsShareAnExplanation) {
    using ConfigurationBundle::retryExplanation;
    for (std::size_t i = 0; i < RawValues<ConnectProblem>::names.size(); ++i) {
        const auto problem = static_cast<ConnectProblem>(i);
        EXPECT_EQ(fromRawValue<ConnectProblem>(rawValue(problem)), problem);
        EXPECT_TRUE(retryExplanation(problem).starts_with(
            "The connection could not be completed. Nothing was changed. "));
    }
    EXPECT_EQ(retryExplanation(std::nullopt), retryExplanation(ConnectProblem::cancelled));
    EXPECT_EQ(retryExplanation(ConnectProblem::noSession),
              retryExplanation(ConnectProblem::malformedSession));
    EXPECT_EQ(retryExplanation(ConnectProblem::brokerUnreachable),
              retryExplanation(ConnectProblem::wrongService));
    EXPECT_NE(retryExplanation(ConnectProblem::noSession), retryExplanation(ConnectProblem::unsafeFile));
}

// Order, repetitions and the kind of choice show through the flow below.
TEST(BrowserChoiceTest, NamesAreComparedCanonicallyAndMappedExactly) {
    using ConnectChoice::resolve;
    const std::string composed = "Caf\xC3\xA9";    // e with acute accent as one code point
    const std::string decomposed = "Cafe\xCC\x81"; // e followed by a combining acute accent
    EXPECT_EQ(resolve({composed, decomposed}), BrowserChoice::only(composed));
    EXPECT_EQ(resolve({"Opera", "opera"}), BrowserChoice::choose({"Opera", "opera"}));
    const std::string invalid = "\xff\xfe";
    EXPECT_EQ(resolve({invalid, invalid, "Opera"}), BrowserChoice::choose({invalid, "Opera"}));
    EXPECT_EQ(ConfigurationBundle::bundleIdentifier("Microsoft Edge"), "com.microsoft.edgemac");
    EXPECT_EQ(ConfigurationBundle::bundleIdentifier("microsoft edge"), "microsoft edge");
}

ConnectDraft draftOn(std::int64_t port) {
    return {port, boost::urls::url("http://127.0.0.1:" + std::to_string(port) + "/pair#token=t")};
}

template <class T> T takeFirst(std::vector<T>& queue) {
    T first = queue.front();
    queue.erase(queue.begin());
    return first;
}

std::string port(const ConnectDraft& draft) {
    return " " + std::to_string(draft.port);
}

// Answers from scripted values and records every call, with the port of the draft it was given.
struct FakeDesktop {
    std::vector<ConnectResult<ConnectDraft>> drafts{draftOn(5000), draftOn(5000)};
    std::vector<ConnectResult<BrokerHealth>> healths{BrokerHealth{"1", 1, false},
                                                     BrokerHealth{"1", 1, false}};
    std::vector<std::string> browsers{"Chromium"};
    std::optional<std::int64_t> chosen = 0;
    bool opens = true;
    ConnectWait::Result wait = ConnectWait::Result::attached;

    std::vector<std::string> calls;
    std::vector<BrowserChoice> offered;

    template <class T> T called(std::string call, T answer) {
        calls.push_back(std::move(call));
        return answer;
    }

    ConnectFlow::Dependencies dependencies() {
        return {
            [this] { return called("readDraft", takeFirst(drafts)); },
            [this](const ConnectDraft& d) { return called("verify" + port(d), takeFirst(healths)); },
            [this] { return called("installedBrowsers", browsers); },
            [this](const BrowserChoice& choice) {
                offered.push_back(choice);
                return called("chooseBrowser", chosen);
            },
            [this](const ConnectDraft& d, const std::string& browser) {
                return called("open" + port(d) + " " + browser, opens);
            },
            [this](const ConnectDraft& d) { return called("waitForAttach" + port(d), wait); },
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

TEST(ConnectFlowTest, WholeAttemptUsesTheSecondDraftAndTheChosenBrowser) {
    FakeDesktop desktop;
    desktop.drafts = {draftOn(5000), draftOn(6000)};
    desktop.browsers = {"Vivaldi", "Google Chrome", "Vivaldi"};
    desktop.chosen = 1;
    EXPECT_EQ(desktop.run(), std::pair(ConnectOutcome::opened, Problems{}));
    EXPECT_EQ(desktop.calls, (std::vector<std::string>{"readDraft", "verify 5000", "installedBrowsers",
                                                       "chooseBrowser", "readDraft", "verify 6000",
                                                       "open 6000 Google Chrome", "waitForAttach 6000"}));
    EXPECT_EQ(desktop.offered, std::vector{BrowserChoice::choose({"Vivaldi", "Google Chrome"})});
}

TEST(ConnectFlowTest, EndingsOfEachStep) {
    using enum ConnectProblem;
    using O = ConnectOutcome;
    using D = FakeDesktop&;
    static const BrokerHealth idle{"1", 1, false}, attached{"1", 1, true};
    static const auto no = [](ConnectProblem p) { return tl::unexpected(p); };
    // clang-format off
    const std::tuple<const char*, void (*)(FakeDesktop&), ConnectOutcome, Problems, long> cases[] = {
        {"first read fails", [](D d) { d.drafts = {no(unsafeFile)}; }, O::failed, {unsafeFile}, 1},
        {"verify fails", [](D d) { d.healths = {no(tokenNotCurrent)}; }, O::failed, {tokenNotCurrent}, 2},
        {"verify cancelled", [](D d) { d.healths = {no(cancelled)}; }, O::cancelled, {cancelled}, 2},
        {"already attached", [](D d) { d.healths = {attached}; }, O::alreadyConnected, {}, 2},
        {"no browser", [](D d) { d.browsers = {}; }, O::failed, {noSupportedBrowser}, 3},
        {"user declines", [](D d) { d.chosen = std::nullopt; }, O::cancelled, {}, 4},
        {"index too big", [](D d) { d.chosen = 1; }, O::failed, {noSupportedBrowser}, 4},
        {"negative index", [](D d) { d.chosen = -1; }, O::failed, {noSupportedBrowser}, 4},
        {"session gone", [](D d) { d.drafts = {draftOn(5000), no(noSession)}; }, O::failed, {noSession}, 5},
        {"second cancelled", [](D d) { d.healths = {idle, no(cancelled)}; }, O::failed, {cancelled}, 6},
        {"attached since", [](D d) { d.healths = {idle, attached}; }, O::opened, {}, 8},
        {"open refused", [](D d) { d.opens = false; }, O::failed, {openFailed}, 7},
        {"wait cancelled", [](D d) { d.wait = ConnectWait::Result::cancelled; }, O::cancelled, {}, 8},
        {"wait timed out", [](D d) { d.wait = ConnectWait::Result::timedOut; }, O::failed, {notAttached}, 8},
    };
    // clang-format on
    const std::vector<std::string> wholeAttempt{
        "readDraft", "verify 5000", "installedBrowsers",  "chooseBrowser",
        "readDraft", "verify 5000", "open 5000 Chromium", "waitForAttach 5000"};
    for (const auto& [name, arrange, outcome, reported, calls] : cases) { // calls: how far into wholeAttempt
        FakeDesktop desktop;
        arrange(desktop);
        EXPECT_EQ(desktop.run(), std::pair(outcome, reported)) << name;
        EXPECT_EQ(desktop.calls, std::vector(wholeAttempt.begin(), wholeAttempt.begin() + calls)) << name;
    }
}

TEST(ConnectWaitTest, ProbesAtOnceThenEveryIntervalUntilAttachedCancelledOrOutOfTime) {
    using ConnectWait::Result;
    constexpr double huge = std::numeric_limits<double>::max();
    constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double timeout, interval;
        std::size_t attachedAtProbe, cancelledAtLook; // counted from 1; 0 never
        Result result;
        std::vector<double> probesAt;
        std::size_t sleeps;
    };
    const Case cases[] = {
        {10, 3, 0, 0, Result::timedOut, {0, 3, 6, 9}, 10},
        {10, 3, 0, 1, Result::cancelled, {}, 0},
        {0, 3, 0, 0, Result::timedOut, {}, 0},
        {-1, 3, 0, 0, Result::timedOut, {}, 0},
        {notANumber, 3, 0, 0, Result::timedOut, {}, 0},
        {10, 3, 1, 0, Result::attached, {0}, 0},
        {huge, 3, 0, 4, Result::cancelled, {0}, 2},
        {10, 0, 5, 0, Result::attached, {0, 0, 0, 0, 0}, 0},
        {2, 3, 0, 4, Result::cancelled, {0}, 2}, // a cancel in the last sleep counts
    };
    for (const Case& c : cases) {
        // A clock that stands still except when the wait sleeps; each sleep moves it by one second.
        ConnectWait::Instant now{};
        std::vector<double> probesAt, sleeps;
        std::size_t looks = 0;
        const ConnectWait::Options options{
            .timeout = c.timeout,
            .interval = c.interval,
            .now = [&] { return now; },
            .sleep =
                [&](double seconds) {
                    sleeps.push_back(seconds);
                    now += std::chrono::seconds(1);
                },
            .cancelled = [&] { return c.cancelledAtLook != 0 && ++looks >= c.cancelledAtLook; },
            .probe =
                [&] {
                    probesAt.push_back(std::chrono::duration<double>(now.time_since_epoch()).count());
                    return probesAt.size() == c.attachedAtProbe;
                },
        };
        const auto name = testing::Message() << "timeout " << c.timeout << ", interval " << c.interval;
        EXPECT_EQ(ConnectWait::untilAttached(options), c.result) << name;
        EXPECT_EQ(probesAt, c.probesAt) << name;
        EXPECT_EQ(sleeps, std::vector<double>(c.sleeps, ConnectWait::sleepStep)) << name;
    }
}

} // namespace
