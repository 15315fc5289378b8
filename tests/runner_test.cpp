#include "connect/runner.h"
#include "tests/process_checks.h"
#include "tests/temp_dir.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace {

namespace fs = std::filesystem;

const std::string mebibyte(1 << 20, 'i');

// Launching dominates a run's time, under the sanitizers too, so every build runs the full series.
constexpr int boundedRuns = 10000;
constexpr int cancelRaces = 1000;

std::optional<std::string> run(const std::string& script, const std::string& input = "", double timeout = 5,
                               ConnectProbeHandle* handle = nullptr) {
    return ConnectVerifier::runBounded("/bin/sh", {"-c", script}, input, timeout, handle);
}

TEST(RunnerTest, AnswersExactlyTheCompleteOutputWithinTheCapAndLeavesNothingBehind) {
    const std::string binary("first line\nno terminator\0\xff\xfe", 27);
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {"exec cat", mebibyte.substr(0, 65536), mebibyte.substr(0, 65536)},
        {"exec cat", mebibyte.substr(0, 65537), std::nullopt},
        {"exit 0", "", std::nullopt},
        {"head -c 1048576 /dev/zero >&2; printf done; exit 3", "", "done"}, // exit status, stderr ignored
        {"exec cat", binary, binary},
        {"exec wc -c", mebibyte, "1048576\n"},
        {"exec <&-; printf gone", mebibyte, "gone"}, // SIGPIPE is left default: a stray one ends this binary
    };
    const auto descriptors = entries("/proc/self/fd");
    ConnectProbeHandle handle; // would keep a finished child, and its process descriptor, if not released
    for (const auto& [script, input, expected] : cases) {
        EXPECT_EQ(run(script, input, 5, &handle), expected) << script << " given " << input.size();
    }
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_TRUE(noChildren());
    sigset_t blocked;
    EXPECT_TRUE(pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && !sigismember(&blocked, SIGPIPE));
}

TEST(RunnerTest, ChildrenThatOutstayTheirRunAreStoppedInBoundedTime) {
    const TempDir temp;
    const std::string dir = temp.path().string(), pidFile = dir + "/pid";
    // The pid is written whole, by rename, so that it is complete once it exists.
    const auto record = [&](const char* pid) {
        return std::string("echo ") + pid + " > " + dir + "/p && mv " + dir + "/p " + pidFile + "; ";
    };
    const double grace = ConnectVerifier::reapGraceSeconds;
    const struct {
        std::string script, input;
        std::optional<std::string> expected;
        double timeout, atLeast, below;
        bool cancel = false;
    } cases[] = {
        {record("$$") + "printf partial; exec sleep 30", mebibyte, std::nullopt, 0.5, 0.5, 2 * grace + 1},
        {record("$$") + "exec yes", "", std::nullopt, 10, 0, 2}, // cut off at the cap, not at the deadline
        {record("$$") + "printf ok; exec sleep 30 >&-", mebibyte, "ok", 5, 0, 1},
        {record("$$") + "trap '' TERM; printf ok; exec sleep 30 >&-", "", "ok", 5, grace - 0.05,
         2 * grace + 1},
        {"printf partial; " + record("$$") + "exec sleep 30", "", "partial", 10, 0, 2, true},
        // A grandchild holding the output open: stopped with its parent's group.
        {"sleep 30 & " + record("$!") + "printf '{}'", "", std::nullopt, 0.5, 0.5, 2 * grace + 1},
    };
    for (const auto& c : cases) {
        fs::remove(pidFile);
        ConnectProbeHandle handle;
        std::thread canceller([&] {
            if (c.cancel) { // from another thread, mid-run
                EXPECT_TRUE(eventually([&] { return handle.adoptAttempts() == 1 && fs::exists(pidFile); }));
                handle.cancel();
            }
        });
        const auto start = Clock::now();
        EXPECT_EQ(run(c.script, c.input, c.timeout, &handle), c.expected) << c.script;
        const double elapsed = secondsSince(start);
        canceller.join();
        EXPECT_GE(elapsed, c.atLeast) << c.script;
        EXPECT_LT(elapsed, c.below) << c.script;
        EXPECT_EQ(handle.isCancelled(), c.cancel);
        pid_t pid = 0;
        std::ifstream(pidFile) >> pid;
        // A grandchild, re-parented, is reaped by another process: that may take a moment.
        EXPECT_TRUE(eventually([&] { return gone(pid); }, 5)) << c.script;
        if (!gone(pid) && pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }
    EXPECT_TRUE(noChildren());
}

TEST(RunnerTest, NothingIsLaunchedForACancelledHandleOrAnUnlaunchableExecutable) {
    const TempDir temp;
    const std::string dir = temp.path().string();
    for (const auto& executable : {std::string("/bin/sh"), dir + "/missing", dir}) {
        ConnectProbeHandle handle;
        if (executable == "/bin/sh") {
            handle.cancel();
        }
        const auto output = ConnectVerifier::runBounded(
            executable, {"-c", "touch " + dir + "/launched; printf answer"}, "input", 5, &handle);
        EXPECT_EQ(output, std::nullopt) << executable;
        EXPECT_EQ(handle.adoptAttempts(), 0) << executable;
    }
    EXPECT_FALSE(fs::exists(dir + "/launched"));
    EXPECT_TRUE(noChildren());
}

// Whatever the caller left ignored, blocked or open.
TEST(RunnerTest, ChildStartsWithDefaultSignalHandlingAndOnlyDescriptorsZeroToTwo) {
    const auto previousPipe = signal(SIGPIPE, SIG_IGN);
    sigset_t all, previousMask;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previousMask);
    const int careless = ::open("/dev/null", O_RDONLY); // without close-on-exec
    // The child's own signals (the shell would clear its mask), the shell's descriptors listed by another.
    const auto signals = run("exec grep -E '^Sig(Blk|Ign)' /proc/self/status");
    const auto descriptors = run("ls /proc/$$/fd");
    ::close(careless);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    signal(SIGPIPE, previousPipe);
    // None of the classic signals ignored: the C library's spawn leaves its two real-time ones ignored.
    EXPECT_THAT(signals, testing::Optional(testing::MatchesRegex("SigBlk:\t0+\nSigIgn:\t.{8}[08]0{7}\n")));
    EXPECT_EQ(descriptors, "0\n1\n2\n");
}

