#include "connect/runner.h"
#include "tests/process_checks.h"
#include "tests/temp_dir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string mebibyte(1 << 20, 'i');

std::optional<std::string> run(const std::string& script, const std::string& input = "", double timeout = 5,
                               ConnectProbeHandle* handle = nullptr) {
    return ConnectVerifier::runBounded("/bin/sh", {"-c", script}, input, timeout, handle);
}

class RunnerTest : public testing::Test {
  protected:
    const TempDir temp_;
    const std::string dir_ = temp_.path().string();
};

TEST_F(RunnerTest, AnswersExactlyTheCompleteOutputWithinTheCapAndLeavesNothingBehind) {
    const std::string binary("first line\nno terminator\0\xff\xfe", 27);
    const struct {
        std::string script, input;
        std::optional<std::string> expected;
    } cases[] = {
        {"exec cat", mebibyte.substr(0, 65536), mebibyte.substr(0, 65536)},
        {"exec cat", mebibyte.substr(0, 65537), std::nullopt},
        {"exit 0", "", std::nullopt},
        {"head -c 1048576 /dev/zero >&2; printf done; exit 3", "", "done"}, // exit status, stderr ignored
        {"exec cat", binary, binary},
        {"exec wc -c", mebibyte, "1048576\n"},
        {"exec <&-; printf gone", mebibyte, "gone"}, // SIGPIPE is left default: a stray one ends this binary
    };
    const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    ConnectProbeHandle handle; // would keep a finished child, and its process descriptor, if not released
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.script, c.input, 5, &handle), c.expected) << c.script << " given " << c.input.size();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()), descriptors);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
    sigset_t blocked;
    EXPECT_TRUE(pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && !sigismember(&blocked, SIGPIPE));
}

TEST_F(RunnerTest, ChildrenThatOutstayTheirRunAreStoppedInBoundedTime) {
    const std::string pidFile = dir_ + "/pid";
    const std::string record = "echo $$ > " + dir_ + "/p && mv " + dir_ + "/p " + pidFile + "; "; // whole
    const double grace = ConnectVerifier::reapGraceSeconds;
    const struct {
        std::string script, input;
        std::optional<std::string> expected;
        double timeout, atLeast, below;
        bool cancel = false;
    } cases[] = {
        {record + "printf partial; exec sleep 30", mebibyte, std::nullopt, 0.5, 0.5, 2 * grace + 1},
        {record + "exec yes", "", std::nullopt, 10, 0, 2}, // cut off at the cap, not at the deadline
        {record + "printf ok; exec sleep 30 >&-", mebibyte, "ok", 5, 0, 1},
        {record + "trap '' TERM; printf ok; exec sleep 30 >&-", "", "ok", 5, grace - 0.05, 2 * grace + 1},
        {"printf partial; " + record + "exec sleep 30", "", "partial", 10, 0, 2, true},
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
        EXPECT_TRUE(gone(pid)) << c.script;
    }
}

TEST_F(RunnerTest, NothingIsLaunchedForACancelledHandleOrAnUnlaunchableExecutable) {
    for (const auto& executable : {std::string("/bin/sh"), dir_ + "/missing", dir_}) {
        ConnectProbeHandle handle;
        if (executable == "/bin/sh") {
            handle.cancel();
        }
        const auto output = ConnectVerifier::runBounded(
            executable, {"-c", "touch " + dir_ + "/launched; printf answer"}, "input", 5, &handle);
        EXPECT_EQ(output, std::nullopt) << executable;
        EXPECT_EQ(handle.adoptAttempts(), 0) << executable;
    }
    EXPECT_FALSE(fs::exists(dir_ + "/launched"));
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a failed launch left a child behind";
}

TEST_F(RunnerTest, CancelledHandleRefusesChildrenAndWaitForExitLooksOnceOrWakesOnExit) {
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const auto sleeper = ChildProcess::spawn("/bin/sh", {"-c", "exec sleep 30"}, devNull, devNull);
    const auto quitter = ChildProcess::spawn("/bin/sh", {"-c", "exit 0"}, devNull, devNull);
    close(devNull);
    ASSERT_TRUE(sleeper && quitter);
    ConnectProbeHandle handle;
    handle.cancel();
    EXPECT_FALSE(handle.adopt(sleeper));
    EXPECT_EQ(handle.adoptAttempts(), 1);
    handle.cancel();
    auto start = Clock::now();
    EXPECT_FALSE(ConnectVerifier::waitForExit(*sleeper, 0)) << "a refused child was kept and stopped";
    EXPECT_LT(secondsSince(start), 0.05);
    ASSERT_TRUE(eventually([&] { return !quitter->isRunning(); }));
    EXPECT_TRUE(ConnectVerifier::waitForExit(*quitter, 0));
    EXPECT_TRUE(gone(quitter->pid()));

    start = Clock::now();
    sleeper->sendSignal(SIGTERM);
    EXPECT_TRUE(ConnectVerifier::waitForExit(*sleeper, 5));
    EXPECT_LT(secondsSince(start), 1.0);
}

TEST_F(RunnerTest, ChildStartsWithDefaultSignalHandlingAndNoBlockedSignals) {
    const auto previousPipe = signal(SIGPIPE, SIG_IGN);
    sigset_t all;
    sigset_t previousMask;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previousMask);
    const auto status = run("exec grep -E '^Sig(Blk|Ign)' /proc/self/status");
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    signal(SIGPIPE, previousPipe);
    // None of the classic signals ignored: the C library's spawn leaves its two real-time ones ignored.
    EXPECT_THAT(status, testing::Optional(testing::MatchesRegex("SigBlk:\t0+\nSigIgn:\t.{8}[08]0{7}\n")));
}

} // namespace
