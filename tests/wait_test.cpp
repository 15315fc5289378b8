#include "connect/wait.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

using namespace std::chrono_literals;
using ConnectWait::Result;

// A clock that stands still except when the wait sleeps; each sleep moves it by one second.
struct FakeTime {
    ConnectWait::Instant current{};
    std::vector<double> sleeps;
    std::vector<double> probesAt;
    int clockReads = 0;
    std::function<bool()> attached = [] { return false; };
    std::function<bool()> cancelled = [] { return false; };

    double seconds() const { return std::chrono::duration<double>(current.time_since_epoch()).count(); }

    ConnectWait::Options options(double timeout, double interval = 3.0) {
        return {
            .timeout = timeout,
            .interval = interval,
            .now =
                [this] {
                    ++clockReads;
                    return current;
                },
            .sleep =
                [this](double s) {
                    sleeps.push_back(s);
                    current += 1s;
                },
            .cancelled = [this] { return cancelled(); },
            .probe =
                [this] {
                    probesAt.push_back(seconds());
                    return attached();
                },
        };
    }
};

TEST(ConnectWaitTest, ProbesEveryIntervalUntilTheDeadline) {
    FakeTime time;
    EXPECT_EQ(ConnectWait::untilAttached(time.options(10)), Result::timedOut);
    EXPECT_EQ(time.probesAt, (std::vector<double>{0, 3, 6, 9}));
    EXPECT_EQ(time.sleeps, std::vector<double>(10, 0.2));
    // Once before the loop, three reads per probing pass, two per sleeping pass, one for the last check.
    EXPECT_EQ(time.clockReads, 1 + 4 * 3 + 10 * 2 + 1);
}

TEST(ConnectWaitTest, EndsAtOnceWhenAlreadyDecided) {
    {
        FakeTime time;
        time.cancelled = [] { return true; };
        EXPECT_EQ(ConnectWait::untilAttached(time.options(10)), Result::cancelled);
        EXPECT_TRUE(time.probesAt.empty());
        EXPECT_TRUE(time.sleeps.empty());
    }
    for (const double timeout : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        FakeTime time;
        EXPECT_EQ(ConnectWait::untilAttached(time.options(timeout)), Result::timedOut) << timeout;
        EXPECT_TRUE(time.probesAt.empty());
        EXPECT_TRUE(time.sleeps.empty());
    }
    {
        FakeTime time;
        time.attached = [] { return true; };
        EXPECT_EQ(ConnectWait::untilAttached(time.options(10)), Result::attached);
        EXPECT_EQ(time.probesAt.size(), 1u);
        EXPECT_TRUE(time.sleeps.empty());
    }
}

TEST(ConnectWaitTest, HugeTimeoutStillProbesFirstAndStopsOnCancel) {
    FakeTime time;
    int looks = 0;
    time.cancelled = [&] { return ++looks > 3; };
    EXPECT_EQ(ConnectWait::untilAttached(time.options(std::numeric_limits<double>::max())),
              Result::cancelled);
    EXPECT_EQ(time.probesAt, std::vector<double>{0});
}

TEST(ConnectWaitTest, ZeroIntervalProbesEveryPassWithoutSleeping) {
    FakeTime time;
    time.attached = [&] { return time.probesAt.size() == 5; };
    EXPECT_EQ(ConnectWait::untilAttached(time.options(10, 0)), Result::attached);
    EXPECT_TRUE(time.sleeps.empty());
}

TEST(ConnectWaitTest, CancellationDuringASleepIsSeenBeforeTheDeadline) {
    FakeTime time;
    time.cancelled = [&] { return time.seconds() >= 2; };
    EXPECT_EQ(ConnectWait::untilAttached(time.options(2)), Result::cancelled);
    EXPECT_EQ(time.sleeps.size(), 2u);
}

} // namespace
