#include "connect/wait.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

using ConnectWait::Result;

TEST(ConnectWaitTest, ProbesAtOnceThenEveryIntervalUntilAttachedCancelledOrOutOfTime) {
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
        {2, 3, 0, 4, Result::cancelled, {0}, 2}, // a cancel in the last sleep is seen before the deadline
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
