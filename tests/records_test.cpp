#include "connect/flow.h"
#include "connect/records.h"

#include <gtest/gtest.h>

namespace {

constexpr ConnectProblem allProblems[] = {
    ConnectProblem::noSession,           ConnectProblem::unsafeFile,   ConnectProblem::malformedSession,
    ConnectProblem::brokerUnreachable,   ConnectProblem::wrongService, ConnectProblem::tokenNotCurrent,
    ConnectProblem::verifierUnavailable, ConnectProblem::cancelled,    ConnectProblem::noSupportedBrowser,
    ConnectProblem::openFailed,          ConnectProblem::notAttached,
};

TEST(ConnectProblemTest, RawValuesRoundTripAndMatchExactlyOnly) {
    for (const auto problem : allProblems) {
        const std::string raw(rawValue(problem));
        EXPECT_EQ(fromRawValue<ConnectProblem>(raw), problem) << raw;
        EXPECT_EQ(std::hash<ConnectProblem>{}(problem), std::hash<std::string_view>{}(raw));
    }
    EXPECT_EQ(rawValue(ConnectProblem::verifierUnavailable), "verifierUnavailable");
    for (const char* near : {"NoSession", "nosession", "", " noSession", "noSession ", "noSession\n"}) {
        EXPECT_EQ(fromRawValue<ConnectProblem>(near), std::nullopt) << '"' << near << '"';
    }
}

TEST(RetryExplanationTest, EveryMessageOpensTheSameWayAndEndsCleanly) {
    const std::string_view opening = "The connection could not be completed. Nothing was changed. ";
    for (const auto problem : allProblems) {
        const auto text = ConfigurationBundle::retryExplanation(problem);
        EXPECT_TRUE(text.starts_with(opening)) << rawValue(problem);
        EXPECT_TRUE(text.ends_with("then try once more.")) << rawValue(problem);
        EXPECT_EQ(text.find("  "), std::string_view::npos) << rawValue(problem);
    }
}

TEST(RetryExplanationTest, ProblemsThatShareAMessage) {
    using ConfigurationBundle::retryExplanation;
    EXPECT_EQ(retryExplanation(std::nullopt), retryExplanation(ConnectProblem::cancelled));
    EXPECT_EQ(retryExplanation(ConnectProblem::noSession),
              retryExplanation(ConnectProblem::malformedSession));
    EXPECT_EQ(retryExplanation(ConnectProblem::brokerUnreachable),
              retryExplanation(ConnectProblem::wrongService));
    EXPECT_NE(retryExplanation(ConnectProblem::noSession), retryExplanation(ConnectProblem::unsafeFile));
    EXPECT_EQ(retryExplanation(std::nullopt), "The connection could not be completed. Nothing was changed. "
                                              "Start or refresh the companion, then try "
                                              "once more.");
    EXPECT_EQ(
        retryExplanation(ConnectProblem::tokenNotCurrent),
        "The connection could not be completed. Nothing was changed. The companion no longer recognises the "
        "saved session. Restart the companion to pair again, then try once more.");
}

TEST(RecordsTest, EqualityLooksAtEveryField) {
    const ConnectDraft a{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=abc")};
    const ConnectDraft b{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=abd")};
    EXPECT_EQ(a, a);
    EXPECT_NE(a, b);
    EXPECT_NE(BrokerHealth({"1.0", 2, false}), BrokerHealth({"1.0", 2, true}));
    EXPECT_NE(BrokerHealth({"1.0", 2, false}), BrokerHealth({"1.0", 3, false}));
}

TEST(ConnectOutcomeTest, ExitCodesAndPromptsInCaseOrder) {
    const ConnectOutcome outcomes[] = {ConnectOutcome::opened, ConnectOutcome::readyToConnect,
                                       ConnectOutcome::alreadyConnected, ConnectOutcome::cancelled,
                                       ConnectOutcome::failed};
    const int codes[] = {0, 0, 0, 3, 4};
    const bool suppresses[] = {false, false, false, true, true};
    for (std::size_t i = 0; i < std::size(outcomes); ++i) {
        EXPECT_EQ(exitCode(outcomes[i]), codes[i]) << rawValue(outcomes[i]);
        EXPECT_EQ(suppressesFurtherPrompts(outcomes[i]), suppresses[i]) << rawValue(outcomes[i]);
        EXPECT_EQ(fromRawValue<ConnectOutcome>(rawValue(outcomes[i])), outcomes[i]);
    }
    EXPECT_EQ(fromRawValue<ConnectOutcome>("Opened"), std::nullopt);
}

} // namespace
