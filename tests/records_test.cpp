#include "connect/flow.h"
#include "connect/records.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectProblemTest, RawValuesRoundTripAndMatchExactlyOnly) {
    for (std::size_t i = 0; i < RawValues<ConnectProblem>::names.size(); ++i) {
        const auto problem = static_cast<ConnectProblem>(i);
        EXPECT_EQ(fromRawValue<ConnectProblem>(rawValue(problem)), problem);
        EXPECT_EQ(std::hash<ConnectProblem>{}(problem), std::hash<std::string_view>{}(rawValue(problem)));
        EXPECT_TRUE(ConfigurationBundle::retryExplanation(problem).starts_with(
            "The connection could not be completed. Nothing was changed. "));
    }
    EXPECT_EQ(rawValue(ConnectProblem::notAttached), "notAttached");
    for (const char* near : {"NoSession", "nosession", "", " noSession", "noSession "}) {
        EXPECT_EQ(fromRawValue<ConnectProblem>(near), std::nullopt) << '"' << near << '"';
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
    EXPECT_EQ(
        retryExplanation(ConnectProblem::tokenNotCurrent),
        "The connection could not be completed. Nothing was changed. The companion no longer recognises the "
        "saved session. Restart the companion to pair again, then try once more.");
}

TEST(RecordsTest, EqualityAndExitCodes) {
    EXPECT_NE(ConnectDraft({5000, boost::urls::url("http://127.0.0.1:5000/pair#token=abc")}),
              ConnectDraft({5000, boost::urls::url("http://127.0.0.1:5000/pair#token=abd")}));
    EXPECT_NE(BrokerHealth({"1.0", 2, false}), BrokerHealth({"1.0", 2, true}));
    const int codes[] = {0, 0, 0, 3, 4};
    for (std::size_t i = 0; i < std::size(codes); ++i) {
        const auto outcome = static_cast<ConnectOutcome>(i);
        EXPECT_EQ(exitCode(outcome), codes[i]) << rawValue(outcome);
        EXPECT_EQ(suppressesFurtherPrompts(outcome), codes[i] != 0) << rawValue(outcome);
    }
}

} // namespace