// Faults from the outside: long series of runs and cancels that would show a leak or a race.
TEST(EnduranceFaultTest, ManyRunsInARowLeaveNoDescriptorThreadOrChildBehind) {
    const auto runOnce = [] { return ConnectVerifier::runBounded("/bin/echo", {"ok"}, "input", 5); };
    ASSERT_EQ(runOnce(), "ok\n"); // lets the sanitizers and the C library set up whatever they keep
    const long descriptors = entries("/proc/self/fd");
    const long threads = entries("/proc/self/task");
    int wrong = 0;
    for (int i = 0; i < boundedRuns; ++i) {
        wrong += runOnce() == "ok\n" ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_TRUE(noChildren());
}

TEST(EnduranceFaultTest, CancelsRacingARunEndItAndItsChildWhateverTheMoment) {
    std::thread([] {}).join(); // the thread sanitizer starts a helper thread of its own with the first thread
    const long descriptors = entries("/proc/self/fd");
    const long threads = entries("/proc/self/task");
    for (int i = 0; i < cancelRaces; ++i) {
        ConnectProbeHandle handle;
        // From during the launch to well into the run: a different moment each time.
        const auto cancelAt = Clock::now() + std::chrono::microseconds(i % 50 * 40);
        std::thread canceller([&] {
            while (Clock::now() < cancelAt) {
                std::this_thread::yield();
            }
            handle.cancel();
        });
        const auto start = Clock::now();
        // The child never ends by itself, so every run ends through the cancel.
        const auto output = ConnectVerifier::runBounded("/bin/sleep", {"30"}, "input", 30, &handle);
        const double elapsed = secondsSince(start);
        canceller.join();
        EXPECT_EQ(output, std::nullopt);
        ASSERT_LT(elapsed, 2 * ConnectVerifier::reapGraceSeconds + 1) << "cancel " << i;
    }
    EXPECT_TRUE(noChildren());
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_TRUE(eventually([&] { return entries("/proc/self/task") == threads; }));
}

} // namespace
